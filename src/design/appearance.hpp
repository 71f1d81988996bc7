#pragma once

// Which appearance the editor shows, light or dark, and whether its controls animate; owned process-wide.
//
// The scheme comes from, in order: KIVO_PDF_APPEARANCE when it is exactly "light" or "dark"; the desktop
// settings portal's "color-scheme" (1 dark, 2 light), followed live; the lightness of the platform's own
// window colour. Motion is reduced when KIVO_PDF_REDUCE_MOTION is "1" (and never when it is "0"), else
// when the desktop turned animations off ("enable-animations" through the same portal).
//
// install() gives the application Fusion under the design's proxy style and a palette built from the
// tokens; whenever the scheme changes afterwards the palette is rebuilt, which repaints every widget.
// Everything here lives on the GUI thread, except currentScheme() and motionReduced(), which any thread
// may read.

#include <optional>

#include <QByteArray>
#include <QColor>
#include <QObject>
#include <QPalette>

#include "design/theme.hpp"

class QApplication;

namespace kivo {

class DesktopPortal;

// What the scheme and the motion setting are decided from; absent portal values mean no portal answered.
struct AppearanceInputs {
    QByteArray appearanceVariable;    // KIVO_PDF_APPEARANCE, empty when unset
    QByteArray reduceMotionVariable;  // KIVO_PDF_REDUCE_MOTION, empty when unset
    std::optional<quint32> portalColorScheme;
    std::optional<bool> portalAnimationsEnabled;
    QColor platformWindow;  // the platform palette's window colour before ours replaced it
};

ColorScheme resolveScheme(const AppearanceInputs& inputs);
bool resolveReduceMotion(const AppearanceInputs& inputs);

// The application palette of `scheme`, every role from a token.
QPalette buildPalette(ColorScheme scheme);

class Appearance : public QObject {
    Q_OBJECT

public:
    // The process-wide object, made on first use (on the GUI thread, after the QApplication when there is
    // one).
    static Appearance& instance();

    // Light until the process-wide object decided otherwise.
    static ColorScheme currentScheme() noexcept;
    static bool motionReduced() noexcept;

    ColorScheme scheme() const noexcept { return scheme_; }
    bool reduceMotion() const noexcept { return reduceMotion_; }

    // Installs the style and palette on `app` and starts following the portal. A second call changes nothing.
    void install(QApplication& app);
    bool installed() const noexcept { return installed_; }

    // Forces a scheme or the motion setting (the gallery, tests); nullopt goes back to the rules above.
    void overrideScheme(std::optional<ColorScheme> scheme);
    void overrideReduceMotion(std::optional<bool> reduced);

signals:
    void schemeChanged(kivo::ColorScheme scheme);
    void reduceMotionChanged(bool reduced);

private:
    Appearance();
    void refresh();
    AppearanceInputs inputs() const;

    ColorScheme scheme_ = ColorScheme::light;
    bool reduceMotion_ = false;
    bool installed_ = false;
    std::optional<ColorScheme> forcedScheme_;
    std::optional<bool> forcedReduceMotion_;
    QColor platformWindow_;
    DesktopPortal* portal_ = nullptr;
};

}  // namespace kivo
