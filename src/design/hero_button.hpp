#pragma once

// HeroButton: the editor's one push button, a capsule whose fill follows variant, hover and press.
//
// Variants (HeroButtonVariant): primary (accentStrong, accent when active, accentForeground text),
// secondary and tertiary (defaultFill / defaultHover, foreground text; tertiary alone has a 1 px border),
// ghost (clear / defaultFill), danger (dangerStrong / danger, dangerForeground text) and dangerSoft
// (danger at 15 % / 22 %, dangerSoftText text). "Active" is pressed, or hovered while enabled.
// Sizes (HeroButtonSize): sm (callout text, padding 10 x 4, icon-only 6 x 4 and at least 22 wide) and
// md (body text, padding 13 x 6, icon-only 8 x 6 and at least 26 wide), all times the text scale.
// Pressing shrinks the face to 0.97 and moves the fill with a 0.12 s ease-out; with reduced motion it does
// not shrink and nothing animates. Disabled buttons draw at half opacity and keep their rest fill.
//
// Signals: QAbstractButton's; callers act on clicked() only. Keyboard: Tab focus, Space presses.
// Accessibility: role Button, named by accessibleName(), else the text, else the tooltip (icon-only
// buttons are made with their label as both); states focusable, pressed, disabled; action press.

#include <QAbstractButton>
#include <QMarginsF>

#include "design/painting.hpp"
#include "design/theme.hpp"

namespace kivo {

class Tween;

enum class HeroButtonVariant { primary, secondary, tertiary, ghost, danger, dangerSoft };
enum class HeroButtonSize { sm, md };

// What a button paints in one state; `border` is transparent for all but tertiary.
struct HeroButtonColors {
    QColor fill;
    QColor text;
    QColor border;
};

class HeroButton : public QAbstractButton {
    Q_OBJECT

public:
    explicit HeroButton(const QString& text, HeroButtonVariant variant = HeroButtonVariant::tertiary,
                        HeroButtonSize size = HeroButtonSize::md, QWidget* parent = nullptr);

    // A button whose label is the symbol `symbol`; `label` becomes its tooltip and accessible name.
    static HeroButton* iconOnly(const QString& symbol, const QString& label, HeroButtonVariant variant,
                                HeroButtonSize size, QWidget* parent = nullptr);

    HeroButtonVariant variant() const noexcept { return variant_; }
    void setVariant(HeroButtonVariant variant);
    HeroButtonSize buttonSize() const noexcept { return size_; }
    void setButtonSize(HeroButtonSize size);
    // A symbol drawn before the text, or alone for an icon-only button; empty for none.
    QString symbol() const { return symbol_; }
    void setSymbol(const QString& symbol);
    bool isIconOnly() const noexcept { return iconOnly_; }
    void setIconOnly(bool iconOnly);

    // The padding around the label at the current size and text scale.
    QMarginsF padding() const;
    bool isHovered() const noexcept { return hovered_; }
    // How far the face is shrunk now: 1.0 at rest, 0.97 fully pressed.
    double pressScale() const;

    static HeroButtonColors colors(HeroButtonVariant variant, bool active, ColorScheme scheme);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    // A text button without a symbol narrower than its title wraps it between words and grows in height.
    bool hasHeightForWidth() const override;
    int heightForWidth(int width) const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    bool event(QEvent* event) override;
    bool hitButton(const QPoint& pos) const override;

private:
    void syncPress();
    QFont labelFont() const;
    Painting::Label content() const;

    HeroButtonVariant variant_;
    HeroButtonSize size_;
    QString symbol_;
    bool iconOnly_ = false;
    bool hovered_ = false;
    Tween* press_;
};

}  // namespace kivo
