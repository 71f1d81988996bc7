#include "app/desktop/desktop_prompts.hpp"

#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

#include "app/desktop/modal_wait.hpp"
#include "design/literal_text.hpp"
#include "design/prompt_dialog.hpp"

namespace kivo {
namespace {

std::optional<std::string> ask(QWidget* window, const std::string& title, const std::string& detail,
                               const std::string& initialText, const std::string& button,
                               PromptDialog::Echo echo) {
    QPointer<PromptDialog> dialog =
        new PromptDialog(QString::fromStdString(title), QString::fromStdString(detail),
                         QString::fromStdString(initialText), QString::fromStdString(button), echo, window);
    const int result = waitForDialog(*dialog);
    if (!dialog) return std::nullopt;
    std::optional<std::string> answer;
    if (result == QDialog::Accepted) answer = dialog->text().toStdString();
    dialog->deleteLater();
    return answer;
}

}  // namespace

std::optional<std::string> DesktopPrompts::askPassword(const std::string& title, const std::string& detail,
                                                       const std::string& button) {
    return ask(window_, title, detail, "", button, PromptDialog::Echo::masked);
}

std::optional<std::string> DesktopPrompts::askText(const std::string& title, const std::string& detail,
                                                   const std::string& initialText,
                                                   const std::string& button) {
    return ask(window_, title, detail, initialText, button, PromptDialog::Echo::plain);
}

Prompts::StaleFileChoice DesktopPrompts::askStaleFile() {
    QPointer<QMessageBox> box = new QMessageBox(window_);
    box->setObjectName(QStringLiteral("staleFileQuestion"));
    box->setIcon(QMessageBox::Warning);
    box->setWindowTitle(QString::fromUtf8(staleFileMessage));
    box->setText(QString::fromUtf8(staleFileMessage));
    box->setInformativeText(QString::fromUtf8(staleFileDetail));
    LiteralText::keepPlain(*box);
    QPushButton* saveAs = box->addButton(QStringLiteral("Save As…"), QMessageBox::AcceptRole);
    QPushButton* overwrite = box->addButton(QStringLiteral("Overwrite"), QMessageBox::DestructiveRole);
    QPushButton* cancel = box->addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    box->setDefaultButton(saveAs);
    box->setEscapeButton(cancel);
    waitForDialog(*box);
    if (!box) return StaleFileChoice::cancel;
    const QAbstractButton* clicked = box->clickedButton();
    box->deleteLater();
    if (clicked == saveAs) return StaleFileChoice::saveAs;
    if (clicked == overwrite) return StaleFileChoice::overwrite;
    return StaleFileChoice::cancel;
}

}  // namespace kivo
