#include "design/themed_label.hpp"

#include "design/appearance.hpp"

namespace kivo {

ThemedLabel::ThemedLabel(const QString& text, ScaledTextStyle style, QFont::Weight weight, Theme::Token color,
                         QWidget* parent)
    : QLabel(parent), style_(style), weight_(weight), color_(color) {
    setTextFormat(Qt::PlainText);
    setText(text);
    applyFont();
    applyColor();
    // Without an installed palette a scheme change raises no PaletteChange, so listen for it directly.
    connect(&Appearance::instance(), &Appearance::schemeChanged, this, &ThemedLabel::applyColor);
}

bool ThemedLabel::event(QEvent* event) {
    const QEvent::Type type = event->type();
    if (type == TextScale::changeEventType() || type == QEvent::ParentChange) applyFont();
    // Setting our own colour raises another PaletteChange; applyColor() stops when nothing differs.
    if (type == QEvent::PaletteChange || type == QEvent::ParentChange) applyColor();
    return QLabel::event(event);
}

void ThemedLabel::applyFont() {
    const QFont font = scaledFont(style_, weight_, TextScale::of(this), this);
    if (font != this->font()) setFont(font);
}

void ThemedLabel::applyColor() {
    const QColor colour = Theme::color(color_);
    if (palette().color(QPalette::WindowText) == colour &&
        palette().isBrushSet(QPalette::Active, QPalette::WindowText))
        return;
    QPalette p = palette();
    for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        p.setColor(group, QPalette::WindowText, colour);
    setPalette(p);
}

}  // namespace kivo
