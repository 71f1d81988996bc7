#include "app/canvas/activity_card.hpp"

#include <cmath>

#include <QHBoxLayout>
#include <QPainter>
#include <QProgressBar>
#include <QVBoxLayout>

#include "design/appearance.hpp"
#include "design/eliding_label.hpp"
#include "design/hero_button.hpp"
#include "design/painting.hpp"
#include "design/shadow.hpp"
#include "design/text_scale.hpp"
#include "workspace/worker_link.hpp"
#include "workspace/workspace.hpp"

namespace kivo {
namespace {

constexpr double cornerRadius = 16;
constexpr int inset = 12;
constexpr int spacing = 14;
constexpr int columnSpacing = 5;
constexpr int columnWidth = 280;
constexpr int areaInset = 16;
constexpr int progressHeight = 8;

}  // namespace

ActivityCard::ActivityCard(Workspace& workspace, QWidget* parent)
    : QWidget(parent),
      workspace_(workspace),
      row_(new QHBoxLayout(this)),
      column_(new QWidget(this)),
      columnLayout_(new QVBoxLayout(column_)),
      title_(new ElidingLabel(ScaledTextStyle::callout, QFont::DemiBold, Theme::Token::foreground, column_)),
      progress_(new QProgressBar(column_)),
      detail_(new ElidingLabel(ScaledTextStyle::caption, QFont::Normal, Theme::Token::muted, column_)),
      cancel_(
          new HeroButton(QStringLiteral("Cancel"), HeroButtonVariant::tertiary, HeroButtonSize::sm, this)) {
    setObjectName(QStringLiteral("activityCard"));
    title_->setObjectName(QStringLiteral("activityTitle"));
    detail_->setObjectName(QStringLiteral("activityDetail"));
    cancel_->setObjectName(QStringLiteral("activityCancel"));
    progress_->setObjectName(QStringLiteral("activityProgress"));
    progress_->setTextVisible(false);
    progress_->setFixedHeight(progressHeight);
    columnLayout_->setContentsMargins(0, 0, 0, 0);
    columnLayout_->setSpacing(columnSpacing);
    columnLayout_->addWidget(title_);
    columnLayout_->addWidget(progress_);
    columnLayout_->addWidget(detail_);
    row_->setSpacing(spacing);
    row_->addWidget(column_, 0, Qt::AlignVCenter);
    row_->addWidget(cancel_, 0, Qt::AlignVCenter);
    cancel_->setShortcut(QKeySequence(Qt::Key_Escape));
    connect(cancel_, &HeroButton::clicked, &workspace_.link(), &WorkerLink::cancelActivity);
    connect(&workspace_.link(), &WorkerLink::activityChanged, this, &ActivityCard::refresh);
    connect(&Appearance::instance(), &Appearance::schemeChanged, this, [this] {
        applyMetrics();
        update();
    });
    hide();
    applyMetrics();
    refresh();
}

QMarginsF ActivityCard::shadowMargins() const {
    return Shadows::reach(Shadows::overlay(Appearance::currentScheme()));
}

void ActivityCard::applyMetrics() {
    const QMarginsF reach = shadowMargins();
    row_->setContentsMargins(static_cast<int>(std::ceil(reach.left())) + inset,
                             static_cast<int>(std::ceil(reach.top())) + inset,
                             static_cast<int>(std::ceil(reach.right())) + inset,
                             static_cast<int>(std::ceil(reach.bottom())) + inset);
    column_->setFixedWidth(static_cast<int>(std::lround(columnWidth * TextScale::of(this))));
    if (isVisible()) placeIn(area_);
}

void ActivityCard::refresh() {
    const auto& activity = workspace_.link().activity();
    const bool shown = activity && activity->visible;
    if (shown) {
        const QString title = QString::fromStdString(activity->title);
        title_->setFullText(activity->cancelling ? QStringLiteral("Cancelling…") : title);
        if (activity->total >= 1) {
            progress_->setRange(0, static_cast<int>(std::min<std::int64_t>(activity->total, INT32_MAX)));
            progress_->setValue(
                static_cast<int>(std::clamp<std::int64_t>(activity->completed, 0, activity->total)));
        } else {
            progress_->setRange(0, 0);
        }
        progress_->setAccessibleName(title);
        detail_->setFullText(QString::fromStdString(activity->detail()));
        cancel_->setVisible(workspace_.link().hasControlConnection());
        cancel_->setEnabled(!activity->cancelling);
        cancel_->setAccessibleDescription(title);
    }
    // isHidden, not isVisible: the card must stay hidden when its column is shown later.
    if (shown == isHidden()) {
        setVisible(shown);
        if (shown) {
            placeIn(area_);
            raise();
        }
    }
}

void ActivityCard::placeIn(const QRect& area) {
    area_ = area;
    if (area.isEmpty()) return;
    const QSize size = sizeHint();
    const QMarginsF reach = shadowMargins();
    const int x = area.left() + (area.width() - size.width()) / 2;
    const int y = area.bottom() + 1 - areaInset - size.height() + static_cast<int>(std::ceil(reach.bottom()));
    setGeometry(x, y, size.width(), size.height());
}

void ActivityCard::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF card = QRectF(rect()).marginsRemoved(
        QMarginsF(std::ceil(shadowMargins().left()), std::ceil(shadowMargins().top()),
                  std::ceil(shadowMargins().right()), std::ceil(shadowMargins().bottom())));
    Shadows::paint(painter, card, cornerRadius, Shadows::overlay(Appearance::currentScheme()));
    Painting::fillRounded(painter, card, cornerRadius, Theme::color(Theme::Token::overlay));
    Painting::strokeRoundedInside(painter, card, cornerRadius, 1, Theme::color(Theme::Token::border));
}

bool ActivityCard::event(QEvent* event) {
    if (event->type() == TextScale::changeEventType()) applyMetrics();
    return QWidget::event(event);
}

}  // namespace kivo
