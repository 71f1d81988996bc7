#include "design/hero_proxy_style.hpp"

#include <cmath>

#include <QPainter>
#include <QPushButton>
#include <QStyleFactory>
#include <QStyleOptionButton>

#include "design/appearance.hpp"
#include "design/hero_button.hpp"
#include "design/painting.hpp"
#include "design/text_scale.hpp"

namespace kivo {

HeroProxyStyle::HeroProxyStyle() : QProxyStyle(QStyleFactory::create(QStringLiteral("Fusion"))) {}

void HeroProxyStyle::drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                                 const QWidget* widget) const {
    const auto* button = qstyleoption_cast<const QStyleOptionButton*>(option);
    if (element != CE_PushButton || button == nullptr) {
        QProxyStyle::drawControl(element, option, painter, widget);
        return;
    }
    const bool enabled = (button->state & State_Enabled) != 0;
    const bool active = (button->state & (State_Sunken | State_On)) != 0 ||
                        (enabled && (button->state & State_MouseOver) != 0);
    const bool flat = (button->features & QStyleOptionButton::Flat) != 0;
    const HeroButtonColors colors = HeroButton::colors(
        flat ? HeroButtonVariant::ghost : HeroButtonVariant::tertiary, active, Appearance::currentScheme());
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    if (!enabled) painter->setOpacity(Painting::disabledOpacity);
    const QRectF face = QRectF(button->rect);
    const double radius = face.height() / 2;
    Painting::fillRounded(*painter, face, radius, colors.fill);
    Painting::strokeRoundedInside(*painter, face, radius, 1, colors.border);
    if ((button->state & State_HasFocus) != 0 && (button->state & State_KeyboardFocusChange) != 0)
        Painting::focusRing(*painter, face, radius);
    // The label is drawn as if enabled: the opacity above already dims it once.
    QStyleOptionButton label = *button;
    label.state |= State_Enabled;
    label.palette.setColor(QPalette::ButtonText, colors.text);
    QProxyStyle::drawControl(CE_PushButtonLabel, &label, painter, widget);
    painter->restore();
}

void HeroProxyStyle::drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                                   const QWidget* widget) const {
    // Push buttons show focus with the capsule's ring drawn above.
    if (element == PE_FrameFocusRect && qobject_cast<const QPushButton*>(widget) != nullptr) return;
    QProxyStyle::drawPrimitive(element, option, painter, widget);
}

QSize HeroProxyStyle::sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& contents,
                                       const QWidget* widget) const {
    if (type != CT_PushButton) return QProxyStyle::sizeFromContents(type, option, contents, widget);
    const double s = TextScale::of(widget);
    return {contents.width() + static_cast<int>(std::ceil(26 * s)),
            contents.height() + static_cast<int>(std::ceil(12 * s))};
}

int HeroProxyStyle::styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                              QStyleHintReturn* returnData) const {
    // Some platform themes put stock icons on OK and Cancel; hero buttons carry text alone.
    if (hint == SH_DialogButtonBox_ButtonsHaveIcons) return 0;
    return QProxyStyle::styleHint(hint, option, widget, returnData);
}

}  // namespace kivo
