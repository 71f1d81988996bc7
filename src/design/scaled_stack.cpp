#include "design/scaled_stack.hpp"

#include <cmath>

#include <QLabel>
#include <QVBoxLayout>

#include "design/text_scale.hpp"

namespace kivo {

ScaledStack::ScaledStack(Qt::Orientation orientation, double spacing, QMarginsF margins, QWidget* parent)
    : QWidget(parent),
      box_(new QBoxLayout(orientation == Qt::Vertical ? QBoxLayout::TopToBottom : QBoxLayout::LeftToRight,
                          this)),
      spacing_(spacing),
      margins_(margins) {
    applyMetrics();
}

ScaledStack* ScaledStack::filling(QWidget* owner, Qt::Orientation orientation, double spacing,
                                  QMarginsF margins) {
    auto* stack = new ScaledStack(orientation, spacing, margins, owner);
    fill(owner, stack);
    return stack;
}

void ScaledStack::add(QWidget* widget, int stretch, Qt::Alignment alignment) {
    box_->addWidget(widget, stretch, alignment);
}

void ScaledStack::addSpace(double points) {
    auto* space = new QSpacerItem(0, 0, QSizePolicy::Fixed, QSizePolicy::Fixed);
    box_->addSpacerItem(space);
    spaces_.append({space, points});
    applyMetrics();
}

int ScaledStack::scaled(const QWidget* widget, double length) {
    return TextScale::pixels(length, TextScale::of(widget));
}

void ScaledStack::applyMetrics() {
    box_->setSpacing(scaled(this, spacing_));
    box_->setContentsMargins(scaled(this, margins_.left()), scaled(this, margins_.top()),
                             scaled(this, margins_.right()), scaled(this, margins_.bottom()));
    const bool vertical = box_->direction() == QBoxLayout::TopToBottom;
    for (const auto& [space, points] : spaces_) {
        const int length = scaled(this, points);
        space->changeSize(vertical ? 0 : length, vertical ? length : 0, QSizePolicy::Fixed,
                          QSizePolicy::Fixed);
    }
    box_->invalidate();
}

bool ScaledStack::event(QEvent* event) {
    if (event->type() == TextScale::changeEventType() || event->type() == QEvent::ParentChange)
        applyMetrics();
    return QWidget::event(event);
}

void fill(QWidget* owner, QWidget* content) {
    auto* frame = new QVBoxLayout(owner);
    frame->setContentsMargins(0, 0, 0, 0);
    frame->setSpacing(0);
    frame->addWidget(content);
}

void wrapInWidth(QLabel* label) {
    label->setWordWrap(true);
    // A policy set after the wrap would drop the height-for-width that the wrap asked for.
    QSizePolicy policy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    label->setSizePolicy(policy);
}

}  // namespace kivo
