#pragma once

// What the workspace tests share: a scratch support folder, the worker programs they start, fake
// prompts and a fake clock, and a way to let the event loop run until something happened.

#include <QVariant>

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "scoped_env.hpp"
#include "test_pdfs.hpp"
#include "workspace/assistant_session.hpp"
#include "workspace/mcp_sharing.hpp"
#include "workspace/shown_page.hpp"
#include "workspace/thumbnail_queue.hpp"
#include "workspace/recovery_checkpoints.hpp"
#include "workspace/worker_link.hpp"
#include "workspace/workspace.hpp"

namespace kivo::testing {

// Puts published state a test starts from in place, as the workspace's own operations would leave it:
// through the Qt property `name`, whose setter only the workspace calls. `value` must be of the
// property's own type; another type, or a name the object does not publish, fails the test.
template <class T>
void arrange(QObject& state, const char* name, T value) {
    EXPECT_TRUE(state.setProperty(name, QVariant::fromValue(std::move(value)))) << name;
}

// Runs the Qt event loop until `done` holds or `seconds` passed; answers whether it holds.
bool waitUntil(const std::function<bool()>& done, double seconds = 30);

std::filesystem::path realWorker();
std::filesystem::path fakeWorker();

// The fake worker's log lines that start with `prefix`, the prefix cut off.
std::vector<std::string> fakeLog(const std::filesystem::path& log, const std::string& prefix);
// The requests of one method among the fake worker's log lines, in the order it read them.
std::vector<CommandRequest> sentRequests(const std::filesystem::path& log, CommandMethod method);

// Starts `program` with this process's environment plus `extra`.
class TestWorkerHost : public WorkerHost {
public:
    TestWorkerHost(std::optional<std::filesystem::path> program, std::map<std::string, std::string> extra)
        : program_(std::move(program)), extra_(std::move(extra)) {}

    std::optional<std::filesystem::path> workerExecutable() const override { return program_; }
    std::map<std::string, std::string> environment() const override;
    bool installed() const override { return false; }
    // The connector beside the tests, unless `connector` names another or, set empty, none.
    std::optional<std::filesystem::path> connectorExecutable() const override {
        return connector ? *connector : WorkerHost::connectorExecutable();
    }

    std::map<std::string, std::string>& extra() { return extra_; }
    std::optional<std::optional<std::filesystem::path>> connector;

    // The real process, its waits for the end counted: what the editor decided to wait, however long a busy
    // machine made each wait last.
    std::unique_ptr<WorkerProcess> makeProcess() const override;
    // The milliseconds of every wait for a worker's end that ran out with the worker still there.
    std::vector<int> waitsRunOut() const { return *waitsRunOut_; }
    void forgetWaits() { waitsRunOut_->clear(); }

private:
    std::optional<std::filesystem::path> program_;
    std::map<std::string, std::string> extra_;
    std::shared_ptr<std::vector<int>> waitsRunOut_ = std::make_shared<std::vector<int>>();
};

// Answers password prompts from a list (nothing once it runs out) and remembers what was asked.
class FakePrompts : public Prompts {
public:
    struct Asked {
        std::string title;
        std::string detail;
        std::string button;
    };

    std::optional<std::string> askPassword(const std::string& title, const std::string& detail,
                                           const std::string& button) override;
    // Answers from `texts`, cancelling once it runs out; `asked` gets title, detail and button,
    // `initialTexts` what the field held.
    std::optional<std::string> askText(const std::string& title, const std::string& detail,
                                       const std::string& initialText, const std::string& button) override;
    // Answers from `staleChoices`, cancelling once it runs out.
    StaleFileChoice askStaleFile() override;

    std::deque<std::optional<std::string>> passwords;
    std::deque<std::optional<std::string>> texts;
    std::vector<std::string> initialTexts;
    std::deque<StaleFileChoice> staleChoices;
    int staleAsked = 0;
    std::vector<Asked> asked;
};

// Chooses what the test put in, once each, and remembers what it was asked for.
class FakeFileDialogs : public FileDialogs {
public:
    std::optional<std::filesystem::path> chooseOpenPdf(const std::string& title) override {
        titles.push_back(title);
        return take(openPdf);
    }
    std::optional<std::filesystem::path> chooseSavePdf(const std::string& title,
                                                       const std::string& suggestedName,
                                                       const std::filesystem::path& folder) override {
        titles.push_back(title);
        suggestedNames.push_back(suggestedName);
        folders.push_back(folder);
        return take(savePdf);
    }
    std::optional<std::filesystem::path> chooseImage(const std::filesystem::path& folder) override {
        folders.push_back(folder);
        return take(image);
    }
    std::vector<std::filesystem::path> choosePaths(const std::string& message, PathKind kind) override {
        messages.push_back(message);
        kinds.push_back(kind);
        return std::exchange(paths, {});
    }

