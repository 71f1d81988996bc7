#include "design/eliding_label.hpp"

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

void ElidingLabel::elide() {
    // One line whatever the text holds: its line breaks read as spaces here, and in full in the name.
    QString line = full_;
    for (QChar& c : line) {
        if (c == QLatin1Char('\n') || c == QLatin1Char('\r') || c == QChar::LineSeparator ||
            c == QChar::ParagraphSeparator || c == QLatin1Char('\v') || c == QLatin1Char('\f'))
            c = QLatin1Char(' ');
    }
    setText(fontMetrics().elidedText(line, Qt::ElideRight, std::max(0, width())));
}

}  // namespace kivo
