#include "app/desktop/focused_text.hpp"

#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextDocument>
#include <QTextEdit>

namespace kivo {
namespace {

// A one-line field keeps its own history; a multi-line editor's is its document's.
bool undoAvailable(const QLineEdit& field) { return field.isUndoAvailable(); }
bool redoAvailable(const QLineEdit& field) { return field.isRedoAvailable(); }
template <class Editor>
bool undoAvailable(const Editor& editor) {
    return editor.document()->isUndoAvailable();
}
template <class Editor>
bool redoAvailable(const Editor& editor) {
    return editor.document()->isRedoAvailable();
}

}  // namespace

FocusedText FocusedText::current() {
    QWidget* window = QApplication::activeWindow();
    return of(window != nullptr ? window->focusWidget() : nullptr);
}

FocusedText FocusedText::of(QWidget* widget) {
    FocusedText text;
    // A spin box or an editable combo box keeps the keyboard itself and edits through its own field.
    if (auto* combo = qobject_cast<QComboBox*>(widget); combo != nullptr && combo->isEditable()) {
        text.line_ = combo->lineEdit();
    } else if (auto* spin = qobject_cast<QAbstractSpinBox*>(widget)) {
        text.line_ = spin->findChild<QLineEdit*>();
    } else {
        text.line_ = qobject_cast<QLineEdit*>(widget);
        text.rich_ = qobject_cast<QTextEdit*>(widget);
        text.plain_ = qobject_cast<QPlainTextEdit*>(widget);
    }
    return text;
}

FocusedText::operator bool() const { return line_ || rich_ || plain_; }

bool FocusedText::isMultiLine() const { return rich_ || plain_; }

template <class Action>
void FocusedText::each(Action&& action) const {
    if (line_) action(*line_);
    if (rich_) action(*rich_);
    if (plain_) action(*plain_);
}

bool FocusedText::canUndo() const {
    bool can = false;
    each([&](auto& widget) { can = !widget.isReadOnly() && undoAvailable(widget); });
    return can;
}

bool FocusedText::canRedo() const {
    bool can = false;
    each([&](auto& widget) { can = !widget.isReadOnly() && redoAvailable(widget); });
    return can;
}

void FocusedText::undo() {
    each([](auto& widget) { widget.undo(); });
}
void FocusedText::redo() {
    each([](auto& widget) { widget.redo(); });
}
void FocusedText::cut() {
    each([](auto& widget) { widget.cut(); });
}
void FocusedText::copy() {
    each([](auto& widget) { widget.copy(); });
}
void FocusedText::paste() {
    each([](auto& widget) { widget.paste(); });
}
void FocusedText::selectAll() {
    each([](auto& widget) { widget.selectAll(); });
}

void FocusedText::moveToStart() {
    if (rich_) rich_->moveCursor(QTextCursor::Start);
    if (plain_) plain_->moveCursor(QTextCursor::Start);
}

void FocusedText::moveToEnd() {
    if (rich_) rich_->moveCursor(QTextCursor::End);
    if (plain_) plain_->moveCursor(QTextCursor::End);
}

}  // namespace kivo
