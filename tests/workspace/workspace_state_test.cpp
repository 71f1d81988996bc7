// The workspace without a worker: its published state and initial values, and the settings it reads
// and writes.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <QMetaProperty>
#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <condition_variable>

#include <fstream>
#include <mutex>

#include "fake_http_server.hpp"
#include "workspace_fixture.hpp"

namespace kivo {
namespace {

using testing::Scratch;

// A key store holding `key` for the provider "anthropic", or failing every read.
std::shared_ptr<KeyStore> storedKey(const std::string& key, bool fails = false) {
    auto store = std::make_shared<testing::FakeKeyStore>();
    store->keys["anthropic"] = key;
    if (fails) store->failure = "the keyring is locked";
    return store;
}

std::unique_ptr<Workspace> workspaceWith(std::shared_ptr<KeyStore> keys = nullptr,
                                         std::shared_ptr<EditorSettings> settings = nullptr) {
    WorkspaceServices services;
    services.keyStore = std::move(keys);
    services.settings = std::move(settings);
    return std::make_unique<Workspace>(services);
}

TEST(WorkspaceState, StartsAsTheWindowExpectsAndPublishesEveryField) {
    Scratch scratch;
    const auto workspace = workspaceWith();
    EXPECT_EQ(workspace->status(), "Open a PDF to start. Editing stays on this computer.");
    EXPECT_EQ(workspace->shownPage().zoom(), 1.2);
    EXPECT_EQ(rawValue(workspace->savePhase()), "saved");
    EXPECT_EQ(workspace->pageJump(), "1");
    EXPECT_EQ(workspace->assistant().assistantScope(), AssistantScope::page);
    EXPECT_EQ(workspace->tool(), EditorTool::select);
    EXPECT_EQ(workspace->shownPage().fitMode(), FitMode::manual);
    EXPECT_EQ(workspace->shownPage().viewport(), QSizeF(800, 600));
    EXPECT_EQ(workspace->assistant().assistantProvider(), AssistantProvider::local);
    EXPECT_EQ(workspace->assistant().assistantModel(), "");
    EXPECT_FALSE(workspace->sessionId() || workspace->inspect() || workspace->errorMessage() ||
                 workspace->link().activity());
    EXPECT_FALSE(workspace->link().workerReady() || workspace->sharing().mcpEnabled() ||
                 workspace->checkpoints().showRecovery());
    EXPECT_FALSE(workspace->assistant().assistantKeyStored());

    // Each published field is a Qt property with its own change signal, so the windows can bind to it.
    const std::vector<std::pair<const QObject*, QString>> owners = {
        {workspace.get(), QString("sessionId inspect selectedPageId status "
                                  "errorMessage selection selectedAnnotationId selectedText "
                                  "searchQuery searchHits searchHitIndex tool "
                                  "workerNotice savePhase pageJump inkPoints")},
        {&workspace->link(), "workerReady activity"},
        {&workspace->sharing(), "mcpEnabled mcpAccessGranted"},
        {&workspace->assistant(),
         "assistantQuery assistantScope assistantAnswer assistantProvider assistantModel providerStatus "
         "assistantKeyStored assistantDraft assistantRunning"},
        {&workspace->shownPage(),
         "pageImage pageTiles visibleCanvasRect zoom fitMode viewport pageChars pageLines"},
        {&workspace->thumbnails(), "thumbnailGeneration"},
        {&workspace->checkpoints(), "recoveries showRecovery"},
    };
    for (const auto& [owner, names] : owners) {
        const QMetaObject* meta = owner->metaObject();
        for (const QString& text : names.split(' ')) {
            const std::string name = text.toStdString();
            const int index = meta->indexOfProperty(name.c_str());
            ASSERT_GE(index, 0) << name;
            const QMetaProperty property = meta->property(index);
            EXPECT_TRUE(property.hasNotifySignal()) << name;
            EXPECT_EQ(property.notifySignal().name().toStdString(), name + "Changed");
        }
    }
    EXPECT_EQ(workspace->property("status").value<std::string>(), workspace->status());

    // Two workspaces never share their UI token.
    EXPECT_NE(workspace->link().uiToken(), workspaceWith()->link().uiToken());
}

TEST(WorkspaceState, OnlyANoticeWithoutARestartIsTheUsersToDismiss) {
    Scratch scratch;
    const auto workspace = workspaceWith();
    for (const bool offersRestart : {true, false}) {
        const WorkerNotice notice{"The PDF worker stopped", offersRestart};
        testing::arrange(*workspace, "workerNotice", std::optional<WorkerNotice>(notice));
        workspace->dismissWorkerNotice();
        EXPECT_EQ(workspace->workerNotice(), offersRestart ? std::optional(notice) : std::nullopt)
            << offersRestart;
    }
}

TEST(WorkspaceState, ReadsTheKeyStoreOnceAndCountsAFailedReadAsNoKey) {
    Scratch scratch;
    // The store answers off the GUI thread, soon after the start.
    const auto stored = [](std::shared_ptr<KeyStore> keys) {
        const auto workspace = workspaceWith(std::move(keys));
        return testing::waitUntil([&] { return workspace->assistant().assistantKeyStored(); }, 0.5);
    };
    EXPECT_TRUE(stored(storedKey("sk-test")));
    EXPECT_FALSE(stored(storedKey("")));
    EXPECT_FALSE(stored(storedKey("sk-test", true)));
}

// Keys in memory behind a gate: while it is shut every call waits, as a keyring does while its unlock
// prompt is up (at most 5 s here, so that a call made on the GUI thread ends the test instead of hanging).
class GatedKeyStore : public testing::FakeKeyStore {
public:
    std::optional<std::string> read(const std::string& provider) override {
        pass();
        return FakeKeyStore::read(provider);
    }
    std::optional<KeychainKey::Place> storedPlace(const std::string& provider) override {
        pass();
        return FakeKeyStore::storedPlace(provider);
    }
    KeychainKey::Place save(const std::string& key, const std::string& provider) override {
        pass();
        return FakeKeyStore::save(key, provider);
    }
    void remove(const std::string& provider) override {
        pass();
        FakeKeyStore::remove(provider);
    }
    void setOpen(bool open) {
        const std::lock_guard guard(lock_);
        open_ = open;
        changed_.notify_all();
    }
    // Whether any call came on the GUI thread, where a shut gate would hold the window up.
    bool calledOnGuiThread() const { return calledOnGuiThread_; }

private:
    void pass() {
        if (QThread::currentThread() == QCoreApplication::instance()->thread()) calledOnGuiThread_ = true;
        std::unique_lock guard(lock_);
        changed_.wait_for(guard, std::chrono::seconds(5), [this] { return open_; });
    }

