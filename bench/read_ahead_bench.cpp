// What reading ahead costs the person: one worker opens and inspects a document, then waits as a
// person typing a query would, then searches it as the editor does (a few pages a request, then
// eight at a time), then searches again, then closes it and stays idle. With --never-read-ahead
// the document is marked beforehand as one the worker must never read ahead, the control that
// shows what the same search costs without any reading ahead. Prints `key=value` lines for
// bench/compare_read_ahead.sh: wall and worker CPU milliseconds of open + inspect, of each search,
// and the worker CPU spent while idle after the close. Figures are printed, never checked.
// usage: read_ahead_bench [--never-read-ahead] [--pause ms] [--worker program] document.pdf query

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench_worker.hpp"
#include "core/command_client.hpp"
#include "session/fingerprint.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "read_ahead_bench: %s\n", what.c_str());
    std::exit(1);
}

// The CPU time of every live thread of process `pid` so far, in milliseconds, to the nanosecond the
// scheduler counts rather than the clock tick /proc/PID/stat rounds to.
double cpuMs(pid_t pid) {
    double total = 0;
    std::error_code error;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::ifstream in(task.path() / "schedstat");
        unsigned long long ran = 0;
        if (in >> ran) total += static_cast<double>(ran) / 1e6;
    }
    if (error) fail("could not read the worker's CPU time");
    return total;
}

// Waits until the worker has spent no CPU for a tenth of a second (its start-up warm-up done), at
// most five seconds.
void settle(pid_t pid) {
    double last = cpuMs(pid);
    for (int k = 0; k < 50; ++k) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const double now = cpuMs(pid);
        if (now == last) return;
        last = now;
    }
}

// The worker's own mark of a document it must not read ahead, made as the worker makes it.
void markNeverReadAhead(const fs::path& support, const fs::path& document) {
    const std::optional<std::string> digest = kivo::RecoveryStore::fingerprint(document);
    if (!digest) fail("could not read " + document.string());
    const fs::path folder = support / "recovery" / "reading-ahead";
    fs::create_directories(folder);
    fs::permissions(support / "recovery", fs::perms::owner_all);
    const int made =
        ::open((folder / *digest).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (made < 0) fail("could not mark the document");
    ::close(made);
}

kivo::CommandRequest request(std::string id, kivo::CommandMethod method) {
    kivo::CommandRequest r;
    r.id = std::move(id);
    r.method = method;
    return r;
}

struct Cost {
    double wallMs = 0;
    double cpuMs = 0;
};

// Searches every page in the editor's requests: 1, 2, 4, then 8 pages each.
Cost searchAll(kivo::CommandClient& client, pid_t worker, const std::string& sessionId,
               const std::vector<kivo::PageInfo>& pages, const std::string& query, const std::string& name) {
    const double cpuStart = cpuMs(worker);
    const auto start = Clock::now();
    std::size_t asked = 0;
    for (std::size_t count = 1; asked < pages.size(); count = std::min<std::size_t>(count * 2, 8)) {
        auto search = request(name + "-" + std::to_string(asked), kivo::CommandMethod::search);
        search.params.sessionId = sessionId;
        search.params.query = query;
        std::vector<std::string> ids;
        for (std::size_t i = asked; i < std::min(pages.size(), asked + count); ++i)
            ids.push_back(pages[i].id);
        asked += ids.size();
        search.params.pageIds = std::move(ids);
        kivo::bench::require("read_ahead_bench", client.send(search), "search");
    }
    return {std::chrono::duration<double, std::milli>(Clock::now() - start).count(),
            cpuMs(worker) - cpuStart};
}

}  // namespace

int main(int argc, char** argv) {
    bool neverReadAhead = false;
    int pauseMs = 1500;
    fs::path program = kivo::bench::BenchWorker::builtWorker();
    std::vector<std::string> rest;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--never-read-ahead") neverReadAhead = true;
        else if (arg == "--pause" && i + 1 < argc) pauseMs = std::stoi(argv[++i]);
        else if (arg == "--worker" && i + 1 < argc) program = argv[++i];
        else rest.push_back(arg);
    }
    if (rest.size() != 2) {
        std::fprintf(stderr,
                     "usage: read_ahead_bench [--never-read-ahead] [--pause ms] [--worker program] "
                     "document.pdf query\n");
        return 2;
    }
    const fs::path document = fs::absolute(rest[0]);
    const std::string& query = rest[1];

    kivo::bench::BenchWorker worker("read_ahead_bench", program);
    const std::unique_ptr<kivo::CommandClient> connection = worker.connect(kivo::CommandChannel::ui);
    kivo::CommandClient& client = *connection;
    if (neverReadAhead) markNeverReadAhead(worker.folder() / "support", document);
    settle(worker.pid());

    const double openCpu = cpuMs(worker.pid());
    const auto openStart = Clock::now();
    auto open = request("open", kivo::CommandMethod::open);
    open.params.path = document.string();
    const kivo::CommandResponse opened = client.send(open);
    kivo::bench::require("read_ahead_bench", opened, "open");
    const std::string sessionId = *opened.result->sessionId;
    auto inspect = request("inspect", kivo::CommandMethod::inspect);
    inspect.params.sessionId = sessionId;
    kivo::bench::require("read_ahead_bench", client.send(inspect), "inspect");
    const Cost openCost{std::chrono::duration<double, std::milli>(Clock::now() - openStart).count(),
                        cpuMs(worker.pid()) - openCpu};

    // The person types the query while the worker is idle, or reads ahead.
    std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    const std::vector<kivo::PageInfo>& pages = *opened.result->pages;
    const Cost first = searchAll(client, worker.pid(), sessionId, pages, query, "first");
    const Cost second = searchAll(client, worker.pid(), sessionId, pages, query, "second");

    auto close = request("close", kivo::CommandMethod::close);
    close.params.sessionId = sessionId;
    kivo::bench::require("read_ahead_bench", client.send(close), "close");
    const double idleCpu = cpuMs(worker.pid());
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const double closedCpuMs = cpuMs(worker.pid()) - idleCpu;
    client.close();

    std::printf("pages=%zu\nopen_inspect_ms=%.1f\nopen_inspect_cpu_ms=%.1f\n", pages.size(), openCost.wallMs,
                openCost.cpuMs);
    std::printf("first_search_ms=%.1f\nfirst_search_cpu_ms=%.1f\n", first.wallMs, first.cpuMs);
    std::printf("second_search_ms=%.1f\nsecond_search_cpu_ms=%.1f\n", second.wallMs, second.cpuMs);
    std::printf("closed_idle_cpu_ms=%.1f\n", closedCpuMs);
    return 0;
}
