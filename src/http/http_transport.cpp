#include "http/http_transport.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <deque>
#include <memory>
#include <mutex>

#include "core/text.hpp"

namespace kivo::Http {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaximumHeaderBytes = 64 << 10;

void initialiseOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
    return text;
}

std::string part(CURLU* url, CURLUPart which) {
    char* value = nullptr;
    if (curl_url_get(url, which, &value, 0) != CURLUE_OK || value == nullptr) return {};
    std::string text(value);
    curl_free(value);
    return text;
}

struct EasyCleanup {
    void operator()(CURL* easy) const noexcept { curl_easy_cleanup(easy); }
};
struct ListFree {
    void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};

// A multi handle with one easy handle in it, removed and cleaned up on every exit.
class MultiTransfer {
public:
    explicit MultiTransfer(CURL* easy) : multi_(curl_multi_init()), easy_(easy) {
        if (multi_ == nullptr || curl_multi_add_handle(multi_, easy_) != CURLM_OK) {
            if (multi_ != nullptr) curl_multi_cleanup(multi_);
            throw TransportError(TransportError::Kind::other,
                                 "The network library could not start a transfer.");
        }
    }
    ~MultiTransfer() {
        curl_multi_remove_handle(multi_, easy_);
        curl_multi_cleanup(multi_);
    }
    MultiTransfer(const MultiTransfer&) = delete;
    MultiTransfer& operator=(const MultiTransfer&) = delete;

    CURLM* get() const noexcept { return multi_; }

private:
    CURLM* multi_;
    CURL* easy_;
};

// What one hop receives. The write callback only files bytes; lines are handed out by the loop,
// outside libcurl's callbacks, so a handler may throw.
struct Hop {
    CURL* easy = nullptr;
    bool lineMode = false;
    std::size_t maximumBody = maximumReplyBytes;
    Clock::time_point lastActivity = Clock::now();

    long status = 0;
    bool statusKnown = false;
    std::vector<std::pair<std::string, std::string>> headers;
    std::size_t headerBytes = 0;
    std::string body;

    std::string partial;
    bool afterCR = false;
    std::deque<std::string> lines;
    std::size_t streamed = 0;

    enum class Stop { none, errorBodyFull, tooLarge } stopped = Stop::none;

    const std::function<bool(const std::string&, long)>* admitsPeer = nullptr;
    bool refused = false;

    bool isStreaming() const { return lineMode && status == 200; }

    // Splits at LF, CR LF and CR; a CR at the end of one write may meet its LF in the next.
    bool split(const char* data, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i) {
            const char c = data[i];
            if (afterCR) {
                afterCR = false;
                if (c == '\n') continue;
            }
            if (c == '\n' || c == '\r') {
                lines.push_back(std::move(partial));
                partial.clear();
                afterCR = c == '\r';
                continue;
            }
            if (partial.size() >= maximumLineBytes) return false;
            partial.push_back(c);
        }
        return true;
    }

    std::size_t write(const char* data, std::size_t size) {
        lastActivity = Clock::now();
        if (!statusKnown) {
            curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
            statusKnown = true;
        }
        if (isStreaming()) {
            streamed += size;
            if (streamed > maximumStreamBytes || !split(data, size)) {
                stopped = Stop::tooLarge;
                return 0;
            }
            return size;
        }
        if (status == 200 && !lineMode) {
            if (body.size() + size > maximumBody) {
                stopped = Stop::tooLarge;
                return 0;
            }
            body.append(data, size);
            return size;
        }
        // Any other reply: its start is enough to say what went wrong.
        const std::size_t kept = std::min(size, maximumErrorBodyBytes - body.size());
        body.append(data, kept);
        if (body.size() >= maximumErrorBodyBytes) {
            stopped = Stop::errorBodyFull;
            return 0;
        }
        return size;
    }

    void header(const char* data, std::size_t size) {
        lastActivity = Clock::now();
        std::string_view line(data, size);
        if (line.substr(0, 5) == "HTTP/") {
            // A new reply (after an interim one) starts its own header list.
            headers.clear();
            headerBytes = 0;
            return;
        }
        const auto colon = line.find(':');
        if (colon == std::string_view::npos) return;
        headerBytes += size;
        if (headerBytes > kMaximumHeaderBytes) return;
        headers.emplace_back(lowered(std::string(line.substr(0, colon))),
                             std::string(trimWhitespaceAndNewlines(line.substr(colon + 1))));
    }
};

