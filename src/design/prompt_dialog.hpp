#pragma once

// PromptDialog: the small window-modal question that asks for one line of text: a password (masked) or a
// plain text. Its title as a heading and as the window title, the detail below it (callout, muted,
// wrapped), the field, then "Cancel" and the confirming button (Return confirms, Escape cancels). Every
// text is plain. No signals beyond QDialog's.

#include <QDialog>

class QLineEdit;

namespace kivo {

class HeroButton;

class PromptDialog : public QDialog {
    Q_OBJECT

public:
    enum class Echo { plain, masked };

    PromptDialog(const QString& title, const QString& detail, const QString& initialText,
                 const QString& button, Echo echo, QWidget* parent);

    QLineEdit* field() const { return field_; }
    HeroButton* confirmButton() const { return confirm_; }
    QString text() const;

private:
    QLineEdit* field_;
    HeroButton* confirm_;
};

}  // namespace kivo
