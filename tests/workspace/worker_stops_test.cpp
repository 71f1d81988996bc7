// The stop sentences and the count of recent stops that decides whether a stopped worker is started again.

#include <gtest/gtest.h>

#include <chrono>
#include <clocale>
#include <cstdlib>
#include <filesystem>

#include "workspace/worker_stops.hpp"
#include "workspace_fixture.hpp"

namespace kivo {
namespace {

using testing::Scratch;

TEST(WorkerStops, CountsTheStopsOfTheLastMinute) {
    const struct {
        std::vector<double> seconds;
        std::size_t counted;
    } cases[] = {{{0, 30, 50}, 3}, {{0, 30, 60}, 2}, {{0, 59.9, 119}, 2}, {{0}, 1}};
    for (const auto& c : cases) {
        StopHistory history;
        std::size_t counted = 0;
        for (const double at : c.seconds) {
            counted = history.record(std::chrono::steady_clock::time_point() +
                                     std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                         std::chrono::duration<double>(at)));
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

}  // namespace
}  // namespace kivo
