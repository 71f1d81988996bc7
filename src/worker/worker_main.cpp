#include "worker/worker_main.hpp"

#include <fcntl.h>
#include <malloc.h>
#include <sys/ioctl.h>
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
#include "core/worker_limits.hpp"
#include "session/png_writer.hpp"
#include "worker/connection_writer.hpp"
#include "worker/request_lines.hpp"

namespace kivo::WorkerMain {
namespace {

const char* const notJSON = "Command was not valid JSON.";
const char* const tooLong = "Command was longer than the 64 MiB Kivo PDF accepts.";
const char* const overBudget =
    "Kivo PDF is reading too many long commands at once, so it dropped this one. Send it again.";
const char* const helloFirst = "Send hello with the Kivo PDF token before other commands.";

// A connection that has not said hello costs its client nothing, so it gets little: a few places,
// a short line and a short time.
constexpr int maxWaitingForHello = 32;
constexpr std::size_t maxHelloBytes = 64 * 1024;
constexpr auto helloTime = std::chrono::seconds(10);
// Unfinished lines of all connections together: two of the longest a client may send.
constexpr std::size_t lineBudgetBytes = 2 * RequestLines::maxLineBytes;

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

// Progress for the connection's writer, which sends it without the engine waiting.
DocumentEngine::ProgressFunction progressTo(ConnectionWriter& writer) {
    return [&writer](const CommandProgress& line) {
        try {
            writer.progress(CommandJSON::encode(line));
        } catch (const std::exception&) {
            // Progress is advisory: a line that cannot be encoded is left out.
        }
    };
}

bool respond(ConnectionWriter& writer, CommandJSON::AnswerMemo& memo, const CommandResponse& response) {
    return writer.respond(encodeResponse(response, memo));
}

// The engine's answer, encoded while the change's recovery checkpoint is still being written, and
// sent once it is.
bool answer(ConnectionWriter& writer, CommandJSON::AnswerMemo& memo, DocumentEngine& engine,
            const CommandRequest& request, const DocumentEngine::ProgressFunction& progress) {
    std::shared_future<void> checkpoint;
    const CommandResponse response = engine.handle(request, progress, checkpoint);
    std::string line = encodeResponse(response, memo);
    DocumentEngine::awaitCheckpoint(checkpoint);
    return writer.respond(std::move(line));
}

std::optional<std::string> readTokenLine() {
    std::string line;
    if (!std::getline(std::cin, line)) return std::nullopt;
    return std::string(trimWhitespaceAndNewlines(line));
}

// A worker serving a socket has no business with the terminal it was started from: without a
// controlling terminal, code that takes the worker over cannot reach the user's shell through it.
void leaveTerminal() {
    if (::setsid() >= 0) return;
    // Already a process group leader (started from a shell): give the terminal up by hand.
    const int tty = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty < 0) return;
    ::ioctl(tty, TIOCNOTTY);
    ::close(tty);
}

// Why a line that is no request was refused, as the client reads it.
const char* refusal(RequestLines::Kind kind) {
    switch (kind) {
        case RequestLines::Kind::tooLong: return tooLong;
        case RequestLines::Kind::overBudget: return overBudget;
        default: return notJSON;
    }
}

// Whether the peer runs as this worker's own user: the editor and the connector always do.
bool fromOwnUser(int client) {
    ucred peer{};
    socklen_t length = sizeof peer;
    return ::getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 && length == sizeof peer &&
           peer.uid == ::geteuid();
}

bool isTransientAcceptFailure(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

}  // namespace

HelloPlaces::Held& HelloPlaces::Held::operator=(Held&& other) noexcept {
    if (this != &other) {
        Held released(std::move(*this));
        places_ = std::exchange(other.places_, nullptr);
    }
    return *this;
}

HelloPlaces::Held::~Held() {
    if (places_ != nullptr) places_->free_.fetch_add(1);
}

HelloPlaces::Held HelloPlaces::take() {
    int free = free_.load();
    while (free > 0) {
        if (free_.compare_exchange_weak(free, free - 1)) return Held(this);
    }
    return Held();
}

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

std::optional<std::string> socketPathProblem(const std::string& path) {
    if (path.size() <= maxSocketPathBytes) return std::nullopt;
    return "kivo-pdf-worker: the socket path " + path + " is " + std::to_string(path.size()) +
           " bytes long, but a socket path can hold at most " + std::to_string(maxSocketPathBytes) +
           "; choose a shorter one.";
}

std::optional<std::pair<std::string, std::string>> readTokens() {
    const auto ui = readTokenLine();
    if (!ui) return std::nullopt;
    const auto mcp = readTokenLine();
    if (!mcp || ui->empty() || mcp->empty() || *ui == *mcp) return std::nullopt;
    return std::make_pair(*ui, *mcp);
}

std::string encodeResponse(const CommandResponse& response, CommandJSON::AnswerMemo& memo) {
    try {
        return CommandJSON::encode(response, memo);
    } catch (const std::exception&) {
        return CommandJSON::encode(
            CommandResponse::failure(response.id, FailureCode::internal,
                                     "Kivo PDF could not write its answer to this command as JSON."));
    }
}

// Gives freed memory back to the system when it goes out of scope, if armed. The C library keeps
// what a connection's thread freed for later use; after a few long lines, decoded or refused, that
// is hundreds of megabytes the worker may never need again.
struct MemoryReturn {
    bool armed = true;
    ~MemoryReturn() {
        if (!armed) return;
        PngWriter::dropSpareBlocks();
        ::malloc_trim(0);
    }
};

void serve(int client, DocumentEngine& engine, ConnectionGate gate, double stallSeconds,
           HelloPlaces::Held helloPlace, LineBudget& budget) {
    // Declared first, so it runs once everything the connection held is gone.
    const MemoryReturn atClose;
    // No answer may be longer than the longest line a client accepts.
    ConnectionWriter writer(client, {LineReader::maxPendingBytes, stallSeconds});
    const DocumentEngine::ProgressFunction progress = progressTo(writer);
    CommandJSON::AnswerMemo memo;
    RequestLines lines(client, false, &budget);
    lines.bound(maxHelloBytes, std::chrono::steady_clock::now() + helloTime);
    for (;;) {
        // Runs after the line and its request are gone, whichever way this round ends.
        MemoryReturn afterLongLine;
        const RequestLines::Next next = lines.next();
        afterLongLine.armed = next.kind == RequestLines::Kind::tooLong ||
                              next.kind == RequestLines::Kind::overBudget ||
                              next.text.size() > RequestLines::unchargedBytes;
        if (next.kind == RequestLines::Kind::end) return;
        const std::optional<CommandRequest> request = decode(next);
        if (!request) {
            if (!gate.channel()) {
                respond(writer, memo,
                        CommandResponse::failure("invalid", FailureCode::unauthorized, helloFirst));
                return;
            }
            if (!respond(writer, memo,
                         CommandResponse::failure("invalid", FailureCode::invalidJSON, refusal(next.kind)))) {
                return;
            }
            continue;
        }
        const bool waitingForHello = !gate.channel();
        const ConnectionGate::Decision decision = gate.admit(*request);
        if (const CommandRequest* admitted = decision.request()) {
            if (!answer(writer, memo, engine, *admitted, progress)) return;
            continue;
        }
        if (!respond(writer, memo, *decision.response()) || decision.closesConnection()) return;
        if (waitingForHello && gate.channel()) {
            helloPlace = {};
            lines.bound(RequestLines::maxLineBytes, std::nullopt);
        }
    }
}

void runStdio(DocumentEngine& engine) {
    try {
        engine.readTextAheadWhenIdle();
    } catch (const std::system_error&) {}
    // Only this one client reads standard output, so nothing bounds how long it may take.
    ConnectionWriter writer(STDOUT_FILENO, {});
    const DocumentEngine::ProgressFunction progress = progressTo(writer);
    CommandJSON::AnswerMemo memo;
    RequestLines lines(STDIN_FILENO, true);
    for (;;) {
        const RequestLines::Next next = lines.next();
        if (next.kind == RequestLines::Kind::end) return;
        const std::optional<CommandRequest> request = decode(next);
        if (!(request ? answer(writer, memo, engine, *request, progress)
                      : respond(writer, memo,
                                CommandResponse::failure("invalid", FailureCode::invalidJSON,
                                                         refusal(next.kind)))))
            return;
    }
}

void runSocket(const std::string& path, DocumentEngine& engine, const ConnectionGate& gate,
               double stallSeconds) {
    const auto fail = [](int error, const char* what) {
        throw std::system_error(error != 0 ? error : EIO, std::generic_category(), what);
    };
    // An empty name would bind Linux's abstract namespace instead of a file, and a cut one a file
    // somewhere else.
    if (path.empty()) fail(EINVAL, "bind");
    if (path.size() > maxSocketPathBytes) fail(ENAMETOOLONG, "bind");
    ::unlink(path.c_str());
    const int server = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (server < 0) fail(errno, "socket");

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    // The socket file is owner-only from the moment it exists, not just after the chmod below.
    const mode_t previousMask = ::umask(077);
    const int bound = ::bind(server, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int bindError = errno;
    ::umask(previousMask);
    if (bound != 0) {
        ::close(server);
        fail(bindError, "bind");
    }
    if (::listen(server, 8) != 0) {
        const int error = errno;
        ::close(server);
        fail(error, "listen");
    }
    ::chmod(path.c_str(), 0600);

    leaveTerminal();
    applySandbox(std::filesystem::path(path).parent_path());
    say(std::string(workerListeningLine) + path);
    // The editor sends its first document a quarter of a second or more after it starts the worker;
    // until then the engine is idle, and its first use costs the most.
    try {
        std::thread([&engine] { engine.warmUp(); }).detach();
    } catch (const std::system_error&) {}
    try {
        engine.readTextAheadWhenIdle();
    } catch (const std::system_error&) {}

    HelloPlaces helloPlaces(maxWaitingForHello);
    LineBudget lineBudget(lineBudgetBytes);
    for (;;) {
        const int client = ::accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            // Out of descriptors or memory: back off briefly rather than spin.
            if (isTransientAcceptFailure(errno)) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        // The places bound what other users' processes can hold; this user's own (the editor,
        // the connector) never wait behind them.
        HelloPlaces::Held place;
        if (!fromOwnUser(client)) {
            place = helloPlaces.take();
            if (!place) {
                ::close(client);
                continue;
            }
        }
        try {
            std::thread([client, &engine, gate, stallSeconds, place = std::move(place),
                         &lineBudget]() mutable {
                serve(client, engine, gate, stallSeconds, std::move(place), lineBudget);
                ::close(client);
            }).detach();
        } catch (const std::system_error&) {
            ::close(client);
        }
    }
}

}  // namespace kivo::WorkerMain
