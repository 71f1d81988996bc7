#include "design/appearance.hpp"

#include <atomic>

#include <QApplication>
#include <QWidget>

#include "design/accessibility.hpp"
#include "design/desktop_portal.hpp"
#include "design/hero_proxy_style.hpp"

namespace kivo {
namespace {

std::atomic<ColorScheme> shownScheme{ColorScheme::light};
std::atomic<bool> shownReduceMotion{false};

// The portal's values: 0 no preference, 1 prefers dark, 2 prefers light.
constexpr quint32 portalPrefersDark = 1;
constexpr quint32 portalPrefersLight = 2;

}  // namespace

ColorScheme resolveScheme(const AppearanceInputs& inputs) {
    if (inputs.appearanceVariable == "light") return ColorScheme::light;
    if (inputs.appearanceVariable == "dark") return ColorScheme::dark;
    if (inputs.portalColorScheme == portalPrefersDark) return ColorScheme::dark;
    if (inputs.portalColorScheme == portalPrefersLight) return ColorScheme::light;
    if (inputs.platformWindow.isValid() && inputs.platformWindow.lightnessF() < 0.5) return ColorScheme::dark;
    return ColorScheme::light;
}

bool resolveReduceMotion(const AppearanceInputs& inputs) {
    if (inputs.reduceMotionVariable == "1") return true;
    if (inputs.reduceMotionVariable == "0") return false;
    return inputs.portalAnimationsEnabled == false;
}

QPalette buildPalette(ColorScheme scheme) {
    using Theme::Token;
    const auto c = [scheme](Token token) { return Theme::color(token, scheme); };
    QPalette palette;
    const auto setAll = [&palette](QPalette::ColorRole role, const QColor& colour) {
        for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
            palette.setColor(group, role, colour);
    };
    setAll(QPalette::Window, c(Token::background));
    setAll(QPalette::WindowText, c(Token::foreground));
    setAll(QPalette::Base, c(Token::field));
    setAll(QPalette::AlternateBase, c(Token::surfaceSecondary));
    setAll(QPalette::ToolTipBase, c(Token::overlay));
    setAll(QPalette::ToolTipText, c(Token::foreground));
    setAll(QPalette::PlaceholderText, c(Token::muted));
    setAll(QPalette::Text, c(Token::foreground));
    setAll(QPalette::Button, c(Token::defaultFill));
    setAll(QPalette::ButtonText, c(Token::foreground));
    setAll(QPalette::BrightText, c(Token::accentForeground));
    setAll(QPalette::Light, c(Token::surface));
    setAll(QPalette::Midlight, c(Token::surfaceSecondary));
    setAll(QPalette::Mid, c(Token::border));
    setAll(QPalette::Dark, c(Token::muted));
    setAll(QPalette::Shadow, QColor(0, 0, 0));
    setAll(QPalette::Highlight, c(Token::accent));
    setAll(QPalette::HighlightedText, c(Token::accentForeground));
    setAll(QPalette::Link, c(Token::accentSoftText));
    setAll(QPalette::LinkVisited, c(Token::accentSoftText));
    for (const auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        palette.setColor(QPalette::Disabled, role, c(Token::muted));
    palette.setColor(QPalette::Disabled, QPalette::Highlight, c(Token::defaultHover));
    return palette;
}

Appearance& Appearance::instance() {
    static Appearance* appearance = new Appearance();
    return *appearance;
}

ColorScheme Appearance::currentScheme() noexcept { return shownScheme.load(std::memory_order_relaxed); }

bool Appearance::motionReduced() noexcept { return shownReduceMotion.load(std::memory_order_relaxed); }

Appearance::Appearance() {
    // Never deleted: controls may ask for the scheme until the very end of the process.
    if (qApp != nullptr) platformWindow_ = QGuiApplication::palette().color(QPalette::Window);
    refresh();
}

void Appearance::install(QApplication& app) {
    if (installed_) return;
    platformWindow_ = QGuiApplication::palette().color(QPalette::Window);
    installAccessibility();
    app.setStyle(new HeroProxyStyle());
    portal_ = new DesktopPortal(this);
    connect(portal_, &DesktopPortal::changed, this, &Appearance::refresh);
    portal_->start();
    installed_ = true;
    refresh();
    app.setPalette(buildPalette(scheme_));
}

void Appearance::overrideScheme(std::optional<ColorScheme> scheme) {
    forcedScheme_ = scheme;
    refresh();
}

void Appearance::overrideReduceMotion(std::optional<bool> reduced) {
    forcedReduceMotion_ = reduced;
    refresh();
}

AppearanceInputs Appearance::inputs() const {
    AppearanceInputs in;
    in.appearanceVariable = qgetenv("KIVO_PDF_APPEARANCE");
    in.reduceMotionVariable = qgetenv("KIVO_PDF_REDUCE_MOTION");
    if (portal_ != nullptr) {
        in.portalColorScheme = portal_->colorScheme();
        in.portalAnimationsEnabled = portal_->animationsEnabled();
    }
    in.platformWindow = platformWindow_;
    return in;
}

void Appearance::refresh() {
    const AppearanceInputs in = inputs();
    const ColorScheme scheme = forcedScheme_.value_or(resolveScheme(in));
    const bool reduced = forcedReduceMotion_.value_or(resolveReduceMotion(in));

    const bool schemeChangedNow = scheme != scheme_;
    scheme_ = scheme;
    shownScheme.store(scheme, std::memory_order_relaxed);
    if (schemeChangedNow) {
        // The palette change repaints every widget; painted controls read the scheme stored just above.
        if (installed_) QApplication::setPalette(buildPalette(scheme));
        if (qApp != nullptr) {
            for (QWidget* widget : QApplication::allWidgets()) widget->update();
        }
        emit schemeChanged(scheme);
    }
    if (reduced != reduceMotion_) {
        reduceMotion_ = reduced;
        shownReduceMotion.store(reduced, std::memory_order_relaxed);
        emit reduceMotionChanged(reduced);
    }
}

}  // namespace kivo
