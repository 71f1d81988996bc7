#include "app/shell/interface_text_scale.hpp"

#include <QFont>
#include <QWidget>

#include "design/text_scale.hpp"

namespace kivo::InterfaceTextScale {

ControlSize controlSize(double scale) noexcept {
    if (scale < 1.3) return ControlSize::regular;
    if (scale < 1.75) return ControlSize::large;
    return ControlSize::extraLarge;
}

int iconSide(ControlSize size) noexcept {
    switch (size) {
        case ControlSize::regular: return 16;
        case ControlSize::large: return 20;
        case ControlSize::extraLarge: return 24;
    }
    return 16;
}

double defaultFontPoints(double scale) noexcept { return basePoints(ScaledTextStyle::body) * scale; }

void apply(QWidget* root, double scale) {
    if (root == nullptr) return;
    if (scale <= 0) scale = 1.0;
    QFont font = root->font();
    font.setPointSizeF(pointSizeForPixels(defaultFontPoints(scale), root));
    root->setFont(font);
    TextScale::apply(root, scale);
}

}  // namespace kivo::InterfaceTextScale
