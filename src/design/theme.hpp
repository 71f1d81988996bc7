#pragma once

// The editor's palette: 25 named colours, each a light and a dark OKLCH value, plus the focus colour and the
// two motion curves of the controls. Every colour a control or window of the editor draws comes from here,
// except black for shadows and transparent.
//
// The OKLCH values are converted once per process to sRGB: the Linux desktop is colour-unmanaged, so the
// conversion goes OKLCH -> OKLab -> linear sRGB, clamps each channel to [0, 1] (no gamut mapping: an
// out-of-gamut colour is clipped channel by channel) and applies the sRGB transfer curve. Nothing here fails.

#include <array>
#include <string_view>

#include <QColor>
#include <QEasingCurve>

namespace kivo {

enum class ColorScheme { light, dark };

namespace Theme {

struct OKLCH {
    double lightness = 0;  // 0 to 1
    double chroma = 0;     // 0 is a grey, whatever the hue
    double hue = 0;        // degrees
};

struct LinearRGB {
    double red = 0;
    double green = 0;
    double blue = 0;
};

// The value in linear sRGB, unclamped.
LinearRGB linearRGB(const OKLCH& value) noexcept;

// The sRGB transfer curve for one linear channel already clamped to [0, 1]; 0.0031308 takes the linear
// branch.
double encodeTransfer(double linear) noexcept;

// The value as an opaque sRGB colour: clamped per channel, encoded, rounded to 8 bits per channel.
QColor toColor(const OKLCH& value);

// In declaration order; the order is the table's and the gallery's.
enum class Token {
    background,
    canvas,
    surface,
    surfaceSecondary,
    overlay,
    foreground,
    muted,
    defaultFill,
    defaultHover,
    segment,
    border,
    separator,
    field,
    accent,
    accentStrong,
    accentForeground,
    success,
    warning,
    danger,
    dangerStrong,
    dangerForeground,
    accentSoftText,
    successSoftText,
    warningSoftText,
    dangerSoftText,
};
inline constexpr int tokenCount = 25;

struct TokenValues {
    std::string_view name;  // the token's name as written in code, "surfaceSecondary"
    OKLCH light;
    OKLCH dark;
};

// Every token in declaration order.
const std::array<TokenValues, tokenCount>& tokenTable() noexcept;
const TokenValues& values(Token token) noexcept;

// The converted colour of `token` in `scheme`; converted once per process on first use, from any thread.
QColor color(Token token, ColorScheme scheme);
// The same in the scheme the application shows now (Appearance).
QColor color(Token token);

// A focused field's ring: always the accent colour.
QColor focus(ColorScheme scheme);
QColor focus();

// Selection changes (the pill's indicator, the switch's knob): a cubic Bezier through (0.32, 0.72) and (0,
// 1).
QEasingCurve fluid();
inline constexpr int fluidMilliseconds = 250;
// Presses: an ease-out, the curve through (0, 0) and (0.58, 1).
QEasingCurve pressEaseOut();
inline constexpr int pressMilliseconds = 120;

// `color` with its alpha multiplied by `opacity`.
QColor withOpacity(QColor color, double opacity);

}  // namespace Theme
}  // namespace kivo