    std::optional<std::filesystem::path> openPdf, savePdf, image;
    std::vector<std::filesystem::path> paths;
    std::vector<std::string> suggestedNames;
    // The title of each open or save panel.
    std::vector<std::string> titles;
    // The folder each save or image panel was to open in.
    std::vector<std::filesystem::path> folders;
    std::vector<std::string> messages;
    std::vector<PathKind> kinds;

private:
    static std::optional<std::filesystem::path> take(std::optional<std::filesystem::path>& slot) {
        return std::exchange(slot, std::nullopt);
    }
};

class FakeClipboard : public Clipboard {
public:
    void setText(const std::string& value) override { text = value; }
    std::string text;
};

// Chooses `choice` in the dialog (nothing: closed) and answers with `outcome`; `printed` holds each
// job handed on, its file's bytes and mode as they were then, and the choice it went with.
// `whileChoosing` runs while the dialog would be open; `carryOut`, when set, gives the outcome.
class FakePrintService : public PrintService {
public:
    struct Seen {
        PrintJob job;
        std::string bytes;
        unsigned mode = 0;
        PrintChoice choice;
    };
    std::optional<PrintChoice> choose(const PrintJob& job) override;
    PrintOutcome output(const PrintJob& job, const PrintChoice& chosen) override;

    std::optional<PrintChoice> choice = PrintChoice{};
    PrintOutcome outcome = PrintOutcome::printed();
    std::function<void(const PrintJob&)> whileChoosing;
    std::function<PrintOutcome(const PrintJob&, const PrintChoice&)> carryOut;
    std::vector<PrintJob> chosenFor;
    std::vector<Seen> printed;
};

// Keys in memory; `failure` makes every call throw it.
class FakeKeyStore : public KeyStore {
public:
    std::optional<std::string> read(const std::string& provider) override;
    std::optional<KeychainKey::Place> storedPlace(const std::string& provider) override;
    KeychainKey::Place save(const std::string& key, const std::string& provider) override;
    void remove(const std::string& provider) override;

    std::map<std::string, std::string> keys;
    KeychainKey::Place place = KeychainKey::Place::keyring;
    std::optional<std::string> failure;
};

class FakeClock : public Clock {
public:
    std::chrono::steady_clock::time_point now() const override { return now_; }
    void advance(double seconds) {
        now_ += std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(seconds));
    }

private:
    std::chrono::steady_clock::time_point now_ =
        std::chrono::steady_clock::time_point() + std::chrono::hours(1);
};

// A screen of a fixed backing scale, changeable between renders.
class FixedScreen : public Screen {
public:
    double backingScale() const override { return scale; }
    double scale = 2.0;
};

// A scratch folder with the support folder, TMPDIR and a documents folder, named in the
// environment for as long as it lives; the defaults suite is the test's own too.
class Scratch {
public:
    Scratch();

    std::filesystem::path support() const { return dir_.path() / "support"; }
    std::filesystem::path socket() const { return support() / "ipc" / "commands.sock"; }
    std::filesystem::path token() const { return support() / "ipc" / "token"; }
    std::filesystem::path docs() const { return dir_.path() / "docs"; }
    std::filesystem::path home() const { return dir_.path() / "home"; }
    std::filesystem::path log() const { return dir_.path() / "fake.log"; }
    std::filesystem::path tmp() const { return dir_.path() / "tmp"; }

private:
    ShortTempDir dir_;
    ScopedEnv support_;
    ScopedEnv tmp_;
    ScopedEnv suite_;
};

// A workspace over test services, with handles on the fakes.
struct TestWorkspace {
    TestWorkspace(std::optional<std::filesystem::path> program,
                  std::map<std::string, std::string> extra = {});

    std::shared_ptr<TestWorkerHost> host;
    std::shared_ptr<FakePrompts> prompts = std::make_shared<FakePrompts>();
    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
    std::shared_ptr<FixedScreen> screen = std::make_shared<FixedScreen>();
    std::shared_ptr<FakeFileDialogs> dialogs = std::make_shared<FakeFileDialogs>();
    std::shared_ptr<FakeClipboard> clipboard = std::make_shared<FakeClipboard>();
    std::shared_ptr<FakePrintService> printer = std::make_shared<FakePrintService>();
    std::shared_ptr<FakeKeyStore> keys = std::make_shared<FakeKeyStore>();
    std::unique_ptr<Workspace> workspace;

    Workspace* operator->() { return workspace.get(); }
    Workspace& operator*() { return *workspace; }
};

// A workspace on the real worker, launched: with its sandbox where this system applies it, else
// without (said on stderr); nothing, with a test failure, when it starts neither way.
std::unique_ptr<TestWorkspace> launchedRealWorker(const Scratch& scratch);

// Tests on a workspace whose real worker is ready before each test starts.
class LaunchedWorkspaceTest : public ::testing::Test {
protected:
    void SetUp() override {
        test_ = launchedRealWorker(scratch_);
        ASSERT_TRUE(test_);
    }

    Workspace& ws() { return **test_; }

    Scratch scratch_;
    std::unique_ptr<TestWorkspace> test_;
};

// A PDF of `pages` written into the scratch documents folder.
std::filesystem::path writeDocument(const Scratch& scratch, const std::string& name,
                                    const std::vector<TestPage>& pages);

}  // namespace kivo::testing
