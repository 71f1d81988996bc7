#include "app_test_support.hpp"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QDir>
#include <QLocale>
#include <QProcess>
#include <QScreen>

#include <iostream>

#include "app/shell/announcer.hpp"
#include "app/shell/app_accessibility.hpp"
#include "app/shell/main_window.hpp"
#include "core/text.hpp"
#include "design/appearance.hpp"
#include "workspace/worker_link.hpp"
#include "test_pdfs.hpp"

namespace kivo::testing {
namespace {

// Notes whether any widget of a window has painted yet.
class PaintWatch : public QObject {
public:
    explicit PaintWatch(QWidget* window) : QObject(window), window_(window) {
        qApp->installEventFilter(this);
    }
    ~PaintWatch() override { qApp->removeEventFilter(this); }

    bool painted = false;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (!painted && event->type() == QEvent::Paint && watched->isWidgetType() &&
            static_cast<QWidget*>(watched)->window() == window_)
            painted = true;
        return false;
    }

private:
    QWidget* window_;
};

}  // namespace

std::filesystem::path document(const Scratch& scratch, const std::string& name, int pages) {
    const auto path = scratch.docs() / name;
    writeFile(path, makePdf(std::vector<TestPage>(static_cast<std::size_t>(pages))));
    return path;
}

std::filesystem::path longDocument(const Scratch& scratch, const std::string& name, int pages) {
    const auto path = scratch.docs() / name;
    writeFile(path, makeLongTextPdf(pages));
    return path;
}

std::unique_ptr<RunningEditor> startEditor(const Scratch& scratch, const std::vector<std::string>& files,
                                           Worker worker, const std::optional<std::string>& updateFeed,
                                           std::shared_ptr<KeyStore> keys) {
    for (const char* sandbox : {"on", "off"}) {
        auto running = std::make_unique<RunningEditor>();
        WorkspaceServices services;
        services.keyStore = keys;
        services.workerHost = std::make_shared<TestWorkerHost>(
            worker == Worker::real ? std::optional(realWorker()) : std::nullopt,
            std::map<std::string, std::string>{{"HOME", scratch.home().string()},
                                               {"KIVO_PDF_WORKER_SANDBOX", sandbox}});
        running->app = std::make_unique<EditorApp>(
            services,
            std::make_unique<Updates>(updateFeed ? Http::Address::parse(*updateFeed) : std::nullopt));
        bool launched = false;
        QObject::connect(running->app.get(), &EditorApp::launched, [&launched] { launched = true; });
        if (running->app->start(files) != EditorApp::Start::running) {
            qWarning("the editor did not start as the user's editor");
            return nullptr;
        }
        // The launch waits for the window's first paint: nothing was said yet.
        QObject::connect(named<Announcer>(running->window(), "announcer"), &Announcer::announced,
                         [list = &running->announced](const QString& text) { list->append(text); });
        auto* painted = new PaintWatch(&running->window());
        QObject::connect(&running->workspace().link(), &WorkerLink::workerReadyChanged, painted,
                         [painted, flag = &running->paintedBeforeWorker] { *flag = painted->painted; });
        if (!waitUntil([&] { return launched; })) {
            qWarning("the editor never launched its worker");
            return nullptr;
        }
        if (worker == Worker::missing || running->workspace().link().workerReady()) return running;
        std::cerr << "note: the worker does not start with its sandbox " << sandbox
                  << " here: " << running->workspace().errorMessage().value_or("") << "\n";
    }
    qWarning("the worker did not start");
    return nullptr;
}

QAbstractButton* buttonOf(QAction* action) {
    for (QObject* shown : action->associatedObjects()) {
        if (auto* button = qobject_cast<QAbstractButton*>(shown)) return button;
    }
    return nullptr;
}

QString screenshot(QWidget& widget, const QString& name) {
    return saveScreenshot(widget.grab().toImage(), name);
}

QString saveScreenshot(const QImage& image, const QString& name) {
    const QByteArray configured = qgetenv("KIVO_SCREENSHOT_DIR");
    const QString dir = configured.isEmpty() ? QStringLiteral(KIVO_DEFAULT_SCREENSHOT_DIR)
                                             : QString::fromLocal8Bit(configured);
    QDir().mkpath(dir);
    const QString path = dir + QLatin1Char('/') + name + QStringLiteral(".png");
    return image.save(path, "PNG") ? path : QString();
}

namespace {

bool xdotool(const QStringList& arguments) {
    return QProcess::execute(QStringLiteral("xdotool"), arguments) == 0;
}

}  // namespace

bool pressKeys(const QStringList& keys) {
    return xdotool(QStringList{QStringLiteral("key"), QStringLiteral("--delay"), QStringLiteral("40")} +
                   keys);
}

bool typeText(const QString& text) {
    return xdotool({QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("20"), text});
}

bool clickOn(const QWidget& widget, std::optional<QPoint> at) {
    // Where the widget stands once the layouts asked for have run.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    const QPointF onScreen =
        QPointF(widget.mapToGlobal(at.value_or(widget.rect().center()))) * widget.devicePixelRatioF();
    return xdotool({QStringLiteral("mousemove"), QStringLiteral("--sync"),
                    QString::number(qRound(onScreen.x())), QString::number(qRound(onScreen.y())),
                    QStringLiteral("click"), QStringLiteral("1")});
}

QImage grabFromScreen(const QWidget& window) {
    QScreen* screen = window.screen();
    const QRect shown = window.frameGeometry().intersected(screen->geometry());
    return screen->grabWindow(0, shown.x(), shown.y(), shown.width(), shown.height()).toImage();
}

void prepareApplication() {
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    Appearance::instance().install(*qApp);
    installAppAccessibility();
    Appearance::instance().overrideScheme(ColorScheme::light);
    Appearance::instance().overrideReduceMotion(true);
    QCursor::setPos(-1000, -1000);
}

}  // namespace kivo::testing
