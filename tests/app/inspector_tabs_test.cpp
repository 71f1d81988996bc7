// The inspector's four tabs in the running editor against the real worker: the built-in answer and its
// citations, a model's answer streamed from the fake Ollama server and its proposal applied, Ollama away,
// the Anthropic key in the file store, the Page tab's hits and annotations, the Form tab filling the
// sample form, drafts that stay with their document, and MCP sharing seen by the real connector.
// Screenshots of each tab as a person looks at it.

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QScrollArea>
#include <QScrollBar>
#include <QSplitter>
#include <QTextBlock>
#include <QTimer>
#include <QWindow>

#include <nlohmann/json.hpp>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <fstream>

#include "workspace/mcp_sharing.hpp"
#include "workspace/worker_link.hpp"
#include "app/canvas/canvas_area.hpp"
#include "app/inspector/annotations_card.hpp"
#include "app/inspector/assistant_composer.hpp"
#include "app/inspector/conversation_view.hpp"
#include "app/inspector/document_tab.hpp"
#include "app/inspector/editor_drafts.hpp"
#include "app/inspector/form_field_editor.hpp"
#include "app/inspector/form_tab.hpp"
#include "app/inspector/inspector_panel.hpp"
#include "app/inspector/page_tab.hpp"
#include "app/inspector/provider_card.hpp"
#include "app/inspector/search_results_card.hpp"
#include "app/pages/page_list_view.hpp"
#include "app/shell/editor_commands.hpp"
#include "app/shell/find_field.hpp"
#include "app/shell/main_window.hpp"
#include "app_test_support.hpp"
#include "design/appearance.hpp"
#include "assistant/keychain_key.hpp"
#include "core/command_json.hpp"
#include "design/chip.hpp"
#include "design/empty_state_view.hpp"
#include "design/hero_button.hpp"
#include "design/hero_checkbox.hpp"
#include "design/hero_field.hpp"
#include "design/hero_switch.hpp"
#include "design/inline_code_label.hpp"
#include "design/pill_segment.hpp"
#include "design/row_button.hpp"
#include "design/status_message.hpp"
#include "design/text_scale.hpp"
#include "design/themed_label.hpp"
#include "fake_ollama.hpp"
#include "processor_wait.hpp"
#include "test_pdfs.hpp"

using namespace kivo;
using namespace kivo::testing;
using nlohmann::json;

namespace {

InspectorPanel& inspectorOf(RunningEditor& editor) { return *editor.window().inspector(); }

void showTab(RunningEditor& editor, const char* raw) { editor.app->settings().setInspectorTab(raw); }

// The tab's whole scroll content, grown to its full height, for a screenshot of all of it.
QString screenshotTab(RunningEditor& editor, InspectorTab tab, const QString& name) {
    QWidget* content = inspectorOf(editor).scrollArea(tab)->widget();
    content->adjustSize();
    return screenshot(*content, name);
}

std::unique_ptr<RunningEditor> openIn(const Scratch& scratch, const std::filesystem::path& file) {
    auto editor = startEditor(scratch, {file.string()});
    if (editor &&
        !waitUntil([&] { return editor->workspace().status() == "Opened " + file.filename().string(); })) {
        qWarning("%s was not opened: %s", file.c_str(),
                 editor->workspace().errorMessage().value_or("").c_str());
        return nullptr;
    }
    return editor;
}

std::filesystem::path textDocument(const Scratch& scratch, const std::string& name) {
    const auto path = scratch.docs() / name;
    writeFile(path, makePdf({TestPage{612, 792, "Hello PDF budget report"}, TestPage{612, 792, "Second page"},
                             TestPage{612, 792, "Hello again"}}));
    return path;
}

FormFieldEditor* fieldEditor(FormTab& tab, const std::string& name) {
    for (FormFieldEditor* editor : tab.editors()) {
        if (editor->field().name == name) return editor;
    }
    return nullptr;
}

std::optional<FormFieldInfo> workerField(Workspace& workspace, const std::string& name) {
    if (!workspace.inspect() || !workspace.inspect()->fields) return std::nullopt;
    for (const FormFieldInfo& field : *workspace.inspect()->fields) {
        if (field.name == name) return field;
    }
    return std::nullopt;
}

// A form file written by `make` and opened in the window, its Form tab reached as a person reaches it:
// the page list takes the first focus once the window is active, then Ctrl+3, until the editor of
// `field` shows. The tab is null when it never does.
struct FormWindow {
    std::unique_ptr<RunningEditor> editor;
    FormTab* tab = nullptr;
};

FormWindow formTabShowing(const Scratch& scratch, const std::string& pdf, const std::string& field) {
    const auto file = scratch.docs() / "form.pdf";
    writeFile(file, pdf);
    FormWindow shown{openIn(scratch, file)};
    if (!shown.editor) return shown;
    MainWindow& window = shown.editor->window();
    if (!QTest::qWaitForWindowActive(&window)) return shown;
    // The page of the document just opened takes the first focus; after that the keys are the person's.
    if (!waitUntil([&] { return named<CanvasArea>(window, "canvasArea")->hasFocus(); }, 5)) return shown;
    QTest::keyClick(&window, Qt::Key_3, Qt::ControlModifier);
    FormTab& tab = *named<FormTab>(inspectorOf(*shown.editor), "formTab");
    if (waitUntil([&] { return fieldEditor(tab, field) != nullptr && fieldEditor(tab, field)->isVisible(); }))
        shown.tab = &tab;
    return shown;
}

// A key store whose saves wait, as the keyring does on its own unlock prompt, until the test lets them go.
class HeldKeyStore : public KeyStore {
public:
    ~HeldKeyStore() override { release(); }
    std::optional<std::string> read(const std::string&) override { return std::nullopt; }
    std::optional<KeychainKey::Place> storedPlace(const std::string&) override { return std::nullopt; }
    KeychainKey::Place save(const std::string& key, const std::string&) override {
        asked = true;
        std::unique_lock lock(mutex_);
        answered_.wait(lock, [this] { return released_; });
        saved_ = key;
        return KeychainKey::Place::keyring;
    }
    void remove(const std::string&) override {}

    void release() {
        const std::lock_guard lock(mutex_);
        released_ = true;
        answered_.notify_all();
    }
    std::string saved() {
        const std::lock_guard lock(mutex_);
        return saved_;
    }

    std::atomic<bool> asked = false;

private:
    std::mutex mutex_;
    std::condition_variable answered_;
    bool released_ = false;
    std::string saved_;
};

// A user's pick in a picker: the index becomes current and the picker says it was activated.
void choose(QComboBox* picker, int index) {
    picker->setCurrentIndex(index);
    emit picker->activated(index);
}

// The documents the real MCP connector lists, started as an MCP client starts it.
std::vector<DocumentSummary> listedToMcpClient() {
    QProcess connector;
    connector.start(QStringLiteral(KIVO_BIN_DIR "/kivo-pdf-mcp"), {});
    if (!connector.waitForStarted(10000)) return {};
    connector.write(
        R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18"}})"
        "\n"
        R"({"jsonrpc":"2.0","method":"notifications/initialized"})"
        "\n"
        R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"list_documents"}})"
        "\n");
    connector.closeWriteChannel();
    connector.waitForFinished(20000);
    for (const QByteArray& line : connector.readAllStandardOutput().split('\n')) {
        if (line.trimmed().isEmpty()) continue;
        const json reply = json::parse(line.toStdString());
        if (reply.value("id", 0) != 2) continue;
        const auto response =
            CommandJSON::decodeResponse(reply["result"]["content"][0]["text"].get<std::string>());
        return response.result ? response.result->documents.value_or(std::vector<DocumentSummary>{})
                               : std::vector<DocumentSummary>{};
    }
    return {};
}

}  // namespace

class InspectorTabsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        // The key store finds no keyring here and keeps keys in the owner-only file of the test's config
        // folder.
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/kivo-test-bus");
    }

    void init() {
        EditorSettings settings;
        settings.setAssistantProvider("local");
        settings.setAssistantModel("");
        settings.setInterfaceTextScale(1.0);
    }

    void aBuiltInAnswerCitesPagesThatJump() {
        Scratch scratch;
        auto editor = openIn(scratch, textDocument(scratch, "asked.pdf"));
        QVERIFY(editor);
        Workspace& workspace = editor->workspace();
        AssistantComposer& composer = *named<AssistantComposer>(inspectorOf(*editor), "composer");
        QCOMPARE(named<EmptyStateView>(inspectorOf(*editor), "noAnswer")->message(),
                 QStringLiteral("Answers quote the pages in the scope you choose below."));
        QVERIFY(named<ThemedLabel>(composer, "disclosure")
                    ->text()
                    .startsWith("Answers quote the document without a model."));
        QVERIFY(!named<HeroButton>(composer, "ask")->isEnabled());

        // Shift+Return starts a new line, and the field grows with its lines up to four, showing the whole
        // question from its first line; past four it scrolls with the caret. Clicked and typed into through
        // the window, as a person does.
        QuestionField* field = named<QuestionField>(composer, "question");
        const int oneLine = field->sizeHint().height();
        QWindow* window = editor->window().windowHandle();
        QVERIFY(QTest::qWaitForWindowActive(window));
        // The page takes the keyboard first, as the document opens; the click comes after.
        QVERIFY(waitUntil([&] { return named<CanvasArea>(editor->window(), "canvasArea")->hasFocus(); }));
        QTest::mouseClick(window, Qt::LeftButton, {},
                          field->mapTo(&editor->window(), field->rect().center()));
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(field));
        // Keys go where the keyboard focus is, as the desktop sends them.
        const auto type = [&](const QString& text) { QTest::keyClicks(QApplication::focusWidget(), text); };
        const auto firstLineShown = [&] {
            return field->cursorForPosition(QPoint(1, 1)).block() == field->document()->firstBlock();
        };
        // The first line at the top and the caret's line whole at the bottom: the field is as tall as its
        // text.
        const auto wholeQuestionShown = [&] {
            return firstLineShown() && field->verticalScrollBar()->value() == 0 &&
                   field->cursorRect().bottom() < field->viewport()->height();
        };
        type("first");
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return, Qt::ShiftModifier);
        type("second");
        QCOMPARE(workspace.assistant().assistantQuery(), std::string("first\nsecond"));
        QVERIFY(named<HeroButton>(composer, "ask")->isEnabled());
        QVERIFY(field->sizeHint().height() > oneLine);
        QVERIFY(waitUntil([&] { return field->height() == field->sizeHint().height(); }));
        QVERIFY(wholeQuestionShown());
        for (const char* line : {"third", "fourth"}) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return, Qt::ShiftModifier);
            type(QString::fromLatin1(line));
            QVERIFY(waitUntil([&] { return field->height() == field->sizeHint().height(); }));
            QTest::qWait(50);
            QVERIFY2(wholeQuestionShown(), line);
        }
        const int fourLines = field->sizeHint().height();
        QVERIFY(waitUntil([&] { return field->height() == fourLines; }));
        QVERIFY(firstLineShown());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return, Qt::ShiftModifier);
        type("fifth");
        QCOMPARE(field->sizeHint().height(), fourLines);
        QVERIFY(waitUntil([&] { return field->height() == fourLines; }));
        QVERIFY(field->viewport()->rect().contains(field->cursorRect().center()));
        QVERIFY(!firstLineShown());
        QVERIFY(!workspace.assistant().assistantAnswer());
        field->clear();
        QCOMPARE(workspace.assistant().assistantQuery(), std::string());
        QVERIFY(waitUntil([&] { return field->height() == oneLine; }));

        QTest::mouseClick(named<PillSegment>(composer, "scope")->segments().at(2), Qt::LeftButton);
        QCOMPARE(workspace.assistant().assistantScope(), AssistantScope::document);
        QTest::keyClicks(named<QuestionField>(composer, "question"), "What does the second page say?");
        QVERIFY(named<HeroButton>(composer, "ask")->isEnabled());
        QTest::keyClick(named<QuestionField>(composer, "question"), Qt::Key_Return);
        QVERIFY(waitUntil([&] { return workspace.assistant().assistantAnswer().has_value(); }));
        QVERIFY(waitUntil([&] { return inspectorOf(*editor).findChild<QWidget*>("answerCard") != nullptr; }));

        const auto& pages = *workspace.inspect()->pages;
        RowButton* second = nullptr;
        for (RowButton* citation : inspectorOf(*editor).findChildren<RowButton*>("citation")) {
            if (citation->accessibleName().startsWith("Citation, page 2, revision ")) second = citation;
        }
        QVERIFY2(second != nullptr, "the answer cites the second page");
        QCOMPARE(second->findChild<Chip*>()->text(), QStringLiteral("p. 2"));
        workspace.select(pages[0].id);
        QTest::mouseClick(second, Qt::LeftButton);
        QCOMPARE(workspace.selectedPageId(), std::optional(pages[1].id));
        const auto& cited = workspace.assistant().assistantAnswer()->citations;
        const auto citation = std::find_if(cited.begin(), cited.end(),
                                           [&](const Citation& c) { return c.pageId == pages[1].id; });
        QCOMPARE(workspace.selection(),
                 citation->rects.empty() ? std::nullopt : std::optional(citation->rects.front()));
        QVERIFY(!inspectorOf(*editor).findChild<StatusMessage*>("staleCitation")->isVisible());

        // A later edit leaves the quotes behind their revision, and the rows say so.
        workspace.addNote(PDFRect{72, 600, 96, 624});
        QVERIFY(waitUntil([&] { return workspace.status() == "Note added"; }));
        QVERIFY(inspectorOf(*editor).findChild<StatusMessage*>("staleCitation")->isVisible());
    }

    void anOllamaAnswerStreamsIntoTheBubbleAndItsProposalAppliesAsOneEdit() {
        FakeOllama::Script script;
        script.tags = R"({"models":[{"name":"tiny:1b","size":1000,"details":{"parameter_size":"1B"},
                                     "capabilities":["completion","tools"]}]})";
        script.chat = {{FakeOllama::content("The first page says ")},
                       {"", std::chrono::milliseconds(600)},
                       {FakeOllama::content("[p. 1: \"Hello PDF\"].")},
                       {FakeOllama::toolCall("add_highlight", R"({"page": 1, "text": "Hello PDF"})")},
                       {FakeOllama::done("stop", 1200, 80)}};
        FakeOllama ollama(script);
        const ScopedEnv url("KIVO_PDF_OLLAMA_URL", ollama.url());
        Scratch scratch;
        auto editor = openIn(scratch, textDocument(scratch, "asked.pdf"));
        QVERIFY(editor);
        Workspace& workspace = editor->workspace();
        InspectorPanel& inspector = inspectorOf(*editor);
        ProviderCard& card = *named<ProviderCard>(inspector, "providerCard");

        QTest::mouseClick(named<PillSegment>(card, "providerPill")->segments().at(1), Qt::LeftButton);
        QCOMPARE(workspace.assistant().assistantProvider(), AssistantProvider::ollama);
        QVERIFY(waitUntil([&] { return card.shown() == ProviderCard::Shown::ollamaModels; }));
        QCOMPARE(named<QComboBox>(card, "modelPicker")->currentText(), QStringLiteral("tiny:1b · 1B"));
        QCOMPARE(named<Chip>(inspector, "capabilityChip")->text(), QStringLiteral("Can propose edits"));
        QCOMPARE(named<Chip>(inspector, "versionChip")->text(), QStringLiteral("Ollama 0.9.0"));

        AssistantComposer& composer = *named<AssistantComposer>(inspector, "composer");
        QTest::keyClicks(named<QuestionField>(composer, "question"), "What does page one say?");
        // At the inspector's narrowest.
        named<QSplitter>(editor->window(), "columns")->setSizes({210, 2000, 0});
        QTest::mouseClick(named<HeroButton>(composer, "ask"), Qt::LeftButton);
        QVERIFY(named<HeroButton>(composer, "stopAssistant")->isVisible() &&
                !named<HeroButton>(composer, "ask")->isVisible());
        // The spinner and Stop take room from the scope pill's padding, or send it to rows, never from its
        // words: each title keeps its full size in its segment.
        QCoreApplication::sendPostedEvents();
        for (PillSegmentButton* segment : named<PillSegment>(composer, "scope")->segments()) {
            const QFont font =
                scaledFont(ScaledTextStyle::callout, QFont::Medium, TextScale::of(segment), segment);
            QVERIFY2(QFontMetricsF(font).horizontalAdvance(segment->item().title) <= segment->width(),
                     qPrintable(segment->item().title));
        }
        named<QSplitter>(editor->window(), "columns")->setSizes({210, 730, 340});
        QVERIFY(waitUntil([&] {
            auto* draft = inspector.findChild<ThemedLabel*>("draftText");
            return draft != nullptr && draft->text() == "The first page says ";
        }));
        QCOMPARE(named<ThemedLabel>(inspector, "draftText")->accessibleName(),
                 QStringLiteral("Answer so far: The first page says "));
        QVERIFY(waitUntil([&] { return inspector.findChild<QWidget*>("proposal") != nullptr; }));
        QVERIFY(named<HeroButton>(composer, "ask")->isVisible());
        QVERIFY(named<ThemedLabel>(inspector, "answerUsage")
                    ->text()
                    .startsWith("tiny:1b · 1,200 tokens read, 80 written · "));
        QCOMPARE(inspector.findChildren<RowButton*>("citation").size(), 1);
        showTab(*editor, "assistant");
        // Shown and clicked as a person would: once laid out on screen, which takes a while on a busy
        // machine.
        QVERIFY(waitUntil([&] {
            auto* apply = inspector.findChild<HeroButton*>("applyProposal");
            return apply != nullptr && apply->isVisible() && !apply->rect().isEmpty();
        }));
        screenshotTab(*editor, InspectorTab::assistant, "inspector-assistant-answer");
        screenshot(editor->window(), "editor-assistant-answer");

        const std::int64_t revision = *workspace.inspect()->revision;
        QTest::mouseClick(named<HeroButton>(inspector, "applyProposal"), Qt::LeftButton);
        QVERIFY2(waitUntil([&] {
                     return workspace.assistant().assistantAnswer() &&
                            workspace.assistant().assistantAnswer()->proposals.empty();
                 }),
                 qPrintable(QString::fromStdString(workspace.errorMessage().value_or(workspace.status()))));
        QCOMPARE(*workspace.inspect()->revision, revision + 1);
        QCOMPARE(workspace.inspect()->annotations->size(), 1u);
        QCOMPARE(workspace.inspect()->annotations->front().kind, std::string("highlight"));
        QVERIFY(waitUntil([&] { return inspector.findChild<QWidget*>("proposal") == nullptr; }));
    }

    // Hostile model servers against the whole window: a flood of tiny pieces that Stop must end at
    // once, and a reply of forty thousand citations and edit calls whose answer must stay small. Every
    // 5 ms tick of the GUI thread is timed throughout; none may wait 100 ms (150 allowed for a busy
    // machine, less the time the thread waited for a processor). Stop is measured by the flood itself: the
    // run hangs up before the model has sent as much again as it sent before Stop, and long before its end.
    void aFloodingModelLeavesTheWindowAnsweringAndItsAnswerBounded() {
        std::vector<FakeOllama::Step> flood;
        for (int step = 0; step < 800; ++step) {
            std::string lines;
            for (int i = 0; i < 100; ++i) lines += FakeOllama::content("ab ") + "\n";
            lines.pop_back();
            flood.push_back({lines});
            flood.push_back({"", std::chrono::milliseconds(5)});
        }
        // Still there once it has written everything: on a busy machine it may run ahead of the reader.
        flood.push_back({"", std::chrono::seconds(60)});
        std::string citations;
        for (int i = 0; i < 40000; ++i) citations += "[p. 1: \"words " + std::to_string(i) + "\"] ";
        std::string calls;
        for (int i = 0; i < 40000; ++i) calls += FakeOllama::toolCall("frobnicate", "{}") + "\n";
        calls.pop_back();
        FakeOllama::Script script;
        script.tags = R"({"models":[{"name":"tiny:1b","size":1000,"details":{"parameter_size":"1B"},
                                     "capabilities":["completion","tools"]}]})";
        script.chat = flood;
        FakeOllama ollama(script);
        const ScopedEnv url("KIVO_PDF_OLLAMA_URL", ollama.url());
        Scratch scratch;
        auto editor = openIn(scratch, textDocument(scratch, "asked.pdf"));
        QVERIFY(editor);
        Workspace& workspace = editor->workspace();
        InspectorPanel& inspector = inspectorOf(*editor);
        showTab(*editor, "assistant");
        QTest::mouseClick(named<PillSegment>(inspector, "providerPill")->segments().at(1), Qt::LeftButton);
        QVERIFY(waitUntil([&] { return workspace.assistant().assistantModel() == "tiny:1b"; }));

        using Clock = std::chrono::steady_clock;
        // A gap between ticks counts only the time the GUI thread could have run: time it spent
        // waiting for a processor on a busy machine is the machine's, not the window's.
        const auto queued = ownProcessorWait;
        Clock::duration longest{};
        Clock::time_point last = Clock::now();
        std::chrono::nanoseconds lastQueued = queued();
        QTimer heartbeat;
        heartbeat.setInterval(5);
        connect(&heartbeat, &QTimer::timeout, [&] {
            const std::chrono::nanoseconds nowQueued = queued();
            longest = std::max(longest, Clock::now() - last - (nowQueued - lastQueued));
            last = Clock::now();
            lastQueued = nowQueued;
        });
        const auto restart = [&] {
            last = Clock::now();
            lastQueued = queued();
        };
        const auto stallMs = [&] { return std::chrono::duration<double, std::milli>(longest).count(); };
        AssistantComposer& composer = *named<AssistantComposer>(inspector, "composer");

        QTest::keyClicks(named<QuestionField>(composer, "question"), "Summarise the page.");
        QTest::mouseClick(named<HeroButton>(composer, "ask"), Qt::LeftButton);
        restart();
        heartbeat.start();
        QVERIFY(waitUntil([&] { return inspector.findChild<ThemedLabel*>("draftText") != nullptr; }));
        waitUntil([] { return false; }, 1.5);
        QVERIFY2(workspace.assistant().assistantRunning(), "the flood lasts longer than the wait");
        // The long draft as a person sees it: its end, after "…". Taking the picture is not the window's
        // time.
        heartbeat.stop();
        screenshotTab(*editor, InspectorTab::assistant, "inspector-assistant-long-draft");
        restart();
        heartbeat.start();
        // A busy machine slows the model's lines and the run's reading alike, so the lines sent before Stop
        // measure what "at once" may cost: a run that read on after Stop would take the rest of the flood.
        const std::size_t beforeStop = ollama.chatLinesSent();
        QTest::mouseClick(named<HeroButton>(composer, "stopAssistant"), Qt::LeftButton);
        QVERIFY(waitUntil([&] { return !workspace.assistant().assistantRunning(); }, 10));
        QVERIFY(waitUntil([&] { return ollama.chatHungUpAfter().has_value(); }, 10));
        const std::size_t afterStop = *ollama.chatHungUpAfter() - beforeStop;
        QVERIFY(waitUntil([&] { return inspector.findChild<QWidget*>("answerCard") != nullptr; }));
        waitUntil([] { return false; }, 0.2);
        qInfo("flood: longest GUI stall %.1f ms; %zu lines before Stop, %zu after", stallMs(), beforeStop,
              afterStop);
        QVERIFY2(stallMs() < 150, qPrintable(QString::number(stallMs())));
        QVERIFY2(afterStop < beforeStop, qPrintable(QStringLiteral("%1 lines after Stop").arg(afterStop)));

        script.chat = {{FakeOllama::content(citations)}, {calls}, {FakeOllama::done()}};
        ollama.setScript(script);
        longest = {};
        restart();
        QTest::keyClicks(named<QuestionField>(composer, "question"), "Cite everything.");
        QTest::mouseClick(named<HeroButton>(composer, "ask"), Qt::LeftButton);
        QVERIFY(waitUntil([&] { return !workspace.assistant().assistantRunning(); }, 60));
        waitUntil([] { return false; }, 0.3);
        heartbeat.stop();
        const AssistantAnswer& answer = *workspace.assistant().assistantAnswer();
        qInfo("citations: %zu notes, %zu characters, longest GUI stall %.1f ms", answer.notes->size(),
              answer.text.size(), stallMs());
        QVERIFY(answer.text.size() <= 40000);
        QVERIFY(answer.notes->size() <= 20);
        QVERIFY(std::find(answer.notes->begin(), answer.notes->end(), "And 39995 more like these.") !=
                answer.notes->end());
        QVERIFY(inspector.findChildren<RowButton*>("citation").size() <= 20);
        QVERIFY2(stallMs() < 150, qPrintable(QString::number(stallMs())));
    }

    void ollamaAtAClosedPortShowsItsWarningAndTheCardAsksOnlyWhenItComesToCheck() {
        std::string closed;
        {
            FakeHttpServer gone([](const RecordedRequest&, FakeConnection&) {});
            closed = gone.url();
        }
        Scratch scratch;
        EditorSettings().setAssistantProvider("ollama");
        {
            const ScopedEnv url("KIVO_PDF_OLLAMA_URL", closed);
            auto editor = startEditor(scratch, {}, Worker::missing);
            QVERIFY(editor);
            auto& card = *named<ProviderCard>(inspectorOf(*editor), "providerCard");
            QVERIFY(waitUntil([&] { return card.shown() == ProviderCard::Shown::ollamaUnavailable; }));
            auto* warning = named<StatusMessage>(inspectorOf(*editor), "providerWarning");
            QVERIFY(warning->isVisible());
            QCOMPARE(warning->text().toStdString(), editor->workspace().assistant().providerStatus()->reason);
            QCOMPARE(named<HeroButton>(inspectorOf(*editor), "providerRetry")->text(),
                     QStringLiteral("Check Ollama again"));
        }

        // A provider chosen in an earlier run is asked once, when the card comes to "Checking Ollama…", and
        // never because the card was drawn, laid out, rebuilt or switched to while the list is on its way.
        FakeOllama::Script slow;
        slow.tagsPause = std::chrono::milliseconds(3000);
        FakeOllama ollama(slow);
        const ScopedEnv url("KIVO_PDF_OLLAMA_URL", ollama.url());
        const auto asked = [&] {
            const auto requests = ollama.requests();
            return std::count_if(requests.begin(), requests.end(), [](const RecordedRequest& request) {
                return request.target == "/api/tags";
            });
        };
        auto editor = startEditor(scratch, {}, Worker::missing);
        QVERIFY(editor);
        auto& card = *named<ProviderCard>(inspectorOf(*editor), "providerCard");
        QVERIFY(waitUntil([&] { return asked() == 1; }));
        QCOMPARE(card.shown(), ProviderCard::Shown::ollamaChecking);
        QVERIFY(named<ThemedLabel>(inspectorOf(*editor), "providerChecking")->isVisible());
        showTab(*editor, "document");
        showTab(*editor, "assistant");
        editor->app->settings().setInterfaceTextScale(1.5);
        named<QSplitter>(editor->window(), "columns")->setSizes({180, 600, 460});
        editor->workspace().assistant().setAssistantModel("another:7b");
        editor->window().repaint();
        QCOMPARE(card.shown(), ProviderCard::Shown::ollamaChecking);
        QVERIFY(waitUntil([&] { return card.shown() == ProviderCard::Shown::ollamaModels; }));
        QTest::qWait(300);
        QCOMPARE(asked(), 1);

        // The refresh button asks once; the card, back at "Checking Ollama…" meanwhile, adds no ask of its
        // own.
        QTest::mouseClick(named<HeroButton>(inspectorOf(*editor), "refreshModels"), Qt::LeftButton);
        QCOMPARE(card.shown(), ProviderCard::Shown::ollamaChecking);
        QVERIFY(waitUntil([&] { return card.shown() == ProviderCard::Shown::ollamaModels; }));
        QTest::qWait(300);
        QCOMPARE(asked(), 2);
    }

    void theAnthropicKeyIsSavedReplacedAndRemovedInTheFileStore() {
        FakeHttpServer hosted([](const RecordedRequest&, FakeConnection& connection) {
            connection.respond(200, R"({"data":[{"id":"claude-opus-5","display_name":"Opus 5"},
                                                 {"id":"claude-haiku-4-5","display_name":"Haiku 4.5"}]})");
        });
        const ScopedEnv url("KIVO_PDF_ANTHROPIC_URL", hosted.url());
        Scratch scratch;
        auto editor = startEditor(scratch, {}, Worker::missing);
        QVERIFY(editor);
        Workspace& workspace = editor->workspace();
        InspectorPanel& inspector = inspectorOf(*editor);
        auto& card = *named<ProviderCard>(inspector, "providerCard");
        const auto stored = [] { return readFile(KeychainKey::fallbackFile()); };

        // A model chosen for Ollama is not Anthropic's: until Anthropic lists its models, the disclosure
        // names none.
        workspace.assistant().setAssistantModel("tiny:1b");
        QTest::mouseClick(named<PillSegment>(card, "providerPill")->segments().at(2), Qt::LeftButton);
        QCOMPARE(card.shown(), ProviderCard::Shown::keyEntry);
        QVERIFY(!named<HeroButton>(inspector, "cancelKey")->isVisible());
        QVERIFY(named<ThemedLabel>(inspector, "disclosure")
                    ->text()
                    .startsWith("Answers come from the chosen model at Anthropic, with your key."));
        auto* save = named<HeroButton>(inspector, "saveKey");
        QTest::keyClicks(named<HeroField>(card, "keyField")->lineEdit(), "   ");
        QVERIFY(!save->isEnabled());
        QTest::keyClicks(named<HeroField>(card, "keyField")->lineEdit(), "sk-first");
        QVERIFY(save->isEnabled());
        QTest::keyClick(named<HeroField>(card, "keyField")->lineEdit(), Qt::Key_Return);
        QVERIFY(!workspace.assistant().assistantKeyStored());
        QTest::mouseClick(save, Qt::LeftButton);
        QTRY_COMPARE(workspace.status(), std::string("Anthropic key saved in a file only you can read."));
        QVERIFY(stored().find("sk-first") != std::string::npos);
        QVERIFY(named<HeroField>(card, "keyField")->lineEdit()->text().isEmpty());
        QVERIFY(waitUntil([&] { return card.shown() == ProviderCard::Shown::keyModels; }));
        QCOMPARE(named<Chip>(inspector, "keyChip")->text(),
                 QStringLiteral("Key in a file only you can read"));
        QCOMPARE(named<QComboBox>(card, "modelPicker")->count(), 2);
        QVERIFY(named<ThemedLabel>(inspector, "disclosure")
                    ->text()
                    .startsWith("Answers come from claude-opus-5 at Anthropic"));
        // Read as "Model", the model its value and description.
        QAccessibleInterface* picker =
            QAccessible::queryAccessibleInterface(named<QComboBox>(card, "modelPicker"));
        QCOMPARE(picker->text(QAccessible::Name), QStringLiteral("Model"));
        QCOMPARE(picker->text(QAccessible::Description),
                 named<QComboBox>(card, "modelPicker")->currentText());
        QCOMPARE(hosted.requests().back().header("x-api-key"), std::optional<std::string>("sk-first"));
        screenshot(card, "inspector-anthropic-card");

        QTest::mouseClick(named<HeroButton>(inspector, "replaceKey"), Qt::LeftButton);
        QCOMPARE(card.shown(), ProviderCard::Shown::keyEntry);
        QVERIFY(named<HeroButton>(inspector, "cancelKey")->isVisible());
        // The notice says where the key goes: where the one it replaces is kept.
        auto* notice = named<ThemedLabel>(inspector, "keyNotice");
        QVERIFY(notice != nullptr);
        QVERIFY(notice->text().startsWith("The key goes into a file only you can read."));
        QTest::keyClicks(named<HeroField>(card, "keyField")->lineEdit(), "sk-second");
        QTest::mouseClick(save, Qt::LeftButton);
        QTRY_VERIFY(stored().find("sk-second") != std::string::npos);
        QVERIFY(stored().find("sk-first") == std::string::npos);
        QVERIFY(waitUntil([&] { return card.shown() == ProviderCard::Shown::keyModels; }));

        QTest::mouseClick(named<HeroButton>(inspector, "removeKey"), Qt::LeftButton);
        QTRY_COMPARE(workspace.status(),
                     std::string("Anthropic key removed from the file only you can read."));
        QVERIFY(!workspace.assistant().assistantKeyStored());
        QVERIFY(stored().find("sk-second") == std::string::npos);
        QCOMPARE(card.shown(), ProviderCard::Shown::keyEntry);

        // A key kept from an earlier run says where it is kept.
        QTest::keyClicks(named<HeroField>(card, "keyField")->lineEdit(), "sk-third");
        QTest::mouseClick(save, Qt::LeftButton);
        editor.reset();
        editor = startEditor(scratch, {}, Worker::missing);
        QVERIFY(editor);
        auto& again = *named<ProviderCard>(inspectorOf(*editor), "providerCard");
        QVERIFY(waitUntil([&] { return again.shown() == ProviderCard::Shown::keyModels; }));
        QCOMPARE(named<Chip>(inspectorOf(*editor), "keyChip")->text(),
                 QStringLiteral("Key in a file only you can read"));
    }

    // The keyring waits on its own prompt: the card says so, and a quit waits for it with a sentence, then
    // quits once the keyring answered, the key saved.
    void aQuitWhileTheKeyringWaitsOnItsPromptQuitsOnceItAnswers() {
        auto keys = std::make_shared<HeldKeyStore>();
        Scratch scratch;
        auto editor = startEditor(scratch, {}, Worker::missing, std::nullopt, keys);
        QVERIFY(editor);
        MainWindow& window = editor->window();
        InspectorPanel& inspector = inspectorOf(*editor);
        auto& card = *named<ProviderCard>(inspector, "providerCard");
        QTest::mouseClick(named<PillSegment>(card, "providerPill")->segments().at(2), Qt::LeftButton);
        QTest::keyClicks(named<HeroField>(card, "keyField")->lineEdit(), "sk-held");
        QTest::mouseClick(named<HeroButton>(inspector, "saveKey"), Qt::LeftButton);
        QVERIFY(waitUntil([&] { return keys->asked.load(); }));
        auto* checking = named<ThemedLabel>(inspector, "providerChecking");
        QVERIFY(checking->isVisible());
        QCOMPARE(checking->text(), QStringLiteral("Waiting for the keyring…"));
        QVERIFY(!named<HeroButton>(inspector, "saveKey")->isVisible());

        QVERIFY(QTest::qWaitForWindowActive(&window));
        QTest::keyClick(&window, Qt::Key_Q, Qt::ControlModifier);
        QVERIFY(window.isVisible());
        QVERIFY(editor->announced.contains(QStringLiteral("Kivo PDF quits once the keyring has answered.")));
        window.close();  // the window's × as well
        QVERIFY(window.isVisible());

        keys->release();
        QVERIFY(waitUntil([&] { return !window.isVisible(); }));
        QCOMPARE(keys->saved(), std::string("sk-held"));
    }

    void thePageTabListsHitsAndAnnotationsEditsThemAndShowsGoneHits() {
        Scratch scratch;
        auto editor = openIn(scratch, textDocument(scratch, "pages.pdf"));
        QVERIFY(editor);
        Workspace& workspace = editor->workspace();
        InspectorPanel& inspector = inspectorOf(*editor);
        PageTab& tab = *inspector.pageTab();
        const std::vector<PageInfo> pages = *workspace.inspect()->pages;

        named<FindField>(editor->window(), "findField")->lineEdit()->setText(QStringLiteral("Hello"));
        editor->window().runSearch();
        QCOMPARE(inspector.tab(), InspectorTab::page);
        QVERIFY(
            waitUntil([&] { return named<SearchResultsCard>(tab, "searchResults")->rows().size() == 2; }));
        QCOMPARE(named<Chip>(tab, "matchCount")->accessibleName(), QStringLiteral("2 matches"));
        RowButton* onThird = named<SearchResultsCard>(tab, "searchResults")->rows().at(1);
        QCOMPARE(onThird->findChild<Chip*>()->text(), QStringLiteral("Page 3"));
        QTest::mouseClick(onThird, Qt::LeftButton);
        QCOMPARE(workspace.selectedPageId(), std::optional(pages[2].id));
        QCOMPARE(workspace.selection(), std::optional(workspace.searchHits()[1].rects.front()));

        // The hint names the keys of the Annotate menu's own items, and follows them.
        QAction* move = editor->command(EditorAction::moveUp);
        QAction* resize = editor->command(EditorAction::growUp);
        QVERIFY(move && resize);
        workspace.addNote(PDFRect{72, 600, 96, 624});
        QVERIFY(waitUntil([&] { return workspace.status() == "Note added"; }));
        const AnnotationInfo note = workspace.inspect()->annotations->front();
        AnnotationRow* row = tab.annotations()->row(note.id);
        QVERIFY(row);
        QVERIFY(named<ThemedLabel>(tab, "annotationKeyHint")
                    ->text()
                    .startsWith("Ctrl+Shift+arrow moves the selected annotation"));
        const QKeySequence resizeKey = resize->shortcut();
        resize->setShortcut(QKeySequence(Qt::ALT | Qt::SHIFT | Qt::Key_Up));
        QVERIFY(
            named<ThemedLabel>(tab, "annotationKeyHint")->text().contains("and Alt+Shift+arrow resizes it"));
        resize->setShortcut(resizeKey);
        QVERIFY(named<ThemedLabel>(tab, "annotationKeyHint")->text().contains("and Shift+arrow resizes it"));
        QCOMPARE(named<HeroButton>(*row, "deleteAnnotation")->accessibleName(),
                 QStringLiteral("Delete note annotation"));

        QTest::mouseClick(named<RowButton>(*row, "selectAnnotation"), Qt::LeftButton);
        QCOMPARE(workspace.selectedAnnotationId(), std::optional(note.id));
        QVERIFY(named<HeroField>(*row, "annotationContents")->isVisible());
        QLineEdit* contents = named<HeroField>(*row, "annotationContents")->lineEdit();
        QCOMPARE(contents->text(), QString::fromStdString(note.contents));
        contents->setFocus();
        contents->end(false);
        QTest::keyClicks(contents, " checked");
        const std::string typed = note.contents + " checked";
        QCOMPARE(named<EditorDrafts>(editor->window(), "drafts")->annotation(note.id), std::optional(typed));
        showTab(*editor, "page");
        screenshotTab(*editor, InspectorTab::page, "inspector-page-tab");

        QTest::mouseClick(named<HeroButton>(*row, "saveContents"), Qt::LeftButton);
        QVERIFY(waitUntil([&] { return workspace.status() == "Annotation updated"; }));
        QCOMPARE(workspace.inspect()->annotations->front().contents, typed);
        // The row is kept, not built anew.
        QCOMPARE(tab.annotations()->row(note.id), row);

        // The draft outlives the editor: away and back, it is what the field shows.
        kivo::testing::arrange(workspace, "selectedAnnotationId", std::optional<std::string>(std::nullopt));
        QVERIFY(!named<HeroField>(*row, "annotationContents")->isVisible());
        workspace.history(CommandMethod::undo, "Undone");
        QVERIFY(waitUntil([&] { return workspace.status() == "Undone"; }));
        workspace.selectAnnotation(note.id);
        QCOMPARE(named<HeroField>(*tab.annotations()->row(note.id), "annotationContents")->lineEdit()->text(),
                 QString::fromStdString(typed));

        QTest::mouseClick(named<HeroButton>(*tab.annotations()->row(note.id), "deleteAnnotation"),
                          Qt::LeftButton);
        QCOMPARE(workspace.selectedAnnotationId(), std::nullopt);
        QVERIFY(waitUntil([&] { return workspace.status() == "Annotation removed"; }));
        QVERIFY(waitUntil([&] { return tab.annotations()->row(note.id) == nullptr; }));

        QTest::mouseClick(named<HeroButton>(tab, "deletePage"), Qt::LeftButton);
        QVERIFY(waitUntil([&] { return workspace.status() == "Page deleted"; }));
        QCOMPARE(onThird->findChild<Chip*>()->text(), QStringLiteral("Gone"));
        QCOMPARE(onThird->findChild<Chip*>()->tone(), ChipTone::warning);
        QVERIFY(!onThird->isEnabled());
        QCOMPARE(onThird->accessibleName(), QStringLiteral("Hello again, page no longer in the document"));
    }

    // The sample's first page says "If the implementation is hard to explain" and, a line below, "If the
    // implementation is easy to explain": both hits, and both quotes of them, name the words around them.
    void twoHitsOnOnePageAreToldApartByTheWordsAroundThem() {
        Scratch scratch;
        const auto sample = scratch.docs() / "google-doc-document.pdf";
        std::filesystem::copy_file(corpus("google-doc-document.pdf"), sample);
        auto editor = openIn(scratch, sample);
        QVERIFY(editor);
        Workspace& workspace = editor->workspace();
        const auto heard = [](QWidget* widget) {
            return QAccessible::queryAccessibleInterface(widget)->text(QAccessible::Name);
        };

        named<FindField>(editor->window(), "findField")
            ->lineEdit()
            ->setText(QStringLiteral("implementation"));
        editor->window().runSearch();
        SearchResultsCard& results =
            *named<SearchResultsCard>(*inspectorOf(*editor).pageTab(), "searchResults");
        QVERIFY(waitUntil([&] { return results.rows().size() == 2; }));
        QVERIFY(waitUntil([&] { return heard(results.rows().at(0)) != heard(results.rows().at(1)); }));
        const struct {
            const char* words;
        } rows[] = {{"the implementation is hard to explain"}, {"the implementation is easy to explain"}};
        for (int i = 0; i < 2; ++i) {
            const QString name = heard(results.rows().at(i));
            QVERIFY2(name.contains(QLatin1String(rows[i].words)) && name.endsWith(", Page 1"),
                     qPrintable(name));
        }

        workspace.assistant().setAssistantScope(AssistantScope::document);
        workspace.assistant().setAssistantQuery("implementation");
        workspace.assistant().askAssistant();
        const auto citationHeard = [&](const char* words) {
            for (RowButton* citation : inspectorOf(*editor).findChildren<RowButton*>("citation")) {
                const QString name = heard(citation);
                if (name.startsWith("Citation, page 1, revision ") && name.contains(", in: ") &&
                    name.contains(QLatin1String(words)))
                    return true;
            }
            return false;
        };
        QVERIFY(waitUntil([&] { return citationHeard(rows[0].words) && citationHeard(rows[1].words); }));
    }

    void aTypedValueIsAppliedByReturnAndBeforeASave() {
        Scratch scratch;
        const FormWindow shown = formTabShowing(scratch, makeFormPdf(), "name");
        QVERIFY(shown.tab);
        Workspace& workspace = shown.editor->workspace();
        FormTab& tab = *shown.tab;
        QLineEdit* name = fieldEditor(tab, "name")->findChild<HeroField*>()->lineEdit();
        QTest::mouseClick(name, Qt::LeftButton);
        QVERIFY(name->hasFocus());

        QTest::keyClick(name, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(name, "Smith");
        QTest::keyClick(name, Qt::Key_Return);
        QVERIFY(waitUntil([&] { return workspace.status() == "Filled name"; }));
        QCOMPARE(QString::fromStdString(workerField(workspace, "name")->value), QStringLiteral("Smith"));

        // Typed but not applied when the file is saved: it goes into the file first.
        QTest::keyClicks(name, " Jr");
        QTest::keyClick(name, Qt::Key_S, Qt::ControlModifier);
        QVERIFY(waitUntil([&] { return workspace.status() == "Saved"; }));
        QCOMPARE(QString::fromStdString(workerField(workspace, "name")->value), QStringLiteral("Smith Jr"));
        QVERIFY(!workspace.inspect()->dirty.value_or(true));
        QCOMPARE(name->text(), QStringLiteral("Smith Jr"));
    }

    void aPushButtonIsNamedNotOfferedATextBoxAndASaveGoesThrough() {
        Scratch scratch;
        const FormWindow shown = formTabShowing(scratch, makeFillFormPdf(), "submit");
        QVERIFY(shown.tab);
        Workspace& workspace = shown.editor->workspace();
        FormTab& tab = *shown.tab;
        FormFieldEditor& submit = *fieldEditor(tab, "submit");
        QVERIFY2(submit.findChild<QLineEdit*>() == nullptr, "a push button holds no value to type");
        QVERIFY(submit.findChild<QPlainTextEdit*>() == nullptr);
        QVERIFY(submit.findChild<HeroButton*>(QStringLiteral("applyField")) == nullptr);
        // Its caption ("Go") is not its value, so neither passes for the other.
        QCOMPARE(named<QWidget>(submit, "fieldControl")->accessibleName(),
                 QStringLiteral("submit, push button"));
        QCOMPARE(named<QLabel>(submit, "fieldControl")->text(),
                 QStringLiteral("Push button, no value to fill"));
        screenshot(submit, "inspector-form-push-button");

        // A letter typed on the tab goes into the file with Ctrl+S, and nothing stops the save.
        QPlainTextEdit* typed = fieldEditor(tab, "name")->findChild<QPlainTextEdit*>();
        QVERIFY(typed != nullptr);
        QTest::mouseClick(typed, Qt::LeftButton);
        QTest::keyClicks(typed, "x");
        QTest::keyClick(typed, Qt::Key_S, Qt::ControlModifier);
        QVERIFY(waitUntil([&] { return workspace.status() == "Saved" || workspace.errorMessage(); }));
        QCOMPARE(QString::fromStdString(workspace.status()), QStringLiteral("Saved"));
        QVERIFY(!workspace.inspect()->dirty.value_or(true));
    }

    void theFormTabFillsTheSampleFormAndDraftsStayWithTheirDocument() {
        const auto sample = corpus("libreoffice-form.pdf");
        if (sample.empty()) QSKIP("the shared sample folder is absent");
        Scratch scratch;
        for (const char* name : {"form-a.pdf", "form-b.pdf"})
            std::filesystem::copy_file(sample, scratch.docs() / name);
        auto editor = openIn(scratch, scratch.docs() / "form-a.pdf");
        QVERIFY(editor);
        Workspace& workspace = editor->workspace();
        FormTab& tab = *named<FormTab>(inspectorOf(*editor), "formTab");
        showTab(*editor, "form");
        QCOMPARE(named<Chip>(tab, "formType")->text(), QStringLiteral("acroform"));
        const auto filled = [&](const std::string& name) {
            return waitUntil([&] { return workspace.status() == "Filled " + name; });
        };

        QLineEdit* last = fieldEditor(tab, "Last Name")->findChild<HeroField*>()->lineEdit();
        QTest::keyClicks(last, "Smith");
        QTest::mouseClick(named<HeroButton>(*fieldEditor(tab, "Last Name"), "applyField"), Qt::LeftButton);
        QVERIFY(filled("Last Name"));
        QCOMPARE(workerField(workspace, "Last Name")->value, std::string("Smith"));

        auto* gdpr = qobject_cast<HeroCheckbox*>(named<QWidget>(*fieldEditor(tab, "gdpr"), "fieldControl"));
        QTest::mouseClick(gdpr, Qt::LeftButton);
        QVERIFY2(!gdpr->isChecked(), "the box shows the worker's state until the fill comes back");
        QVERIFY(filled("gdpr"));
        QVERIFY(workerField(workspace, "gdpr")->checked.value_or(false));
        QVERIFY(gdpr->isChecked());

        // A picker whose field holds none of its options says so in words, dark or light: ink stands out
        // from the box along its text's middle row.
        auto* nationality =
            qobject_cast<QComboBox*>(named<QWidget>(*fieldEditor(tab, "Nationality"), "fieldControl"));
        QCOMPARE(nationality->currentIndex(), -1);
        for (const ColorScheme scheme : {ColorScheme::dark, ColorScheme::light}) {
            Appearance::instance().overrideScheme(scheme);
            QVERIFY(waitUntil(
                [&] {
                    const bool dark = nationality->palette().color(QPalette::Button).lightness() < 128;
                    return dark == (scheme == ColorScheme::dark);
                },
                5));
            const QImage shot = nationality->grab().toImage();
            screenshot(*nationality, QStringLiteral("inspector-form-picker-unchosen-%1")
                                         .arg(scheme == ColorScheme::dark ? "dark" : "light"));
            const int row = shot.height() / 2;
            const int box = qGray(shot.pixel(shot.width() / 2, 3));
            int ink = 0;
            for (int x = 4; x < shot.width() / 2; ++x) ink += std::abs(qGray(shot.pixel(x, row)) - box) > 60;
            QVERIFY2(ink > 3, scheme == ColorScheme::dark ? "dark: the empty picker shows nothing"
                                                          : "light: the empty picker shows nothing");
        }
        Appearance::instance().overrideScheme(ColorScheme::light);

        choose(qobject_cast<QComboBox*>(named<QWidget>(*fieldEditor(tab, "female"), "fieldControl")), 1);
        QVERIFY(filled("female"));
        QCOMPARE(workerField(workspace, "female")->value, std::string("2"));

        choose(nationality, 1);
        QTest::qWait(200);
        // A choice list waits for Apply.
        QCOMPARE(workerField(workspace, "Nationality")->value, std::string());
        QTest::mouseClick(named<HeroButton>(*fieldEditor(tab, "Nationality"), "applyField"), Qt::LeftButton);
        QVERIFY(filled("Nationality"));
        QCOMPARE(workerField(workspace, "Nationality")->value, std::string("German"));

        // The multi-line editor keeps Tab, and a result taken in while it is typed in leaves it be.
        FormFieldEditor* notes = fieldEditor(tab, "First Name_2");
        QPlainTextEdit* lines = notes->findChild<HeroField*>()->textEdit();
        lines->setFocus();
        QVERIFY(QTest::qWaitForWindowActive(&editor->window()));
        lines->moveCursor(QTextCursor::End);
        QTest::keyClicks(lines, "\tand Carol");
        QCOMPARE(lines->toPlainText(), QStringLiteral("Bob\tand Carol"));
        workspace.fill("Birthday", "1990-01-01");
        QVERIFY(filled("Birthday"));
        QCOMPARE(fieldEditor(tab, "First Name_2"), notes);
        QVERIFY(lines->hasFocus());
        QCOMPARE(static_cast<qsizetype>(lines->textCursor().position()), lines->toPlainText().size());
        QTest::keyClick(lines, Qt::Key_Tab, Qt::ControlModifier);
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(named<HeroButton>(*notes, "applyField")));
        screenshotTab(*editor, InspectorTab::form, "inspector-form-tab");

        // A worker restart brings the same document back, and its drafts with it, the annotations' too.
        named<EditorDrafts>(editor->window(), "drafts")->setAnnotation("typed-for-a", "a note for form-a");
        const qint64 pid = workspace.link().workerProcessId();
        ::kill(static_cast<pid_t>(pid), SIGKILL);
        QVERIFY(waitUntil([&] { return workspace.status() == "Opened form-a.pdf again"; }));
        QVERIFY(workerField(workspace, "First Name_2").has_value());
        QCOMPARE(fieldEditor(tab, "First Name_2")->findChild<HeroField*>()->textEdit()->toPlainText(),
                 QStringLiteral("Bob\tand Carol"));
        QCOMPARE(named<EditorDrafts>(editor->window(), "drafts")->annotation("typed-for-a"),
                 std::optional<std::string>("a note for form-a"));

        // Another document has a field of the same name: the draft typed for this one stays behind.
        workspace.open(scratch.docs() / "form-b.pdf");
        QVERIFY(waitUntil([&] { return workspace.status() == "Opened form-b.pdf"; }));
        QVERIFY(named<EditorDrafts>(editor->window(), "drafts")->empty());
        FormFieldEditor* other = fieldEditor(tab, "First Name_2");
        QCOMPARE(other->findChild<HeroField*>()->textEdit()->toPlainText(), QStringLiteral("Bob"));
        QTest::mouseClick(named<HeroButton>(*other, "applyField"), Qt::LeftButton);
        QVERIFY(filled("First Name_2"));
        QCOMPARE(workerField(workspace, "First Name_2")->value, std::string("Bob"));
    }

    void sharingShowsTheDocumentToAnMcpClientAndTheConfigIsCopied() {
        Scratch scratch;
        auto editor = openIn(scratch, document(scratch, "shared.pdf", 3));
        QVERIFY(editor);
        Workspace& workspace = editor->workspace();
        DocumentTab& tab = *named<DocumentTab>(inspectorOf(*editor), "documentTab");
        showTab(*editor, "document");
        QCOMPARE(named<ThemedLabel>(tab, "documentPages")->text(), QStringLiteral("3"));
        // The form type as the worker names it, verbatim.
        QCOMPARE(named<ThemedLabel>(tab, "documentForm")->text(),
                 QString::fromStdString(workspace.inspect()->formType.value_or("—")));
        QCOMPARE(named<Chip>(tab, "documentReadOnly")->text(), QStringLiteral("No"));
        QCOMPARE(named<Chip>(tab, "documentMcp")->text(), QStringLiteral("Off"));
        QCOMPARE(named<InlineCodeLabel>(tab, "workerState")->plainText(),
                 QStringLiteral(
                     "Worker is running. Paste the config into Claude Desktop or Cursor, or use claude mcp "
                     "add for Claude Code. Client edits appear here."));
        QVERIFY(named<HeroButton>(tab, "approvePath")->isEnabled());
        QVERIFY(listedToMcpClient().empty());

        QTest::mouseClick(named<HeroSwitch>(tab, "allowMcp"), Qt::LeftButton);
        QVERIFY(workspace.sharing().mcpAccessGranted());
        QCOMPARE(
            workspace.status(),
            std::string("MCP can use this document. A client may send tool results to its own provider."));
        QCOMPARE(named<Chip>(tab, "documentMcp")->text(), QStringLiteral("Document granted"));
        std::vector<DocumentSummary> listed;
        QVERIFY(waitUntil([&] { return (listed = listedToMcpClient()).size() == 1; }));
        QCOMPARE(listed.front().sessionId, *workspace.sessionId());

        QTest::mouseClick(named<HeroButton>(tab, "copyMcpConfig"), Qt::LeftButton);
        // Pretty-printed, keys sorted, slashes as they are.
        QCOMPARE(
            QGuiApplication::clipboard()->text(),
            QStringLiteral("{\n  \"mcpServers\": {\n    \"kivo-pdf\": {\n      \"command\": \"" KIVO_BIN_DIR
                           "/kivo-pdf-mcp\"\n    }\n  }\n}"));
        QVERIFY(
            workspace.status().starts_with("Copied MCP config for Claude Desktop or Cursor. Claude Code: "
                                           "claude mcp add --scope user kivo-pdf -- "));
        screenshotTab(*editor, InspectorTab::document, "inspector-document-sharing");

        QTest::mouseClick(named<HeroSwitch>(tab, "allowMcp"), Qt::LeftButton);
        QCOMPARE(workspace.status(), std::string("MCP access revoked."));
        QVERIFY(waitUntil([&] { return listedToMcpClient().empty(); }));
    }
};

KIVO_APP_TEST_MAIN(InspectorTabsTest)
#include "inspector_tabs_test.moc"