    std::mutex lock_;
    std::condition_variable changed_;
    bool open_ = true;
    std::atomic<bool> calledOnGuiThread_ = false;
};

TEST(WorkspaceState, TheKeyStoreNeverHoldsUpTheWindow) {
    Scratch scratch;
    testing::FakeHttpServer hosted([](const testing::RecordedRequest&, testing::FakeConnection& connection) {
        connection.respond(404, R"({"type":"error","error":{"type":"not_found_error","message":"none"}})");
    });
    const testing::ScopedEnv url("KIVO_PDF_ANTHROPIC_URL", hosted.url());
    using Step = std::function<void(Workspace&)>;
    const struct {
        const char* what;
        Step act;
        std::function<bool(const Workspace&)> done;
    } cases[] = {
        {"the read at the start", nullptr,
         [](const Workspace& w) { return w.assistant().assistantKeyStored(); }},
        {"saving", [](Workspace& w) { w.assistant().saveAssistantKey("sk-new"); },
         [](const Workspace& w) { return w.status() == "Anthropic key saved in your keyring."; }},
        {"removing", [](Workspace& w) { w.assistant().removeAssistantKey(); },
         [](const Workspace& w) { return !w.assistant().assistantKeyStored(); }},
        {"the read for the model list",
         [](Workspace& w) { w.assistant().setAssistantProvider(AssistantProvider::anthropic); },
         [](const Workspace& w) { return w.assistant().providerStatus().has_value(); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto keys = std::make_shared<GatedKeyStore>();
        keys->keys["anthropic"] = "sk-test";
        keys->setOpen(c.act != nullptr);
        auto workspace = workspaceWith(keys);
        if (c.act) {
            ASSERT_TRUE(testing::waitUntil([&] { return workspace->assistant().assistantKeyStored(); }, 5));
            keys->setOpen(false);
            c.act(*workspace);
        }
        // The window goes on: no call waits on the GUI thread, and the event loop turns while the store
        // waits.
        bool turned = false;
        QTimer::singleShot(0, [&] { turned = true; });
        EXPECT_TRUE(testing::waitUntil([&] { return turned; }, 5));
        EXPECT_FALSE(keys->calledOnGuiThread());
        EXPECT_FALSE(c.done(*workspace)) << "nothing is settled while the store waits";
        keys->setOpen(true);
        EXPECT_TRUE(testing::waitUntil([&] { return c.done(*workspace); }, 5));
    }
}

// The settings keep the words they always kept; a stored word that names no provider (letter case
// counts) starts the built-in one rather than a provider the pill cannot show.
TEST(WorkspaceState, TheProviderIsReadFromTheWordsTheSettingsStore) {
    const struct {
        const char* stored;
        AssistantProvider provider;
    } cases[] = {{"local", AssistantProvider::local},
                 {"ollama", AssistantProvider::ollama},
                 {"anthropic", AssistantProvider::anthropic},
                 {"Ollama", AssistantProvider::local},
                 {"", AssistantProvider::local}};
    for (const auto& c : cases) {
        Scratch scratch;
        auto settings = std::make_shared<EditorSettings>();
        settings->setAssistantProvider(c.stored);
        const auto workspace = workspaceWith(nullptr, settings);
        EXPECT_EQ(workspace->assistant().assistantProvider(), c.provider) << c.stored;
        if (c.provider == AssistantProvider::local) continue;
        workspace->assistant().setAssistantProvider(AssistantProvider::local);
        workspace->assistant().setAssistantProvider(c.provider);
        EXPECT_EQ(EditorSettings().assistantProvider(), c.stored) << "written back as the same word";
    }
    for (const auto& entry : assistantScopes) EXPECT_EQ(assistantScopeFromRaw(entry.rawValue), entry.value);
}

TEST(WorkspaceState, ProviderAndModelComeFromTheSettingsAndGoBackOnlyWhenSet) {
    Scratch scratch;
    auto settings = std::make_shared<EditorSettings>();
    settings->setAssistantProvider("ollama");
    int writes = 0;
    QObject::connect(settings.get(), &EditorSettings::changed, [&] { ++writes; });

    const auto workspace = workspaceWith(nullptr, settings);
    EXPECT_EQ(workspace->assistant().assistantProvider(), AssistantProvider::ollama);
    EXPECT_EQ(writes, 0) << "construction writes nothing";

    // Only the session finds a status out; set here as a binding would, through the property.
    workspace->assistant().setProperty(
        "providerStatus",
        QVariant::fromValue(std::optional(ProviderStatus::unavailable("Ollama is not running."))));
    workspace->assistant().setAssistantProvider(AssistantProvider::ollama);
    EXPECT_EQ(writes, 0) << "the same provider again is no change";
    EXPECT_TRUE(workspace->assistant().providerStatus());
    workspace->assistant().setAssistantProvider(AssistantProvider::local);
    EXPECT_EQ(writes, 1);
    EXPECT_FALSE(workspace->assistant().providerStatus()) << "the status was the other provider's";
    EXPECT_EQ(EditorSettings().assistantProvider(), "local");

    workspace->assistant().setAssistantModel("");
    workspace->assistant().setAssistantModel("");
    EXPECT_EQ(writes, 3) << "the model is written on every set";
    EXPECT_EQ(EditorSettings().assistantModel(), "");
}

}  // namespace
}  // namespace kivo
