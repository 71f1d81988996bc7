#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <sstream>
#include <vector>

#include "child_process.hpp"
#include "sandbox/sandbox_self_test.hpp"
#include "test_pdfs.hpp"

namespace kivo {
namespace {

namespace fs = std::filesystem;
using testing::inChild;
using testing::writeAll;

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(SandboxSelfTestReport, ResultRuleAndLineEncoding) {
    EXPECT_EQ(SandboxSelfTest::resultFor(0), "allowed");
    EXPECT_EQ(SandboxSelfTest::resultFor(EPERM), "denied");
    EXPECT_EQ(SandboxSelfTest::resultFor(EACCES), "denied");
    for (int other : {ENOENT, ECONNREFUSED, ENAMETOOLONG, ESRCH})
        EXPECT_EQ(SandboxSelfTest::resultFor(other), "failed");

    EXPECT_EQ(SandboxSelfTest::encode({"sandbox is applied", "allowed", "allowed", 0}),
              R"({"errno":0,"expected":"allowed","name":"sandbox is applied","result":"allowed"})");
    EXPECT_EQ(SandboxSelfTest::encode({"start /usr/bin/true", "denied", "failed", 2}),
              R"({"errno":2,"expected":"denied","name":"start \/usr\/bin\/true","result":"failed"})");
}

TEST(SandboxSelfTestReport, ErrorLineStaysValidJsonWithQuotes) {
    const auto line = SandboxSelfTest::encodeError("sandbox: could not \"apply\" \\ here");
    EXPECT_EQ(line.rfind("{\"error\": \"", 0), 0u);
    const auto parsed = nlohmann::json::parse(line);
    EXPECT_EQ(parsed.at("error"), "sandbox: could not \"apply\" \\ here");
}

TEST(SandboxSelfTestReport, SocketPathThatDoesNotFitIsNameTooLong) {
    testing::TempDir dir;
    EXPECT_EQ(SandboxSelfTest::listenAt((dir.path() / "short.sock").string()), 0);
    EXPECT_FALSE(fs::exists(dir.path() / "short.sock"));
    const std::string tooLong = dir.path().string() + "/" + std::string(120, 'x');
    EXPECT_EQ(SandboxSelfTest::listenAt(tooLong), ENAMETOOLONG);
}

class SandboxSelfTestRun : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testing::landlockAvailable()) GTEST_SKIP() << "Landlock is not available on this machine";
        fs::create_directories(home / ".local" / "share" / "keyrings");
        fs::create_directories(home / ".cache");
        fs::create_directories(temporary);
    }

    // Runs the whole self-test in a child once `environment` has set the child's variables, and
    // answers what the child reported.
    static testing::ChildOutcome selfTestInChild(const std::function<void()>& environment) {
        return inChild([&](int report) {
            environment();
            std::ostringstream out;
            const int status = runSandboxSelfTest(out);
            writeAll(report, out.str());
            return status;
        });
    }

    testing::TempDir root;
    fs::path home = root.path() / "home";
    fs::path temporary = root.path() / "tmp";
};

TEST_F(SandboxSelfTestRun, EveryProbeBehavesOnAWellSetUpMachine) {
    const auto outcome = selfTestInChild([&] {
        ::setenv("HOME", home.c_str(), 1);
        ::setenv("TMPDIR", temporary.c_str(), 1);
        ::unsetenv("KIVO_PDF_SUPPORT_DIR");
        ::unsetenv("XDG_DATA_HOME");
    });
    const auto lines = splitLines(outcome.report);
    ASSERT_EQ(lines.size(), 18u) << outcome.report;
    EXPECT_EQ(lines[0], R"({"errno":0,"expected":"allowed","name":"sandbox is applied","result":"allowed"})");
    const std::vector<std::string> names = {
        "sandbox is applied",
        "connect to 127.0.0.1 port 9",
        "listen on a socket in the IPC directory",
        "listen on a socket in the temporary directory",
        "start /usr/bin/true",
        "list ~/.local/share/keyrings",
        "list ~/.local/share",
        "create a dotfile in the home folder",
        "create a file in ~/.cache",
        "list the home folder",
        "read a system font",
        "look up ~/.local/share",
        "create a file in the temporary directory",
        "create a file in the recovery folder",
        "save a document in a new folder of the home folder",
        "open that document",
        "save a document in a new hidden folder of the home folder",
        "open a document in the IPC directory",
    };
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const auto probe = nlohmann::json::parse(lines[i]);
        EXPECT_EQ(probe.at("name"), names[i]);
        EXPECT_EQ(probe.at("result"), probe.at("expected")) << lines[i];
    }
    EXPECT_EQ(outcome.exitStatus, 0) << outcome.report;
    EXPECT_FALSE(fs::exists(home / ".kivo-pdf-sandbox-probe"));
    EXPECT_FALSE(fs::exists(temporary / "kivo-pdf-sandbox-probe"));
    EXPECT_FALSE(fs::exists(home / ".local" / "share" / "kivo-pdf" / "recovery" / "sandbox-probe"));
    EXPECT_FALSE(fs::exists(home / ".local" / "share" / "kivo-pdf" / "ipc" / "self-test.sock"));
    EXPECT_TRUE(fs::is_directory(home / ".local" / "share" / "kivo-pdf" / "ipc"));
    EXPECT_FALSE(fs::exists(home / "kivo-pdf-sandbox-probe")) << "the probe's document is removed";
    EXPECT_FALSE(fs::exists(home / ".kivo-pdf-sandbox-probe")) << "no hidden folder is made";
}

