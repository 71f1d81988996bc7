// Cards, rows, empty states and fields: the card's surface, corner and shadow in both appearances, header
// rules and spacing, the row's gap and combined reading, the empty state's metrics and wrapping, and the
// field's border before and after focus.

#include <QAccessible>
#include <QLineEdit>
#include <QPainter>
#include <QPlainTextEdit>
#include <QVBoxLayout>
#include <QtTest>

#include "design/card_row.hpp"
#include "design/chip.hpp"
#include "design/empty_state_view.hpp"
#include "design/hero_button.hpp"
#include "design/hero_field.hpp"
#include "design/section_card.hpp"
#include "design/shadow.hpp"
#include "design/text_scale.hpp"
#include "design/themed_label.hpp"
#include "design_test_support.hpp"

using kivo::Appearance;
using kivo::CardRow;
using kivo::ColorScheme;
using kivo::EmptyStateView;
using kivo::HeroField;
using kivo::SectionCard;
using kivo::testing::Stage;
using kivo::Theme::Token;

namespace {

kivo::ThemedLabel* text(const QString& s) {
    return new kivo::ThemedLabel(s, kivo::ScaledTextStyle::body, QFont::Normal, Token::foreground);
}

}  // namespace

class SurfacesTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { kivo::testing::prepareApplication(); }
    void cleanup() { Appearance::instance().overrideScheme(ColorScheme::light); }

    void cardCornerAndShadow_data() {
        QTest::addColumn<bool>("dark");
        QTest::newRow("light") << false;
        QTest::newRow("dark") << true;
    }
    void cardCornerAndShadow() {
        QFETCH(bool, dark);
        const ColorScheme scheme = dark ? ColorScheme::dark : ColorScheme::light;
        Appearance::instance().overrideScheme(scheme);
        auto* card = new SectionCard(QStringLiteral("Document"), std::nullopt);
        card->contentLayout()->addWidget(text(QStringLiteral("Body")));
        Stage stage(card, 1.0, 0, 320);
        const QImage image = kivo::testing::grabbed(*card);
        const QRectF surface = card->surfaceRect();
        // The rounded corner leaves the rectangle's corner clear, and the middle of the left edge is surface.
        QVERIFY2(kivo::testing::pixel(image, surface.topLeft() + QPointF(1, 1)).alpha() <= 8,
                 qPrintable(QString::number(
                     kivo::testing::pixel(image, surface.topLeft() + QPointF(1, 1)).alpha())));
        KIVO_COMPARE_COLOR(kivo::testing::pixel(image, QPointF(surface.left() + 4, surface.center().y())),
                           kivo::Theme::color(Token::surface, scheme), 1);
        // Below the bottom edge: the shadow in light, nothing in dark.
        const int below =
            kivo::testing::pixel(image, QPointF(surface.center().x(), surface.bottom() + 1.5)).alpha();
        if (dark) {
            QCOMPARE(below, 0);
        } else {
            QVERIFY2(below >= 6, qPrintable(QString::number(below)));
        }
        QVERIFY(kivo::testing::pixel(image, QPointF(surface.center().x(), image.height() - 0.5)).alpha() <=
                1);
    }

    void cardHeaderRules() {
        auto* bare = new SectionCard(std::nullopt, std::nullopt);
        auto* accessory = new kivo::Chip(QStringLiteral("Saved"));
        bare->setAccessory(accessory);
        auto* body = text(QStringLiteral("Body"));
        bare->contentLayout()->addWidget(body);
        auto* subtitled = new SectionCard(std::nullopt, QStringLiteral("Only a subtitle"));
        auto* second = new kivo::Chip(QStringLiteral("On"));
        subtitled->setAccessory(second);
        auto* literal = new SectionCard(QStringLiteral("%1 of <b>%2</b> &amp;"), std::nullopt);
        Stage a(bare, 1.0, 0, 320);
        Stage b(subtitled, 1.0, 0, 320);
        Stage c(literal, 1.0, 0, 320);
        QVERIFY(!accessory->isVisibleTo(bare));
        QCOMPARE(body->mapTo(bare, QPoint(0, 0)).y(), int(SectionCard::shadowMargins().top() + 12));
        QVERIFY(second->isVisibleTo(subtitled));
        QVERIFY(!subtitled->titleLabel()->isVisibleTo(subtitled));
        QVERIFY(subtitled->subtitleLabel()->isVisibleTo(subtitled));
        QCOMPARE(QAccessible::queryAccessibleInterface(literal->titleLabel())->role(), QAccessible::Heading);
        QCOMPARE(QAccessible::queryAccessibleInterface(literal)->text(QAccessible::Name),
                 QStringLiteral("%1 of <b>%2</b> &amp;"));
        QCOMPARE(literal->titleLabel()->text(), QStringLiteral("%1 of <b>%2</b> &amp;"));
        QCOMPARE(literal->titleLabel()->textFormat(), Qt::PlainText);
    }

    void cardMetricsFollowTheTextScale_data() { kivo::testing::addScaleRows(); }
    void cardMetricsFollowTheTextScale() {
        QFETCH(double, scale);
        auto* card = new SectionCard(QStringLiteral("Document"), QStringLiteral("Facts"));
        auto* body = text(QStringLiteral("Body"));
        card->contentLayout()->addWidget(body);
        Stage stage(card, scale, 0, 320);
        const QPointF origin = card->surfaceRect().topLeft();
        const QRect title = card->titleLabel()->geometry();
        const QRect subtitle = card->subtitleLabel()->geometry();
        const QPoint titleAt = card->titleLabel()->mapTo(card, QPoint(0, 0));
        QCOMPARE(titleAt.x() - origin.x(), std::round(12 * scale));
        QCOMPARE(titleAt.y() - origin.y(), std::round(12 * scale));
        QCOMPARE(subtitle.top() - title.bottom() - 1, 2);
        const int headerBottom = card->subtitleLabel()->mapTo(card, QPoint(0, subtitle.height())).y();
        QVERIFY(std::abs(body->mapTo(card, QPoint(0, 0)).y() - headerBottom - 10 * scale) <= 1);
        QCOMPARE(SectionCard::cornerRadius, 16.0);
    }

    void rowReadsAsOneAndKeepsItsGap() {
        auto* row = new CardRow(QStringLiteral("Revision"), text(QStringLiteral("12")));
        auto* crowded = new CardRow(QStringLiteral("A label long enough to need two lines in a narrow row"),
                                    text(QStringLiteral("Value that is wide")));
        auto* chipRow = new CardRow(QStringLiteral("Save state"), new kivo::Chip(QStringLiteral("Unsaved")));
        Stage a(row, 1.0, 0, 320);
        Stage b(crowded, 1.0, 0, 200);
        Stage c(chipRow, 1.0, 0, 320);
        QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(row);
        QCOMPARE(iface->role(), QAccessible::StaticText);
        QCOMPARE(iface->text(QAccessible::Name), QStringLiteral("Revision, 12"));
        QCOMPARE(iface->childCount(), 0);
        QCOMPARE(QAccessible::queryAccessibleInterface(chipRow)->text(QAccessible::Name),
                 QStringLiteral("Save state, Unsaved"));
        const QWidget* label = crowded->findChild<kivo::ThemedLabel*>();
        QVERIFY(crowded->value()->x() - (label->x() + label->width()) >= CardRow::minimumGap);
        QVERIFY(crowded->value()->geometry().right() <= crowded->width());
        QVERIFY(label->height() > label->fontMetrics().height());
    }

    void emptyStateMetricsAndWrapping() {
        auto* action =
            new kivo::HeroButton(QStringLiteral("Open a PDF\u2026"), kivo::HeroButtonVariant::primary);
        auto* view = new EmptyStateView(
            QStringLiteral("doc.richtext"), QStringLiteral("Drop a PDF here"),
            QStringLiteral("Local files only. The same commands drive the canvas, the CLI, "
                           "and MCP, and this sentence goes on to wrap."),
            action);
        Stage stage(view, 2.0, 0, 360);
        const QRectF badge = view->badgeRect();
        QCOMPARE(badge.size(), QSizeF(88, 88));
        QCOMPARE(badge.center().x(), view->width() / 2.0);
        const QMargins margins = view->layout()->contentsMargins();
        QCOMPARE(margins, QMargins(40, 32, 40, 32));
        QCOMPARE(view->layout()->spacing(), 20);
        const QRect title = view->titleLabel()->geometry();
        const QRect message = view->messageLabel()->geometry();
        QCOMPARE(title.top() - int(badge.bottom()), 20);
        QCOMPARE(message.top() - title.bottom() - 1, 20);
        // The message wraps over several lines and gets the height they need.
        QVERIFY(message.height() >= view->messageLabel()->heightForWidth(message.width()));
        QVERIFY(message.height() >= 2 * view->messageLabel()->fontMetrics().lineSpacing());
        QCOMPARE(action->geometry().top() - message.bottom() - 1, 20);

        // The badge is not offered to assistive technologies: only the texts and the action are.
        QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(view);
        QCOMPARE(iface->role(), QAccessible::Grouping);
        QCOMPARE(iface->childCount(), 3);
    }

    void fieldBorderFollowsFocus_data() {
        QTest::addColumn<bool>("multiline");
        QTest::newRow("single line") << false;
        QTest::newRow("multi-line") << true;
    }
    void fieldBorderFollowsFocus() {
        QFETCH(bool, multiline);
        auto* field = new HeroField(multiline);
        auto* other = new QLineEdit();
        Stage stage(field, 1.0, 0, 320);
        other->setParent(&stage.window);
        other->show();
        if (multiline) field->setFixedHeight(60);
        QApplication::setActiveWindow(&stage.window);
        QVERIFY(QTest::qWaitForWindowActive(&stage.window));
        other->setFocus();
        const QColor ground = kivo::Theme::color(Token::background, ColorScheme::light);
        const QPointF top(field->width() / 2.0, 0.5);
        const QPointF second(field->width() / 2.0, 1.5);
        QImage image = kivo::testing::grabbedOver(*field, ground);
        KIVO_COMPARE_COLOR(kivo::testing::pixel(image, top),
                           kivo::Theme::color(Token::border, ColorScheme::light), 3);
        KIVO_COMPARE_COLOR(kivo::testing::pixel(image, second),
                           kivo::Theme::color(Token::field, ColorScheme::light), 1);
        field->setFocus();
        QTRY_VERIFY(field->isFocused());
        image = kivo::testing::grabbedOver(*field, ground);
        KIVO_COMPARE_COLOR(kivo::testing::pixel(image, top), kivo::Theme::focus(ColorScheme::light), 3);
        KIVO_COMPARE_COLOR(kivo::testing::pixel(image, second), kivo::Theme::focus(ColorScheme::light), 3);
        other->setFocus();
        QTRY_VERIFY(!field->isFocused());
        image = kivo::testing::grabbedOver(*field, ground);
        KIVO_COMPARE_COLOR(kivo::testing::pixel(image, second),
                           kivo::Theme::color(Token::field, ColorScheme::light), 1);
    }

    void fieldInsetsFollowTheTextScale() {
        auto* single = new HeroField(false);
        auto* multi = new HeroField(true);
        Stage a(single, 1.25, 0, 320);
        Stage b(multi, 1.25, 0, 320);
        QCOMPARE(single->insets(), QMarginsF(11.25, 6.25, 11.25, 6.25));
        QCOMPARE(multi->insets(), QMarginsF(11.25, 8.75, 11.25, 8.75));
        QCOMPARE(single->editor()->font().pointSizeF(), kivo::pointSizeForPixels(13 * 1.25, single));
        single->lineEdit()->setText(QStringLiteral("<b>%1</b>"));
        QCOMPARE(single->lineEdit()->displayText(), QStringLiteral("<b>%1</b>"));
    }

    // Below the middle of a wide card the light surface shadow is the three layers along one edge: the
    // pixels are compared with the same layers worked out from true Gaussians, one row at a time.
    void theLightSurfaceShadowIsItsThreeLayers() {
        const QRectF card(40, 40, 400, 100);
        QImage image(480, 200, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        {
            QPainter painter(&image);
            kivo::Shadows::paint(painter, card, 8, kivo::Shadows::surface(ColorScheme::light));
        }
        struct Layer {
            double opacity, radius, y;
        };
        const Layer layers[] = {{0.04, 4, 2}, {0.06, 2, 1}, {0.06, 1, 0}};
        // Distances below the card's lower edge, 0.05 apart; the card covers the negative ones.
        constexpr double step = 0.05;
        constexpr int span = 800;
        std::vector<double> shadow(2 * span + 1);
        const auto at = [&](int i) { return (i - span) * step; };
        for (int i = 0; i <= 2 * span; ++i) shadow[i] = at(i) < 0 ? 1.0 : 0.0;
        for (const Layer& layer : layers) {
            std::vector<double> blurred(shadow.size());
            const int reach = static_cast<int>(5 * layer.radius / step);
            const int shift = static_cast<int>(std::lround(layer.y / step));
            for (int i = 0; i <= 2 * span; ++i) {
                double sum = 0, weights = 0;
                for (int k = -reach; k <= reach; ++k) {
                    const double weight = std::exp(-0.5 * std::pow(k * step / layer.radius, 2));
                    const int from = std::clamp(i + k - shift, 0, 2 * span);
                    sum += weight * shadow[from];
                    weights += weight;
                }
                blurred[i] = sum / weights;
            }
            for (int i = 0; i <= 2 * span; ++i) shadow[i] += layer.opacity * blurred[i] * (1 - shadow[i]);
        }
        int total = 0, expectedTotal = 0;
        for (int row = 0; row < 16; ++row) {
            double mean = 0;
            for (int i = 0; i < 20; ++i) mean += shadow[span + row * 20 + i] / 20;
            const int expected = static_cast<int>(std::lround(mean * 255));
            const int alpha = qAlpha(image.pixel(240, 140 + row));
            // Three box blurs stand in for each Gaussian: a level or two apart.
            QVERIFY2(
                std::abs(alpha - expected) <= 2,
                qPrintable(QStringLiteral("row %1: alpha %2, not %3").arg(row).arg(alpha).arg(expected)));
            total += alpha;
            expectedTotal += expected;
        }
        QVERIFY2(std::abs(total - expectedTotal) <= 4,
                 qPrintable(QStringLiteral("%1 against %2").arg(total).arg(expectedTotal)));
    }

    void shadowReachIsSymmetricAndDownward() {
        const QMarginsF light = kivo::Shadows::reach(kivo::Shadows::surface(ColorScheme::light));
        QCOMPARE(light.left(), light.right());
        QVERIFY(light.bottom() > light.top());
        QVERIFY(light.top() > 0);
        QCOMPARE(kivo::Shadows::reach(kivo::Shadows::surface(ColorScheme::dark)), QMarginsF());
        const QMarginsF overlay = kivo::Shadows::reach(kivo::Shadows::overlay(ColorScheme::dark));
        QVERIFY(overlay.bottom() > light.bottom());
    }

    // A large shape's shadow is stretched from a small one's border; every pixel must still be the one the
    // whole shape blurred at once gives, at a page's zoom steps and pixel ratios, square corners and round.
    // A shape that ends within a pixel casts the shadow of the whole pixels an image drawn there covers.
    void largeShadowMatchesTheWholeBlur_data() {
        QTest::addColumn<QSizeF>("shape");
        QTest::addColumn<double>("corner");
        QTest::addColumn<double>("ratio");
        QTest::addColumn<bool>("dark");
        QTest::newRow("page at 100 %, ratio 1") << QSizeF(612, 792) << 0.0 << 1.0 << false;
        QTest::newRow("page at 150 %, ratio 2") << QSizeF(918, 1188) << 0.0 << 2.0 << false;
        QTest::newRow("odd device pixels") << QSizeF(700.5, 402.5) << 0.0 << 2.0 << false;
        // A zoom's stand-in: the old bitmap at the new width, parts of a pixel over or under in height.
        QTest::newRow("parts of a pixel over a half") << QSizeF(2381, 3367.53) << 0.0 << 1.0 << false;
        QTest::newRow("parts of a pixel, ratio 2") << QSizeF(1190.7, 1683.6) << 0.0 << 2.0 << false;
        QTest::newRow("dark, long and thin") << QSizeF(1500, 260) << 0.0 << 1.0 << true;
        QTest::newRow("rounded card") << QSizeF(640, 480) << 12.0 << 1.0 << false;
    }
    void largeShadowMatchesTheWholeBlur() {
        QFETCH(QSizeF, shape);
        QFETCH(double, corner);
        QFETCH(double, ratio);
        QFETCH(bool, dark);
        const auto layers = kivo::Shadows::overlay(dark ? ColorScheme::dark : ColorScheme::light);
        const QMarginsF reach = kivo::Shadows::reach(layers);
        const QSizeF covered(std::round(shape.width() * ratio) / ratio,
                             std::round(shape.height() * ratio) / ratio);
        const QImage whole = kivo::Shadows::image(covered, corner, layers, ratio);
        QImage painted(whole.size(), QImage::Format_ARGB32_Premultiplied);
        painted.setDevicePixelRatio(ratio);
        painted.fill(Qt::transparent);
        {
            QPainter painter(&painted);
            kivo::Shadows::paint(painter, QRectF(QPointF(reach.left(), reach.top()), shape), corner, layers);
        }
        int worst = 0;
        for (int y = 0; y < whole.height(); ++y) {
            const auto* a = reinterpret_cast<const QRgb*>(whole.constScanLine(y));
            const auto* b = reinterpret_cast<const QRgb*>(painted.constScanLine(y));
            for (int x = 0; x < whole.width(); ++x)
                worst = std::max(worst, std::abs(qAlpha(a[x]) - qAlpha(b[x])));
        }
        // Float sums over lines of another length may round half a level the other way.
        QVERIFY2(worst <= 1, qPrintable(QStringLiteral("alpha differs by %1").arg(worst)));
    }

    // Blurred while the first page is on its way, the page's shadow is ready for it and for every later
    // size: no paint of a page-sized shape blurs again, at any zoom.
    void preparedShadowServesEveryLargeShape() {
        const double ratio = 1.37;  // no other test paints at this ratio
        for (const bool dark : {false, true}) {
            const auto layers = kivo::Shadows::overlay(dark ? ColorScheme::dark : ColorScheme::light);
            QImage view(1200, 1600, QImage::Format_ARGB32_Premultiplied);
            view.setDevicePixelRatio(ratio);
            const std::size_t before = kivo::Shadows::blurredCount();
            kivo::Shadows::prepare(view, 0, layers);
            QCOMPARE(kivo::Shadows::blurredCount(), before + 1);
            QPainter painter(&view);
            for (const QRectF page :
                 {QRectF(24, 24, 595.3, 841.9), QRectF(24.5, 24, 714, 1010), QRectF(0, 0, 3e4, 4e4)})
                kivo::Shadows::paint(painter, page, 0, layers);
            QCOMPARE(kivo::Shadows::blurredCount(), before + 1);
        }
    }

    // A page zoomed far in is hundreds of thousands of pixels a side; its shadow costs what a small one does.
    void hugeShapeShadowPaintsItsVisibleEdge() {
        const auto layers = kivo::Shadows::overlay(ColorScheme::light);
        QImage view(200, 200, QImage::Format_ARGB32_Premultiplied);
        view.fill(Qt::white);
        {
            QPainter painter(&view);
            painter.translate(100, 100);
            kivo::Shadows::paint(painter, QRectF(0, 0, 300000, 400000), 0, layers);
        }
        // Above the top edge it darkens towards the shape; inside the shape nothing is painted.
        QVERIFY(qRed(view.pixel(150, 99)) < qRed(view.pixel(150, 80)));
        QVERIFY(qRed(view.pixel(150, 80)) < 255);
        QCOMPARE(view.pixel(150, 150), QColor(Qt::white).rgb());
    }
};

QTEST_MAIN(SurfacesTest)
#include "surfaces_test.moc"
