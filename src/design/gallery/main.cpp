// kivo-design-gallery: shows every control of the design system, light or dark, at any text scale.
// Options: --dark or --light forces the appearance, --scale N sets the text scale, --screenshot FILE
// writes the page as a PNG and exits (status 1 when the file cannot be written).

#include <QApplication>
#include <QCommandLineParser>
#include <QEventLoop>
#include <QScrollArea>
#include <QTimer>

#include "design/appearance.hpp"
#include "design/text_scale.hpp"
#include "gallery/gallery_page.hpp"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kivo-design-gallery"));
    kivo::Appearance::instance().install(app);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Every control of the Kivo PDF design system."));
    parser.addHelpOption();
    const QCommandLineOption dark(QStringLiteral("dark"), QStringLiteral("Show the dark appearance."));
    const QCommandLineOption light(QStringLiteral("light"), QStringLiteral("Show the light appearance."));
    const QCommandLineOption scale(QStringLiteral("scale"), QStringLiteral("Interface text scale."),
                                   QStringLiteral("factor"), QStringLiteral("1"));
    const QCommandLineOption screenshot(QStringLiteral("screenshot"),
                                        QStringLiteral("Write the page to a PNG and exit."),
                                        QStringLiteral("file"));
    parser.addOptions({dark, light, scale, screenshot});
    parser.process(app);

    auto* page = new kivo::GalleryPage();
    kivo::ColorScheme scheme = kivo::Appearance::instance().scheme();
    if (parser.isSet(dark)) scheme = kivo::ColorScheme::dark;
    if (parser.isSet(light)) scheme = kivo::ColorScheme::light;
    bool ok = false;
    const double factor = parser.value(scale).toDouble(&ok);
    page->showCase(scheme, ok && factor > 0 ? factor : 1.0);

    if (parser.isSet(screenshot)) {
        page->show();
        page->fitToContents();
        QApplication::processEvents();
        // The first paint starts the presses of the pressed samples; let them finish before the picture.
        page->grab();
        QEventLoop settle;
        QTimer::singleShot(kivo::Theme::fluidMilliseconds * 2, &settle, &QEventLoop::quit);
        settle.exec();
        const bool written = page->grab().save(parser.value(screenshot), "PNG");
        delete page;
        return written ? 0 : 1;
    }

    QScrollArea area;
    area.setWidgetResizable(true);
    area.setWidget(page);
    area.setWindowTitle(QStringLiteral("Kivo PDF design gallery"));
    area.resize(1320, 900);
    area.show();
    return QApplication::exec();
}
