#pragma once

// What both fuzz drivers share: their bounds (a seed, a number of inputs and a time budget, from
// the command line or the environment, so CI runs a short deterministic pass and a person can run
// a long one), a worker in stdio mode that is started again after every death or hang, and the
// tally each run prints at its end.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/commands.hpp"
#include "worker_process.hpp"

namespace kivo::fuzz {

struct Bounds {
    std::uint64_t seed = 1;
    std::size_t inputs = 100;
    double seconds = 40;
};

// "--seed N", "--inputs N" and "--seconds S" on the command line, else KIVO_FUZZ_SEED,
// KIVO_FUZZ_INPUTS and KIVO_FUZZ_SECONDS, else the defaults given.
Bounds boundsFrom(int argc, char** argv, Bounds defaults);

struct Tally {
    std::size_t inputs = 0;
    std::size_t requests = 0;
    std::size_t deaths = 0;            // the worker ended on its own (a crash, a watchdog or memory stop)
    std::size_t hangs = 0;             // no answer within the answer timeout
    std::size_t badAnswers = 0;        // not one JSON line answering the request
    std::size_t internalFailures = 0;  // "internal": an engine fault, after which clients restart it
    std::size_t copiesRejected = 0;    // saved copies qpdf rejects, mostly for damage the input had
    std::size_t copiesWorse = 0;       // ... of inputs that qpdf accepts
    std::int64_t peakKiB = 0;
    std::vector<std::string> findings;  // the first few, as a person reads them

    bool clean() const { return deaths == 0 && hangs == 0 && badAnswers == 0 && internalFailures == 0; }
    // One line of counts, then a closing line of the form "N passed, N failed".
    void print(const std::string& name, double seconds) const;
};

// The answer a request got, or why there was none.
struct Answer {
    // `died` also after an "internal" answer, after which the worker is started again.
    enum class Kind { response, died, hung, unreadable } kind = Kind::response;
    std::optional<CommandResponse> response;
    std::string detail;  // what was wrong
};

// A worker in stdio mode (limits from `environment`) in its own scratch folder.
class FuzzWorker {
public:
    // Unsandboxed it may also write files, as a driver that only saves trusted seeds needs.
    FuzzWorker(std::filesystem::path scratch, Tally& tally, bool sandboxed = true);

    // Sends one line and reads one line back, which must be the response with `expectedId` (any
    // id when that is empty) or, for a line the codec refuses, with the id "invalid". Restarts the worker
    // after a death or a hang and records what happened against `input` in the tally.
    Answer send(const std::string& line, const std::string& expectedId, const std::string& input);

    const std::filesystem::path& scratch() const { return scratch_; }

private:
    void start();
    void notePeak();

    std::filesystem::path scratch_;
    Tally& tally_;
    bool sandboxed_;
    std::unique_ptr<testing::WorkerProcess> process_;
};

// `depth` dictionaries (or arrays) each holding the next, as hostile files nest them.
std::string nested(std::size_t depth, bool dictionaries);

// A request line in the wire form, with an id.
std::string line(const std::string& id, CommandMethod method, const CommandParams& params,
                 CommandChannel channel = CommandChannel::cli);

}  // namespace kivo::fuzz
