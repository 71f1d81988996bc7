#include "fuzz_harness.hpp"

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>

#include "core/command_json.hpp"

namespace kivo::fuzz {
namespace {

namespace fs = std::filesystem;

// Long enough for the slowest honest command on a busy machine; the watchdog stops a stalled
// command well before it.
constexpr double answerSeconds = 30;
constexpr std::size_t maxFindings = 20;

std::optional<std::string> argument(int argc, char** argv, const std::string& flag) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (argv[i] == flag) return std::string(argv[i + 1]);
    }
    return std::nullopt;
}

std::optional<std::string> setting(int argc, char** argv, const std::string& flag, const char* variable) {
    if (auto value = argument(argc, argv, flag)) return value;
    if (const char* value = std::getenv(variable); value != nullptr && *value != '\0')
        return std::string(value);
    return std::nullopt;
}

std::int64_t highWaterKiB(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string text; std::getline(status, text);) {
        if (text.rfind("VmHWM:", 0) == 0) return std::atoll(text.c_str() + 6);
    }
    return 0;
}

}  // namespace

Bounds boundsFrom(int argc, char** argv, Bounds defaults) {
    Bounds bounds = defaults;
    if (auto value = setting(argc, argv, "--seed", "KIVO_FUZZ_SEED")) bounds.seed = std::stoull(*value);
    if (auto value = setting(argc, argv, "--inputs", "KIVO_FUZZ_INPUTS")) bounds.inputs = std::stoull(*value);
    if (auto value = setting(argc, argv, "--seconds", "KIVO_FUZZ_SECONDS"))
        bounds.seconds = std::stod(*value);
    return bounds;
}

void Tally::print(const std::string& name, double seconds) const {
    for (const std::string& finding : findings) std::cout << "finding: " << finding << '\n';
    std::cout << name << ": " << inputs << " inputs, " << requests << " requests, " << deaths << " deaths, "
              << hangs << " hangs, " << badAnswers << " bad answers, " << internalFailures
              << " internal failures, " << copiesRejected << " saved copies qpdf rejected (" << copiesWorse
              << " of inputs it accepts), peak " << peakKiB / 1024 << " MiB, " << static_cast<int>(seconds)
              << " s\n";
    std::cout << (clean() ? 1 : 0) << " passed, " << (clean() ? 0 : 1) << " failed\n";
}

FuzzWorker::FuzzWorker(fs::path scratch, Tally& tally, bool sandboxed)
    : scratch_(std::move(scratch)), tally_(tally), sandboxed_(sandboxed) {
    start();
}

void FuzzWorker::start() {
    process_ = std::make_unique<testing::WorkerProcess>(
        std::vector<std::string>{}, std::map<std::string, std::string>{
                                        {"KIVO_PDF_SUPPORT_DIR", (scratch_ / "support").string()},
                                        {"TMPDIR", scratch_.string()},
                                        {"XDG_RUNTIME_DIR", ""},
                                        {"KIVO_PDF_WORKER_STALL_LIMIT_S", "20"},
                                        {"KIVO_PDF_WORKER_MEMORY_HARD_LIMIT_MB", "4096"},
                                        {"KIVO_PDF_WORKER_SANDBOX", sandboxed_ ? "on" : "off"},
                                    });
}

void FuzzWorker::notePeak() { tally_.peakKiB = std::max(tally_.peakKiB, highWaterKiB(process_->pid())); }

Answer FuzzWorker::send(const std::string& text, const std::string& expectedId, const std::string& input) {
    ++tally_.requests;
    Answer answer;
    std::optional<std::string> reply;
    try {
        process_->write(text.ends_with('\n') ? text : text + "\n");
        reply = process_->readLine(answerSeconds);
    } catch (const std::exception&) {
        // Writing to a worker that has gone; told apart below.
    }
    process_->errorOutput();  // a full standard error pipe would stall the worker
    if (reply) {
        notePeak();
        try {
            CommandReply decoded = CommandJSON::decodeReply(*reply);
            // A line the codec refuses is answered under the id "invalid"; an empty expected id
            // accepts any.
            auto* response = std::get_if<CommandResponse>(&decoded);
            if (response && (response->id == expectedId || response->id == "invalid" || expectedId.empty())) {
                answer.response = std::move(*response);
                if (!answer.response->error || answer.response->error->code != "internal") return answer;
                ++tally_.internalFailures;
                answer.detail = "answered internal: " + answer.response->error->message;
                if (tally_.findings.size() < maxFindings) {
                    tally_.findings.push_back(input + ": " + answer.detail + " | request " +
                                              text.substr(0, 200));
                }
                // After an internal failure a client starts the worker again, and so does this.
                answer.kind = Answer::Kind::died;
                start();
                return answer;
            }
            answer.detail = "an answer with another id or a progress line";
        } catch (const std::exception& error) {
            answer.detail = std::string("not a JSON answer (") + error.what() + ")";
        }
        answer.kind = Answer::Kind::unreadable;
        ++tally_.badAnswers;
    } else {
        const int status = process_->wait(1);
        answer.kind = status < 0 ? Answer::Kind::hung : Answer::Kind::died;
        answer.detail = status < 0
                            ? "no answer within " + std::to_string(static_cast<int>(answerSeconds)) + " s"
                            : "the worker ended with status " + std::to_string(status) + ": " +
                                  process_->errorOutput().substr(0, 300);
        ++(status < 0 ? tally_.hangs : tally_.deaths);
        start();
    }
    // Deaths and hangs are always listed; they are what a run is for.
    if (answer.kind != Answer::Kind::unreadable || tally_.findings.size() < maxFindings) {
        tally_.findings.push_back(input + ": " + answer.detail + " | request " + text.substr(0, 200));
    }
    return answer;
}

std::string nested(std::size_t depth, bool dictionaries) {
    std::string text;
    for (std::size_t i = 0; i < depth; ++i) text += dictionaries ? "<</A " : "[";
    for (std::size_t i = 0; i < depth; ++i) text += dictionaries ? ">>" : "]";
    return text;
}

std::string line(const std::string& id, CommandMethod method, const CommandParams& params,
                 CommandChannel channel) {
    CommandRequest request;
    request.id = id;
    request.method = method;
    request.params = params;
    request.channel = channel;
    return CommandJSON::encode(request);
}

}  // namespace kivo::fuzz
