#pragma once

// The application style: Fusion, with stray standard push buttons (dialog button boxes, message boxes,
// anything not built from HeroButton) drawn as tertiary medium hero buttons: a capsule in defaultFill
// (defaultHover when hovered or pressed) with a 1 px border, foreground text, padding 13 x 6 times the
// text scale, half opacity when disabled, and no stock icons on dialog buttons. Flat push buttons get the
// ghost look. Installed by
// Appearance::install(); never fails.

#include <QProxyStyle>

namespace kivo {

class HeroProxyStyle : public QProxyStyle {
    Q_OBJECT

public:
    HeroProxyStyle();

    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override;
    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget) const override;
    QSize sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& contents,
                           const QWidget* widget) const override;
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override;
};

}  // namespace kivo
