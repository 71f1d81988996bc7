// PillSegment: picking segments, the indicator's glide and jump, a selection that matches nothing, the
// drawn track and indicator, metrics, and the segments as assistive technologies see them.

#include <QAccessible>
#include <QtTest>

#include "design/pill_segment.hpp"
#include "design/segment_button.hpp"
#include "design/text_scale.hpp"
#include "design_test_support.hpp"

using kivo::Appearance;
using kivo::ColorScheme;
using kivo::HeroButtonSize;
using kivo::PillSegment;
using kivo::SegmentItem;
using kivo::testing::Stage;
using kivo::Theme::Token;

namespace {

QList<SegmentItem> tabs() {
    return {
        {QStringLiteral("assistant"), QStringLiteral("Assistant"), QStringLiteral("sparkles"), false},
        {QStringLiteral("page"), QStringLiteral("Page"), QStringLiteral("doc.text.magnifyingglass"), false},
        {QStringLiteral("form"), QStringLiteral("Form"), QStringLiteral("list.bullet.rectangle.portrait"),
         true}};
}

PillSegment* makePill(HeroButtonSize size = HeroButtonSize::md) {
    auto* pill = new PillSegment(QStringLiteral("Inspector"), size);
    pill->setItems(tabs());
    return pill;
}

}  // namespace

class PillSegmentTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { kivo::testing::prepareApplication(); }
    void cleanup() { Appearance::instance().overrideReduceMotion(true); }

    void pickingReportsEveryClickButNeverARefresh() {
        auto* pill = makePill();
        Stage stage(pill);
        QSignalSpy picks(pill, &PillSegment::activated);
        pill->setSelection(QStringLiteral("assistant"));
        QCOMPARE(picks.count(), 0);
        QTest::mouseClick(pill->segments().at(1), Qt::LeftButton);
        QCOMPARE(picks.count(), 1);
        QCOMPARE(picks.at(0).at(0).toString(), QStringLiteral("page"));
        QCOMPARE(pill->selection().toString(), QStringLiteral("page"));
        QTest::mouseClick(pill->segments().at(1), Qt::LeftButton);
        QCOMPARE(picks.count(), 2);
        QVERIFY(pill->segments().at(1)->isChecked());
        QVERIFY(!pill->segments().at(0)->isChecked());
        pill->segments().at(2)->setFocus(Qt::TabFocusReason);
        QTest::keyClick(pill->segments().at(2), Qt::Key_Space);
        QCOMPARE(picks.count(), 3);
        QCOMPARE(pill->selectedIndex(), 2);
    }

    void indicatorGlidesOnlyWithMotion() {
        auto* pill = makePill();
        Stage stage(pill);
        pill->setSelection(QStringLiteral("assistant"));
        QCOMPARE(pill->indicatorRect(), QRectF(pill->segments().at(0)->geometry()));
        QTest::mouseClick(pill->segments().at(2), Qt::LeftButton);
        QCOMPARE(pill->indicatorRect(), QRectF(pill->segments().at(2)->geometry()));

        Appearance::instance().overrideReduceMotion(false);
        QTest::mouseClick(pill->segments().at(0), Qt::LeftButton);
        const QRectF target(pill->segments().at(0)->geometry());
        QVERIFY(pill->indicatorRect() != target);
        QTRY_COMPARE(pill->indicatorRect(), target);

        // A refresh moves without gliding unless asked to.
        pill->setSelection(QStringLiteral("page"));
        QCOMPARE(pill->indicatorRect(), QRectF(pill->segments().at(1)->geometry()));
    }

    void unmatchedSelectionShowsNoIndicator() {
        auto* pill = makePill();
        Stage stage(pill);
        pill->setSelection(QStringLiteral("document"));
        QCOMPARE(pill->selectedIndex(), -1);
        QVERIFY(pill->indicatorRect().isEmpty());
        for (auto* segment : pill->segments()) QVERIFY(!segment->isChecked());
        const QImage image = kivo::testing::grabbed(*pill);
        const QRect first = pill->segments().at(0)->geometry();
        KIVO_COMPARE_COLOR(kivo::testing::pixel(image, QPointF(first.left() + 4, first.center().y())),
                           kivo::Theme::color(Token::defaultFill, ColorScheme::light), 2);
    }

    void drawsTrackAndIndicator_data() {
        QTest::addColumn<bool>("dark");
        QTest::newRow("light") << false;
        QTest::newRow("dark") << true;
    }
    void drawsTrackAndIndicator() {
        QFETCH(bool, dark);
        const ColorScheme scheme = dark ? ColorScheme::dark : ColorScheme::light;
        Appearance::instance().overrideScheme(scheme);
        auto* pill = makePill();
        Stage stage(pill);
        pill->setSelection(QStringLiteral("page"));
        const QImage image = kivo::testing::grabbed(*pill);
        const QRect selected = pill->segments().at(1)->geometry();
        const QRect other = pill->segments().at(2)->geometry();
        KIVO_COMPARE_COLOR(kivo::testing::pixel(
                               image, QPointF(selected.left() + selected.height() / 2.0, selected.top() + 2)),
                           kivo::Theme::color(Token::segment, scheme), 2);
        KIVO_COMPARE_COLOR(kivo::testing::pixel(image, QPointF(other.left() + 4, other.top() + 2)),
                           kivo::Theme::color(Token::defaultFill, scheme), 2);
        Appearance::instance().overrideScheme(ColorScheme::light);
    }

    void metricsFollowTheTextScale_data() { kivo::testing::addScaleRows(); }
    void metricsFollowTheTextScale() {
        QFETCH(double, scale);
        auto* pill = makePill(HeroButtonSize::sm);
        Stage stage(pill, scale);
        QCOMPARE(pill->padding(), 3 * scale);
        QCOMPARE(pill->cornerRadius(), 4 * scale + 16);
        const auto segments = pill->segments();
        QVERIFY(std::abs(segments.first()->x() - 3 * scale) <= 0.5);
        for (auto* segment : segments) QVERIFY(std::abs(segment->width() - segments.first()->width()) <= 1);
        // sm segments: callout text with 4 above and below.
        QVERIFY(segments.first()->height() >= (12 + 8) * scale);

        PillSegment empty(QStringLiteral("Nothing"), HeroButtonSize::sm);
        kivo::TextScale::apply(&empty, scale);
        QCOMPARE(empty.sizeHint(), QSize(int(std::ceil(6 * scale)), int(std::ceil(6 * scale))));
    }

    // A title too wide for its segment, once the segment has given up its side padding, shrinks to fit,
    // down to 0.7 of its size, and is cut short below that.
    void aTitleShrinksToSevenTenthsThenIsCutShort() {
        constexpr double scale = 3.0;
        const SegmentItem item{QStringLiteral("document"), QStringLiteral("Document"), QString(), false};
        // The height of the title's ink in the segment at `width` (all of it when 0).
        const auto inkHeight = [&](double widthFactor) {
            auto* segment = new kivo::PillSegmentButton(item, HeroButtonSize::md, nullptr);
            Stage stage(segment, scale);
            const double title = segment->sizeHint().width() - 2 * 12 * scale;
            const double leastPadding = 2 * 3 * scale;
            if (widthFactor > 0) {
                segment->setFixedWidth(static_cast<int>(std::lround(leastPadding + widthFactor * title)));
            }
            const QImage image = kivo::testing::grabbedOver(*segment, Qt::white);
            int top = image.height(), bottom = -1;
            for (int y = 0; y < image.height(); ++y) {
                for (int x = 0; x < image.width(); ++x) {
                    if (qGray(image.pixel(x, y)) < 160) {
                        top = std::min(top, y);
                        bottom = std::max(bottom, y);
                    }
                }
            }
            return bottom - top + 1;
        };
        const double whole = inkHeight(0);
        QVERIFY(whole > 20);
        const struct {
            double room;
            double size;
        } cases[] = {{0.85, 0.85}, {0.75, 0.75}, {0.55, 0.7}, {0.4, 0.7}};
        for (const auto& c : cases) {
            const double height = inkHeight(c.room);
            QVERIFY2(std::abs(height - c.size * whole) <= 1.5,
                     qPrintable(QStringLiteral("room %1: %2 of %3").arg(c.room).arg(height).arg(whole)));
        }
    }

    void accessibility() {
        auto* pill = makePill();
        Stage stage(pill);
        pill->setSelection(QStringLiteral("page"));
        QAccessibleInterface* group = QAccessible::queryAccessibleInterface(pill);
        QCOMPARE(group->role(), QAccessible::Grouping);
        QCOMPARE(group->text(QAccessible::Name), QStringLiteral("Inspector"));
        QCOMPARE(group->childCount(), 3);
        const QStringList titles{QStringLiteral("Assistant"), QStringLiteral("Page"), QStringLiteral("Form")};
        for (int i = 0; i < 3; ++i) {
            QAccessibleInterface* segment = group->child(i);
            QCOMPARE(segment->role(), QAccessible::Button);
            QCOMPARE(segment->text(QAccessible::Name), titles[i]);
            QVERIFY(segment->state().checkable);
            QCOMPARE(bool(segment->state().checked), i == 1);
        }
        // The hidden title still names the segment and is its tooltip.
        QCOMPARE(pill->segments().at(2)->toolTip(), QStringLiteral("Form"));
        QSignalSpy picks(pill, &PillSegment::activated);
        group->child(2)->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        QCOMPARE(picks.count(), 1);
        QVERIFY(group->child(2)->state().checked);
    }
};

QTEST_MAIN(PillSegmentTest)
#include "pill_segment_test.moc"
