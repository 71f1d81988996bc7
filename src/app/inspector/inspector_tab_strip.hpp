#pragma once

// InspectorTabStrip: the inspector's tab strip, a pill named "Inspector" over the four tabs in size sm.
// It holds two versions of the pill, titles with symbols and symbols alone, and shows the first that fits
// its width (the second when neither does); both show the same selection. Inset 10 x scale on every side.
// Signals: activated(tab) when the user picks a segment of either; setTab() never emits.

#include "app/inspector/inspector_tab.hpp"
#include "design/pill_segment.hpp"

class QVBoxLayout;

namespace kivo {

class InspectorTabStrip : public QWidget {
    Q_OBJECT

public:
    explicit InspectorTabStrip(QWidget* parent = nullptr);

    void setTab(InspectorTab tab);
    // The pill shown now.
    PillSegment* shownPill() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

signals:
    void activated(kivo::InspectorTab tab);

protected:
    void resizeEvent(QResizeEvent* event) override;
    bool event(QEvent* event) override;

private:
    void choosePill();
    int inset() const;

    PillSegment* titled_;
    PillSegment* icons_;
};

}  // namespace kivo
