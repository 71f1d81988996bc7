// Choosing light or dark and reduced motion, and following the desktop's settings portal live. The test
// runs on a private session bus (dbus-run-session) where it serves a fake portal itself.

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QtTest>

#include "design/appearance.hpp"
#include "design/hero_button.hpp"
#include "design_test_support.hpp"

using kivo::Appearance;
using kivo::AppearanceInputs;
using kivo::ColorScheme;
using kivo::Theme::Token;

namespace {

const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString settingsInterface = QStringLiteral("org.freedesktop.portal.Settings");

}  // namespace

// Answers Read() as the first version of the portal does: the value wrapped in two variants.
class FakePortal : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Settings")

public:
    QVariantMap values;

    void change(const QString& group, const QString& key, const QVariant& value) {
        values[group + "/" + key] = value;
        QDBusMessage signal =
            QDBusMessage::createSignal(portalPath, settingsInterface, QStringLiteral("SettingChanged"));
        signal << group << key << QVariant::fromValue(QDBusVariant(value));
        QDBusConnection::sessionBus().send(signal);
    }

public slots:
    QDBusVariant Read(const QString& group, const QString& key) {
        return QDBusVariant(QVariant::fromValue(QDBusVariant(values.value(group + "/" + key))));
    }
};

// Sends the change again until `seen` holds or five seconds pass: the bus may deliver the first signal
// before it knows the fake portal owns its name.
template <class Seen>
void changeUntil(FakePortal& portal, const QString& group, const QString& key, const QVariant& value,
                 Seen seen) {
    for (int attempt = 0; attempt < 100 && !seen(); ++attempt) {
        portal.change(group, key, value);
        QTest::qWait(50);
    }
}

class AppearanceTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { kivo::testing::movePointerAway(); }

    void schemeFollowsItsSources_data() {
        QTest::addColumn<QByteArray>("variable");
        QTest::addColumn<int>("portal");  // -1: no portal
        QTest::addColumn<QColor>("platform");
        QTest::addColumn<bool>("dark");
        const QColor lightWindow(239, 239, 239);
        const QColor darkWindow(40, 40, 40);
        QTest::newRow("variable light beats a dark portal")
            << QByteArray("light") << 1 << darkWindow << false;
        QTest::newRow("variable dark beats a light portal") << QByteArray("dark") << 2 << lightWindow << true;
        QTest::newRow("other letter case is ignored") << QByteArray("Dark") << -1 << lightWindow << false;
        QTest::newRow("LIGHT is ignored too") << QByteArray("LIGHT") << 1 << lightWindow << true;
        QTest::newRow("portal prefers dark") << QByteArray() << 1 << lightWindow << true;
        QTest::newRow("portal prefers light") << QByteArray() << 2 << darkWindow << false;
        QTest::newRow("no preference falls to the palette") << QByteArray() << 0 << darkWindow << true;
        QTest::newRow("unknown portal value falls to the palette")
            << QByteArray() << 7 << lightWindow << false;
        QTest::newRow("no portal, dark palette") << QByteArray() << -1 << darkWindow << true;
        QTest::newRow("nothing known") << QByteArray() << -1 << QColor() << false;
    }
    void schemeFollowsItsSources() {
        QFETCH(QByteArray, variable);
        QFETCH(int, portal);
        QFETCH(QColor, platform);
        QFETCH(bool, dark);
        AppearanceInputs in;
        in.appearanceVariable = variable;
        if (portal >= 0) in.portalColorScheme = static_cast<quint32>(portal);
        in.platformWindow = platform;
        QCOMPARE(kivo::resolveScheme(in) == ColorScheme::dark, dark);
    }

    void reducedMotionFollowsItsSources_data() {
        QTest::addColumn<QByteArray>("variable");
        QTest::addColumn<int>("animations");  // -1: unknown, 0 off, 1 on
        QTest::addColumn<bool>("reduced");
        QTest::newRow("1 reduces") << QByteArray("1") << 1 << true;
        QTest::newRow("0 keeps motion over the desktop") << QByteArray("0") << 0 << false;
        QTest::newRow("desktop animations off") << QByteArray() << 0 << true;
        QTest::newRow("desktop animations on") << QByteArray() << 1 << false;
        QTest::newRow("other values ask the desktop") << QByteArray("yes") << 0 << true;
        QTest::newRow("nothing known") << QByteArray() << -1 << false;
    }
    void reducedMotionFollowsItsSources() {
        QFETCH(QByteArray, variable);
        QFETCH(int, animations);
        QFETCH(bool, reduced);
        AppearanceInputs in;
        in.reduceMotionVariable = variable;
        if (animations >= 0) in.portalAnimationsEnabled = animations == 1;
        QCOMPARE(kivo::resolveReduceMotion(in), reduced);
    }

    // The whole road: the portal's answer at start-up, a live change of scheme that rebuilds the palette and
    // repaints controls, the animation setting, and the variable that outranks the portal.
    void followsThePortalLive() {
        QDBusConnection bus = QDBusConnection::sessionBus();
        QVERIFY2(bus.isConnected(), "run under dbus-run-session");
        FakePortal portal;
        portal.values[QStringLiteral("org.freedesktop.appearance/color-scheme")] =
            QVariant::fromValue(quint32(2));
        portal.values[QStringLiteral("org.gnome.desktop.interface/enable-animations")] = true;
        QVERIFY(bus.registerObject(portalPath, &portal, QDBusConnection::ExportAllSlots));
        QVERIFY(bus.registerService(portalService));

        Appearance& appearance = Appearance::instance();
        appearance.install(*qApp);
        QCOMPARE(appearance.scheme(), ColorScheme::light);
        QVERIFY(!appearance.reduceMotion());
        QCOMPARE(QApplication::palette().color(QPalette::Window),
                 kivo::Theme::color(Token::background, ColorScheme::light));

        QWidget host;
        auto* button = new kivo::HeroButton(QStringLiteral("Apply"), kivo::HeroButtonVariant::tertiary,
                                            kivo::HeroButtonSize::md, &host);
        button->adjustSize();
        host.resize(button->size());
        host.show();

        QSignalSpy schemeChanges(&appearance, &Appearance::schemeChanged);
        changeUntil(portal, QStringLiteral("org.freedesktop.appearance"), QStringLiteral("color-scheme"),
                    QVariant::fromValue(quint32(1)),
                    [&] { return appearance.scheme() == ColorScheme::dark; });
        QCOMPARE(appearance.scheme(), ColorScheme::dark);
        QCOMPARE(schemeChanges.count(), 1);
        QCOMPARE(QApplication::palette().color(QPalette::Window),
                 kivo::Theme::color(Token::background, ColorScheme::dark));
        const QImage image = kivo::testing::grabbed(*button);
        KIVO_COMPARE_COLOR(kivo::testing::pixel(image, QPointF(6, button->height() / 2.0)),
                           kivo::Theme::color(Token::defaultFill, ColorScheme::dark), 2);

        changeUntil(portal, QStringLiteral("org.gnome.desktop.interface"),
                    QStringLiteral("enable-animations"), false, [&] { return appearance.reduceMotion(); });
        QVERIFY(appearance.reduceMotion());
        QVERIFY(Appearance::motionReduced());

        qputenv("KIVO_PDF_APPEARANCE", "light");
        changeUntil(portal, QStringLiteral("org.freedesktop.appearance"), QStringLiteral("color-scheme"),
                    QVariant::fromValue(quint32(1)),
                    [&] { return appearance.scheme() == ColorScheme::light; });
        QCOMPARE(appearance.scheme(), ColorScheme::light);
        qunsetenv("KIVO_PDF_APPEARANCE");
    }
};

QTEST_MAIN(AppearanceTest)
#include "appearance_test.moc"
