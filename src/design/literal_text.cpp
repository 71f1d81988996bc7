#include "design/literal_text.hpp"

#include <QLabel>
#include <QMessageBox>
#include <QTextDocument>

namespace kivo::LiteralText {

QString forGuessedFormat(const QString& text) {
    // Qt's own guess, the very test a tooltip or a label in automatic format applies.
    if (!Qt::mightBeRichText(text)) return text;
    // Escaped inside a paragraph: rich text for the guess, the same characters on the screen. Normal
    // white space lets a long tooltip wrap.
    return Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal);
}

void setToolTip(QWidget& widget, const QString& text) { widget.setToolTip(forGuessedFormat(text)); }

void keepPlain(QMessageBox& box) {
    box.setTextFormat(Qt::PlainText);
    for (QLabel* label : box.findChildren<QLabel*>()) label->setTextFormat(Qt::PlainText);
}

}  // namespace kivo::LiteralText
