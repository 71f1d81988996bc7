#pragma once

// HeroField: the chrome of every styled text input: single-line fields (page number, annotation
// contents), secure fields (the API key: lineEdit()->setEchoMode(QLineEdit::Password)) and multi-line
// editors. It owns the editor, which draws no frame or background of its own: the field fills a rounded
// rectangle (radius 12) with `field` and strokes its border inside the edge, 1 px in `border`, or 2 px in
// the focus colour while the editor has keyboard focus, switching at once. Text in body, foreground,
// inset 9 left and right and 5 top and bottom (7 for multi-line), times the text scale.
//
// Signals: none of its own; connect to the editor's (textEdited, returnPressed, textChanged). Set the
// editor's accessible name for assistive technologies; the field forwards focus to it.

#include <QMarginsF>
#include <QWidget>

class QHBoxLayout;
class QLineEdit;
class QPlainTextEdit;

namespace kivo {

class HeroField : public QWidget {
    Q_OBJECT

public:
    explicit HeroField(bool multiline = false, QWidget* parent = nullptr);

    bool isMultiline() const noexcept { return textEdit_ != nullptr; }
    // The single-line editor; null for a multi-line field.
    QLineEdit* lineEdit() const { return lineEdit_; }
    // The multi-line editor; null for a single-line field.
    QPlainTextEdit* textEdit() const { return textEdit_; }
    QWidget* editor() const;

    bool isFocused() const;
    // The text's inset from the field's edge at the current text scale.
    QMarginsF insets() const;
    static constexpr double cornerRadius = 12;

    // A multi-line field asks for three lines of text; a single-line one for one.
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void applyMetrics();
    void applyColors();

    QHBoxLayout* layout_;
    QLineEdit* lineEdit_ = nullptr;
    QPlainTextEdit* textEdit_ = nullptr;
};

}  // namespace kivo
