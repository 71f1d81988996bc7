// The worker process as the workspace starts it: what of the worker's standard error reaches the
// editor's terminal.

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <utility>

#include "real_worker_fixture.hpp"
#include "test_pdfs.hpp"
#include "workspace_fixture.hpp"

namespace kivo {
namespace {

using testing::RealWorkerTest;

// What this process writes on its standard error while it lives, read back when it ends.
class CapturedStandardError {
public:
    explicit CapturedStandardError(const std::filesystem::path& file) : file_(file) {
        std::fflush(stderr);
        saved_ = ::dup(STDERR_FILENO);
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ::dup2(fd, STDERR_FILENO);
        ::close(fd);
    }
    ~CapturedStandardError() { restore(); }

    std::string text() {
        restore();
        return testing::readFile(file_);
    }

private:
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stderr);
        ::dup2(saved_, STDERR_FILENO);
        ::close(std::exchange(saved_, -1));
    }

    std::filesystem::path file_;
    int saved_ = -1;
};

TEST_F(RealWorkerTest, ANormalStartPrintsNothingYetTheWorkersNotesStillReachTheTerminal) {
    CapturedStandardError captured(scratch_.docs() / "stderr.txt");
    {
        // Without its sandbox the worker says so: a note that must still come through.
        testing::TestWorkspace test(testing::realWorker(),
                                    {{"HOME", scratch_.home().string()}, {"KIVO_PDF_WORKER_SANDBOX", "off"}});
        test->launchOnce();
        ASSERT_TRUE(test->link().workerReady()) << test->errorMessage().value_or("");
        test->shutdownWorker();
    }
    const std::string text = captured.text();
    EXPECT_NE(text.find("kivo-pdf-worker: sandbox off (KIVO_PDF_WORKER_SANDBOX=off)\n"), std::string::npos)
        << text;
    EXPECT_EQ(text.find("listening on"), std::string::npos) << text;
}

}  // namespace
}  // namespace kivo
