#pragma once

// What assistive technologies learn about the design's controls, where Qt's defaults would be wrong:
// HeroButton and pill segments are buttons (segments checkable, checked while selected); HeroSwitch and
// HeroCheckbox are check boxes named by their label; a Chip is static text; a ThemedLabel is static text
// or a heading; PillSegment, SectionCard, EmptyStateView and HeroField are groupings; a CardRow is one
// static-text element reading label and value together; a StatusMessage is one static-text element
// ("Warning: " or "Error: " and its message); a RowButton is one button named by its accessible name,
// selected while it says so. Each control's header states its own.

#include <QAccessibleWidget>

namespace kivo {

// Registers the design's accessibility factory with Qt. Appearance::install() calls it at start-up; a
// second call changes nothing.
void installAccessibility();

// An element read as a whole: its parts are not offered one by one. Subclasses say what it is named.
class WholeAccessible : public QAccessibleWidget {
public:
    using QAccessibleWidget::QAccessibleWidget;

    int childCount() const override { return 0; }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
};

}  // namespace kivo
