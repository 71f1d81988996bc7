#include "design/empty_state_view.hpp"

#include <cmath>

#include <QPainter>
#include <QSpacerItem>
#include <QVBoxLayout>

#include "design/painting.hpp"
#include "design/symbols.hpp"
#include "design/text_scale.hpp"
#include "design/themed_label.hpp"

namespace kivo {
namespace {

constexpr double badgeSide = 44;
constexpr double symbolSize = 18;

int px(double length) { return static_cast<int>(std::lround(length)); }

}  // namespace

EmptyStateView::EmptyStateView(const QString& symbol, const QString& title, const QString& message,
                               QWidget* action, QWidget* parent)
    : QWidget(parent), symbol_(symbol), action_(action) {
    column_ = new QVBoxLayout(this);
    column_->addStretch(1);
    badge_ = new QSpacerItem(px(badgeSide), px(badgeSide), QSizePolicy::Fixed, QSizePolicy::Fixed);
    column_->addItem(badge_);
    // A box layout puts no spacing next to a spacer item, so the gap below the badge is one of its own.
    badgeGap_ = new QSpacerItem(0, 10, QSizePolicy::Minimum, QSizePolicy::Fixed);
    column_->addItem(badgeGap_);
    title_ = new ThemedLabel(title, ScaledTextStyle::title2, QFont::DemiBold, Theme::Token::foreground, this);
    title_->setAlignment(Qt::AlignHCenter);
    title_->setWordWrap(true);
    column_->addWidget(title_);
    message_ = new ThemedLabel(message, ScaledTextStyle::callout, QFont::Normal, Theme::Token::muted, this);
    message_->setAlignment(Qt::AlignHCenter);
    message_->setWordWrap(true);
    column_->addWidget(message_);
    if (action != nullptr) {
        action->setParent(this);
        column_->addWidget(action, 0, Qt::AlignHCenter);
    }
    column_->addStretch(1);
    setAccessibleName(title);
    applyMetrics();
}

QString EmptyStateView::title() const { return title_->text(); }

QString EmptyStateView::message() const { return message_->text(); }

void EmptyStateView::setMessage(const QString& message) { message_->setText(message); }

QRectF EmptyStateView::badgeRect() const {
    const QRect cell = badge_->geometry();
    const double side = badgeSide * TextScale::of(this);
    // Margins are equal left and right, so the column's middle is the widget's.
    return {width() / 2.0 - side / 2, static_cast<double>(cell.top()), side, side};
}

void EmptyStateView::applyMetrics() {
    const double s = TextScale::of(this);
    column_->setContentsMargins(px(20 * s), px(16 * s), px(20 * s), px(16 * s));
    column_->setSpacing(px(10 * s));
    badge_->changeSize(px(badgeSide * s), px(badgeSide * s), QSizePolicy::Fixed, QSizePolicy::Fixed);
    badgeGap_->changeSize(0, px(10 * s), QSizePolicy::Minimum, QSizePolicy::Fixed);
    column_->invalidate();
}

void EmptyStateView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF badge = badgeRect();
    Painting::fillRounded(painter, badge, badge.width() / 2, Theme::color(Theme::Token::defaultFill));
    const double side = Symbols::sideForFont(symbolSize * TextScale::of(this));
    const QRectF symbol(badge.center().x() - side / 2, badge.center().y() - side / 2, side, side);
    Symbols::paint(painter, symbol, symbol_, Theme::color(Theme::Token::foreground));
}

bool EmptyStateView::event(QEvent* event) {
    if (event->type() == TextScale::changeEventType()) applyMetrics();
    return QWidget::event(event);
}

}  // namespace kivo
