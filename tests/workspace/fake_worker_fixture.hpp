#pragma once

// A workspace on the fake worker program, which exits, crashes, stalls or answers badly on cue and
// writes down everything it was sent, with the steps its tests share: a start with extra
// environment, the requests the fake received, a document opened, the worker stopped by a signal.

#include <signal.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "workspace_fixture.hpp"

namespace kivo::testing {

class FakeWorkerTest : public ::testing::Test {
protected:
    TestWorkspace& start(std::map<std::string, std::string> extra = {},
                         std::optional<std::filesystem::path> program = fakeWorker()) {
        extra["KIVO_FAKE_WORKER_LOG"] = scratch_.log().string();
        workspace_ = std::make_unique<TestWorkspace>(std::move(program), std::move(extra));
        (*workspace_)->launchOnce();
        return *workspace_;
    }

    Workspace& ws() { return **workspace_; }

    // The requests the fake worker received, of one method.
    std::vector<CommandRequest> sent(CommandMethod method) const {
        return sentRequests(scratch_.log(), method);
    }

    void openDocument(const std::string& name) {
        ws().open(scratch_.docs() / name);
        ASSERT_TRUE(waitUntil([&] { return ws().status() == "Opened " + name; })) << ws().status();
    }

    // Ends the running fake worker with `signal` and waits for the workspace to handle it.
    void stopWorker(int signal = SIGUSR1) {
        const qint64 pid = ws().link().workerProcessId();
        ASSERT_GT(pid, 0);
        ::kill(static_cast<pid_t>(pid), signal);
        ASSERT_TRUE(waitUntil([&] { return ws().link().workerProcessId() != pid && ws().workerNotice(); }));
        ASSERT_TRUE(waitUntil(
            [&] { return !ws().link().activity() && ws().status() != "Restarting the PDF worker…"; }));
    }

    std::string noticeText() { return ws().workerNotice() ? ws().workerNotice()->message : "(no notice)"; }

    // The file's text, "" when there is none.
    static std::string readAll(const std::filesystem::path& path) {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    Scratch scratch_;
    std::unique_ptr<TestWorkspace> workspace_;
};

}  // namespace kivo::testing
