#pragma once

// ScaledStack: a plain widget holding one box layout whose spacing and margins are design lengths in
// points, multiplied by the text scale and kept so when it changes. The inspector's cards and rows are
// made of these, so no widget repeats the arithmetic. No signals; nothing here fails.

#include <QBoxLayout>
#include <QMarginsF>
#include <QWidget>

class QLabel;

namespace kivo {

class ScaledStack : public QWidget {
    Q_OBJECT

public:
    ScaledStack(Qt::Orientation orientation, double spacing, QMarginsF margins = {},
                QWidget* parent = nullptr);
    // A stack that covers all of `owner`, edge to edge.
    static ScaledStack* filling(QWidget* owner, Qt::Orientation orientation, double spacing,
                                QMarginsF margins = {});

    QBoxLayout* box() const { return box_; }
    // Adds `widget` (the stack becomes its parent) with the given stretch and alignment.
    void add(QWidget* widget, int stretch = 0, Qt::Alignment alignment = {});
    void addStretch() { box_->addStretch(1); }
    // A fixed gap of `points` × scale.
    void addSpace(double points);

    // `length` points at the scale in force for `widget`, rounded to whole pixels.
    static int scaled(const QWidget* widget, double length);

protected:
    bool event(QEvent* event) override;

private:
    void applyMetrics();

    QBoxLayout* box_;
    double spacing_;
    QMarginsF margins_;
    QList<QPair<QSpacerItem*, double>> spaces_;
};

// Lays `content` over all of `owner`, edge to edge; `owner` must have no layout yet.
void fill(QWidget* owner, QWidget* content);

// Makes `label` wrap into whatever width its row gives it, as tall as its lines, never widening the row.
void wrapInWidth(QLabel* label);

}  // namespace kivo
