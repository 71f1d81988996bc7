#pragma once

#include <atomic>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "core/command_json.hpp"
#include "core/commands.hpp"
#include "engine/connection_gate.hpp"
#include "engine/document_engine.hpp"
#include "worker/request_lines.hpp"

namespace kivo::WorkerMain {

// Exit status of a command line the worker cannot run.
inline constexpr int badCommandLine = 2;
// Exit status when the command socket cannot be set up.
inline constexpr int socketFailed = 1;

// The longest socket path a socket address holds with its closing zero byte, the limit every
// client of the worker keeps; a longer one is refused at start.
inline constexpr std::size_t maxSocketPathBytes = 103;

// The line and status for a socket path longer than maxSocketPathBytes, said before anything is
// bound; nothing when the path fits.
std::optional<std::string> socketPathProblem(const std::string& path);

// Writes one line to standard error.
void say(const std::string& line);

// The argument after the first occurrence of `flag`, whatever it is; nothing when the flag is
// absent or last.
std::optional<std::string> value(std::string_view flag, std::span<const std::string> arguments);

// The UI token and the MCP token from the first two lines of standard input, trimmed; nothing when
// a line is missing or blank or the two are equal.
std::optional<std::pair<std::string, std::string>> readTokens();

// Places for connections from other users' processes that have not yet said hello. Shared by the
// accepting thread, which takes a place for each such connection, and the connections, which give
// theirs back at hello or at their end.
class HelloPlaces {
public:
    // A place while it is held; empty when there was none, or once moved from or reset.
    class Held {
    public:
        Held() = default;
        explicit Held(HelloPlaces* places) : places_(places) {}
        Held(Held&& other) noexcept : places_(std::exchange(other.places_, nullptr)) {}
        Held& operator=(Held&& other) noexcept;
        ~Held();
        explicit operator bool() const { return places_ != nullptr; }

    private:
        HelloPlaces* places_ = nullptr;
    };

    explicit HelloPlaces(int count) : free_(count) {}
    // A place, or an empty one when all are taken.
    Held take();

private:
    std::atomic<int> free_;
};

// Serves the socket forever, one thread per connection (and one more for its progress lines once
// it asks for them), in a session of its own without a controlling terminal; a client that leaves
// output unread for `stallSeconds` (the worker's stall limit) is dropped. Throws std::system_error
// when the socket cannot be created, bound or put into listening state (ENAMETOOLONG for a path
// longer than maxSocketPathBytes).
[[noreturn]] void runSocket(const std::string& path, DocumentEngine& engine, const ConnectionGate& gate,
                            double stallSeconds);

// Serves one connection until it ends; the caller closes the descriptor. Until hello the
// connection holds `helloPlace` (empty for one from this user's own processes) and may send one
// line of 64 KiB within 10 seconds; its unfinished lines draw on `budget`, shared by all.
void serve(int client, DocumentEngine& engine, ConnectionGate gate, double stallSeconds,
           HelloPlaces::Held helloPlace, LineBudget& budget);

// Serves standard input and output until standard input ends or standard output fails, reading text
// ahead between commands.
void runStdio(DocumentEngine& engine);

// Confines the worker, or ends it with status 73 when that is impossible. `ipc` is the folder of
// the command socket.
void applySandbox(const std::filesystem::path& ipc);

// The response as it goes on the wire: a response that cannot be encoded (a number that is not
// finite, say) becomes an `internal` failure with the same id rather than a dropped connection.
// `memo` is the connection's.
std::string encodeResponse(const CommandResponse& response, CommandJSON::AnswerMemo& memo);

}  // namespace kivo::WorkerMain
