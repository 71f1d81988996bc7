#include "app/desktop/desktop_clipboard.hpp"

#include <QClipboard>
#include <QGuiApplication>

namespace kivo {

void DesktopClipboard::setText(const std::string& text) {
    QGuiApplication::clipboard()->setText(QString::fromStdString(text));
}

}  // namespace kivo
