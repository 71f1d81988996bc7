// The editor as a person meets it on a desktop (run by on_desktop.sh: an X server with a window manager and
// a session bus of its own), driven by real key presses and clicks through the X server: the inspector's
// column at every text size under the banners. Each writes a screenshot of the screen.

#include <signal.h>

#include <QProcess>
#include <QScrollArea>

#include "app/inspector/inspector_panel.hpp"
#include "app/inspector/provider_card.hpp"
#include "app/shell/main_window.hpp"
#include "app/shell/text_size_steps.hpp"
#include "app_test_support.hpp"
#include "design/status_message.hpp"
#include "test_pdfs.hpp"

using namespace kivo;
using namespace kivo::testing;

namespace {

std::filesystem::path corpusCopy(const Scratch& scratch, const std::string& sample, const std::string& name) {
    const auto file = scratch.docs() / name;
    std::filesystem::create_directories(file.parent_path());
    std::filesystem::copy_file(corpus(sample), file);
    return file;
}

// How the inspector's column is shared at one text size, as failures: the conversation keeps half of what
// lies below the tab strip, the "Answers from" card shows whole at its top, and nothing of the column runs
// past the window's edge.
QStringList columnFailures(MainWindow& window, const QString& row) {
    InspectorPanel& inspector = *window.inspector();
    QScrollArea& conversation = *inspector.scrollArea(InspectorTab::assistant);
    const int below = inspector.height() - named<QWidget>(inspector, "inspectorTabs")->height() - 1;
    QStringList failures;
    if (conversation.viewport()->height() < below / 2 - 1)
        failures << QStringLiteral("%1: the conversation has %2 of %3 px")
                        .arg(row)
                        .arg(conversation.viewport()->height())
                        .arg(below);
    const QWidget& card = *named<ProviderCard>(inspector, "providerCard");
    const QRect shown(card.mapTo(conversation.viewport(), QPoint(0, 0)), card.size());
    if (!conversation.viewport()->rect().contains(shown))
        failures << QStringLiteral("%1: the \"Answers from\" card is cut (%2 px tall, %3 px shown)")
                        .arg(row)
                        .arg(card.height())
                        .arg(shown.intersected(conversation.viewport()->rect()).height());
    const QWidget& composer = *named<QScrollArea>(inspector, "inspectorComposerScroll");
    const int end = composer.mapTo(&window, QPoint(0, composer.height())).y();
    if (end > window.height())
        failures << QStringLiteral("%1: the composer ends at %2, past the window's %3")
                        .arg(row)
                        .arg(end)
                        .arg(window.height());
    return failures;
}

}  // namespace

class EditorDesktopTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        if (QGuiApplication::platformName() != QStringLiteral("xcb"))
            QSKIP("needs an X server: run under on_desktop.sh");
        if (QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("version")}) != 0)
            QSKIP("needs xdotool for real key presses (scripts/setup.sh installs it)");
    }

    void init() {
        EditorSettings settings;
        settings.setAssistantProvider("local");
        settings.setInterfaceTextScale(1.0);
        settings.setInspectorTab("assistant");
    }

    // The worker stops as when memory runs out, and its notice stands above the Assistant tab, with an error
    // over it in the second round; Larger Text walks every step from the keyboard. At each the conversation
    // keeps half the column below the tab strip, banners counted, at the window's first size.
    void theConversationKeepsHalfTheColumnUnderEveryBanner() {
        Scratch scratch;
        auto editor = startEditor(scratch, {corpusCopy(scratch, "pdflatex-4-pages.pdf", "m.pdf").string()});
        QVERIFY(editor);
        MainWindow& window = editor->window();
        Workspace& workspace = editor->workspace();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QVERIFY(waitUntil([&] { return workspace.status() == "Opened m.pdf"; }));
        QCOMPARE(window.size(), QSize(MainWindow::initialWidth, MainWindow::initialHeight));
        ::kill(static_cast<pid_t>(workspace.link().workerProcessId()), SIGKILL);
        auto* notice = named<StatusMessage>(window, "workerNotice");
        QVERIFY(waitUntil([&] { return notice->isVisible() && notice->text().endsWith("from its file."); }));

        QStringList failures;
        for (const bool withError : {false, true}) {
            // No road a person takes shows an error with the notice at will: the error is put in place.
            if (withError)
                arrange(
                    workspace, "errorMessage",
                    std::optional<std::string>("Could not save m.pdf: the disk is full. Nothing was saved."));
            const QString banners = withError ? QStringLiteral("notice and error") : QStringLiteral("notice");
            QVERIFY(pressKeys({QStringLiteral("ctrl+alt+0")}));
            for (const double step : TextSizeSteps::steps) {
                QVERIFY2(waitUntil([&] { return editor->app->settings().interfaceTextScale() == step; }, 10),
                         qPrintable(QStringLiteral("Larger Text never reached %1").arg(step)));
                const QString row = QStringLiteral("%1 at %2").arg(banners).arg(step);
                // The layout settles within a few turns of the event loop; what stands after that counts.
                waitUntil([&] { return columnFailures(window, row).isEmpty(); }, 2);
                failures << columnFailures(window, row);
                if (step == 2.0)
                    saveScreenshot(
                        grabFromScreen(window),
                        QStringLiteral("desktop-column-2.0-%1").arg(withError ? "error" : "notice"));
                if (step != TextSizeSteps::steps.back())
                    QVERIFY(pressKeys({QStringLiteral("ctrl+alt+equal")}));
            }
        }
        QVERIFY2(failures.isEmpty(), qPrintable(failures.join(QLatin1Char('\n'))));
    }
};

KIVO_APP_TEST_MAIN(EditorDesktopTest)
#include "editor_desktop_test.moc"
