#include "core/worker_limits.hpp"

#include <locale.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <string_view>

extern char** environ;

namespace kivo {
namespace {

constexpr double defaultStallSeconds = 60;
constexpr std::uint64_t bytesPerMegabyte = 1'048'576;
constexpr std::uint64_t softCap = 4'294'967'296;
constexpr std::uint64_t hardCap = 8'589'934'592;

const std::string* lookUp(const std::map<std::string, std::string>& environment, const char* name) {
    const auto found = environment.find(name);
    return found == environment.end() ? nullptr : &found->second;
}

// The C locale, so "2.5" reads the same whatever locale the process runs in.
locale_t cLocale() {
    static const locale_t locale = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    return locale;
}

std::optional<double> parseSeconds(const std::string& text) {
    if (text.empty()) return std::nullopt;
    // strtod would skip leading white space; it is refused instead.
    if (std::string_view(" \t\n\v\f\r").find(text.front()) != std::string_view::npos) return std::nullopt;
    const locale_t locale = cLocale();
    if (locale == static_cast<locale_t>(0)) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const double value = ::strtod_l(text.c_str(), &end, locale);
    // A zero byte inside the text also stops the conversion short of the end.
    if (end != text.c_str() + text.size()) return std::nullopt;
    // A magnitude beyond a double is most likely a typing slip; it must not
    // quietly switch the watchdog off.
    if (errno == ERANGE && std::isinf(value)) return std::nullopt;
    return value;
}

std::optional<std::uint64_t> parseMegabytesAsBytes(const std::string* text) {
    if (text == nullptr || text->empty()) return std::nullopt;
    std::string_view digits = *text;
    bool negative = false;
    if (digits.front() == '+' || digits.front() == '-') {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    if (digits.empty()) return std::nullopt;
    std::uint64_t count = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        if (__builtin_mul_overflow(count, std::uint64_t{10}, &count) ||
            __builtin_add_overflow(count, static_cast<std::uint64_t>(c - '0'), &count)) {
            return std::nullopt;
        }
    }
    if (negative && count != 0) return std::nullopt;
    std::uint64_t bytes = 0;
    // Wrapping would turn a huge limit into a tiny one.
    if (__builtin_mul_overflow(count, bytesPerMegabyte, &bytes)) return std::nullopt;
    return bytes;
}

}  // namespace

ResourceLimits ResourceLimits::fromEnvironment(const std::map<std::string, std::string>& environment,
                                               std::uint64_t physicalMemory) {
    ResourceLimits limits;

    limits.stallSeconds = defaultStallSeconds;
    if (const auto* text = lookUp(environment, "KIVO_PDF_WORKER_STALL_LIMIT_S")) {
        // NaN fails the comparison and so gives the default too.
        if (const auto seconds = parseSeconds(*text); seconds && *seconds > 0) limits.stallSeconds = *seconds;
    }

    limits.memorySoftBytes = parseMegabytesAsBytes(lookUp(environment, "KIVO_PDF_WORKER_MEMORY_LIMIT_MB"))
                                 .value_or(std::min(physicalMemory / 4, softCap));
    limits.memoryHardBytes =
        parseMegabytesAsBytes(lookUp(environment, "KIVO_PDF_WORKER_MEMORY_HARD_LIMIT_MB"))
            .value_or(std::min(physicalMemory / 2, hardCap));
    return limits;
}

std::map<std::string, std::string> processEnvironment() {
    std::map<std::string, std::string> out;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        const auto equals = text.find('=');
        if (equals == std::string_view::npos) continue;
        out.emplace(std::string(text.substr(0, equals)), std::string(text.substr(equals + 1)));
    }
    return out;
}

std::uint64_t physicalMemoryBytes() noexcept {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || pageSize <= 0) return 0;
    std::uint64_t bytes = 0;
    if (__builtin_mul_overflow(static_cast<std::uint64_t>(pages), static_cast<std::uint64_t>(pageSize),
                               &bytes)) {
        return ResourceLimits::noLimitBytes;
    }
    return bytes;
}

}  // namespace kivo
