#pragma once

// PillSegment: the editor's segmented control (tools, inspector tabs, "Answers from", the scope picker).
// Equal-width segments on a defaultFill track (padding 3, corner radius 4 x scale + 16), one of them
// selected under a raised `segment`-coloured capsule with the surface shadow. A user's pick glides the
// indicator to the new segment on Theme::fluid (0.25 s), or jumps there with reduced motion.
//
// Sizes: HeroButtonSize sm or md (see PillSegmentButton). Values are QVariants, distinct within one pill.
// Narrower than its size hint, the segments first give up their padding; when a segment would still not
// show its title whole, the segments go to as many rows as that takes (equal widths, in reading order),
// and the pill grows in height for its width. Where titles of their own widths take fewer rows than equal
// widths would, they flow onto rows as words do, sharing each row's spare width. Only one segment a row
// too narrow shrinks or elides titles.
// Signals: activated(value) when the user picks a segment (mouse or Space), even the one already selected;
// setSelection() never emits, so a refresh never sends a command.
// Accessibility: a grouping named by `label`, holding one checkable button per segment named by its title
// and checked while selected. A selection matching no item shows no indicator and every title muted.

#include <QList>
#include <QWidget>

#include "design/hero_button.hpp"
#include "design/segment_button.hpp"

namespace kivo {

class Tween;

class PillSegment : public QWidget {
    Q_OBJECT

public:
    PillSegment(const QString& label, HeroButtonSize size, QWidget* parent = nullptr);

    QString label() const { return label_; }
    HeroButtonSize segmentSize() const noexcept { return size_; }

    // Replaces the segments; the selection stays the same value.
    void setItems(const QList<SegmentItem>& items);
    QList<SegmentItem> items() const;
    QList<PillSegmentButton*> segments() const { return segments_; }

    QVariant selection() const { return selection_; }
    // Shows `value` as selected. With `animated` the indicator glides (unless motion is reduced), else jumps.
    void setSelection(const QVariant& value, bool animated = false);
    // The index of the selected segment, -1 when the selection matches none.
    int selectedIndex() const noexcept { return selectedIndex_; }

    // Where the indicator is drawn now, in this widget's coordinates; empty when there is none.
    QRectF indicatorRect() const;
    double padding() const;
    double cornerRadius() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    // How many rows the segments take at `width`.
    int rowCountFor(int width) const;

signals:
    void activated(const QVariant& value);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool event(QEvent* event) override;

private:
    void layoutSegments();
    void onSegmentClicked(int index);
    QRectF segmentRect(int index) const;
    // The widths of the segments on each row at `width`, in reading order.
    QList<QList<double>> rowsFor(int width) const;
    int rowHeight() const;

    QString label_;
    HeroButtonSize size_;
    QList<PillSegmentButton*> segments_;
    QVariant selection_;
    int selectedIndex_ = -1;
    QRectF indicatorFrom_;
    QRectF indicatorTo_;
    Tween* glide_;
};

}  // namespace kivo
