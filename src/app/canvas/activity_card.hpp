#pragma once

// ActivityCard: the card that floats over the bottom of the canvas while a long command runs in the worker,
// shown once the workspace makes its activity visible (after 0.25 s) and hidden when the activity ends.
// A column 280 x scale wide (the title, or "Cancelling…" in callout semibold; a progress bar, counting
// `completed` of `total` once a total is known, else running without an end; the detail line in caption,
// muted), then "Cancel" (tertiary, sm), 14 apart, inset 12, on `overlay` with a 1 px `border`, corner
// radius 16 and the overlay shadow, which the widget keeps room for around the card.
//
// Cancel is offered only while the workspace has its control connection; Escape presses it; it is
// disabled once the cancel is on its way. It calls WorkerLink::cancelActivity(), the card's only action.

#include <QMarginsF>
#include <QWidget>

class QHBoxLayout;
class QProgressBar;
class QVBoxLayout;

namespace kivo {

class ElidingLabel;
class HeroButton;
class Workspace;

class ActivityCard : public QWidget {
    Q_OBJECT

public:
    ActivityCard(Workspace& workspace, QWidget* parent);

    // Stands the card over the bottom centre of `area` (in the parent's coordinates), 16 inside its edges.
    void placeIn(const QRect& area);

protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;

private:
    void refresh();
    void applyMetrics();
    QMarginsF shadowMargins() const;

    Workspace& workspace_;
    QHBoxLayout* row_;
    QWidget* column_;
    QVBoxLayout* columnLayout_;
    ElidingLabel* title_;
    QProgressBar* progress_;
    ElidingLabel* detail_;
    HeroButton* cancel_;
    QRect area_;
};

}  // namespace kivo
