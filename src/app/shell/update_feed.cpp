#include "app/shell/update_feed.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <nlohmann/json.hpp>

#include "core/safe_files.hpp"

namespace kivo::UpdateFeed {
namespace {

constexpr std::size_t longestVersionParts = 4;
constexpr std::size_t longestNumber = 9;
constexpr double idleSeconds = 15;
constexpr double totalSeconds = 30;

const std::string cannotCheck = "Kivo PDF could not check for updates.";

// The whole file when it is a regular file of at most maximumBytes; none otherwise.
std::optional<std::string> readSmallFile(const std::filesystem::path& path) {
    const SafeFiles::ReadableFile file = SafeFiles::openForReading(path);
    if (!file.fd || !file.isRegular || file.size < 0 || static_cast<std::size_t>(file.size) > maximumBytes) {
        return std::nullopt;
    }
    std::string text(maximumBytes + 1, '\0');
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::read(file.fd.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    // It grew while it was read.
    if (done > maximumBytes) return std::nullopt;
    text.resize(done);
    return text;
}

// The string member `key` of a JSON object text; none when there is no such object or member.
std::optional<std::string> stringMember(const nlohmann::json& object, const char* key) {
    if (!object.is_object()) return std::nullopt;
    const auto found = object.find(key);
    if (found == object.end() || !found->is_string()) return std::nullopt;
    return found->get<std::string>();
}

Outcome failure(std::string detail) {
    return Outcome{Outcome::Kind::failed, cannotCheck, std::move(detail), {}};
}

}  // namespace

std::optional<Version> parseVersion(std::string_view text) {
    Version version;
    std::size_t start = 0;
    while (true) {
        const std::size_t dot = std::min(text.find('.', start), text.size());
        const std::string_view part = text.substr(start, dot - start);
        if (part.empty() || part.size() > longestNumber || version.size() == longestVersionParts)
            return std::nullopt;
        std::uint32_t number = 0;
        for (const char digit : part) {
            if (digit < '0' || digit > '9') return std::nullopt;
            number = number * 10 + static_cast<std::uint32_t>(digit - '0');
        }
        version.push_back(number);
        if (dot == text.size()) return version;
        start = dot + 1;
    }
}

int compare(const Version& a, const Version& b) {
    for (std::size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
        const std::uint32_t left = i < a.size() ? a[i] : 0;
        const std::uint32_t right = i < b.size() ? b[i] : 0;
        if (left != right) return left < right ? -1 : 1;
    }
    return 0;
}

bool allowed(const Http::Address& address) {
    const std::string scheme = address.scheme();
    const std::string host = address.host();
    if (host.empty()) return false;
    return scheme == "https" || (scheme == "http" && Http::isLoopbackHost(host));
}

std::optional<Http::Address> configuredFeed(const std::filesystem::path& path) {
    const auto text = readSmallFile(path);
    if (!text) return std::nullopt;
    const auto feed = stringMember(nlohmann::json::parse(*text, nullptr, false), "feed");
    if (!feed) return std::nullopt;
    auto address = Http::Address::parse(*feed);
    if (!address || !allowed(*address)) return std::nullopt;
    return address;
}

std::optional<Release> decodeRelease(std::string_view body) {
    const nlohmann::json feed = nlohmann::json::parse(body, nullptr, false);
    const auto version = stringMember(feed, "version");
    if (!version || !parseVersion(*version)) return std::nullopt;
    Release release{*version, std::nullopt};
    if (const auto page = stringMember(feed, "page")) {
        const auto address = Http::Address::parse(*page);
        if (address && address->scheme() == "https" && !address->host().empty())
            release.page = address->text();
    }
    return release;
}

Outcome outcomeOfReply(std::string_view current, long status, std::string_view body) {
    if (status != 200)
        return failure("The update server answered with HTTP status " + std::to_string(status) + ".");
    const auto release = decodeRelease(body);
    if (!release) return failure("The update server's answer is not an update feed.");
    const auto installed = parseVersion(current);
    if (!installed) return failure("This build of Kivo PDF carries no version number to compare.");
    if (compare(*parseVersion(release->version), *installed) <= 0) {
        return Outcome{
            Outcome::Kind::newest, "Kivo PDF " + std::string(current) + " is the newest version.", "", {}};
    }
    std::string detail =
        "You have version " + std::string(current) +
        ". Install the new one with your system's package manager; Kivo PDF downloads nothing itself.";
    if (release->page) detail += "\n\nMore at " + *release->page;
    return Outcome{Outcome::Kind::newer, "Kivo PDF " + release->version + " is available.", detail,
                   release->page};
}

Outcome outcomeOfFailure(const Http::TransportError& error) {
    using Kind = Http::TransportError::Kind;
    switch (error.kind()) {
        case Kind::cannotConnect:
            return failure(
                "The update server could not be reached. Check the network connection, then try again.");
        case Kind::timedOut: return failure("The update server took too long to answer. Try again later.");
        case Kind::connectionLost:
            return failure("The connection to the update server broke. Try again later.");
        case Kind::tooLarge:
            return failure("The update server's answer is larger than an update feed can be.");
        case Kind::cancelled: return failure("The check was stopped.");
        case Kind::refused:
        case Kind::other: break;
    }
    return failure(std::string("The exchange with the update server failed: ") + error.what());
}

Outcome check(const Http::Address& feed, std::string_view current, std::stop_token stop) {
    Http::Request request("GET", feed);
    request.headers = {"Accept: application/json"};
    request.idleSeconds = idleSeconds;
    request.totalSeconds = totalSeconds;
    request.allows = allowed;
    try {
        const Http::Reply reply = Http::fetch(request, stop, maximumBytes);
        return outcomeOfReply(current, reply.status, reply.body);
    } catch (const Http::TransportError& error) {
        return outcomeOfFailure(error);
    }
}

}  // namespace kivo::UpdateFeed
