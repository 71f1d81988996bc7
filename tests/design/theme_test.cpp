// The colour tokens against values worked out here from the published OKLab formulas, the stored mixes
// against the OKLab mixes they come from, and the contrast every text keeps against what it sits on.

#include <array>
#include <cmath>
#include <numbers>

#include <QtTest>

#include "design/hero_button.hpp"
#include "design/theme.hpp"
#include "design_test_support.hpp"

using kivo::ColorScheme;
using kivo::HeroButton;
using kivo::HeroButtonVariant;
using kivo::Theme::OKLCH;
using kivo::Theme::Token;

namespace {

struct Lab {
    double l, a, b;
};

Lab toLab(const OKLCH& c) {
    const double h = c.hue * std::numbers::pi / 180;
    return {c.lightness, c.chroma * std::cos(h), c.chroma * std::sin(h)};
}

OKLCH toLCH(const Lab& lab) {
    double hue = std::atan2(lab.b, lab.a) * 180 / std::numbers::pi;
    if (hue < 0) hue += 360;
    return {lab.l, std::hypot(lab.a, lab.b), hue};
}

OKLCH mix(const OKLCH& p, const OKLCH& q, double t) {
    const Lab a = toLab(p);
    const Lab b = toLab(q);
    return toLCH({a.l + t * (b.l - a.l), a.a + t * (b.a - a.a), a.b + t * (b.b - a.b)});
}

// OKLCH to an 8-bit sRGB hex string, written out here apart from the library: OKLab's inverse (LMS cube
// then the linear sRGB matrix), clamping per channel, the sRGB curve.
QString independentHex(const OKLCH& c) {
    const Lab lab = toLab(c);
    const std::array<double, 3> lms{
        std::pow(lab.l + 0.3963377774 * lab.a + 0.2158037573 * lab.b, 3),
        std::pow(lab.l - 0.1055613458 * lab.a - 0.0638541728 * lab.b, 3),
        std::pow(lab.l - 0.0894841775 * lab.a - 1.291485548 * lab.b, 3),
    };
    const std::array<std::array<double, 3>, 3> toRGB{{{4.0767416621, -3.3077115913, 0.2309699292},
                                                      {-1.2684380046, 2.6097574011, -0.3413193965},
                                                      {-0.0041960863, -0.7034186147, 1.707614701}}};
    QString hex = QStringLiteral("#");
    for (const auto& row : toRGB) {
        double v = row[0] * lms[0] + row[1] * lms[1] + row[2] * lms[2];
        v = std::min(1.0, std::max(0.0, v));
        v = v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1 / 2.4) - 0.055;
        hex += QStringLiteral("%1").arg(static_cast<int>(std::lround(v * 255)), 2, 16, QLatin1Char('0'));
    }
    return hex;
}

const OKLCH& light(Token t) { return kivo::Theme::values(t).light; }
const OKLCH& dark(Token t) { return kivo::Theme::values(t).dark; }

double hueDistance(double a, double b) {
    const double d = std::fmod(std::abs(a - b), 360.0);
    return std::min(d, 360 - d);
}

}  // namespace

class ThemeTest : public QObject {
    Q_OBJECT

private slots:
    void tokensConvert_data() {
        QTest::addColumn<int>("token");
        for (int i = 0; i < kivo::Theme::tokenCount; ++i)
            QTest::newRow(kivo::Theme::tokenTable()[i].name.data()) << i;
    }
    void tokensConvert() {
        QFETCH(int, token);
        const auto t = static_cast<Token>(token);
        QCOMPARE(kivo::Theme::color(t, ColorScheme::light).name(), independentHex(light(t)));
        QCOMPARE(kivo::Theme::color(t, ColorScheme::dark).name(), independentHex(dark(t)));
    }

    // A second, outside reference for a few tokens, so a formula mistaken the same way on both sides shows.
    void tokensMatchReference_data() {
        QTest::addColumn<int>("token");
        QTest::addColumn<bool>("isDark");
        QTest::addColumn<QString>("hex");
        QTest::newRow("background light") << int(Token::background) << false << "#f5f5f5";
        QTest::newRow("foreground light") << int(Token::foreground) << false << "#18181b";
        QTest::newRow("surface dark") << int(Token::surface) << true << "#18181b";
        QTest::newRow("accent") << int(Token::accent) << false << "#0485f7";
        QTest::newRow("danger light") << int(Token::danger) << false << "#ff383c";
        QTest::newRow("dangerSoftText dark") << int(Token::dangerSoftText) << true << "#eb7973";
        QTest::newRow("warningSoftText light") << int(Token::warningSoftText) << false << "#7e5a2d";
    }
    void tokensMatchReference() {
        QFETCH(int, token);
        QFETCH(bool, isDark);
        QFETCH(QString, hex);
        QCOMPARE(
            kivo::Theme::color(static_cast<Token>(token), isDark ? ColorScheme::dark : ColorScheme::light)
                .name(),
            hex);
    }

