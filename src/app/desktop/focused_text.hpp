#pragma once

// FocusedText: the text widget that holds the keyboard, seen the way the edit and page commands need
// it: a one-line field (QLineEdit, also the field inside an editable combo box or a spin box) or a
// multi-line editor (QTextEdit, QPlainTextEdit). Commands offer their keystroke to it first: its own
// undo history, its caret, its clipboard. An empty FocusedText (no text widget has the keyboard) does
// nothing and answers false. It does not own the widget and goes empty when the widget is deleted.
// GUI thread only; nothing fails.

#include <QPointer>

class QLineEdit;
class QPlainTextEdit;
class QTextEdit;
class QWidget;

namespace kivo {

class FocusedText {
public:
    // The focus widget of the active window, when it is a text widget.
    static FocusedText current();
    // `widget` itself, when it is a text widget.
    static FocusedText of(QWidget* widget);

    explicit operator bool() const;
    bool isMultiLine() const;

    // A read-only widget can neither undo nor redo.
    bool canUndo() const;
    bool canRedo() const;
    void undo();
    void redo();

    void cut();
    void copy();
    void paste();
    void selectAll();

    // The caret to the start or the end of a multi-line editor's text; a one-line field stays as it is.
    void moveToStart();
    void moveToEnd();

private:
    // Calls `action` with the one widget held, whichever of the three kinds it is.
    template <class Action>
    void each(Action&& action) const;

    QPointer<QLineEdit> line_;
    QPointer<QTextEdit> rich_;
    QPointer<QPlainTextEdit> plain_;
};

}  // namespace kivo
