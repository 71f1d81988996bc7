#pragma once

// What the workspace tests share: a scratch support folder, the worker programs they start, fake
// prompts and a fake clock, and a way to let the event loop run until something happened.

#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "scoped_env.hpp"
#include "workspace/workspace.hpp"

namespace kivo::testing {

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

    std::map<std::string, std::string>& extra() { return extra_; }

private:
    std::optional<std::filesystem::path> program_;
    std::map<std::string, std::string> extra_;
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
    std::optional<std::string> askText(const std::string&, const std::string&, const std::string&,
                                       const std::string&) override {
        return std::nullopt;
    }
    StaleFileChoice askStaleFile() override { return StaleFileChoice::cancel; }

    std::deque<std::optional<std::string>> passwords;
    std::vector<Asked> asked;
};

class FakeClock : public Clock {
public:
    std::chrono::steady_clock::time_point now() const override { return now_; }
    void advance(double seconds) {
        now_ += std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
    }

private:
    std::chrono::steady_clock::time_point now_ = std::chrono::steady_clock::time_point() + std::chrono::hours(1);
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
    TestWorkspace(std::optional<std::filesystem::path> program, std::map<std::string, std::string> extra = {});

    std::shared_ptr<TestWorkerHost> host;
    std::shared_ptr<FakePrompts> prompts = std::make_shared<FakePrompts>();
    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
    std::shared_ptr<FixedScreen> screen = std::make_shared<FixedScreen>();
    std::unique_ptr<Workspace> workspace;

    Workspace* operator->() { return workspace.get(); }
    Workspace& operator*() { return *workspace; }
};

// A workspace whose real worker is ready: inside its sandbox where this system can apply it, else
// without; nothing (and a test failure) when it does not start at all.
std::unique_ptr<TestWorkspace> launchedRealWorker(const Scratch& scratch);

}  // namespace kivo::testing
