#include "app/eliding_label.hpp"

#include "design/literal_text.hpp"

namespace kivo {

ElidingLabel::ElidingLabel(ScaledTextStyle style, QFont::Weight weight, Theme::Token colour, QWidget* parent)
    : ThemedLabel(QString(), style, weight, colour, parent) {
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    setMinimumWidth(0);
}

void ElidingLabel::setFullText(const QString& text) {
    if (text == full_ && !text.isEmpty()) return;
    full_ = text;
    setAccessibleName(text);
    LiteralText::setToolTip(*this, text);
    elide();
}

bool ElidingLabel::event(QEvent* event) {
    const bool handled = ThemedLabel::event(event);
    if (event->type() == QEvent::Resize || event->type() == QEvent::FontChange) elide();
    return handled;
}

void ElidingLabel::elide() { setText(fontMetrics().elidedText(full_, Qt::ElideRight, std::max(0, width()))); }

}  // namespace kivo