    void mixesMatchTheirSources_data() {
        QTest::addColumn<double>("l");
        QTest::addColumn<double>("c");
        QTest::addColumn<double>("h");
        QTest::addColumn<double>("expectedL");
        QTest::addColumn<double>("expectedC");
        QTest::addColumn<double>("expectedH");
        const auto row = [](const char* name, const OKLCH& stored, const OKLCH& mixed) {
            QTest::newRow(name) << stored.lightness << stored.chroma << stored.hue << mixed.lightness
                                << mixed.chroma << mixed.hue;
        };
        row("canvas light", light(Token::canvas),
            mix(light(Token::background), light(Token::foreground), 0.08));
        row("defaultHover light", light(Token::defaultHover),
            mix(light(Token::defaultFill), light(Token::foreground), 0.06));
        row("defaultHover dark", dark(Token::defaultHover),
            mix(dark(Token::defaultFill), dark(Token::foreground), 0.06));
        row("accentSoftText light", light(Token::accentSoftText),
            mix(light(Token::accent), light(Token::foreground), 0.34));
        row("accentSoftText dark", dark(Token::accentSoftText),
            mix(dark(Token::accent), dark(Token::foreground), 0.22));
        row("successSoftText light", light(Token::successSoftText),
            mix(light(Token::success), light(Token::foreground), 0.48));
        row("warningSoftText light", light(Token::warningSoftText),
            mix(light(Token::warning), light(Token::foreground), 0.5));
        row("dangerSoftText light", light(Token::dangerSoftText),
            mix(light(Token::danger), light(Token::foreground), 0.36));
        row("dangerSoftText dark", dark(Token::dangerSoftText),
            mix(dark(Token::danger), dark(Token::foreground), 0.28));
    }
    void mixesMatchTheirSources() {
        QFETCH(double, l);
        QFETCH(double, c);
        QFETCH(double, h);
        QFETCH(double, expectedL);
        QFETCH(double, expectedC);
        QFETCH(double, expectedH);
        QVERIFY(std::abs(l - expectedL) < 1e-4);
        QVERIFY(std::abs(c - expectedC) < 1e-4);
        QVERIFY2(hueDistance(h, expectedH) < 1e-4,
                 qPrintable(QString::number(h) + " vs " + QString::number(expectedH)));
    }

    void darkSoftTextsEqualTheirTones() {
        QCOMPARE(kivo::Theme::color(Token::successSoftText, ColorScheme::dark),
                 kivo::Theme::color(Token::success, ColorScheme::dark));
        QCOMPARE(kivo::Theme::color(Token::warningSoftText, ColorScheme::dark),
                 kivo::Theme::color(Token::warning, ColorScheme::dark));
    }

    void chromaZeroIsGreyWhateverTheHue() {
        for (const double lightness : {0.0, 0.21, 0.5, 0.9702, 1.0}) {
            const QColor reference = kivo::Theme::toColor({lightness, 0, 0});
            QCOMPARE(reference.red(), reference.green());
            QCOMPARE(reference.green(), reference.blue());
            for (const double hue : {45.0, 180.0, 285.89, 359.9})
                QCOMPARE(kivo::Theme::toColor({lightness, 0, hue}), reference);
        }
        QCOMPARE(kivo::Theme::toColor({1, 0, 0}).name(), QStringLiteral("#ffffff"));
        QCOMPARE(kivo::Theme::toColor({0, 0, 0}).name(), QStringLiteral("#000000"));
    }

    void outOfGamutChannelsAreClippedNotWrapped() {
        const OKLCH vivid{0.7, 0.35, 145};  // a green far outside sRGB
        const auto linear = kivo::Theme::linearRGB(vivid);
        QVERIFY(linear.red < 0 || linear.blue < 0);
        QVERIFY(linear.green > 0);
        const QColor c = kivo::Theme::toColor(vivid);
        if (linear.red < 0) QCOMPARE(c.red(), 0);
        if (linear.blue < 0) QCOMPARE(c.blue(), 0);
        const auto bright = kivo::Theme::linearRGB({1.2, 0, 0});
        QVERIFY(bright.red > 1);
        QCOMPARE(kivo::Theme::toColor({1.2, 0, 0}).name(), QStringLiteral("#ffffff"));
    }

    void transferTakesTheLinearBranchAtItsThreshold() {
        QCOMPARE(kivo::Theme::encodeTransfer(0.0031308), 12.92 * 0.0031308);
        QVERIFY(std::abs(kivo::Theme::encodeTransfer(1.0) - 1.0) < 1e-12);
    }

