#pragma once

// A small HTTP client over libcurl for the model providers and the update checker: one transfer
// at a time on the calling thread, driven by a `curl_multi_poll` loop so that the idle and total
// limits are kept to the millisecond and a `std::stop_token` ends a transfer at once.
//
// Addresses are parsed once (`Http::Address`, a CURLU handle) and that same handle is what
// the transfer uses, so the check of an address and the request it makes cannot disagree.
// Redirects are followed here, not by libcurl: each target must pass the caller's rule, an
// https address never leads to an http one, and at most `maximumRedirects` are followed; a
// redirect that is not followed comes back as the reply. Only http and https are spoken; TLS
// is verified; nothing is logged, cached or kept between transfers; a loopback host is always
// reached directly, never through a proxy from the environment. Header values (keys included)
// appear in no error text.
//
// Failures of the exchange are thrown as `Http::TransportError`; a reply with any status is
// not a failure.

#include <cstddef>
#include <functional>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

typedef struct Curl_URL CURLU;

namespace kivo::Http {

inline constexpr std::size_t maximumReplyBytes = 4 << 20;
inline constexpr std::size_t maximumLineBytes = 1 << 20;
inline constexpr std::size_t maximumStreamBytes = 8 << 20;
inline constexpr std::size_t maximumErrorBodyBytes = 16384;
inline constexpr int maximumRedirects = 10;

// A parsed absolute URL; copies are independent.
class Address {
public:
    // None when libcurl cannot parse the text as an absolute URL of a scheme it knows.
    static std::optional<Address> parse(std::string_view text);

    Address(const Address& other);
    Address& operator=(const Address& other);
    Address(Address&& other) noexcept;
    Address& operator=(Address&& other) noexcept;
    ~Address();

    // Lower-cased; empty when absent. An IPv6 host keeps its brackets.
    std::string scheme() const;
    std::string host() const;
    // The whole address as libcurl writes it.
    std::string text() const;

    // A reference (such as a Location value) resolved against this address; none when it does
    // not resolve.
    std::optional<Address> resolve(std::string_view reference) const;
    // The relative path's non-empty segments appended to this address's path.
    Address appendingPath(std::string_view relativePath) const;

    CURLU* handle() const noexcept { return url_; }

private:
    explicit Address(CURLU* url) noexcept : url_(url) {}
    CURLU* url_ = nullptr;
};

// "127.0.0.1", "localhost", "::1" or "[::1]", compared exactly (give it lower-cased).
bool isLoopbackHost(std::string_view host) noexcept;

using Rule = std::function<bool(const Address&)>;

struct Request {
    Request(std::string method, Address address) : method(std::move(method)), address(std::move(address)) {}

    std::string method;
    Address address;
    // "Name: value" lines.
    std::vector<std::string> headers{};
    std::string body{};
    // The longest silence allowed between received bytes, from the request on.
    double idleSeconds = 30;
    // The longest the whole exchange may take, redirects included.
    double totalSeconds = 300;
    // Every address the exchange goes to must pass; empty allows any http or https address.
    Rule allows{};
    // Asked on every connection once it stands and before anything is sent on it, with the numeric
    // address and the port reached; false ends the exchange there as `refused`. Empty: no check.
    std::function<bool(const std::string& address, long port)> admitsPeer{};
};

struct Reply {
    long status = 0;
    // Names lower-cased, values trimmed, in arrival order; the last reply's only.
    std::vector<std::pair<std::string, std::string>> headers{};
    // The body: whole for a 200 reply of `fetch`, at most `maximumErrorBodyBytes` otherwise,
    // empty for a 200 reply of `stream`.
    std::string body{};

    // The last value of a header, looked up case-insensitively.
    std::optional<std::string> header(std::string_view name) const;
};

class TransportError : public std::runtime_error {
public:
    enum class Kind {
        // Refused, unreachable or unresolvable.
        cannotConnect,
        timedOut,
        // The stop token asked for it.
        cancelled,
        // The connection broke, or the server answered with something that is not HTTP.
        connectionLost,
        // A reply, line or stream past its cap.
        tooLarge,
        // The request's admitsPeer turned the connection down; nothing was sent.
        refused,
        other,
    };

    TransportError(Kind kind, const std::string& description)
        : std::runtime_error(description), kind_(kind) {}
    Kind kind() const noexcept { return kind_; }

private:
    Kind kind_;
};

// One exchange with the whole body of a 200 reply, at most `maximumBody` bytes (more is
// `tooLarge`). A stop before the call sends nothing.
Reply fetch(const Request& request, std::stop_token stop, std::size_t maximumBody = maximumReplyBytes);

// Called for each line of a streamed 200 reply as it arrives, its terminator removed; returns
// true when the reply is complete and nothing more is to be read. Lines end at LF, CRLF or CR
// only, and a last line without an end is delivered too. What it throws ends the exchange and
// passes through.
using LineHandler = std::function<bool(std::string_view line)>;

// One exchange whose 200 reply is read line by line; a line past `maximumLineBytes` or a reply
// past `maximumStreamBytes` is `tooLarge`. A reply of another status is returned with its body.
Reply stream(const Request& request, const LineHandler& onLine, std::stop_token stop);

// Where a redirect reply leads: the Location resolved against `from`, when the status is a
// redirect, the target passes `allows`, and it does not go from https to http; else none.
std::optional<Address> redirectTarget(const Address& from, long status, std::string_view location,
                                      const Rule& allows);

}  // namespace kivo::Http
