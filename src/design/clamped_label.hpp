#pragma once

// ClampedLabel: a wrapping ThemedLabel that shows at most a given number of lines and ends the last one
// with an ellipsis when the text goes on (search previews, citation quotes, annotation contents). The
// whole text stays its tooltip and what assistive technologies read. Plain text, like every ThemedLabel.
// No signals; nothing here fails.

#include "design/themed_label.hpp"

namespace kivo {

class ClampedLabel : public ThemedLabel {
    Q_OBJECT

public:
    ClampedLabel(int maxLines, ScaledTextStyle style, Theme::Token colour, QWidget* parent = nullptr);

    QString fullText() const { return full_; }
    int maxLines() const { return maxLines_; }
    void setFullText(const QString& text);

    // The lines of `text` as `font` wraps them into `width`, cut to `maxLines` with the last one elided
    // when more would follow; the lines are joined with newlines.
    static QString clamp(const QString& text, const QFont& font, int width, int maxLines);

    // How tall `lines` lines of `font` are as the label paints them, in whole pixels.
    static int textHeight(const QFont& font, int lines);

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    bool event(QEvent* event) override;

private:
    void reclamp();

    int maxLines_;
    QString full_;
};

}  // namespace kivo
