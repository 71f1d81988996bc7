#pragma once

// ThemedLabel: a QLabel in one text role, weight and colour token, which follows the text scale and the
// appearance by itself. Its text is always plain (a title from a PDF never renders as markup or loads an
// image). Cards, rows and empty states use it for their titles, subtitles, labels and messages.
// Accessibility: static text named by the text, or a heading when setHeading(true).

#include <QLabel>

#include "design/text_scale.hpp"
#include "design/theme.hpp"

namespace kivo {

class ThemedLabel : public QLabel {
    Q_OBJECT

public:
    ThemedLabel(const QString& text, ScaledTextStyle style, QFont::Weight weight, Theme::Token color,
                QWidget* parent = nullptr);

    ScaledTextStyle textStyle() const noexcept { return style_; }
    Theme::Token colorToken() const noexcept { return color_; }
    bool isHeading() const noexcept { return heading_; }
    void setHeading(bool heading) { heading_ = heading; }

protected:
    bool event(QEvent* event) override;

private:
    void applyFont();
    void applyColor();

    ScaledTextStyle style_;
    QFont::Weight weight_;
    Theme::Token color_;
    bool heading_ = false;
};

}  // namespace kivo
