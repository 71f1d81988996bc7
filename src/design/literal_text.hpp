#pragma once

// Text that came from a document, a file name, the user or a model, on its way into the places where
// Qt guesses the format: tooltips, message boxes, labels left in automatic format. There Qt takes
// text that merely looks like markup for rich text and loads every image it names from disk, on the
// GUI thread: an annotation reading <img src="/some/fifo"> would freeze the window, one naming
// /dev/zero would eat the memory. Everything shown in such a place goes through here and shows
// exactly as written. Nothing here fails.

#include <QString>

class QMessageBox;
class QWidget;

namespace kivo::LiteralText {

// `text` as it must be handed to a place that guesses the format: unchanged where Qt would show it
// as plain text anyway, otherwise rich text that shows the same characters and names no image.
QString forGuessedFormat(const QString& text);

// The widget's tooltip, showing `text` as written.
void setToolTip(QWidget& widget, const QString& text);

// Every label of `box` shows its text as written. Call it once the box's texts are set.
void keepPlain(QMessageBox& box);

}  // namespace kivo::LiteralText
