#include "design/clamped_label.hpp"

#include <QFontMetricsF>
#include <QTextLayout>

#include <cmath>

#include "design/literal_text.hpp"

namespace kivo {

ClampedLabel::ClampedLabel(int maxLines, ScaledTextStyle style, Theme::Token colour, QWidget* parent)
    : ThemedLabel(QString(), style, QFont::Normal, colour, parent), maxLines_(std::max(1, maxLines)) {
    setWordWrap(true);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
}

void ClampedLabel::setFullText(const QString& text) {
    if (text == full_ && !text.isEmpty()) return;
    full_ = text;
    LiteralText::setToolTip(*this, text);
    setAccessibleName(text);
    reclamp();
    updateGeometry();
}

QString ClampedLabel::clamp(const QString& text, const QFont& font, int width, int maxLines) {
    if (text.isEmpty() || width <= 0) return text;
    // Line breaks of the text itself count as lines too; the layout wraps each paragraph on its own.
    QString flat = text;
    flat.replace(QLatin1Char('\n'), QChar::LineSeparator);
    QTextLayout layout(flat, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    QStringList lines;
    layout.beginLayout();
    while (true) {
        QTextLine line = layout.createLine();
        if (!line.isValid()) break;
        line.setLineWidth(width);
        if (lines.size() == maxLines - 1) {
            // The last line shown takes all that is left, elided when it does not fit.
            QString rest = flat.mid(line.textStart());
            rest.replace(QChar::LineSeparator, QLatin1Char(' '));
            lines << QFontMetrics(font).elidedText(rest, Qt::ElideRight, width);
            break;
        }
        lines << flat.mid(line.textStart(), line.textLength()).remove(QChar::LineSeparator).trimmed();
    }
    layout.endLayout();
    return lines.join(QLatin1Char('\n'));
}

int ClampedLabel::heightForWidth(int width) const {
    const QMargins margins = contentsMargins();
    const int inner = std::max(1, width - margins.left() - margins.right());
    const QString shown = clamp(full_, font(), inner, maxLines_);
    const int lines = shown.isEmpty() ? 1 : static_cast<int>(shown.count(QLatin1Char('\n'))) + 1;
    return textHeight(font(), lines) + margins.top() + margins.bottom();
}

int ClampedLabel::textHeight(const QFont& font, int lines) {
    // Laid out as the label paints it, in fractional pixels: each line as tall as the font's ascent and
    // descent, its leading between them. The rounded line spacing taken whole times over falls short of
    // that by the third line at some sizes, and the painter clips the descenders that do not fit.
    const QFontMetricsF metrics(font);
    const double height = lines * metrics.height() + (lines - 1) * metrics.leading();
    return std::max(static_cast<int>(std::ceil(height)), lines * QFontMetrics(font).lineSpacing());
}

QSize ClampedLabel::sizeHint() const {
    const int width = fontMetrics().horizontalAdvance(full_.left(60));
    return {width, heightForWidth(std::max(1, width))};
}

QSize ClampedLabel::minimumSizeHint() const { return {0, fontMetrics().lineSpacing()}; }

bool ClampedLabel::event(QEvent* event) {
    const bool handled = ThemedLabel::event(event);
    if (event->type() == QEvent::Resize || event->type() == QEvent::FontChange) reclamp();
    return handled;
}

void ClampedLabel::reclamp() {
    const QMargins margins = contentsMargins();
    const QString shown =
        clamp(full_, font(), std::max(1, width() - margins.left() - margins.right()), maxLines_);
    if (shown != text()) setText(shown);
}

}  // namespace kivo
