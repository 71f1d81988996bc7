#include "design/status_message.hpp"

#include <cmath>

#include <QAccessible>
#include <QHBoxLayout>
#include <QPainter>

#include "design/painting.hpp"
#include "design/symbols.hpp"
#include "design/themed_label.hpp"

namespace kivo {
namespace {

constexpr double toneOpacity = 0.15;
constexpr double cornerRadius = 12;

// The banner's symbol, centred on the height of the message's first line.
class BannerSymbol : public QWidget {
public:
    explicit BannerSymbol(QWidget* parent) : QWidget(parent) {}

    QString name;
    Theme::Token colour = Theme::Token::warningSoftText;
    double side = 12;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF box((width() - side) / 2, (height() - side) / 2, side, side);
        Symbols::paint(painter, box, name, Theme::color(colour));
    }
};

}  // namespace

StatusMessage::StatusMessage(Kind kind, const QString& text, ScaledTextStyle style, QWidget* parent)
    : QWidget(parent),
      kind_(kind),
      row_(new QHBoxLayout(this)),
      icon_(new BannerSymbol(this)),
      label_(new ThemedLabel(text, style, QFont::Normal, Theme::Token::foreground, this)) {
    label_->setWordWrap(true);
    // At the top, beside the symbol, even where the row is given more height than the text needs.
    label_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    row_->addWidget(icon_, 0, Qt::AlignTop);
    row_->addWidget(label_, 1);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    setKind(kind);
    applyMetrics();
}

void StatusMessage::setKind(Kind kind) {
    kind_ = kind;
    auto* symbol = static_cast<BannerSymbol*>(icon_);
    symbol->name = kind == Kind::warning ? QStringLiteral("exclamationmark.triangle.fill")
                                         : QStringLiteral("xmark.octagon.fill");
    symbol->colour = kind == Kind::warning ? Theme::Token::warningSoftText : Theme::Token::dangerSoftText;
    update();
    QAccessibleEvent event(this, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&event);
}

QString StatusMessage::text() const { return label_->text(); }

void StatusMessage::setText(const QString& text) {
    if (text == label_->text()) return;
    label_->setText(text);
    QAccessibleEvent event(this, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&event);
}

QString StatusMessage::spokenText() const {
    return (kind_ == Kind::warning ? QStringLiteral("Warning: ") : QStringLiteral("Error: ")) + text();
}

void StatusMessage::applyMetrics() {
    const double s = TextScale::of(this);
    row_->setSpacing(static_cast<int>(std::lround(6 * s)));
    const int horizontal = static_cast<int>(std::lround(8 * s));
    const int vertical = static_cast<int>(std::lround(6 * s));
    row_->setContentsMargins(horizontal, vertical, horizontal, vertical);
    auto* symbol = static_cast<BannerSymbol*>(icon_);
    symbol->side = Symbols::sideForFont(basePoints(label_->textStyle()) * s);
    // The label may not have taken the new scale yet: measure the font it is about to get.
    const int line = QFontMetrics(scaledFont(label_->textStyle(), QFont::Normal, s, label_)).height();
    icon_->setFixedSize(static_cast<int>(std::ceil(symbol->side)),
                        std::max(line, static_cast<int>(symbol->side)));
}

void StatusMessage::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor tone = Theme::color(kind_ == Kind::warning ? Theme::Token::warning : Theme::Token::danger);
    Painting::fillRounded(painter, QRectF(rect()), cornerRadius, Theme::withOpacity(tone, toneOpacity));
}

bool StatusMessage::event(QEvent* event) {
    if (event->type() == TextScale::changeEventType() || event->type() == QEvent::ParentChange)
        applyMetrics();
    return QWidget::event(event);
}

}  // namespace kivo
