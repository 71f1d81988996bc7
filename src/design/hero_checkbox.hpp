#pragma once

// HeroCheckbox: a rounded box beside its label, for checkbox form fields. Box 15 with corner radius 4:
// field-coloured with a 1 px border when off, accentStrong with the "checkmark" symbol (9, bold, in
// accentForeground) when on; label 8 after the box; lengths times the text scale. Flips at once, never
// animated. See ToggleRow for clicks, keys and signals.
// Accessibility: a check box named by the label (accessibleName() when set), checkable, checked while on.

#include "design/toggle_row.hpp"

namespace kivo {

class HeroCheckbox : public ToggleRow {
    Q_OBJECT

public:
    explicit HeroCheckbox(const QString& label, QWidget* parent = nullptr);

    // Where the checkmark is drawn inside the box.
    QRectF markRect() const;

protected:
    QSizeF controlSize(double scale) const override;
    double spacing(double scale) const override;
    void paintControl(QPainter& painter, const QRectF& box, double scale) override;
    void valueChanged(bool byUser) override;
};

}  // namespace kivo
