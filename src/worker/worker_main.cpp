#include "worker/worker_main.hpp"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <system_error>
#include <thread>

#include "core/command_json.hpp"
#include "core/line_io.hpp"
#include "core/text.hpp"

namespace kivo::WorkerMain {
namespace {

// A line longer than this is refused without being kept; the clients refuse the same.
constexpr std::size_t maxLineBytes = 64 * 1024 * 1024;

const char* const notJSON = "Command was not valid JSON.";
const char* const tooLong = "Command was longer than the 64 MiB Kivo PDF accepts.";
const char* const helloFirst = "Send hello with the Kivo PDF token before other commands.";

// Cuts one descriptor's bytes into request lines. An overlong line is reported once and skipped to
// its end, so memory stays bounded and the following lines are read as they were meant.
class RequestLines {
public:
    enum class Kind { line, tooLong, end };
    struct Next {
        Kind kind;
        std::string text;
    };

    // `keepUnterminatedLast`: whether bytes after the last line feed count as a line at the end
    // of input (stdio, where a typed last line may lack it) or are dropped (the socket).
    RequestLines(int fd, bool keepUnterminatedLast) : fd_(fd), keepLast_(keepUnterminatedLast) {}

    Next next() {
        std::size_t searched = 0;
        for (;;) {
            const auto position = pending_.find('\n', head_ + searched);
            if (position != std::string::npos) {
                std::string line = pending_.substr(head_, position - head_);
                head_ = position + 1;
                searched = 0;
                if (discarding_) {
                    discarding_ = false;
                    continue;
                }
                return {Kind::line, std::move(line)};
            }
            if (ended_) {
                std::string rest = pending_.substr(head_);
                pending_.clear();
                head_ = 0;
                if (keepLast_ && !rest.empty() && !discarding_) return {Kind::line, std::move(rest)};
                return {Kind::end, {}};
            }
            if (head_ > 0) {
                pending_.erase(0, head_);
                head_ = 0;
            }
            if (pending_.size() > maxLineBytes) {
                pending_.clear();
                searched = 0;
                if (!discarding_) {
                    discarding_ = true;
                    return {Kind::tooLong, {}};
                }
            }
            searched = pending_.size();
            char chunk[65'536];
            const ssize_t n = ::read(fd_, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                ended_ = true;
                continue;
            }
            pending_.append(chunk, static_cast<std::size_t>(n));
        }
    }

private:
    int fd_;
    bool keepLast_;
    std::string pending_;
    std::size_t head_ = 0;
    bool discarding_ = false;
    bool ended_ = false;
};

// The request on a line, or nothing when it is not UTF-8, not JSON, or not a request.
std::optional<CommandRequest> decode(const RequestLines::Next& next) {
    if (next.kind != RequestLines::Kind::line || !isValidUTF8(next.text)) return std::nullopt;
    try {
        return CommandJSON::decodeRequest(next.text);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

bool writeText(const std::string& text, int fd) {
    try {
        writeAll(fd, text);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

std::optional<std::string> readTokenLine() {
    std::string line;
    if (!std::getline(std::cin, line)) return std::nullopt;
    return std::string(trimWhitespaceAndNewlines(line));
}

bool isTransientAcceptFailure(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

}  // namespace

void say(const std::string& line) { writeText(line + "\n", STDERR_FILENO); }

std::optional<std::string> value(std::string_view flag, std::span<const std::string> arguments) {
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == flag) {
            if (i + 1 < arguments.size()) return arguments[i + 1];
            return std::nullopt;
        }
    }
    return std::nullopt;
}

std::optional<std::pair<std::string, std::string>> readTokens() {
    const auto ui = readTokenLine();
    if (!ui) return std::nullopt;
    const auto mcp = readTokenLine();
    if (!mcp || ui->empty() || mcp->empty() || *ui == *mcp) return std::nullopt;
    return std::make_pair(*ui, *mcp);
}

std::string encodeResponse(const CommandResponse& response) {
    try {
        return CommandJSON::encode(response);
    } catch (const std::exception&) {
        return CommandJSON::encode(CommandResponse::failure(
            response.id, "internal", "Kivo PDF could not write its answer to this command as JSON."));
    }
}

bool writeLine(const CommandResponse& response, int fd) { return writeText(encodeResponse(response), fd); }

bool writeLine(const CommandProgress& progress, int fd) {
    try {
        return writeText(CommandJSON::encode(progress), fd);
    } catch (const std::exception&) {
        return false;
    }
}

void serve(int client, DocumentEngine& engine, ConnectionGate gate) {
    RequestLines lines(client, false);
    const auto progress = [client](const CommandProgress& line) { writeLine(line, client); };
    for (;;) {
        const RequestLines::Next next = lines.next();
        if (next.kind == RequestLines::Kind::end) return;
        const std::optional<CommandRequest> request = decode(next);
        if (!request) {
            if (!gate.channel()) {
                writeLine(CommandResponse::failure("invalid", "unauthorized", helloFirst), client);
                return;
            }
            const bool overlong = next.kind == RequestLines::Kind::tooLong;
            if (!writeLine(CommandResponse::failure("invalid", "invalid_json", overlong ? tooLong : notJSON), client)) {
                return;
            }
            continue;
        }
        const ConnectionGate::Decision decision = gate.admit(*request);
        if (const CommandRequest* admitted = decision.request()) {
            if (!writeLine(engine.handle(*admitted, progress), client)) return;
            continue;
        }
        if (!writeLine(*decision.response(), client) || decision.closesConnection()) return;
    }
}

void runStdio(DocumentEngine& engine) {
    RequestLines lines(STDIN_FILENO, true);
    const auto progress = [](const CommandProgress& line) { writeLine(line, STDOUT_FILENO); };
    for (;;) {
        const RequestLines::Next next = lines.next();
        if (next.kind == RequestLines::Kind::end) return;
        const std::optional<CommandRequest> request = decode(next);
        const CommandResponse response =
            request ? engine.handle(*request, progress)
                    : CommandResponse::failure("invalid", "invalid_json",
                                               next.kind == RequestLines::Kind::tooLong ? tooLong : notJSON);
        if (!writeLine(response, STDOUT_FILENO)) return;
    }
}

void runSocket(const std::string& path, DocumentEngine& engine, const ConnectionGate& gate) {
    const auto fail = [](int error, const char* what) {
        throw std::system_error(error != 0 ? error : EIO, std::generic_category(), what);
    };
    ::unlink(path.c_str());
    const int server = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (server < 0) fail(errno, "socket");

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t length = std::min(path.size(), maxSocketPathBytes);
    // An empty name would bind Linux's abstract namespace instead of a file.
    if (length == 0) {
        ::close(server);
        fail(EINVAL, "bind");
    }
    std::memcpy(address.sun_path, path.data(), length);
    if (::bind(server, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        ::close(server);
        fail(error, "bind");
    }
    if (::listen(server, 8) != 0) {
        const int error = errno;
        ::close(server);
        fail(error, "listen");
    }
    ::chmod(path.c_str(), 0600);

    applySandbox(std::filesystem::path(path).parent_path());
    say("kivo-pdf-worker listening on " + path);

    for (;;) {
        const int client = ::accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            // Out of descriptors or memory: back off briefly rather than spin.
            if (isTransientAcceptFailure(errno)) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        try {
            std::thread([client, &engine, gate] {
                serve(client, engine, gate);
                ::close(client);
            }).detach();
        } catch (const std::system_error&) {
            ::close(client);
        }
    }
}

}  // namespace kivo::WorkerMain
