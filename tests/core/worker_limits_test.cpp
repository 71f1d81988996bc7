#include "core/worker_limits.hpp"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <filesystem>

#include "scoped_env.hpp"

namespace kivo {
namespace {

constexpr std::uint64_t GiB = 1ull << 30;
constexpr std::uint64_t MiB = 1ull << 20;

ResourceLimits limitsWith(const std::string& name, const std::string& value,
                          std::uint64_t memory = 16 * GiB) {
    return ResourceLimits::fromEnvironment({{name, value}}, memory);
}

TEST(ResourceLimits, DefaultsFromPhysicalMemory) {
    const std::tuple<std::uint64_t, std::uint64_t, std::uint64_t> cases[] = {
        {16 * GiB, 4 * GiB, 8 * GiB},
        {8 * GiB, 2 * GiB, 4 * GiB},
        {64 * GiB, 4 * GiB, 8 * GiB},
        {3, 0, 1},
    };
    for (const auto& [memory, soft, hard] : cases) {
        EXPECT_EQ(ResourceLimits::fromEnvironment({}, memory), (ResourceLimits{soft, hard, 60})) << memory;
    }
}

TEST(ResourceLimits, MegabyteRule) {
    const std::pair<const char*, std::uint64_t> cases[] = {
        {"512", 512 * MiB},
        {"+512", 512 * MiB},
        {"0", 0},
        {"-0", 0},
        {"17592186044415", 17592186044415ull * MiB},
        {"-1", 4 * GiB},
        {" 512", 4 * GiB},
        {"512 ", 4 * GiB},
        {"512MB", 4 * GiB},
        {"5.5", 4 * GiB},
        {"", 4 * GiB},
        {"+", 4 * GiB},
        // Its byte value needs more than 64 bits: the default, not a wrapped tiny limit.
        {"17592186044416", 4 * GiB},
        {"18446744073709551616", 4 * GiB},
    };
    for (const auto& [text, soft] : cases) {
        const auto limits = limitsWith("KIVO_PDF_WORKER_MEMORY_LIMIT_MB", text);
        EXPECT_EQ(limits.memorySoftBytes, soft) << '"' << text << '"';
        EXPECT_EQ(limits.memoryHardBytes, 8 * GiB);
    }
    const auto hardOnly = limitsWith("KIVO_PDF_WORKER_MEMORY_HARD_LIMIT_MB", "100");
    EXPECT_EQ(hardOnly, (ResourceLimits{4 * GiB, 100 * MiB, 60}));
}

TEST(ResourceLimits, StallSeconds) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<const char*, double> cases[] = {
        {"0.5", 0.5}, {"30", 30},   {" 30", 60},       {"30 ", 60}, {"0", 60}, {"-5", 60},    {"1e2", 100},
        {"0x10", 16}, {"inf", inf}, {"INFINITY", inf}, {"nan", 60}, {"", 60},  {"1e999", 60}, {"2,5", 60},
    };
    for (const auto& [text, seconds] : cases) {
        EXPECT_EQ(limitsWith("KIVO_PDF_WORKER_STALL_LIMIT_S", text).stallSeconds, seconds)
            << '"' << text << '"';
    }
    EXPECT_EQ(ResourceLimits::fromEnvironment({{"KIVO_PDF_WORKER_STALL_LIMIT_S", std::string("5\0", 2)}}, GiB)
                  .stallSeconds,
              60);
}

// A process running in a locale with a decimal comma still reads "2.5" as 2.5.
TEST(ResourceLimits, StallSecondsIgnoreTheProcessLocale) {
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    testing::ShortTempDir localeDir;
    std::optional<testing::ScopedEnv> localePath;
    if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr) {
        // Build the locale privately, never into the system.
        const auto command =
            "localedef -i de_DE -f UTF-8 " + (localeDir.path() / "de_DE.UTF-8").string() + " >/dev/null 2>&1";
        if (std::system(command.c_str()) == 0) {
            localePath.emplace("LOCPATH", localeDir.path().string());
        }
        if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr)
            GTEST_SKIP() << "no German locale available";
    }
    ASSERT_STREQ(std::localeconv()->decimal_point, ",");
    const double seconds = limitsWith("KIVO_PDF_WORKER_STALL_LIMIT_S", "2.5").stallSeconds;
    const double comma = limitsWith("KIVO_PDF_WORKER_STALL_LIMIT_S", "2,5").stallSeconds;
    std::setlocale(LC_ALL, saved.c_str());
    EXPECT_EQ(seconds, 2.5);
    EXPECT_EQ(comma, 60);
}

TEST(ResourceLimits, UnlimitedAndExitCodes) {
    const auto all = std::numeric_limits<std::uint64_t>::max();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(ResourceLimits::unlimited(), (ResourceLimits{all, all, inf}));
    EXPECT_NE(ResourceLimits::unlimited(), (ResourceLimits{all - 1, all, inf}));
    EXPECT_NE(ResourceLimits::unlimited(), (ResourceLimits{all, all, 1e308}));
    EXPECT_GT(physicalMemoryBytes(), 0u);
    EXPECT_EQ(WorkerExit::memoryLimit, 71);
    EXPECT_EQ(WorkerExit::stalled, 72);
    EXPECT_EQ(WorkerExit::sandboxFailed, 73);
}

}  // namespace
}  // namespace kivo
