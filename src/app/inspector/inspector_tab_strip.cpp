#include "app/inspector/inspector_tab_strip.hpp"

#include <cmath>

#include "design/text_scale.hpp"

namespace kivo {
namespace {

PillSegment* makePill(bool titleHidden, QWidget* parent) {
    auto* pill = new PillSegment(QStringLiteral("Inspector"), HeroButtonSize::sm, parent);
    QList<SegmentItem> items;
    for (const InspectorTabInfo& entry : inspectorTabs) {
        items.append(SegmentItem{QVariant::fromValue(static_cast<int>(entry.tab)),
                                 QString::fromLatin1(entry.title), QString::fromLatin1(entry.symbol),
                                 titleHidden});
    }
    pill->setItems(items);
    return pill;
}

}  // namespace

InspectorTabStrip::InspectorTabStrip(QWidget* parent)
    : QWidget(parent), titled_(makePill(false, this)), icons_(makePill(true, this)) {
    setObjectName(QStringLiteral("inspectorTabs"));
    titled_->setObjectName(QStringLiteral("inspectorTabsTitled"));
    icons_->setObjectName(QStringLiteral("inspectorTabsIcons"));
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    for (PillSegment* pill : {titled_, icons_}) {
        connect(pill, &PillSegment::activated, this,
                [this](const QVariant& value) { emit activated(static_cast<InspectorTab>(value.toInt())); });
    }
    setTab(InspectorTab::assistant);
    choosePill();
}

void InspectorTabStrip::setTab(InspectorTab tab) {
    const QVariant value = QVariant::fromValue(static_cast<int>(tab));
    // A pick by the user glides on the pill it was made on; a change from elsewhere jumps.
    titled_->setSelection(value, titled_->isVisible());
    icons_->setSelection(value, icons_->isVisible());
}

PillSegment* InspectorTabStrip::shownPill() const { return titled_->isVisibleTo(this) ? titled_ : icons_; }

int InspectorTabStrip::inset() const { return static_cast<int>(std::lround(10 * TextScale::of(this))); }

QSize InspectorTabStrip::sizeHint() const {
    const QSize pill = titled_->sizeHint();
    return {pill.width() + 2 * inset(), pill.height() + 2 * inset()};
}

QSize InspectorTabStrip::minimumSizeHint() const {
    const QSize pill = icons_->minimumSizeHint();
    return {pill.width() + 2 * inset(), pill.height() + 2 * inset()};
}

void InspectorTabStrip::choosePill() {
    const int available = width() - 2 * inset();
    const bool titledFits = titled_->sizeHint().width() <= available;
    titled_->setVisible(titledFits);
    icons_->setVisible(!titledFits);
    PillSegment* shown = titledFits ? titled_ : icons_;
    const int height = shown->sizeHint().height();
    shown->setGeometry(inset(), inset(), std::max(0, available), height);
}

void InspectorTabStrip::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    choosePill();
}

bool InspectorTabStrip::event(QEvent* event) {
    if (event->type() == TextScale::changeEventType()) {
        updateGeometry();
        choosePill();
    }
    return QWidget::event(event);
}

}  // namespace kivo
