// Measures what a long editing session costs the worker: 200 rounds of `add_note`, `undo` and `redo`
// on one document, printing after every 50 rounds the time those rounds took, the size of the
// recovery checkpoint and the worker's resident memory; then ten cycles of restoring the document's
// own checkpoint and adding five notes to it, printing the checkpoint's size beside that of a saved
// copy. Figures are printed, never checked.
// --worker runs another build of the worker, an older one say, to compare in the same run; --kill
// ends the worker with SIGKILL before each restore, as a crash would, instead of restoring in it.
// usage: history_bench [--worker program] [--kill] [document.pdf] [cycles.pdf]
//        (default: the shared 117-page sample, and multicolumn.pdf for the cycles)

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <utility>

#include "bench_worker.hpp"
#include "core/command_client.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int rounds = 200;
constexpr int reportEvery = 50;
constexpr int cycles = 10;
constexpr int notesPerCycle = 5;

class Session {
public:
    Session(kivo::CommandClient& client, kivo::CommandResponse opened)
        : client_(&client), id_(*opened.result->sessionId), page_(opened.result->pages->front().id) {}

    const std::string& id() const { return id_; }

    kivo::CommandResponse send(kivo::CommandMethod method, const char* what) {
        kivo::CommandRequest r;
        r.id = std::to_string(++requests_);
        r.method = method;
        r.params.sessionId = id_;
        if (method == kivo::CommandMethod::addNote) {
            r.params.pageId = page_;
            r.params.rect = kivo::PDFRect{40, 40, 60, 60};
            r.params.contents = "bench";
        }
        kivo::CommandResponse response = client_->send(r);
        kivo::bench::require("history_bench", response, what);
        return response;
    }

private:
    kivo::CommandClient* client_;
    std::string id_;
    std::string page_;
    int requests_ = 0;
};

kivo::CommandResponse openDocument(kivo::CommandClient& client, const fs::path& document) {
    kivo::CommandRequest open;
    open.id = "open";
    open.method = kivo::CommandMethod::open;
    open.params.path = document.string();
    kivo::CommandResponse opened = client.send(open);
    kivo::bench::require("history_bench", opened, "open");
    return opened;
}

double megabytes(std::uintmax_t bytes) { return static_cast<double>(bytes) / 1'048'576; }

std::uintmax_t checkpointSize(const fs::path& folder, const std::string& session) {
    std::error_code error;
    const std::uintmax_t size =
        fs::file_size(folder / "support" / "recovery" / session / "checkpoint.pdf", error);
    return error ? 0 : size;
}

double residentMegabytes(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmRSS:")) return std::stod(line.substr(6)) / 1024;
    }
    return 0;
}

// `count` rounds, reporting every reportEvery.
void runRounds(Session& session, const kivo::bench::BenchWorker& worker, int count) {
    auto start = Clock::now();
    for (int round = 1; round <= count; ++round) {
        session.send(kivo::CommandMethod::addNote, "add_note");
        session.send(kivo::CommandMethod::undo, "undo");
        session.send(kivo::CommandMethod::redo, "redo");
        if (round % reportEvery != 0) continue;
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        std::printf("  rounds %3d-%3d: %.1f s, checkpoint %.2f MB, worker %.0f MB\n", round - reportEvery + 1,
                    round, seconds, megabytes(checkpointSize(worker.folder(), session.id())),
                    residentMegabytes(worker.pid()));
        start = Clock::now();
    }
}

void saveCopy(kivo::CommandClient& client, const std::string& session, const fs::path& to) {
    kivo::CommandRequest copy;
    copy.id = "copy";
    copy.method = kivo::CommandMethod::saveDocument;
    copy.params.sessionId = session;
    copy.params.saveMode = "saveCopy";
    copy.params.destination = to.string();
    kivo::bench::require("history_bench", client.send(copy), "save_document");
}

}  // namespace

int main(int argc, char** argv) {
    fs::path program = kivo::bench::BenchWorker::builtWorker();
    fs::path document = fs::path(KIVO_CORPUS_DIR) / "geotopo.pdf";
    fs::path cycled = fs::path(KIVO_CORPUS_DIR) / "multicolumn.pdf";
    int positional = 0;
    bool killing = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--worker" && i + 1 < argc) {
            program = argv[++i];
        } else if (arg == "--kill") {
            killing = true;
        } else if (arg.starts_with("--")) {
            std::fprintf(stderr,
                         "usage: history_bench [--worker program] [--kill] [document.pdf] [cycles.pdf]\n");
            return 2;
        } else {
            (positional++ == 0 ? document : cycled) = fs::absolute(arg);
        }
    }
    kivo::bench::BenchWorker worker("history_bench", program);
    std::unique_ptr<kivo::CommandClient> connection = worker.connect(kivo::CommandChannel::ui);

    Session session(*connection, openDocument(*connection, document));
    std::printf("%s, %d rounds of add_note + undo + redo:\n", document.filename().c_str(), rounds);
    runRounds(session, worker, rounds);

    // The control: the same state, saved and opened fresh in a worker of its own with no history,
    // for as many rounds. What the long session costs beyond it is the history's, not the notes'.
    const fs::path grown =
        fs::current_path() / ("history_bench-grown-" + std::to_string(worker.pid()) + ".pdf");
    saveCopy(*connection, session.id(), grown);
    {
        kivo::bench::BenchWorker fresh("history_bench", program);
        const std::unique_ptr<kivo::CommandClient> control = fresh.connect(kivo::CommandChannel::ui);
        Session again(*control, openDocument(*control, grown));
        std::printf("the same state opened fresh, %d more rounds:\n", reportEvery);
        runRounds(again, fresh, reportEvery);
        control->close();
    }
    fs::remove(grown);

    Session restored(*connection, openDocument(*connection, cycled));
    std::printf("%s, %d cycles of %srestoring its checkpoint and %d notes:\n", cycled.filename().c_str(),
                cycles, killing ? "SIGKILL, " : "", notesPerCycle);
    for (int cycle = 1; cycle <= cycles; ++cycle) {
        for (int note = 0; note < notesPerCycle; ++note)
            restored.send(kivo::CommandMethod::addNote, "add_note");
        const std::uintmax_t size = checkpointSize(worker.folder(), restored.id());
        if (killing) {
            connection->close();
            worker.killAndRestart();
            connection = worker.connect(kivo::CommandChannel::ui);
        }
        kivo::CommandRequest restore;
        restore.id = "restore-" + std::to_string(cycle);
        restore.method = kivo::CommandMethod::restoreRecovery;
        restore.params.recoveryId = restored.id();
        kivo::CommandResponse answer = connection->send(restore);
        kivo::bench::require("history_bench", answer, "restore_recovery");
        restored = Session(*connection, std::move(answer));
        std::printf("  cycle %2d: checkpoint %.0f KB\n", cycle, size / 1024.0);
    }
    // The worker writes nowhere below its own folder; the copy goes beside this program's.
    const fs::path copied =
        fs::current_path() / ("history_bench-copy-" + std::to_string(worker.pid()) + ".pdf");
    saveCopy(*connection, restored.id(), copied);
    std::printf("  a saved copy: %.0f KB\n", fs::file_size(copied) / 1024.0);
    fs::remove(copied);
    connection->close();
    return 0;
}
