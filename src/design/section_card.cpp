#include "design/section_card.hpp"

#include <algorithm>
#include <cmath>

#include <QPainter>
#include <QVBoxLayout>

#include "design/appearance.hpp"
#include "design/painting.hpp"
#include "design/shadow.hpp"
#include "design/text_scale.hpp"
#include "design/themed_label.hpp"
#include "design/wrapping_row.hpp"

namespace kivo {
namespace {

int px(double length) { return static_cast<int>(std::lround(length)); }

}  // namespace

SectionCard::SectionCard(std::optional<QString> title, std::optional<QString> subtitle, QWidget* parent)
    : QWidget(parent), title_(std::move(title)), subtitle_(std::move(subtitle)) {
    outer_ = new QVBoxLayout(this);
    // The accessory goes under the title, at the trailing edge, when the two do not fit on one line.
    header_ = new WrappingRow(6, this);
    auto* titleBox = new QWidget(header_);
    titles_ = new QVBoxLayout(titleBox);
    titles_->setSpacing(2);
    titleLabel_ =
        new ThemedLabel(QString(), ScaledTextStyle::body, QFont::DemiBold, Theme::Token::foreground);
    titleLabel_->setHeading(true);
    titleLabel_->setWordWrap(true);
    subtitleLabel_ = new ThemedLabel(QString(), ScaledTextStyle::callout, QFont::Normal, Theme::Token::muted);
    subtitleLabel_->setWordWrap(true);
    titles_->addWidget(titleLabel_);
    titles_->addWidget(subtitleLabel_);
    header_->add(titleBox);
    header_->addStretch();
    accessoryFrame_ = new QWidget(header_);
    accessoryBox_ = new QVBoxLayout(accessoryFrame_);
    accessoryBox_->setSpacing(0);
    header_->add(accessoryFrame_);
    accessoryFrame_->hide();
    outer_->addWidget(header_);
    content_ = new QVBoxLayout();
    content_->setContentsMargins(0, 0, 0, 0);
    outer_->addLayout(content_);
    outer_->addStretch(1);
    applyMetrics();
    updateHeader();
}

void SectionCard::setTitle(std::optional<QString> title) {
    title_ = std::move(title);
    updateHeader();
}

void SectionCard::setSubtitle(std::optional<QString> subtitle) {
    subtitle_ = std::move(subtitle);
    updateHeader();
}

void SectionCard::setAccessory(QWidget* accessory) {
    if (accessory_ != nullptr && accessory_ != accessory) {
        // Out of the card at once, not only once deleted: until then it would stand beside its successor,
        // seen and read out with it.
        accessory_->setParent(nullptr);
        accessory_->deleteLater();
    }
    accessory_ = accessory;
    if (accessory != nullptr) {
        accessory->setParent(accessoryFrame_);
        accessoryBox_->addWidget(accessory, 0, Qt::AlignTop | Qt::AlignRight);
    }
    accessoryFrame_->setVisible(accessory != nullptr);
    updateHeader();
}

QMarginsF SectionCard::shadowMargins() { return Shadows::reach(Shadows::surface(ColorScheme::light)); }

QRectF SectionCard::surfaceRect() const { return QRectF(rect()).marginsRemoved(shadowMargins()); }

void SectionCard::applyMetrics() {
    const double s = TextScale::of(this);
    const QMarginsF shadow = shadowMargins();
    const double inset = 12 * s;
    outer_->setContentsMargins(px(shadow.left() + inset), px(shadow.top() + inset),
                               px(shadow.right() + inset), px(shadow.bottom() + inset));
    outer_->setSpacing(px(10 * s));
    content_->setSpacing(px(10 * s));
    alignHeader();
}

void SectionCard::updateHeader() {
    titleLabel_->setText(title_.value_or(QString()));
    titleLabel_->setVisible(title_.has_value());
    subtitleLabel_->setText(subtitle_.value_or(QString()));
    subtitleLabel_->setVisible(subtitle_.has_value());
    header_->setVisible(title_.has_value() || subtitle_.has_value());
    setAccessibleName(title_.value_or(QString()));
    alignHeader();
}

// Stands in for first-baseline alignment: the accessory's middle meets the middle of the first text line,
// which puts the text of a chip or button on the title's baseline.
void SectionCard::alignHeader() {
    const ThemedLabel* first = title_.has_value() ? titleLabel_ : subtitleLabel_;
    const int line = first->fontMetrics().height();
    const int accessory = accessory_ != nullptr ? accessory_->sizeHint().height() : 0;
    titles_->setContentsMargins(0, std::max(0, (accessory - line) / 2), 0, 0);
    accessoryBox_->setContentsMargins(0, std::max(0, (line - accessory) / 2), 0, 0);
}

void SectionCard::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRectF surface = surfaceRect();
    Shadows::paint(painter, surface, cornerRadius, Shadows::surface(Appearance::currentScheme()));
    Painting::fillRounded(painter, surface, cornerRadius, Theme::color(Theme::Token::surface));
}

bool SectionCard::event(QEvent* event) {
    if (event->type() == TextScale::changeEventType()) applyMetrics();
    if (event->type() == QEvent::LayoutRequest) alignHeader();
    return QWidget::event(event);
}

}  // namespace kivo
