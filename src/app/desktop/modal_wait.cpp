#include "app/desktop/modal_wait.hpp"

#include <QDialog>
#include <QEventLoop>
#include <QPointer>

namespace kivo {

int waitForDialog(QDialog& dialog) {
    QPointer<QDialog> watched(&dialog);
    QEventLoop loop;
    QObject::connect(&dialog, &QDialog::finished, &loop, &QEventLoop::quit);
    QObject::connect(&dialog, &QObject::destroyed, &loop, &QEventLoop::quit);
    dialog.open();
    loop.exec(QEventLoop::DialogExec);
    return watched ? watched->result() : QDialog::Rejected;
}

}  // namespace kivo
