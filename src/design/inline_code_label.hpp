#pragma once

// InlineCodeLabel: a wrapping line of the editor's own fixed words in which the parts between backticks
// show as code, in a monospaced face ("use `claude mcp add` for Claude Code"). The text is never read as
// markup: only the backticks split it, and they are not shown. Caption, muted, × the text scale.
// Assistive technologies read it without the backticks. No signals; nothing here fails.

#include <QTextDocument>
#include <QWidget>

namespace kivo {

class InlineCodeLabel : public QWidget {
    Q_OBJECT

public:
    explicit InlineCodeLabel(QWidget* parent = nullptr);

    // The text as given, backticks included.
    QString text() const { return text_; }
    void setText(const QString& text);
    // The text as it reads: the backticks left out.
    QString plainText() const { return document_.toPlainText(); }

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;

private:
    void rebuild();

    QString text_;
    mutable QTextDocument document_;
};

}  // namespace kivo
