#pragma once

// WrappingRow: a row of controls that goes on to further lines when its width runs out, as words do,
// instead of growing wider than its column. Each control keeps its size hint while that fits a line and
// gets the whole line (never less than its minimum) when it does not; controls that grow in height for
// their width (a wrapping label, a pill in rows) get that height. On each line the controls are centred
// vertically; those added after addStretch() keep to the trailing edge of the line they land on.
// Spacing between controls and between lines is in points × the text scale. No signals; nothing fails.

#include <QLayout>
#include <QWidget>

namespace kivo {

class WrappingRow : public QWidget {
    Q_OBJECT

public:
    WrappingRow(double spacing, QWidget* parent = nullptr);

    // Adds `widget` at the end (the row becomes its parent).
    void add(QWidget* widget);
    // The controls added from now on keep to the trailing edge.
    void addStretch();

    // How many lines the row takes at its present width, counting only shown controls.
    int lineCount() const;

protected:
    bool event(QEvent* event) override;

private:
    class Layout;
    Layout* layout_;
    double spacing_;
};

}  // namespace kivo
