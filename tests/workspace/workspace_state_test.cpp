// The workspace without a worker: its published state and initial values, the settings it reads
// and writes, and the pure pieces of worker supervision (stop sentences, the stop count, the token
// file and the editor lock).

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <QMetaProperty>

#include <fstream>

#include "workspace/ipc_files.hpp"
#include "workspace/worker_stops.hpp"
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
    EXPECT_EQ(workspace->zoom(), 1.2);
    EXPECT_EQ(workspace->savePhase(), "saved");
    EXPECT_EQ(workspace->pageJump(), "1");
    EXPECT_EQ(workspace->assistantScope(), "page");
    EXPECT_EQ(workspace->tool(), EditorTool::select);
    EXPECT_EQ(workspace->fitMode(), FitMode::manual);
    EXPECT_EQ(workspace->viewport(), QSizeF(800, 600));
    EXPECT_EQ(workspace->assistantProvider(), "local");
    EXPECT_EQ(workspace->assistantModel(), "");
    EXPECT_FALSE(workspace->sessionId() || workspace->inspect() || workspace->errorMessage() || workspace->activity());
    EXPECT_FALSE(workspace->workerReady() || workspace->mcpEnabled() || workspace->showRecovery());
    EXPECT_FALSE(workspace->assistantKeyStored());

    // Each published field is a Qt property with its own change signal, so the windows can bind to it.
    const QStringList published =
        QString(
            "sessionId inspect selectedPageId pageImage pageTiles thumbnailGeneration status "
            "errorMessage activity zoom selection selectedAnnotationId selectedText pageChars "
            "pageLines searchQuery searchHits searchHitIndex searchFocusToken searchAnchor tool "
            "fitMode mcpEnabled mcpAccessGranted assistantQuery assistantScope assistantAnswer "
            "assistantProvider assistantModel providerStatus assistantKeyStored assistantDraft assistantRunning "
            "workerReady workerNotice savePhase recoveries showRecovery pageJump inkPoints "
            "viewport")
            .split(' ');
    const QMetaObject* meta = workspace->metaObject();
    for (const QString& text : published) {
        const std::string name = text.toStdString();
        const int index = meta->indexOfProperty(name.c_str());
        ASSERT_GE(index, 0) << name;
        const QMetaProperty property = meta->property(index);
        EXPECT_TRUE(property.hasNotifySignal()) << name;
        EXPECT_EQ(property.notifySignal().name().toStdString(), name + "Changed");
    }
    EXPECT_EQ(workspace->property("status").value<std::string>(), workspace->status());

    // Two workspaces never share their UI token.
    EXPECT_NE(workspace->uiToken(), workspaceWith()->uiToken());
}

TEST(WorkspaceState, ReadsTheKeyStoreOnceAndCountsAFailedReadAsNoKey) {
    Scratch scratch;
    EXPECT_TRUE(workspaceWith(storedKey("sk-test"))->assistantKeyStored());
    EXPECT_FALSE(workspaceWith(storedKey(""))->assistantKeyStored());
    EXPECT_FALSE(workspaceWith(storedKey("sk-test", true))->assistantKeyStored());
}

TEST(WorkspaceState, ProviderAndModelComeFromTheSettingsAndGoBackOnlyWhenSet) {
    Scratch scratch;
    auto settings = std::make_shared<EditorSettings>();
    settings->setAssistantProvider("ollama");
    int writes = 0;
    QObject::connect(settings.get(), &EditorSettings::changed, [&] { ++writes; });

    const auto workspace = workspaceWith(nullptr, settings);
    EXPECT_EQ(workspace->assistantProvider(), "ollama");
    EXPECT_EQ(writes, 0) << "construction writes nothing";

    workspace->setProviderStatus(ProviderStatus::unavailable("Ollama is not running."));
    workspace->setAssistantProvider("ollama");
    EXPECT_EQ(writes, 0) << "the same provider again is no change";
    EXPECT_TRUE(workspace->providerStatus());
    workspace->setAssistantProvider("local");
    EXPECT_EQ(writes, 1);
    EXPECT_FALSE(workspace->providerStatus()) << "the status was the other provider's";
    EXPECT_EQ(EditorSettings().assistantProvider(), "local");

    workspace->setAssistantModel("");
    workspace->setAssistantModel("");
    EXPECT_EQ(writes, 3) << "the model is written on every set";
    EXPECT_EQ(EditorSettings().assistantModel(), "");
}

