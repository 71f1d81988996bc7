#pragma once

// One segment of a PillSegment: a button showing the item's symbol and title (or the symbol alone when the
// title is hidden), in foreground when selected and muted otherwise. It never toggles itself: the pill
// decides which segment is selected and sets it checked. Callers reach segments only through PillSegment.
//
// Sizes: sm (callout, padding 9 x 4) and md (body, padding 12 x 5.5), symbol and title 5 apart, all times
// the text scale. A segment narrower than that first gives up its side padding, down to 3 x scale a side
// (minimumSizeHint() is that width, the title whole at its size); only narrower still does the title
// shrink to 0.7 of its size, then elide. The title is also the tooltip. Accessibility: a checkable button
// named by the title, checked while selected; action press.

#include <QAbstractButton>
#include <QVariant>

#include "design/hero_button.hpp"
#include "design/painting.hpp"

namespace kivo {

struct SegmentItem {
    QVariant value;  // what the segment selects; distinct within one pill
    QString title;   // text, tooltip and accessible name
    QString symbol;  // shown before the title; empty for none
    bool titleHidden = false;
};

class PillSegmentButton : public QAbstractButton {
    Q_OBJECT

public:
    PillSegmentButton(const SegmentItem& item, HeroButtonSize size, QWidget* parent);

    const SegmentItem& item() const noexcept { return item_; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void nextCheckState() override;
    bool event(QEvent* event) override;

private:
    QFont labelFont() const;
    QMarginsF padding() const;
    // The padding at the present width: the full one while it fits, less as the face narrows.
    QMarginsF paddingAt(double width) const;
    Painting::Label content() const;

    SegmentItem item_;
    HeroButtonSize size_;
};

}  // namespace kivo