std::size_t onWrite(char* data, std::size_t size, std::size_t count, void* hop) {
    return static_cast<Hop*>(hop)->write(data, size * count);
}

int onConnected(void* hop, char* address, char*, int port, int) {
    auto* state = static_cast<Hop*>(hop);
    if ((*state->admitsPeer)(address != nullptr ? address : "", port)) return CURL_PREREQFUNC_OK;
    state->refused = true;
    return CURL_PREREQFUNC_ABORT;
}

std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* hop) {
    static_cast<Hop*>(hop)->header(data, size * count);
    return size * count;
}

TransportError::Kind kindOf(CURLcode code) {
    switch (code) {
        case CURLE_COULDNT_CONNECT:
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY: return TransportError::Kind::cannotConnect;
        case CURLE_OPERATION_TIMEDOUT: return TransportError::Kind::timedOut;
        case CURLE_ABORTED_BY_CALLBACK: return TransportError::Kind::cancelled;
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_PARTIAL_FILE:
        case CURLE_GOT_NOTHING:
        case CURLE_WEIRD_SERVER_REPLY: return TransportError::Kind::connectionLost;
        default: return TransportError::Kind::other;
    }
}

std::chrono::milliseconds millisecondsOf(double seconds) {
    return std::chrono::milliseconds(static_cast<long long>(std::ceil(std::clamp(seconds, 0.0, 1e9) * 1000)));
}

// The method and body of the next hop: 301, 302 and 303 become a GET without a body.
void adjustForRedirect(long status, std::string& method, std::string& body) {
    if (status == 301 || status == 302 || status == 303) {
        if (method != "HEAD") method = "GET";
        body.clear();
    }
}

