#include "assistant/loopback_listener.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <optional>

#include "core/descriptor.hpp"

namespace kivo::LoopbackListener {
namespace {

// A busy machine lists some ten thousand sockets at about 150 bytes each.
constexpr std::size_t tableLimitBytes = 16 << 20;
constexpr std::string_view listening = "0A";

std::string readTable(const char* path) {
    const Descriptor fd(::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) return {};
    std::string text;
    std::array<char, 65536> chunk{};
    for (;;) {
        const ssize_t n = ::read(fd.get(), chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return {};
        if (n == 0) return text;
        text.append(chunk.data(), static_cast<std::size_t>(n));
        // Cut short, it might leave out the very listener that matters.
        if (text.size() > tableLimitBytes) return {};
    }
}

std::optional<std::uint32_t> hexWord(std::string_view text) {
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// An address as the tables write it: the address's 32-bit words in the machine's own order, in hex.
std::optional<in6_addr> tableAddress(std::string_view hex, bool ipv6) {
    in6_addr address{};
    const std::size_t words = ipv6 ? 4 : 1;
    if (hex.size() != words * 8) return std::nullopt;
    for (std::size_t i = 0; i < words; ++i) {
        const auto word = hexWord(hex.substr(i * 8, 8));
        if (!word) return std::nullopt;
        std::memcpy(reinterpret_cast<char*>(&address) + i * 4, &*word, 4);
    }
    return address;
}

std::vector<std::string_view> fields(std::string_view line) {
    std::vector<std::string_view> out;
    std::size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && line[at] == ' ') ++at;
        const std::size_t end = std::min(line.find(' ', at), line.size());
        if (end > at) out.push_back(line.substr(at, end - at));
        at = end;
    }
    return out;
}

// Whether a socket bound to `bound` (of the table's family) receives connections to `wanted`.
bool receives(const in6_addr& bound, bool ipv6, const in6_addr& wanted, bool wantedIpv6) {
    const in6_addr any{};
    if (!ipv6) {
        if (wantedIpv6) return false;
        return std::memcmp(&bound, &any, 4) == 0 || std::memcmp(&bound, &wanted, 4) == 0;
    }
    if (std::memcmp(&bound, &any, sizeof bound) == 0) return true;
    if (wantedIpv6) return std::memcmp(&bound, &wanted, sizeof bound) == 0;
    // ::ffff:a.b.c.d
    const std::array<unsigned char, 12> mapped{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return std::memcmp(&bound, mapped.data(), 12) == 0 && std::memcmp(bound.s6_addr + 12, &wanted, 4) == 0;
}

}  // namespace

Tables systemTables() {
    return [](bool ipv6) { return readTable(ipv6 ? "/proc/net/tcp6" : "/proc/net/tcp"); };
}

std::vector<uid_t> owners(std::string_view table, bool ipv6, std::string_view address, long port) {
    in6_addr wanted{};
    const std::string text(address);
    const bool wantedIpv6 = text.find(':') != std::string::npos;
    if (::inet_pton(wantedIpv6 ? AF_INET6 : AF_INET, text.c_str(), &wanted) != 1) return {};
    std::vector<uid_t> found;
    std::size_t start = 0;
    while (start < table.size()) {
        const std::size_t end = std::min(table.find('\n', start), table.size());
        const auto parts = fields(table.substr(start, end - start));
        start = end + 1;
        // sl local_address rem_address st tx:rx tr:when retrnsmt uid ...
        if (parts.size() < 8 || parts[3] != listening) continue;
        const std::string_view local = parts[1];
        const std::size_t colon = local.find(':');
        if (colon == std::string_view::npos) continue;
        const auto bound = tableAddress(local.substr(0, colon), ipv6);
        const auto boundPort = hexWord(local.substr(colon + 1));
        uid_t uid = 0;
        const auto [uidEnd, uidError] =
            std::from_chars(parts[7].data(), parts[7].data() + parts[7].size(), uid);
        if (!bound || !boundPort || *boundPort != port || uidError != std::errc() ||
            uidEnd != parts[7].data() + parts[7].size()) {
            continue;
        }
        if (receives(*bound, ipv6, wanted, wantedIpv6)) found.push_back(uid);
    }
    return found;
}

bool trusted(const Tables& tables, std::string_view address, long port, uid_t self) {
    std::vector<uid_t> all = owners(tables(false), false, address, port);
    const std::vector<uid_t> six = owners(tables(true), true, address, port);
    all.insert(all.end(), six.begin(), six.end());
    if (all.empty()) return false;
    for (const uid_t owner : all) {
        if (owner != self && owner >= firstPersonUid) return false;
    }
    return true;
}

}  // namespace kivo::LoopbackListener
