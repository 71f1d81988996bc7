// HeroButton's fills, borders, press and metrics as drawn offscreen, chips, stray standard buttons under
// the proxy style, and what assistive technologies read.

#include <QAccessible>
#include <QPushButton>
#include <QtTest>

#include "design/chip.hpp"
#include "design/hero_button.hpp"
#include "design/symbols.hpp"
#include "design/text_scale.hpp"
#include "design_test_support.hpp"

using kivo::Appearance;
using kivo::Chip;
using kivo::ChipTone;
using kivo::ColorScheme;
using kivo::HeroButton;
using kivo::HeroButtonSize;
using kivo::HeroButtonVariant;
using kivo::testing::Stage;
using kivo::Theme::Token;

namespace {

enum class State { rest, hover, pressed, disabled, disabledHover };

QColor background(ColorScheme scheme) { return kivo::Theme::color(Token::background, scheme); }

}  // namespace

class ButtonTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { kivo::testing::prepareApplication(); }
    void init() { kivo::testing::movePointerAway(); }
    void cleanup() {
        Appearance::instance().overrideScheme(ColorScheme::light);
        Appearance::instance().overrideReduceMotion(true);
    }

    void fillsFollowVariantAndState_data() {
        QTest::addColumn<int>("variant");
        QTest::addColumn<int>("state");
        QTest::addColumn<bool>("dark");
        QTest::addColumn<bool>("small");
        for (const bool dark : {false, true}) {
            for (int v = 0; v <= int(HeroButtonVariant::dangerSoft); ++v) {
                for (int s = 0; s <= int(State::disabledHover); ++s) {
                    const bool small = (v + s) % 2 == 0;
                    QTest::newRow(qPrintable(
                        QStringLiteral("%1 variant %2 state %3").arg(dark ? "dark" : "light").arg(v).arg(s)))
                        << v << s << dark << small;
                }
            }
        }
    }
    void fillsFollowVariantAndState() {
        QFETCH(int, variant);
        QFETCH(int, state);
        QFETCH(bool, dark);
        QFETCH(bool, small);
        const ColorScheme scheme = dark ? ColorScheme::dark : ColorScheme::light;
        Appearance::instance().overrideScheme(scheme);
        auto* button = new HeroButton(QStringLiteral("Apply"), static_cast<HeroButtonVariant>(variant),
                                      small ? HeroButtonSize::sm : HeroButtonSize::md);
        Stage stage(button, 1.0, 4);
        const auto st = static_cast<State>(state);
        if (st == State::disabled || st == State::disabledHover) button->setEnabled(false);
        if (st == State::hover || st == State::disabledHover)
            QTest::mouseMove(button, QPoint(6, button->height() / 2));
        if (st == State::pressed)
            QTest::mousePress(button, Qt::LeftButton, {}, QPoint(6, button->height() / 2));
        QCOMPARE(button->isHovered(), st == State::hover || st == State::disabledHover);

        const bool active = st == State::hover || st == State::pressed;
        const auto colours = HeroButton::colors(static_cast<HeroButtonVariant>(variant), active, scheme);
        QColor expected = kivo::testing::over(colours.fill, background(scheme));
        if (!button->isEnabled())
            expected = kivo::testing::over(kivo::Theme::withOpacity(expected, 0.5), background(scheme));
        const QImage image = kivo::testing::grabbedOver(*button, background(scheme));
        // Inside the left end of the capsule, clear of its edge and of the text.
        KIVO_COMPARE_COLOR(kivo::testing::pixel(image, QPointF(6, button->height() / 2.0)), expected, 2);

        // Only tertiary has a border: the top edge's middle shows it, elsewhere the fill reaches the edge.
        // A disabled button dims each layer, so its border lies at half opacity over the dimmed fill.
        QColor edge = expected;
        if (variant == int(HeroButtonVariant::tertiary)) {
            edge = kivo::Theme::color(Token::border, scheme);
            if (!button->isEnabled())
                edge = kivo::testing::over(kivo::Theme::withOpacity(edge, 0.5), expected);
        }
        KIVO_COMPARE_COLOR(kivo::testing::pixel(image, QPointF(button->width() / 2.0, 0)), edge, 3);
        if (st == State::pressed)
            QTest::mouseRelease(button, Qt::LeftButton, {}, QPoint(6, button->height() / 2));
        // Off the button, so the next window opening here is not hovered.
        QTest::mouseMove(&stage.window, QPoint(1, 1));
    }

    void pressShrinksOnlyWithMotion() {
        auto* button = new HeroButton(QStringLiteral("Apply"), HeroButtonVariant::primary);
        Stage stage(button, 1.0, 4);
        QTest::mousePress(button, Qt::LeftButton, {}, QPoint(6, button->height() / 2));
        button->repaint();
        QCOMPARE(button->pressScale(), 1.0);
        QTest::mouseRelease(button, Qt::LeftButton, {}, QPoint(6, button->height() / 2));

        Appearance::instance().overrideReduceMotion(false);
        QTest::mousePress(button, Qt::LeftButton, {}, QPoint(6, button->height() / 2));
        button->repaint();
        QTRY_VERIFY(std::abs(button->pressScale() - 0.97) < 1e-6);
        QTest::mouseRelease(button, Qt::LeftButton, {}, QPoint(6, button->height() / 2));
        button->repaint();
        QTRY_COMPARE(button->pressScale(), 1.0);
    }

    void metricsFollowTheTextScale_data() {
        QTest::addColumn<double>("scale");
        QTest::addColumn<bool>("small");
        QTest::addColumn<bool>("iconOnly");
        QTest::addColumn<double>("horizontal");
        QTest::addColumn<double>("vertical");
        QTest::addColumn<double>("minimumWidth");
        for (const double s : {1.0, 1.5, 2.0}) {
            const QString at = QStringLiteral(" at %1").arg(s);
            QTest::newRow(qPrintable("sm" + at)) << s << true << false << 10 * s << 4 * s << 0.0;
            QTest::newRow(qPrintable("md" + at)) << s << false << false << 13 * s << 6 * s << 0.0;
            QTest::newRow(qPrintable("sm icon" + at)) << s << true << true << 6 * s << 4 * s << 22 * s;
            QTest::newRow(qPrintable("md icon" + at)) << s << false << true << 8 * s << 6 * s << 26 * s;
        }
    }
    void metricsFollowTheTextScale() {
        QFETCH(double, scale);
        QFETCH(bool, small);
        QFETCH(bool, iconOnly);
        QFETCH(double, horizontal);
        QFETCH(double, vertical);
        QFETCH(double, minimumWidth);
        const auto size = small ? HeroButtonSize::sm : HeroButtonSize::md;
        HeroButton* button = iconOnly
                                 ? HeroButton::iconOnly(QStringLiteral("plus"), QStringLiteral("Zoom in"),
                                                        HeroButtonVariant::ghost, size)
                                 : new HeroButton(QStringLiteral("Apply"), HeroButtonVariant::tertiary, size);
        Stage stage(button, scale, 4);
        QCOMPARE(button->padding().left(), horizontal);
        QCOMPARE(button->padding().top(), vertical);
        QVERIFY(button->width() >= minimumWidth);
        const double font =
            kivo::basePoints(small ? kivo::ScaledTextStyle::callout : kivo::ScaledTextStyle::body) * scale;
        QVERIFY(button->height() >= font + 2 * vertical);
        QVERIFY(button->height() <= font * 1.6 + 2 * vertical + 1);
    }

    void chipsFillByTone_data() {
        QTest::addColumn<int>("tone");
        QTest::addColumn<QColor>("fill");
        const auto c = [](Token t) { return kivo::Theme::color(t, ColorScheme::light); };
        QTest::newRow("neutral") << int(ChipTone::neutral) << c(Token::defaultFill);
        QTest::newRow("accent") << int(ChipTone::accent) << kivo::Theme::withOpacity(c(Token::accent), 0.15);
        QTest::newRow("success") << int(ChipTone::success)
                                 << kivo::Theme::withOpacity(c(Token::success), 0.15);
        QTest::newRow("warning") << int(ChipTone::warning)
                                 << kivo::Theme::withOpacity(c(Token::warning), 0.15);
        QTest::newRow("danger") << int(ChipTone::danger) << kivo::Theme::withOpacity(c(Token::danger), 0.15);
    }
    void chipsFillByTone() {
        QFETCH(int, tone);
        QFETCH(QColor, fill);
        auto* chip = new Chip(QStringLiteral("Saved"), static_cast<ChipTone>(tone));
        Stage stage(chip, 1.0, 4);
        const QColor ground = background(ColorScheme::light);
        const QImage image = kivo::testing::grabbedOver(*chip, ground);
        KIVO_COMPARE_COLOR(kivo::testing::pixel(image, QPointF(4, chip->height() / 2.0)),
                           kivo::testing::over(fill, ground), 2);
    }

    void chipGrowsWithTheScaleAndHasNoGapWithoutSymbol() {
        auto* plain = new Chip(QStringLiteral("Saved"));
        auto* marked = new Chip(QStringLiteral("Saved"), ChipTone::danger,
                                QStringLiteral("exclamationmark.triangle.fill"));
        Stage one(plain, 1.0, 4);
        Stage two(marked, 1.0, 4);
        QVERIFY(marked->width() > plain->width());
        const QSize atOne = plain->sizeHint();
        kivo::TextScale::apply(&one.window, 2.0);
        const QSize atTwo = plain->sizeHint();
        QVERIFY(std::abs(atTwo.width() - 2.0 * atOne.width()) <= 0.12 * atTwo.width());
        QVERIFY(std::abs(atTwo.height() - 2.0 * atOne.height()) <= 3);
    }

    void strayPushButtonsLookTertiary() {
        auto* button = new QPushButton(QStringLiteral("Cancel"));
        Stage stage(button, 1.0, 4);
        const QImage image = kivo::testing::grabbedOver(*button, background(ColorScheme::light));
        KIVO_COMPARE_COLOR(kivo::testing::pixel(image, QPointF(6, button->height() / 2.0)),
                           kivo::Theme::color(Token::defaultFill, ColorScheme::light), 2);
        KIVO_COMPARE_COLOR(kivo::testing::pixel(image, QPointF(button->width() / 2.0, 0)),
                           kivo::Theme::color(Token::border, ColorScheme::light), 3);
        QCOMPARE(button->sizeHint().height(), button->fontMetrics().height() + 12);
    }

    // Every symbol the window and the inspector name is bundled and draws something.
    void symbolsAreBundled() {
        const QStringList named{"checkmark",
                                "exclamationmark.triangle.fill",
                                "xmark.octagon.fill",
                                "sparkles",
                                "quote.opening",
                                "wand.and.stars",
                                "arrow.up",
                                "key.fill",
                                "arrow.clockwise",
                                "trash",
                                "doc.richtext",
                                "doc.plaintext",
                                "doc.text.magnifyingglass",
                                "list.bullet.rectangle.portrait",
                                "info.circle",
                                "cursorarrow",
                                "highlighter",
                                "note.text",
                                "textformat",
                                "pencil.tip",
                                "photo",
                                "signature",
                                "arrow.uturn.backward",
                                "arrow.uturn.forward",
                                "minus",
                                "plus",
                                "folder",
                                "square.and.arrow.down",
                                "square.and.arrow.down.on.square",
                                "magnifyingglass"};
        for (const QString& name : named) {
            QVERIFY2(kivo::Symbols::exists(name), qPrintable(name));
            QImage image(24, 24, QImage::Format_ARGB32_Premultiplied);
            image.fill(Qt::transparent);
            QPainter painter(&image);
            kivo::Symbols::paint(painter, QRectF(0, 0, 24, 24), name, Qt::black);
            painter.end();
            int inked = 0;
            for (int y = 0; y < 24; ++y)
                for (int x = 0; x < 24; ++x) inked += qAlpha(image.pixel(x, y)) > 128 ? 1 : 0;
            QVERIFY2(inked >= 10 && inked < 24 * 24 / 2 + 150,
                     qPrintable(name + ": " + QString::number(inked)));
        }
        QCOMPARE(kivo::Symbols::names().size(), named.size());
        QVERIFY(!kivo::Symbols::exists(QStringLiteral("no.such.symbol")));
        QVERIFY(!kivo::Symbols::exists(QStringLiteral("../symbols/checkmark")));
    }

    void accessibility() {
        auto* text =
            new HeroButton(QStringLiteral("Restart Worker"), HeroButtonVariant::primary, HeroButtonSize::sm);
        Stage stage(text, 1.0, 4);
        auto* icon = HeroButton::iconOnly(QStringLiteral("arrow.uturn.backward"), QStringLiteral("Undo"),
                                          HeroButtonVariant::ghost, HeroButtonSize::sm, &stage.window);
        auto* chip = new Chip(QStringLiteral("Rev 12"), ChipTone::neutral, QString(), &stage.window);
        icon->setEnabled(false);

        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(text);
        QVERIFY(a != nullptr);
        QCOMPARE(a->role(), QAccessible::Button);
        QCOMPARE(a->text(QAccessible::Name), QStringLiteral("Restart Worker"));
        QSignalSpy clicks(text, &QAbstractButton::clicked);
        a->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        QCOMPARE(clicks.count(), 1);

        QAccessibleInterface* b = QAccessible::queryAccessibleInterface(icon);
        QCOMPARE(b->role(), QAccessible::Button);
        QCOMPARE(b->text(QAccessible::Name), QStringLiteral("Undo"));
        QVERIFY(b->state().disabled);
        QCOMPARE(icon->toolTip(), QStringLiteral("Undo"));

        QAccessibleInterface* c = QAccessible::queryAccessibleInterface(chip);
        QCOMPARE(c->role(), QAccessible::StaticText);
        QCOMPARE(c->text(QAccessible::Name), QStringLiteral("Rev 12"));
        chip->setAccessibleName(QStringLiteral("Revision 12"));
        QCOMPARE(c->text(QAccessible::Name), QStringLiteral("Revision 12"));
    }
};

QTEST_MAIN(ButtonTest)
#include "button_test.moc"
