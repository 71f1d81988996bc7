// HeroSwitch and HeroCheckbox drawn offscreen: track, knob, box and mark per state, the knob's motion,
// clicks on the label, metrics at three text scales, and what assistive technologies read.

#include <QAccessible>
#include <QtTest>

#include "design/hero_checkbox.hpp"
#include "design/hero_switch.hpp"
#include "design/text_scale.hpp"
#include "design_test_support.hpp"

using kivo::Appearance;
using kivo::ColorScheme;
using kivo::HeroCheckbox;
using kivo::HeroSwitch;
using kivo::testing::Stage;
using kivo::Theme::Token;

namespace {

QColor colour(Token t) { return kivo::Theme::color(t, ColorScheme::light); }

// How many pixels of `rect` are close to `c`.
int countNear(const QImage& image, const QRectF& rect, const QColor& c) {
    int count = 0;
    for (int y = static_cast<int>(rect.top()); y < static_cast<int>(rect.bottom()); ++y)
        for (int x = static_cast<int>(rect.left()); x < static_cast<int>(rect.right()); ++x)
            if (kivo::testing::near(image.pixelColor(x, y), c, 24)) ++count;
    return count;
}

}  // namespace

class ToggleTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { kivo::testing::prepareApplication(); }
    void cleanup() { Appearance::instance().overrideReduceMotion(true); }

    void switchDrawsItsState_data() {
        QTest::addColumn<bool>("on");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("off") << false << true;
        QTest::newRow("on") << true << true;
        QTest::newRow("off disabled") << false << false;
        QTest::newRow("on disabled") << true << false;
    }
    void switchDrawsItsState() {
        QFETCH(bool, on);
        QFETCH(bool, enabled);
        auto* toggle = new HeroSwitch(QStringLiteral("Allow MCP on this document"));
        Stage stage(toggle);
        toggle->setChecked(on);
        toggle->setEnabled(enabled);
        const QColor ground = colour(Token::background);
        // Disabled, every layer is drawn at half opacity over the layers beneath it.
        const auto shown = [&](const QColor& c, const QColor& beneath) {
            return enabled ? c : kivo::testing::over(kivo::Theme::withOpacity(c, 0.5), beneath);
        };
        const QColor track = shown(colour(on ? Token::accentStrong : Token::defaultFill), ground);
        const QImage image = kivo::testing::grabbedOver(*toggle, ground);
        const QRectF trackRect = toggle->controlRect();
        const QRectF knob = toggle->knobRect();
        // The knob sits at the trailing end when on, the leading end when off; the other end shows the track.
        QCOMPARE(knob.center().x() > trackRect.center().x(), on);
        const QPointF freeEnd(on ? trackRect.left() + 6 : trackRect.right() - 6, trackRect.center().y());
        KIVO_COMPARE_COLOR(kivo::testing::pixel(image, freeEnd), track, 2);
        KIVO_COMPARE_COLOR(kivo::testing::pixel(image, knob.center()),
                           shown(colour(Token::accentForeground), track), 2);
        // The outline shows only when off.
        const QPointF topEdge(trackRect.center().x(), trackRect.top());
        KIVO_COMPARE_COLOR(kivo::testing::pixel(image, topEdge),
                           on ? track : shown(colour(Token::border), track), 3);
    }

    void checkboxDrawsItsState() {
        auto* box = new HeroCheckbox(QStringLiteral("Subscribed"));
        Stage stage(box, 2.0);
        const QColor ground = colour(Token::background);
        for (const bool on : {false, true}) {
            box->setChecked(on);
            const QImage image = kivo::testing::grabbedOver(*box, ground);
            const QRectF square = box->controlRect();
            const QPointF inside(square.left() + 4, square.center().y());
            KIVO_COMPARE_COLOR(kivo::testing::pixel(image, inside),
                               colour(on ? Token::accentStrong : Token::field), 2);
            const QPointF edge(square.center().x(), square.top());
            KIVO_COMPARE_COLOR(kivo::testing::pixel(image, edge),
                               colour(on ? Token::accentStrong : Token::border), 3);
            // On, the near-white mark stands out of the blue box; off, the box is the plain field colour.
            const QRectF mark = box->markRect();
            const int area = int(mark.width()) * int(mark.height());
            const int marked = countNear(image, mark, colour(Token::accentForeground));
            const int plain = countNear(image, mark, colour(Token::field));
            QVERIFY2(on ? marked >= 12 && marked < area / 2 : plain == area,
                     qPrintable(QString::number(marked)));
        }
    }

    void metricsFollowTheTextScale_data() { kivo::testing::addScaleRows(); }
    void metricsFollowTheTextScale() {
        QFETCH(double, scale);
        auto* toggle = new HeroSwitch(QStringLiteral("Label"));
        auto* box = new HeroCheckbox(QStringLiteral("Label"));
        Stage a(toggle, scale);
        Stage b(box, scale);
        QCOMPARE(toggle->controlRect().size(), QSizeF(32 * scale, 18 * scale));
        QCOMPARE(toggle->knobRect().size(), QSizeF(18.2 * scale, 14 * scale));
        QCOMPARE(toggle->knobRect().left() - toggle->controlRect().left(), 2 * scale);
        QCOMPARE(box->controlRect().size(), QSizeF(15 * scale, 15 * scale));
        QCOMPARE(box->markRect().size(), QSizeF(9 * scale, 9 * scale));
        QVERIFY(toggle->height() >= 18 * scale);
    }

    void knobSlidesOnlyWithMotion() {
        auto* toggle = new HeroSwitch(QStringLiteral("Label"));
        Stage stage(toggle);
        QTest::mouseClick(toggle, Qt::LeftButton, {}, toggle->controlRect().center().toPoint());
        QVERIFY(toggle->isChecked());
        QCOMPARE(toggle->knobPosition(), 1.0);

        Appearance::instance().overrideReduceMotion(false);
        QTest::mouseClick(toggle, Qt::LeftButton, {}, toggle->controlRect().center().toPoint());
        QVERIFY(!toggle->isChecked());
        QVERIFY(toggle->knobPosition() > 0.0);
        QTRY_COMPARE(toggle->knobPosition(), 0.0);

        // A refresh from the model jumps, whatever the motion setting.
        {
            const QSignalBlocker blocker(toggle);
            toggle->setChecked(true);
        }
        QCOMPARE(toggle->knobPosition(), 1.0);
    }

    void clickingTheLabelToggles() {
        auto* toggle = new HeroSwitch(QStringLiteral("Allow MCP on this document"));
        auto* box = new HeroCheckbox(QStringLiteral("Subscribed"));
        Stage a(toggle);
        Stage b(box);
        for (QAbstractButton* row :
             {static_cast<QAbstractButton*>(toggle), static_cast<QAbstractButton*>(box)}) {
            QSignalSpy clicks(row, &QAbstractButton::clicked);
            QTest::mouseClick(row, Qt::LeftButton, {}, QPoint(row->width() - 4, row->height() / 2));
            QVERIFY(row->isChecked());
            QCOMPARE(clicks.count(), 1);
            QCOMPARE(clicks.at(0).at(0).toBool(), true);
            row->setEnabled(false);
            QTest::mouseClick(row, Qt::LeftButton, {}, QPoint(row->width() - 4, row->height() / 2));
            QVERIFY(row->isChecked());
        }
    }

    void accessibility() {
        auto* toggle = new HeroSwitch(QStringLiteral("Allow MCP on this document"));
        Stage stage(toggle);
        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(toggle);
        QCOMPARE(a->role(), QAccessible::CheckBox);
        QCOMPARE(a->text(QAccessible::Name), QStringLiteral("Allow MCP on this document"));
        QVERIFY(a->state().checkable);
        QVERIFY(!a->state().checked);
        a->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
        QVERIFY(toggle->isChecked());
        QVERIFY(a->state().checked);

        auto* box = new HeroCheckbox(QStringLiteral("Subscribed"), &stage.window);
        QAccessibleInterface* b = QAccessible::queryAccessibleInterface(box);
        QCOMPARE(b->role(), QAccessible::CheckBox);
        QCOMPARE(b->text(QAccessible::Name), QStringLiteral("Subscribed"));
    }
};

QTEST_MAIN(ToggleTest)
#include "toggle_test.moc"