bool isRedirect(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

struct Exchange {
    const Request& request;
    const LineHandler* onLine;
    std::size_t maximumBody;
    std::stop_token stop;
    Clock::time_point deadline;

    // One request to `address`, up to the end of its reply or the line the handler ends on.
    Reply hop(const Address& address, const std::string& method, const std::string& body) {
        if (request.allows && !request.allows(address)) {
            throw TransportError(TransportError::Kind::other,
                                 "The address " + address.text() + " is not allowed.");
        }
        // Declared before the easy handle, so they outlive it.
        const std::unique_ptr<curl_slist, ListFree> headers = headerList();
        Hop state;
        char errorText[CURL_ERROR_SIZE] = {0};

        const std::unique_ptr<CURL, EasyCleanup> easy(curl_easy_init());
        if (!easy)
            throw TransportError(TransportError::Kind::other,
                                 "The network library could not start a transfer.");
        state.easy = easy.get();
        state.lineMode = onLine != nullptr;
        state.maximumBody = maximumBody;
        configure(easy.get(), address, method, body, headers.get(), state, errorText);

        MultiTransfer multi(easy.get());
        if (transfer(multi, state)) return finished(state);
        failOnError(multi, state, address, errorText);
        if (!state.statusKnown) curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &state.status);
        // A last line without an end still counts.
        if (state.isStreaming() && !state.partial.empty()) (*onLine)(state.partial);
        return finished(state);
    }

    std::unique_ptr<curl_slist, ListFree> headerList() const {
        std::unique_ptr<curl_slist, ListFree> headers;
        const auto addHeader = [&](const std::string& line) {
            curl_slist* extended = curl_slist_append(headers.get(), line.c_str());
            if (extended == nullptr) throw TransportError(TransportError::Kind::other, "Out of memory.");
            static_cast<void>(headers.release());
            headers.reset(extended);
        };
        for (const auto& line : request.headers) addHeader(line);
        // Send a body at once rather than waiting for the server to ask for it.
        addHeader("Expect:");
        return headers;
    }

    void configure(CURL* e, const Address& address, const std::string& method, const std::string& body,
                   curl_slist* headers, Hop& state, char* errorText) const {
        curl_easy_setopt(e, CURLOPT_CURLU, address.handle());
        curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
        // Document text for a local model server never leaves the computer through a proxy.
        if (isLoopbackHost(address.host())) curl_easy_setopt(e, CURLOPT_PROXY, "");
        curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(e, CURLOPT_ERRORBUFFER, errorText);
        curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, onWrite);
        curl_easy_setopt(e, CURLOPT_WRITEDATA, &state);
        curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, onHeader);
        curl_easy_setopt(e, CURLOPT_HEADERDATA, &state);
        if (request.admitsPeer) {
            state.admitsPeer = &request.admitsPeer;
            curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, onConnected);
            curl_easy_setopt(e, CURLOPT_PREREQDATA, &state);
        }
        if (method == "GET") {
            curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
        } else {
            curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
            curl_easy_setopt(e, CURLOPT_POSTFIELDS, body.data());
            if (method != "POST") curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, method.c_str());
        }
    }

    // Runs the transfer to its end, handing each whole line to the handler as it comes; true when the
    // handler ended it on a line. Throws on a stop and past the deadline or the idle time.
    bool transfer(MultiTransfer& multi, Hop& state) const {
        std::atomic<bool> stopped = false;
        const std::stop_callback wake(stop, [&] {
            stopped = true;
            curl_multi_wakeup(multi.get());
        });
        const auto idle = millisecondsOf(request.idleSeconds);
        state.lastActivity = Clock::now();
        for (;;) {
            int running = 0;
            curl_multi_perform(multi.get(), &running);
            while (!state.lines.empty()) {
                // One read may bring thousands of lines; a stop must not wait for all of them.
                if (stopped) throw TransportError(TransportError::Kind::cancelled, "Stopped.");
                const std::string line = std::move(state.lines.front());
                state.lines.pop_front();
                if ((*onLine)(line)) return true;
            }
            if (running == 0) return false;
            if (stopped) throw TransportError(TransportError::Kind::cancelled, "Stopped.");
            const auto now = Clock::now();
            const auto idleEnd = state.lastActivity + idle;
            if (now >= deadline || now >= idleEnd) {
                throw TransportError(TransportError::Kind::timedOut, "The server took too long to answer.");
            }
            const auto wait =
                std::chrono::duration_cast<std::chrono::milliseconds>(std::min(deadline, idleEnd) - now);
            curl_multi_poll(multi.get(), nullptr, 0,
                            static_cast<int>(std::clamp<long long>(wait.count() + 1, 1, 1000)), nullptr);
            if (stopped) throw TransportError(TransportError::Kind::cancelled, "Stopped.");
        }
    }

    // The ended transfer's failure as the transport tells it; a reply cut at the error body's limit is none.
    static void failOnError(MultiTransfer& multi, const Hop& state, const Address& address,
                            const char* errorText) {
        CURLcode result = CURLE_OK;
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi.get(), &left)) {
            if (message->msg == CURLMSG_DONE) result = message->data.result;
        }
        if (state.refused) {
            throw TransportError(TransportError::Kind::refused,
                                 "The server at " + address.text() + " was refused.");
        }
        if (state.stopped == Hop::Stop::tooLarge) {
            throw TransportError(TransportError::Kind::tooLarge,
                                 "The reply is larger than the editor reads.");
        }
        if (result != CURLE_OK && state.stopped != Hop::Stop::errorBodyFull) {
            const std::string description = errorText[0] != '\0' ? errorText : curl_easy_strerror(result);
            throw TransportError(kindOf(result), description);
        }
    }

    static Reply finished(Hop& state) {
        Reply reply;
        reply.status = state.status;
        reply.headers = std::move(state.headers);
        reply.body = std::move(state.body);
        return reply;
    }

    Reply run() {
        initialiseOnce();
        if (stop.stop_requested()) throw TransportError(TransportError::Kind::cancelled, "Stopped.");
        Address address = request.address;
        std::string method = request.method;
        std::string body = request.body;
        for (int hops = 0;; ++hops) {
            Reply reply = hop(address, method, body);
            if (!isRedirect(reply.status) || hops >= maximumRedirects) return reply;
            const auto location = reply.header("location");
            if (!location) return reply;
            auto target = redirectTarget(address, reply.status, *location, request.allows);
            if (!target) return reply;
            adjustForRedirect(reply.status, method, body);
            address = std::move(*target);
        }
    }
};

}  // namespace

