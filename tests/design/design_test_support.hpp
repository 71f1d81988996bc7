#pragma once

// Helpers of the design-system tests: an application set up like the editor's, pixels read from grabs,
// colour comparison and WCAG contrast.

#include <algorithm>
#include <cmath>

#include <QApplication>
#include <QCursor>
#include <QDir>
#include <QImage>
#include <QLocale>
#include <QPainter>
#include <QString>
#include <QVBoxLayout>
#include <QWidget>
#include <QtTest>

#include "design/appearance.hpp"
#include "design/text_scale.hpp"
#include "design/theme.hpp"

namespace kivo::testing {

// Offscreen windows open at the origin, where the pointer would otherwise hover them.
inline void movePointerAway() { QCursor::setPos(-1000, -1000); }

// The editor's style and palette, light unless a test says otherwise, motion reduced so a state is
// reached at once; the tests of motion turn it back on.
inline void prepareApplication() {
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    Appearance::instance().install(*qApp);
    Appearance::instance().overrideScheme(ColorScheme::light);
    Appearance::instance().overrideReduceMotion(true);
    movePointerAway();
}

// The widget as it draws itself, with transparency where it paints nothing. grab() would first fill it with
// the palette's window colour, hiding what the widget leaves clear.
inline QImage grabbed(QWidget& widget) {
    QImage image(widget.size() * widget.devicePixelRatio(), QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(widget.devicePixelRatio());
    image.fill(Qt::transparent);
    widget.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image.convertToFormat(QImage::Format_ARGB32);
}

// The widget drawn over an opaque `background`.
inline QImage grabbedOver(QWidget& widget, const QColor& background) {
    QImage image(widget.size(), QImage::Format_ARGB32);
    image.fill(background);
    QPainter painter(&image);
    painter.drawImage(0, 0, grabbed(widget));
    painter.end();
    return image;
}

// A window holding `child` under text scale `scale`: at the child's own size with `margin` around it, or,
// given a `width`, laid out at that width and the height its wrapped texts need.
struct Stage {
    QWidget window;
    bool exposed = false;
    explicit Stage(QWidget* child, double scale = 1.0, int margin = 0, int width = 0) {
        if (width > 0) {
            auto* layout = new QVBoxLayout(&window);
            layout->setContentsMargins(0, 0, 0, 0);
            layout->addWidget(child);
        } else {
            child->setParent(&window);
        }
        TextScale::apply(&window, scale);
        window.show();
        exposed = QTest::qWaitForWindowExposed(&window);
        if (width > 0) {
            const int height = window.heightForWidth(width);
            window.resize(width, height > 0 ? height : window.sizeHint().height());
            QCoreApplication::sendPostedEvents();
            window.layout()->activate();
        } else {
            child->adjustSize();
            window.resize(child->size() + QSize(2 * margin, 2 * margin));
            child->move(margin, margin);
        }
    }
};

// Rows for the three text scales the tests measure at.
inline void addScaleRows() {
    QTest::addColumn<double>("scale");
    QTest::newRow("1") << 1.0;
    QTest::newRow("1.5") << 1.5;
    QTest::newRow("2") << 2.0;
}

inline QColor pixel(const QImage& image, QPointF at) {
    return image.pixelColor(static_cast<int>(std::floor(at.x())), static_cast<int>(std::floor(at.y())));
}

// `top` (with its alpha) composited over opaque `bottom`, rounded to 8 bits.
inline QColor over(const QColor& top, const QColor& bottom) {
    const double a = top.alphaF();
    const auto mix = [a](int t, int b) { return static_cast<int>(std::lround(t * a + b * (1 - a))); };
    return QColor(mix(top.red(), bottom.red()), mix(top.green(), bottom.green()),
                  mix(top.blue(), bottom.blue()));
}

inline bool near(const QColor& a, const QColor& b, int tolerance = 2) {
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
           std::abs(a.blue() - b.blue()) <= tolerance && std::abs(a.alpha() - b.alpha()) <= tolerance;
}

inline QString describe(const QColor& actual, const QColor& expected) {
    return QStringLiteral("got %1 (alpha %2), expected %3 (alpha %4)")
        .arg(actual.name())
        .arg(actual.alpha())
        .arg(expected.name())
        .arg(expected.alpha());
}

// WCAG 2 relative luminance and contrast ratio of two opaque colours.
inline double luminance(const QColor& c) {
    const auto channel = [](int value) {
        const double v = value / 255.0;
        return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(c.red()) + 0.7152 * channel(c.green()) + 0.0722 * channel(c.blue());
}

inline double contrast(const QColor& a, const QColor& b) {
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

inline QString screenshotDir() {
    const QByteArray configured = qgetenv("KIVO_SCREENSHOT_DIR");
    const QString dir = configured.isEmpty() ? QStringLiteral(KIVO_DEFAULT_SCREENSHOT_DIR)
                                             : QString::fromLocal8Bit(configured);
    QDir().mkpath(dir);
    return dir;
}

}  // namespace kivo::testing

#define KIVO_COMPARE_COLOR(actual, expected, tolerance)                          \
    do {                                                                         \
        const QColor kivoActual = (actual);                                      \
        const QColor kivoExpected = (expected);                                  \
        QVERIFY2(kivo::testing::near(kivoActual, kivoExpected, tolerance),       \
                 qPrintable(kivo::testing::describe(kivoActual, kivoExpected))); \
    } while (false)
