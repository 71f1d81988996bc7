// The editor as a person meets it on a desktop (run by on_desktop.sh: an X server with a window manager and
// a session bus of its own), driven by real key presses and clicks through the X server: the inspector's
// column at every text size under the banners, the print dialog's "print to file", and a key saved where
// the keyring started on demand has nothing to store it in. Each writes a screenshot of the screen.

#include <signal.h>
#include <sys/stat.h>

#include <QComboBox>
#include <QDialogButtonBox>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QLineEdit>
#include <QPrintDialog>
#include <QProcess>
#include <QRegularExpression>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QSpinBox>
#include <QTabBar>
#include <QTabWidget>

#include "app/inspector/inspector_panel.hpp"
#include "app/inspector/provider_card.hpp"
#include "app/shell/main_window.hpp"
#include "app/shell/text_size_steps.hpp"
#include "app_test_support.hpp"
#include "assistant/keychain_key.hpp"
#include "design/chip.hpp"
#include "design/hero_button.hpp"
#include "design/hero_field.hpp"
#include "design/pill_segment.hpp"
#include "design/status_message.hpp"
#include "fake_http_server.hpp"
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

// What poppler reads on `page` of `pdf`, white space squeezed; what pdfinfo counts as its pages for page 0.
QString popplerRead(const std::filesystem::path& pdf, int page) {
    QProcess reader;
    const QString path = QString::fromStdString(pdf.string());
    if (page == 0) {
        reader.start(QStringLiteral("pdfinfo"), {path});
    } else {
        reader.start(QStringLiteral("pdftotext"),
                     {QStringLiteral("-f"), QString::number(page), QStringLiteral("-l"),
                      QString::number(page), path, QStringLiteral("-")});
    }
    reader.waitForFinished(30000);
    const QString out = QString::fromUtf8(reader.readAllStandardOutput());
    if (page != 0) return out.simplified();
    const auto line = QRegularExpression(QStringLiteral("Pages:\\s+(\\d+)")).match(out);
    return line.hasMatch() ? line.captured(1) : QString();
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

// What the print dialog offered for a file: the two-sided layout, and the file's name.
struct Offered {
    bool bothSides = false;
    QString file;
};

// Drives the open print dialog as a person does: print to file, both sides, two copies collated, and a name
// typed without a folder, then Print.
Offered printBothSidesToFile(QPrintDialog& dialog, const QString& name) {
    Offered offered;
    auto* printers = named<QComboBox>(dialog, "printers");
    if (printers->currentIndex() != printers->count() - 1) {
        clickOn(*printers);
        pressKeys({QStringLiteral("End"), QStringLiteral("Return")});
        waitUntil([&] { return printers->currentIndex() == printers->count() - 1; }, 10);
    }
    auto* tabs = named<QTabWidget>(dialog, "tabs");
    for (auto* button : dialog.findChildren<QPushButton*>()) {
        if (button->text().contains(QStringLiteral("Options")) && !tabs->isVisible()) clickOn(*button);
    }
    waitUntil([&] { return tabs->isVisible(); }, 10);
    auto* longSide = named<QRadioButton>(dialog, "duplexLong");
    clickOn(*tabs->tabBar(), tabs->tabBar()->tabRect(1).center());
    waitUntil([&] { return longSide->isVisible(); }, 10);
    offered.bothSides = longSide->isEnabled();
    if (offered.bothSides) {
        clickOn(*longSide);
        waitUntil([&] { return longSide->isChecked(); }, 10);
    }
    QTest::qWait(200);
    saveScreenshot(grabFromScreen(dialog), QStringLiteral("desktop-print-to-file-sides"));

    clickOn(*tabs->tabBar(), tabs->tabBar()->tabRect(0).center());
    auto* copies = named<QSpinBox>(dialog, "copies");
    waitUntil([&] { return copies->isVisible(); }, 10);
    clickOn(*copies);
    pressKeys({QStringLiteral("ctrl+a")});
    typeText(QStringLiteral("2"));
    auto* collate = named<QAbstractButton>(dialog, "collate");
    if (!collate->isChecked()) clickOn(*collate);
    auto* file = named<QLineEdit>(dialog, "filename");
    offered.file = file->text();
    clickOn(*file);
    pressKeys({QStringLiteral("ctrl+a")});
    typeText(name);
    waitUntil([&] { return copies->value() == 2 && collate->isChecked() && file->text() == name; }, 10);
    clickOn(*dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok));
    return offered;
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

    // Print to file, as a person picks it: both sides can be chosen, the file offered lies beside the
    // document under a name of its own, and a name typed without a folder lands there, not in the home
    // folder. Read back by poppler: two collated copies of three pages, each copy starting on a front, the
    // first copy's odd page backed by a blank.
    void printToFileOffersBothSidesAndWritesBesideTheDocument() {
        Scratch scratch;
        const auto source = corpusCopy(scratch, "multicolumn.pdf", "columns.pdf");
        auto editor = startEditor(scratch, {source.string()});
        QVERIFY(editor);
        MainWindow& window = editor->window();
        Workspace& workspace = editor->workspace();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QVERIFY(waitUntil([&] { return workspace.status() == "Opened columns.pdf"; }));

        std::optional<Offered> offered;
        QTimer driver;
        driver.setInterval(100);
        QObject::connect(&driver, &QTimer::timeout, [&] {
            auto* dialog = qobject_cast<QPrintDialog*>(QApplication::activeModalWidget());
            if (dialog == nullptr || !dialog->isVisible() || !QTest::qWaitForWindowActive(dialog)) return;
            driver.stop();
            offered = printBothSidesToFile(*dialog, QStringLiteral("both-sides.pdf"));
        });
        driver.start();
        QVERIFY(pressKeys({QStringLiteral("ctrl+p")}));
        const auto printed = scratch.docs() / "both-sides.pdf";
        QVERIFY(waitUntil([&] { return offered && std::filesystem::exists(printed); }, 60));
        // The file is put in place whole, once written.
        QCOMPARE(workspace.errorMessage(), std::nullopt);
        QCOMPARE(popplerRead(printed, 0), QStringLiteral("7"));
        QVERIFY(offered->bothSides);
        QCOMPARE(offered->file, QString::fromStdString((scratch.docs() / "columns-printed.pdf").string()));
        QVERIFY(!QFileInfo::exists(QDir::home().filePath(QStringLiteral("both-sides.pdf"))));

        const QString first = popplerRead(source, 1);
        const QString third = popplerRead(source, 3);
        QVERIFY(first.startsWith(QStringLiteral("Two-Column Document")));
        const QString pages[] = {first, popplerRead(source, 2), third, QString(),
                                 first, popplerRead(source, 2), third};
        for (int page = 1; page <= 7; ++page) QCOMPARE(popplerRead(printed, page), pages[page - 1]);
    }

    // A keyring the session bus started on demand, never unlocked at a login, has no keyring to store in: the
    // key typed and saved goes to the file only the person can read, and the card and the status say so.
    void aKeyringWithNothingToStoreInKeepsTheKeyInTheFile() {
        if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
            QSKIP("needs the session bus on_desktop.sh starts");
        FakeHttpServer hosted([](const RecordedRequest&, FakeConnection& connection) {
            connection.respond(200, R"({"data":[{"id":"claude-opus-5","display_name":"Opus 5"}]})");
        });
        const ScopedEnv url("KIVO_PDF_ANTHROPIC_URL", hosted.url());
        Scratch scratch;
        auto editor = startEditor(scratch, {}, Worker::missing);
        QVERIFY(editor);
        MainWindow& window = editor->window();
        Workspace& workspace = editor->workspace();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        auto& card = *named<ProviderCard>(*window.inspector(), "providerCard");
        QVERIFY(clickOn(*named<PillSegment>(card, "providerPill")->segments().at(2)));
        QVERIFY(waitUntil([&] { return card.shown() == ProviderCard::Shown::keyEntry; }, 10));
        QLineEdit& field = *named<HeroField>(card, "keyField")->lineEdit();
        QVERIFY(clickOn(field));
        QVERIFY(typeText(QStringLiteral("sk-on-demand")));
        QVERIFY(waitUntil([&] { return field.text() == QStringLiteral("sk-on-demand"); }, 10));
        QVERIFY(clickOn(*named<HeroButton>(card, "saveKey")));

        QVERIFY2(waitUntil([&] {
                     return workspace.status() == "Anthropic key saved in a file only you can read.";
                 }),
                 workspace.errorMessage().value_or(workspace.status()).c_str());
        QCOMPARE(workspace.errorMessage(), std::nullopt);
        QVERIFY(waitUntil([&] { return card.shown() == ProviderCard::Shown::keyModels; }));
        QCOMPARE(named<Chip>(*window.inspector(), "keyChip")->text(),
                 QStringLiteral("Key in a file only you can read"));
        // A keyring did answer: the bus started it for the save.
        QVERIFY(QDBusConnection::sessionBus().interface()->isServiceRegistered(
            QStringLiteral("org.freedesktop.secrets")));
        const auto file = KeychainKey::fallbackFile();
        QVERIFY(readFile(file).find("sk-on-demand") != std::string::npos);
        struct stat info {};
        QCOMPARE(::lstat(file.c_str(), &info), 0);
        QCOMPARE(info.st_mode & 07777, 0600u);
        QTest::qWait(200);
        saveScreenshot(grabFromScreen(window), QStringLiteral("desktop-key-in-file"));
    }
};

KIVO_APP_TEST_MAIN(EditorDesktopTest)
#include "editor_desktop_test.moc"