TEST_F(SandboxSelfTestRun, AnIPCSocketPathThatDoesNotFitFailsTheThirdProbe) {
    SandboxSelfTest::Places places;
    places.home = home;
    places.temporary = temporary;
    places.support = root.path() / "support";
    places.ipc = places.support / std::string(100, 'i');
    places.systemFont = "/etc/hostname";
    const auto outcome = inChild([&](int report) {
        std::ostringstream out;
        const int status = SandboxSelfTest::run(out, places);
        writeAll(report, out.str());
        return status;
    });
    const auto lines = splitLines(outcome.report);
    ASSERT_EQ(lines.size(), 18u) << outcome.report;
    const auto third = nlohmann::json::parse(lines[2]);
    EXPECT_EQ(third.at("result"), "failed");
    EXPECT_EQ(third.at("errno"), ENAMETOOLONG);
    EXPECT_EQ(outcome.exitStatus, 73);
}

// A fresh account without the private folders the probes aim at gets them, owner-only, before the
// sandbox goes on, so the probes test the sandbox rather than the account's layout.
TEST_F(SandboxSelfTestRun, MissingPrivateFoldersArePreparedBeforeProbing) {
    fs::remove_all(home / ".cache");
    fs::remove_all(home / ".local" / "share" / "keyrings");
    const auto outcome = selfTestInChild([&] {
        ::setenv("HOME", home.c_str(), 1);
        ::setenv("TMPDIR", temporary.c_str(), 1);
        ::setenv("KIVO_PDF_SUPPORT_DIR", (root.path() / "support").c_str(), 1);
    });
    const auto lines = splitLines(outcome.report);
    ASSERT_EQ(lines.size(), 18u) << outcome.report;
    for (const auto& line : lines) {
        const auto probe = nlohmann::json::parse(line);
        EXPECT_EQ(probe.at("result"), probe.at("expected")) << line;
    }
    EXPECT_EQ(outcome.exitStatus, 0);
    for (const fs::path& folder : {home / ".cache", home / ".local" / "share" / "keyrings"}) {
        EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all, fs::perms::owner_all) << folder;
    }
}

TEST_F(SandboxSelfTestRun, ASandboxThatCannotBeAppliedPrintsOneErrorLine) {
    const auto outcome = selfTestInChild([&] {
        ::setenv("HOME", home.c_str(), 1);
        ::setenv("KIVO_PDF_SUPPORT_DIR", home.c_str(), 1);  // would open the whole home folder
    });
    EXPECT_EQ(outcome.exitStatus, 73);
    const auto lines = splitLines(outcome.report);
    ASSERT_EQ(lines.size(), 1u) << outcome.report;
    const auto error = nlohmann::json::parse(lines[0]).at("error").get<std::string>();
    EXPECT_EQ(error.rfind("sandbox: The worker's sandbox could not be applied: ", 0), 0u) << error;
}

}  // namespace
}  // namespace kivo

namespace kivo {
namespace {

// The worker's own command line, as a person runs it: eighteen lines and status 0.
TEST_F(SandboxSelfTestRun, TheWorkerCommandReportsEighteenProbesAndPasses) {
    const std::string command = "env HOME='" + home.string() + "' TMPDIR='" + temporary.string() +
                                "' KIVO_PDF_SUPPORT_DIR='" + (root.path() / "support").string() + "' '" +
                                KIVO_BIN_DIR + "/kivo-pdf-worker' --sandbox-self-test";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    const int status = ::pclose(pipe);
    EXPECT_EQ(splitLines(output).size(), 18u) << output;
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << output;
}

}  // namespace
}  // namespace kivo
