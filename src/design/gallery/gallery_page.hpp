#pragma once

// The gallery page: every control of the design system in each variant, size and state, the symbols, the
// colour tokens and the shadows, under a bar that switches appearance, text scale and reduced motion.
// Shown by kivo-design-gallery and photographed by the gallery screenshot test.

#include <QWidget>

#include "design/theme.hpp"

namespace kivo {

class PillSegment;
class HeroSwitch;

class GalleryPage : public QWidget {
    Q_OBJECT

public:
    explicit GalleryPage(QWidget* parent = nullptr);

    // Shows the page in `scheme` at text scale `scale`, as the bar's controls would.
    void showCase(ColorScheme scheme, double scale);
    // Sizes the page to its natural width and the height its wrapped texts need at that width.
    void fitToContents();
    // Puts keyboard focus in the sample field that shows the focused state (the window must be active).
    void focusSampleField();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QWidget* makeBar();
    void applyScale(double scale);

    PillSegment* appearancePicker_ = nullptr;
    PillSegment* scalePicker_ = nullptr;
    HeroSwitch* motionSwitch_ = nullptr;
    QWidget* focusField_ = nullptr;
};

}  // namespace kivo
