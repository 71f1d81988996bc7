#pragma once

// HeroSwitch: an on/off switch with a pill-shaped knob, beside its label ("Allow MCP on this document").
// Track 32 x 18 (accentStrong when on; defaultFill with a 1 px border when off), knob 18.2 x 14 in
// accentForeground, 2 from the track's ends, with its own small shadow; label 9 after the track; all
// lengths times the text scale. A user's flip slides the knob and recolours the track on Theme::fluid,
// or jumps with reduced motion; setChecked() always jumps. See ToggleRow for clicks, keys and signals.
// Accessibility: a check box named by the label (accessibleName() when set), checkable, checked while on.

#include "design/toggle_row.hpp"

namespace kivo {

class Tween;

class HeroSwitch : public ToggleRow {
    Q_OBJECT

public:
    explicit HeroSwitch(const QString& label, QWidget* parent = nullptr);

    // The knob's place now: 0 at the leading end (off), 1 at the trailing end (on).
    double knobPosition() const;
    QRectF knobRect() const;

protected:
    QSizeF controlSize(double scale) const override;
    double spacing(double scale) const override;
    void paintControl(QPainter& painter, const QRectF& box, double scale) override;
    void valueChanged(bool byUser) override;

private:
    QRectF knobRectIn(const QRectF& track, double scale) const;

    Tween* knob_;
};

}  // namespace kivo
