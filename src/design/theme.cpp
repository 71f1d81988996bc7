#include "design/theme.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "design/appearance.hpp"

namespace kivo::Theme {
namespace {

// The nine mixed values (canvas light, both defaultHover, the soft texts) are stored rounded as the design
// lists them; the token test checks them against the OKLab mixes they come from.
constexpr std::array<TokenValues, tokenCount> table{{
    {"background", {0.9702, 0, 0}, {0.12, 0.005, 285.823}},
    {"canvas", {0.909408, 0.000472, 285.89}, {0.12, 0.005, 285.823}},
    {"surface", {1, 0, 0}, {0.2103, 0.0059, 285.89}},
    {"surfaceSecondary", {0.9524, 0.0013, 286.37}, {0.257, 0.0037, 286.14}},
    {"overlay", {1, 0, 0}, {0.2103, 0.0059, 285.89}},
    {"foreground", {0.2103, 0.0059, 285.89}, {0.9911, 0, 0}},
    {"muted", {0.5, 0.0138, 285.94}, {0.705, 0.015, 286.067}},
    {"defaultFill", {0.94, 0.001, 286.375}, {0.274, 0.006, 286.033}},
    {"defaultHover", {0.896218, 0.00129399, 286.242319}, {0.317026, 0.00564, 286.033}},
    {"segment", {1, 0, 0}, {0.3964, 0.01, 285.93}},
    {"border", {0.92, 0.004, 286.32}, {0.28, 0.006, 286.033}},
    {"separator", {0.92, 0.004, 286.32}, {0.25, 0.006, 286.033}},
    {"field", {1, 0, 0}, {0.274, 0.006, 286.033}},
    {"accent", {0.6204, 0.195, 253.83}, {0.6204, 0.195, 253.83}},
    {"accentStrong", {0.56, 0.195, 253.83}, {0.56, 0.195, 253.83}},
    {"accentForeground", {0.9911, 0, 0}, {0.9911, 0, 0}},
    {"success", {0.7329, 0.1935, 150.81}, {0.7329, 0.1935, 150.81}},
    {"warning", {0.7819, 0.1585, 72.33}, {0.8203, 0.1388, 76.34}},
    {"danger", {0.6532, 0.2328, 25.74}, {0.594, 0.1967, 24.63}},
    {"dangerStrong", {0.585, 0.2328, 25.74}, {0.585, 0.2328, 25.74}},
    {"dangerForeground", {0.9911, 0, 0}, {0.9911, 0, 0}},
    {"accentSoftText", {0.480966, 0.13040442, 254.297846}, {0.701954, 0.1521, 253.83}},
    {"successSoftText", {0.482052, 0.09863495, 151.971696}, {0.7329, 0.1935, 150.81}},
    {"warningSoftText", {0.4961, 0.07680906, 71.113420}, {0.8203, 0.1388, 76.34}},
    {"dangerSoftText", {0.493756, 0.14864338, 24.933329}, {0.705188, 0.141624, 24.63}},
}};

struct ConvertedTable {
    std::array<QColor, tokenCount> light;
    std::array<QColor, tokenCount> dark;
};

const ConvertedTable& converted() {
    // A function-local static: converted on first use, exactly once, safe from any thread.
    static const ConvertedTable colours = [] {
        ConvertedTable result;
        for (int i = 0; i < tokenCount; ++i) {
            result.light[i] = toColor(table[i].light);
            result.dark[i] = toColor(table[i].dark);
        }
        return result;
    }();
    return colours;
}

int channel8(double linear) {
    return static_cast<int>(std::lround(encodeTransfer(std::clamp(linear, 0.0, 1.0)) * 255));
}

}  // namespace

LinearRGB linearRGB(const OKLCH& value) noexcept {
    const double radians = value.hue * std::numbers::pi / 180;
    const double a = value.chroma * std::cos(radians);
    const double b = value.chroma * std::sin(radians);
    const double lp = value.lightness + 0.3963377774 * a + 0.2158037573 * b;
    const double mp = value.lightness - 0.1055613458 * a - 0.0638541728 * b;
    const double sp = value.lightness - 0.0894841775 * a - 1.291485548 * b;
    const double l = lp * lp * lp;
    const double m = mp * mp * mp;
    const double s = sp * sp * sp;
    return {4.0767416621 * l - 3.3077115913 * m + 0.2309699292 * s,
            -1.2684380046 * l + 2.6097574011 * m - 0.3413193965 * s,
            -0.0041960863 * l - 0.7034186147 * m + 1.707614701 * s};
}

double encodeTransfer(double linear) noexcept {
    return linear <= 0.0031308 ? 12.92 * linear : 1.055 * std::pow(linear, 1 / 2.4) - 0.055;
}

QColor toColor(const OKLCH& value) {
    const LinearRGB rgb = linearRGB(value);
    return QColor(channel8(rgb.red), channel8(rgb.green), channel8(rgb.blue));
}

const std::array<TokenValues, tokenCount>& tokenTable() noexcept { return table; }

const TokenValues& values(Token token) noexcept { return table[static_cast<int>(token)]; }

QColor color(Token token, ColorScheme scheme) {
    const auto& colours = converted();
    const auto index = static_cast<int>(token);
    return scheme == ColorScheme::dark ? colours.dark[index] : colours.light[index];
}

QColor color(Token token) { return color(token, Appearance::currentScheme()); }

QColor focus(ColorScheme scheme) { return color(Token::accent, scheme); }

QColor focus() { return color(Token::accent); }

QEasingCurve fluid() {
    QEasingCurve curve(QEasingCurve::BezierSpline);
    curve.addCubicBezierSegment(QPointF(0.32, 0.72), QPointF(0, 1), QPointF(1, 1));
    return curve;
}

QEasingCurve pressEaseOut() {
    QEasingCurve curve(QEasingCurve::BezierSpline);
    curve.addCubicBezierSegment(QPointF(0, 0), QPointF(0.58, 1), QPointF(1, 1));
    return curve;
}

QColor withOpacity(QColor color, double opacity) {
    color.setAlphaF(static_cast<float>(color.alphaF() * std::clamp(opacity, 0.0, 1.0)));
    return color;
}

}  // namespace kivo::Theme