std::optional<Address> Address::parse(std::string_view text) {
    CURLU* url = curl_url();
    if (url == nullptr) return std::nullopt;
    Address address(url);
    if (curl_url_set(url, CURLUPART_URL, std::string(text).c_str(), 0) != CURLUE_OK) return std::nullopt;
    return address;
}

Address::Address(const Address& other) : url_(curl_url_dup(other.url_)) {
    if (url_ == nullptr) throw std::bad_alloc();
}

Address& Address::operator=(const Address& other) {
    if (this != &other) *this = Address(other);
    return *this;
}

Address::Address(Address&& other) noexcept : url_(std::exchange(other.url_, nullptr)) {}

Address& Address::operator=(Address&& other) noexcept {
    if (this != &other) {
        if (url_ != nullptr) curl_url_cleanup(url_);
        url_ = std::exchange(other.url_, nullptr);
    }
    return *this;
}

Address::~Address() {
    if (url_ != nullptr) curl_url_cleanup(url_);
}

std::string Address::scheme() const { return lowered(part(url_, CURLUPART_SCHEME)); }
std::string Address::host() const { return lowered(part(url_, CURLUPART_HOST)); }
std::string Address::text() const { return part(url_, CURLUPART_URL); }

std::optional<Address> Address::resolve(std::string_view reference) const {
    Address target(*this);
    if (curl_url_set(target.url_, CURLUPART_URL, std::string(reference).c_str(), 0) != CURLUE_OK)
        return std::nullopt;
    return target;
}

Address Address::appendingPath(std::string_view relativePath) const {
    Address target(*this);
    std::string path = part(url_, CURLUPART_PATH);
    while (!path.empty() && path.back() == '/') path.pop_back();
    std::size_t start = 0;
    while (start <= relativePath.size()) {
        const std::size_t end = std::min(relativePath.find('/', start), relativePath.size());
        if (end > start) path += "/" + std::string(relativePath.substr(start, end - start));
        start = end + 1;
    }
    if (path.empty()) path = "/";
    curl_url_set(target.url_, CURLUPART_PATH, path.c_str(), 0);
    return target;
}

bool isLoopbackHost(std::string_view host) noexcept {
    return host == "127.0.0.1" || host == "localhost" || host == "::1" || host == "[::1]";
}

std::optional<std::string> Reply::header(std::string_view name) const {
    const std::string wanted = lowered(std::string(name));
    std::optional<std::string> value;
    for (const auto& [key, text] : headers) {
        if (key == wanted) value = text;
    }
    return value;
}

std::optional<Address> redirectTarget(const Address& from, long status, std::string_view location,
                                      const Rule& allows) {
    if (!isRedirect(status)) return std::nullopt;
    auto target = from.resolve(location);
    if (!target) return std::nullopt;
    const std::string scheme = target->scheme();
    if (scheme != "http" && scheme != "https") return std::nullopt;
    // A key sent over https must never travel on in clear.
    if (from.scheme() == "https" && scheme == "http") return std::nullopt;
    if (allows && !allows(*target)) return std::nullopt;
    return target;
}

Reply fetch(const Request& request, std::stop_token stop, std::size_t maximumBody) {
    const auto deadline = Clock::now() + millisecondsOf(request.totalSeconds);
    return Exchange{request, nullptr, maximumBody, std::move(stop), deadline}.run();
}

Reply stream(const Request& request, const LineHandler& onLine, std::stop_token stop) {
    const auto deadline = Clock::now() + millisecondsOf(request.totalSeconds);
    return Exchange{request, &onLine, maximumReplyBytes, std::move(stop), deadline}.run();
}

}  // namespace kivo::Http
