// Photographs the gallery, light and dark, at text scale 1 and 2, for people to look at; checks only that
// each picture is the page in the right appearance and that it grows with the scale.

#include <QtTest>

#include "design/appearance.hpp"
#include "gallery/gallery_page.hpp"
#include "design_test_support.hpp"

using kivo::ColorScheme;

class GalleryTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        kivo::testing::prepareApplication();
        // The pictures show the pressed and hovered samples as they end, not mid-animation.
        kivo::Appearance::instance().overrideReduceMotion(true);
    }

    void screenshots_data() {
        QTest::addColumn<bool>("dark");
        QTest::addColumn<double>("scale");
        QTest::addColumn<QString>("file");
        QTest::newRow("light 1") << false << 1.0 << "design-gallery-light-scale1.png";
        QTest::newRow("dark 1") << true << 1.0 << "design-gallery-dark-scale1.png";
        QTest::newRow("light 2") << false << 2.0 << "design-gallery-light-scale2.png";
        QTest::newRow("dark 2") << true << 2.0 << "design-gallery-dark-scale2.png";
    }
    void screenshots() {
        QFETCH(bool, dark);
        QFETCH(double, scale);
        QFETCH(QString, file);
        const ColorScheme scheme = dark ? ColorScheme::dark : ColorScheme::light;
        kivo::GalleryPage page;
        page.showCase(scheme, scale);
        page.show();
        page.fitToContents();
        QApplication::setActiveWindow(&page);
        QVERIFY(QTest::qWaitForWindowActive(&page));
        page.focusSampleField();
        QCoreApplication::processEvents();
        const QImage image = page.grab().toImage();
        const QString path = kivo::testing::screenshotDir() + "/" + file;
        QVERIFY2(image.save(path), qPrintable(path));
        KIVO_COMPARE_COLOR(image.pixelColor(2, image.height() - 3),
                           kivo::Theme::color(kivo::Theme::Token::background, scheme), 0);
        QVERIFY(image.width() >= (scale > 1 ? 1800 : 1000));
    }
};

QTEST_MAIN(GalleryTest)
#include "gallery_test.moc"
