#pragma once

// The update check's plain logic, apart from any window: where this installation's configuration
// names the update feed, what a feed says, how versions compare, and the sentences the user reads.
//
// The configuration is a small JSON file installed beside the editor,
// <prefix>/share/kivo-pdf/updates.json: {"feed": "https://…"}. A package built with the CMake setting
// KIVO_UPDATE_FEED installs it; without the file there is no update check at all. The feed is a JSON
// object as well: {"version": "1.4.0", "page": "https://…"}, the newest release and the page that tells
// where to get it. The check only reads the feed: installing is the package manager's work.
//
// Nothing here throws: a missing or broken configuration is no feed, and every failure of a check is
// an outcome with a sentence.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "http/http_transport.hpp"

namespace kivo::UpdateFeed {

// The longest configuration file and feed read.
inline constexpr std::size_t maximumBytes = 65536;

// Numbers separated by dots: "1.10.2" is {1, 10, 2}.
using Version = std::vector<std::uint32_t>;

// One to four decimal numbers of at most nine digits, separated by single dots; none for anything else.
std::optional<Version> parseVersion(std::string_view text);
// Negative, zero or positive as `a` is older than, the same as or newer than `b`. Missing trailing
// numbers count as 0, so "1.2" and "1.2.0" are the same version.
int compare(const Version& a, const Version& b);

// Whether the check may fetch from `address`: https to any host, plain http only to the loopback host.
bool allowed(const Http::Address& address);

// The feed address in the configuration file at `path`; none when the file is absent, not a regular
// file, longer than maximumBytes, not an object with a string "feed", or the address is not allowed.
std::optional<Http::Address> configuredFeed(const std::filesystem::path& path);

// The newest release as the feed tells it.
struct Release {
    std::string version;
    // Where to read about it; only an https address is kept.
    std::optional<std::string> page;
};

// The feed's object; none when it is not JSON, has no "version" string, or the version does not parse.
std::optional<Release> decodeRelease(std::string_view body);

struct Outcome {
    enum class Kind { newer, newest, failed };
    Kind kind = Kind::failed;
    // One sentence: "Kivo PDF 1.4.0 is available.", "Kivo PDF 1.3.0 is the newest version." or
    // "Kivo PDF could not check for updates."
    std::string message;
    // What to do, or why the check failed.
    std::string detail;
    // The release's page, for a newer release that names one.
    std::optional<std::string> page;
};

// The outcome of a feed reply to this editor of version `current`.
Outcome outcomeOfReply(std::string_view current, long status, std::string_view body);
// The outcome of an exchange that failed.
Outcome outcomeOfFailure(const Http::TransportError& error);

// Fetches `feed` and compares its release with `current`; blocks for at most about 30 s, less when
// `stop` is requested.
Outcome check(const Http::Address& feed, std::string_view current, std::stop_token stop);

}  // namespace kivo::UpdateFeed