TEST(WorkerStops, CountsTheStopsOfTheLastMinute) {
    const struct {
        std::vector<double> seconds;
        std::size_t counted;
    } cases[] = {{{0, 30, 50}, 3}, {{0, 30, 60}, 2}, {{0, 59.9, 119}, 2}, {{0}, 1}};
    for (const auto& c : cases) {
        StopHistory history;
        std::size_t counted = 0;
        for (const double at : c.seconds) {
            counted = history.record(
                std::chrono::steady_clock::time_point() +
                std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(at)));
        }
        EXPECT_EQ(counted, c.counted) << c.seconds.back();
    }
}

TEST(WorkerStops, SaysTheStallLimitInTheCFormWhateverTheProcessLocale) {
    // A German locale built for the test, where "%g" would write a decimal comma.
    Scratch scratch;
    const std::string folder = (scratch.home() / "locales").string();
    std::filesystem::create_directories(folder);
    const std::string build = "localedef -i de_DE -f UTF-8 '" + folder + "/de_DE.UTF-8' >/dev/null 2>&1";
    ASSERT_EQ(std::system(build.c_str()), 0) << "localedef (Debian package locales) builds the test's locale";
    ::setenv("LOCPATH", folder.c_str(), 1);
    ASSERT_NE(std::setlocale(LC_NUMERIC, "de_DE.UTF-8"), nullptr);
    ResourceLimits limits;
    const struct {
        double seconds;
        std::string said;
    } cases[] = {{0.05, "0.05"}, {2.5, "2.5"}, {60, "60"}, {1234567, "1.23457e+06"}};
    for (const auto& c : cases) {
        limits.stallSeconds = c.seconds;
        EXPECT_EQ(describeStop({WorkerTermination::Reason::exit, WorkerExit::stalled}, limits),
                  "The PDF worker stopped because a command made no progress for " + c.said + " seconds.");
    }
    std::setlocale(LC_NUMERIC, "C");
    ::unsetenv("LOCPATH");
}

TEST(CommandActivity, TellsThePhaseWithCountsInTheUsersLocale) {
    const struct {
        CommandPhase phase;
        std::int64_t completed;
        std::int64_t total;
        const char* detail;
    } cases[] = {
        {CommandPhase::waiting, 1, 5, "Waiting for another command to finish"},
        {CommandPhase::started, 0, 0, "Working…"},
        {CommandPhase::searching, 1200, 2500, "Searching pages: 1,200 of 2,500"},
        {CommandPhase::loadingPages, 0, 0, "Loading pages"},
        {CommandPhase::readingText, 3, 9, "Reading page text: 3 of 9"},
    };
    for (const auto& c : cases) {
        CommandActivity activity;
        activity.phase = c.phase;
        activity.completed = c.completed;
        activity.total = c.total;
        EXPECT_EQ(activity.detail(), c.detail);
    }
}

TEST(IPCFiles, TheTokenFileIsOwnerOnlyFromTheStartAndNeverFollowsALink) {
    testing::ShortTempDir dir;
    const auto victim = dir.path() / "victim";
    std::ofstream(victim) << "keep";
    const auto token = dir.path() / "token";
    std::filesystem::create_symlink(victim, token);
    const mode_t old = ::umask(0);
    IPCFiles::writeTokenFile(token, "abc");
    ::umask(old);

    struct stat info {};
    ASSERT_EQ(::lstat(token.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    std::string text;
    std::getline(std::ifstream(token), text);
    EXPECT_EQ(text, "abc");
    std::getline(std::ifstream(victim), text);
    EXPECT_EQ(text, "keep");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2) << "no temporary file left";
}

TEST(IPCFiles, OneEditorLockAtATime) {
    testing::ShortTempDir dir;
    const auto path = dir.path() / "editor.lock";
    std::optional<EditorLock> first = EditorLock::acquire(path);
    EXPECT_TRUE(first->held());
    EXPECT_FALSE(EditorLock::acquire(path).held());
    first.reset();
    EXPECT_TRUE(EditorLock::acquire(path).held());
}

}  // namespace
}  // namespace kivo
