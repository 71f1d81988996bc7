#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>

#include "child_process.hpp"
#include "sandbox/worker_sandbox.hpp"
#include "test_pdfs.hpp"

namespace kivo {
namespace {

using testing::inChild;

TEST(SandboxProfile, MatchesTheGoldenTextForTypicalFolders) {
    const std::string expected =
        "(version 1)\n"
        "(allow default)\n"
        "\n"
        "; Network: only Unix sockets in the editor's IPC directory, which carry commands.\n"
        "(deny network*)\n"
        "(allow network* (local unix-socket (subpath \"/Users/a/Library/Application Support/kivo-pdf/ipc\")) "
        "(remote unix-socket (subpath \"/Users/a/Library/Application Support/kivo-pdf/ipc\")))\n"
        "\n"
        "; No other programs.\n"
        "(deny process-exec* process-fork)\n"
        "\n"
        "; No reading or writing dotfiles in the home folder, keychains, cookies, mail, messages, accounts, "
        "calendars, Safari,\n"
        "; or other apps' support files and shared containers. Their metadata stays readable, so resolving a "
        "path "
        "still works.\n"
        "(deny file-read-data file-write*\n"
        "    (regex #\"^/Users/a/\\.\")\n"
        "    (subpath \"/Users/a/Library/Keychains\")\n"
        "    (subpath \"/Users/a/Library/Cookies\")\n"
        "    (subpath \"/Users/a/Library/Mail\")\n"
        "    (subpath \"/Users/a/Library/Messages\")\n"
        "    (subpath \"/Users/a/Library/Accounts\")\n"
        "    (subpath \"/Users/a/Library/Calendars\")\n"
        "    (subpath \"/Users/a/Library/Safari\")\n"
        "    (subpath \"/Users/a/Library/Application Support\")\n"
        "    (subpath \"/Users/a/Library/Group Containers\"))\n"
        "\n"
        "; No writing where software is installed, configured, or starts from.\n"
        "(deny file-write*\n"
        "    (subpath \"/Users/a/Library\")\n"
        "    (subpath \"/Applications\")\n"
        "    (subpath \"/Library\")\n"
        "    (subpath \"/usr/local\")\n"
        "    (subpath \"/opt\")\n"
        "    (subpath \"/private/etc\"))\n"
        "\n"
        "; Documents in iCloud Drive, in cloud storage folders, and opened from Mail stay writable, and the "
        "editor's support\n"
        "; folder stays usable.\n"
        "(allow file-write*\n"
        "    (subpath \"/Users/a/Library/Mobile Documents\")\n"
        "    (subpath \"/Users/a/Library/CloudStorage\")\n"
        "    (subpath \"/Users/a/Library/Containers/com.apple.mail/Data/Library/Mail Downloads\"))\n"
        "(allow file-read-data file-write* (subpath \"/Users/a/Library/Application Support/kivo-pdf\"))";
    EXPECT_EQ(WorkerSandbox::profile("/Users/a/Library/Application Support/kivo-pdf/ipc",
                                     "/Users/a/Library/Application Support/kivo-pdf", "/Users/a"),
              expected);
}

TEST(SandboxProfile, QuotesEscapeBackslashesBeforeDoubleQuotes) {
    const struct {
        const char* path;
        const char* quoted;
    } cases[] = {
        {"/plain/path", "\"/plain/path\""},
        {"/a\"b", "\"/a\\\"b\""},
        {"/a\\b", "\"/a\\\\b\""},
        {"/a\\\"b", "\"/a\\\\\\\"b\""},  // the added backslash is not doubled again
        {"", "\"\""},
    };
    for (const auto& c : cases) EXPECT_EQ(WorkerSandbox::quoted(c.path), c.quoted) << c.path;

    const auto text = WorkerSandbox::profile("/i\"pc", "/s\\up", "/h");
    EXPECT_NE(text.find("(subpath \"/i\\\"pc\")) (remote"), std::string::npos);
    EXPECT_NE(text.find("(allow file-read-data file-write* (subpath \"/s\\\\up\"))"), std::string::npos);
}

TEST(SandboxProfile, DotfilePatternEscapesEveryRegexCharacter) {
    EXPECT_EQ(WorkerSandbox::dotfiles("/Users/a.b"), "#\"^/Users/a\\.b/\\.\"");
    EXPECT_EQ(WorkerSandbox::dotfiles("/h/x+y(z)"), "#\"^/h/x\\+y\\(z\\)/\\.\"");
    EXPECT_EQ(WorkerSandbox::dotfiles("\\^$.|?*+()[]{}\""),
              "#\"^\\\\\\^\\$\\.\\|\\?\\*\\+\\(\\)\\[\\]\\{\\}\\\"/\\.\"");
    EXPECT_EQ(WorkerSandbox::dotfiles("/home/plain-name_1"), "#\"^/home/plain-name_1/\\.\"");
}

TEST(SandboxProfile, DotfilePatternMatchesOnlyDotEntriesOfThatHome) {
    // The pattern body between #"  and the closing quote is a regular
    // expression; \" inside it is an escaped quote.
    const auto pattern = WorkerSandbox::dotfiles("/Users/a.b");
    const std::regex regex(pattern.substr(2, pattern.size() - 3));
    const struct {
        const char* path;
        bool matches;
    } cases[] = {
        {"/Users/a.b/.ssh", true},
        {"/Users/a.b/.ssh/id_ed25519", true},
        {"/Users/a.b/.zshrc", true},
        {"/Users/aXb/.ssh", false},
        {"/Users/a.b/Documents/.hidden", false},
        {"/Users/a.b/Documents", false},
        {"/other/Users/a.b/.ssh", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(std::regex_search(c.path, regex, std::regex_constants::match_continuous), c.matches)
            << c.path;
    }
}

TEST(SandboxSwitch, OnlyTheExactLowerCaseOffSwitchesItOff) {
    EXPECT_TRUE(WorkerSandbox::switchedOff("off"));
    for (const char* value : {"OFF", "Off", "0", "", "off ", " off", "false", "no"}) {
        EXPECT_FALSE(WorkerSandbox::switchedOff(value)) << value;
    }
    EXPECT_FALSE(WorkerSandbox::switchedOff(nullptr));
}

TEST(SandboxWorkerStart, OffRunsUnconfinedAndSaysSo) {
    const auto outcome = inChild(
        [](int) {
            ::setenv(WorkerSandbox::switchVariable, "off", 1);
            WorkerSandbox::applyForWorker("/nonexistent/ipc");
            return WorkerSandbox::isSandboxed(::getpid()) ? 1 : 0;
        },
        /*reportIsStderr=*/true);
    EXPECT_EQ(outcome.exitStatus, 0);
    EXPECT_EQ(outcome.report, "kivo-pdf-worker: sandbox off (KIVO_PDF_WORKER_SANDBOX=off)\n");
}

TEST(SandboxWorkerStart, FailureEndsTheWorkerWithStatus73) {
    testing::TempDir home;
    const auto outcome = inChild(
        [&](int) {
            ::setenv(WorkerSandbox::switchVariable, "OFF", 1);
            ::setenv("HOME", home.path().c_str(), 1);
            // A support folder that is the home folder cannot be confined.
            ::setenv("KIVO_PDF_SUPPORT_DIR", home.path().c_str(), 1);
            WorkerSandbox::applyForWorker(home.path() / "ipc");
            return 0;
        },
        /*reportIsStderr=*/true);
    EXPECT_EQ(outcome.exitStatus, 73);
    EXPECT_EQ(
        outcome.report.rfind("kivo-pdf-worker: sandbox: The worker's sandbox could not be applied: ", 0), 0u)
        << outcome.report;
}

}  // namespace
}  // namespace kivo