    void focusIsAccentAndSharedTokensDoNotChange() {
        for (const auto scheme : {ColorScheme::light, ColorScheme::dark})
            QCOMPARE(kivo::Theme::focus(scheme), kivo::Theme::color(Token::accent, scheme));
        for (const Token t : {Token::accent, Token::accentStrong, Token::accentForeground, Token::success,
                              Token::dangerStrong, Token::dangerForeground})
            QCOMPARE(kivo::Theme::color(t, ColorScheme::light), kivo::Theme::color(t, ColorScheme::dark));
    }

    // The fluid curve against the cubic Bezier through (0.32, 0.72) and (0, 1), solved here for x.
    void fluidFollowsItsBezier() {
        const auto bezier = [](double p1, double p2, double t) {
            const double u = 1 - t;
            return 3 * u * u * t * p1 + 3 * u * t * t * p2 + t * t * t;
        };
        const QEasingCurve fluid = kivo::Theme::fluid();
        for (const double x : {0.1, 0.25, 0.5, 0.75, 0.9}) {
            double low = 0;
            double high = 1;
            for (int i = 0; i < 60; ++i)
                (bezier(0.32, 0, (low + high) / 2) < x ? low : high) = (low + high) / 2;
            const double y = bezier(0.72, 1, low);
            QVERIFY2(std::abs(fluid.valueForProgress(x) - y) < 2e-3, qPrintable(QString::number(x)));
        }
        QCOMPARE(kivo::Theme::fluidMilliseconds, 250);
    }

    // WCAG contrast of every text against what it is drawn on, in both appearances; button fills with
    // opacity are composited over the surfaces they stand on.
    void textsKeepTheirContrast_data() {
        QTest::addColumn<QColor>("text");
        QTest::addColumn<QColor>("ground");
        QTest::addColumn<double>("minimum");
        for (const auto scheme : {ColorScheme::light, ColorScheme::dark}) {
            const QString name =
                scheme == ColorScheme::dark ? QStringLiteral("dark ") : QStringLiteral("light ");
            const auto c = [scheme](Token t) { return kivo::Theme::color(t, scheme); };
            for (const Token ground : {Token::background, Token::surface, Token::field})
                QTest::newRow(qPrintable(name + "foreground on " + kivo::Theme::values(ground).name.data()))
                    << c(Token::foreground) << c(ground) << 4.5;
            QTest::newRow(qPrintable(name + "accentForeground on accentStrong"))
                << c(Token::accentForeground) << c(Token::accentStrong) << 4.5;
            const std::pair<Token, Token> chips[] = {{Token::accentSoftText, Token::accent},
                                                     {Token::successSoftText, Token::success},
                                                     {Token::warningSoftText, Token::warning},
                                                     {Token::dangerSoftText, Token::danger}};
            for (const Token surface : {Token::surface, Token::background}) {
                const QString on = QStringLiteral(" on ") + kivo::Theme::values(surface).name.data();
                for (const auto& [text, tone] : chips)
                    QTest::newRow(qPrintable(name + kivo::Theme::values(text).name.data() + " chip" + on))
                        << c(text) << kivo::testing::over(kivo::Theme::withOpacity(c(tone), 0.15), c(surface))
                        << 4.5;
                QTest::newRow(qPrintable(name + "neutral chip" + on))
                    << c(Token::foreground) << c(Token::defaultFill) << 4.5;
                // Every button at rest: 4.5. The hover fills of primary and danger are the design's colours
                // and reach only about 3.5, so they keep at least 3; the other active fills keep 4.5.
                for (int v = 0; v <= int(HeroButtonVariant::dangerSoft); ++v) {
                    const auto variant = static_cast<HeroButtonVariant>(v);
                    for (const bool active : {false, true}) {
                        const auto colours = HeroButton::colors(variant, active, scheme);
                        const bool bold = active && (variant == HeroButtonVariant::primary ||
                                                     variant == HeroButtonVariant::danger);
                        QTest::newRow(qPrintable(QStringLiteral("%1button %2 %3%4")
                                                     .arg(name)
                                                     .arg(v)
                                                     .arg(active ? "active" : "rest", on)))
                            << colours.text << kivo::testing::over(colours.fill, c(surface))
                            << (bold ? 3.0 : 4.5);
                    }
                }
            }
        }
    }
    void textsKeepTheirContrast() {
        QFETCH(QColor, text);
        QFETCH(QColor, ground);
        QFETCH(double, minimum);
        const double ratio = kivo::testing::contrast(text, ground);
        QVERIFY2(ratio >= minimum,
                 qPrintable(QStringLiteral("%1 on %2: %3").arg(text.name(), ground.name()).arg(ratio)));
    }
};

QTEST_MAIN(ThemeTest)
#include "theme_test.moc"
