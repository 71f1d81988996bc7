// Measures the worker under many clients at once, as an editor with several windows and MCP
// clients drive it: 8 connections on the ui channel (asking for progress lines, as the editor
// does) and 4 on the mcp channel (with revisions and operation ids, as the connector sends them)
// issue a random mix of inspect, render_page, extract_text, search and edits (add_highlight, and
// undo every other time) on three open documents, as fast as the worker answers, for a fixed
// time. Prints requests per second in all and per kind, the 50th and 99th percentile round trip
// per kind, failures by code, and the worker's peak resident memory. Figures are printed, never
// checked.
// usage: load_bench [seconds] [document.pdf ...]   (default: 60 s on three shared samples)

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_worker.hpp"
#include "core/command_client.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using kivo::CommandChannel;
using kivo::CommandMethod;
using kivo::CommandRequest;
using kivo::CommandResponse;

constexpr const char* program = "load_bench";
constexpr int uiConnections = 8;
constexpr int mcpConnections = 4;

enum class Kind { inspect, render, text, search, edit, count };
constexpr const char* kindNames[] = {"inspect", "render", "text", "search", "edit"};
// Out of 100 requests; reading outnumbers editing as it does for a person.
constexpr int kindWeights[] = {30, 20, 20, 15, 15};

struct Document {
    std::string path;
    std::string sessionId;
    std::vector<std::string> pageIds;
};

struct Figures {
    std::vector<double> milliseconds[static_cast<int>(Kind::count)];
    std::map<std::string, int> failures[static_cast<int>(Kind::count)];
    long progressLines = 0;
};

Kind pickKind(std::mt19937& random) {
    int roll = std::uniform_int_distribution<int>(0, 99)(random);
    for (int kind = 0; kind < static_cast<int>(Kind::count); ++kind) {
        if (roll < kindWeights[kind]) return static_cast<Kind>(kind);
        roll -= kindWeights[kind];
    }
    return Kind::inspect;
}

// One connection's loop until `end`. MCP edits carry the revision this connection last saw; a
// stale one is counted as a failure and refreshed with an inspect, as the connector's caller would.
void drive(kivo::CommandClient& client, int index, const std::vector<Document>& documents,
           const fs::path& scratch, Clock::time_point end, Figures& figures) {
    std::mt19937 random(static_cast<unsigned>(index) * 7919u + 17u);
    const bool mcp = client.channel() == CommandChannel::mcp;
    std::vector<std::int64_t> revisions(documents.size(), 0);
    long edits = 0;
    long serial = 0;
    const kivo::CommandClient::ProgressHandler progress = [&figures](const kivo::CommandProgress&) {
        ++figures.progressLines;
    };
    while (Clock::now() < end) {
        const std::size_t which = std::uniform_int_distribution<std::size_t>(0, documents.size() - 1)(random);
        const Document& document = documents[which];
        const std::string& page =
            document
                .pageIds[std::uniform_int_distribution<std::size_t>(0, document.pageIds.size() - 1)(random)];
        CommandRequest request;
        request.id = std::to_string(index) + "-" + std::to_string(++serial);
        request.params.sessionId = document.sessionId;
        Kind kind = pickKind(random);
        switch (kind) {
            case Kind::inspect: request.method = CommandMethod::inspect; break;
            case Kind::render:
                request.method = CommandMethod::renderPage;
                request.params.pageId = page;
                request.params.scale = 1;
                if (!mcp)
                    request.params.pngPath =
                        (scratch / ("render-" + std::to_string(index) + ".png")).string();
                break;
            case Kind::text:
                request.method = CommandMethod::extractText;
                request.params.pageId = page;
                break;
            case Kind::search:
                request.method = CommandMethod::search;
                request.params.query = "the";
                break;
            case Kind::edit:
                if (edits++ % 2 == 0) {
                    request.method = CommandMethod::addHighlight;
                    request.params.pageId = page;
                    request.params.rect = kivo::PDFRect{40, 40, 200, 56};
                } else {
                    request.method = CommandMethod::undo;
                }
                if (mcp) {
                    request.expectedRevision = revisions[which];
                    request.operationId = "op-" + request.id;
                }
                break;
            case Kind::count: break;
        }
        const auto start = Clock::now();
        const CommandResponse response = client.send(request, mcp ? nullptr : progress);
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        figures.milliseconds[static_cast<int>(kind)].push_back(ms);
        if (response.ok && response.result && response.result->revision)
            revisions[which] = *response.result->revision;
        if (response.ok && response.result && response.result->pngPath && mcp) {
            std::error_code ignored;
            fs::remove(*response.result->pngPath, ignored);
        }
        if (!response.ok) {
            ++figures.failures[static_cast<int>(kind)][response.error ? response.error->code : "?"];
            if (!client.isConnected()) {
                std::fprintf(stderr, "%s: connection %d was dropped\n", program, index);
                return;
            }
        }
    }
}

double percentile(std::vector<double>& values, int p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, values.size() * static_cast<std::size_t>(p) / 100)];
}

std::string peakMemory(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return line.substr(6);
    }
    return " unknown";
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    std::vector<std::string> paths;
    for (int i = 2; i < argc; ++i) paths.emplace_back(argv[i]);
    if (paths.empty()) {
        for (const char* name : {"geotopo.pdf", "multicolumn.pdf", "pdflatex-4-pages.pdf"}) {
            paths.push_back((fs::path(KIVO_CORPUS_DIR) / name).string());
        }
    }
    if (seconds <= 0) {
        std::fprintf(stderr, "usage: %s [seconds] [document.pdf ...]\n", program);
        return 2;
    }

    kivo::bench::BenchWorker worker(program);
    const std::unique_ptr<kivo::CommandClient> setup = worker.connect(CommandChannel::ui);
    std::vector<Document> documents;
    CommandRequest grants;
    grants.id = "grants";
    grants.method = CommandMethod::setGrants;
    grants.params.sessionIds.emplace();
    grants.params.permissions = std::vector<std::string>{"read", "modify"};
    for (const std::string& path : paths) {
        CommandRequest open;
        open.id = "open-" + path;
        open.method = CommandMethod::open;
        open.params.path = path;
        const CommandResponse opened = setup->send(open);
        kivo::bench::require(program, opened, "open");
        Document document{path, *opened.result->sessionId, {}};
        for (const auto& page : *opened.result->pages) document.pageIds.push_back(page.id);
        grants.params.sessionIds->push_back(document.sessionId);
        documents.push_back(std::move(document));
    }
    kivo::bench::require(program, setup->send(grants), "set_grants");

    std::vector<std::unique_ptr<kivo::CommandClient>> clients;
    for (int i = 0; i < uiConnections + mcpConnections; ++i) {
        clients.push_back(worker.connect(i < uiConnections ? CommandChannel::ui : CommandChannel::mcp));
    }
    std::vector<Figures> figures(clients.size());
    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(seconds);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < clients.size(); ++i) {
        threads.emplace_back(drive, std::ref(*clients[i]), static_cast<int>(i), std::cref(documents),
                             worker.folder(), end, std::ref(figures[i]));
    }
    for (auto& thread : threads) thread.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();

    Figures all;
    for (const Figures& one : figures) {
        all.progressLines += one.progressLines;
        for (int kind = 0; kind < static_cast<int>(Kind::count); ++kind) {
            all.milliseconds[kind].insert(all.milliseconds[kind].end(), one.milliseconds[kind].begin(),
                                          one.milliseconds[kind].end());
            for (const auto& [code, count] : one.failures[kind]) all.failures[kind][code] += count;
        }
    }
    std::size_t total = 0;
    std::vector<double> every;
    for (const auto& values : all.milliseconds) {
        total += values.size();
        every.insert(every.end(), values.begin(), values.end());
    }
    std::printf("documents:");
    for (const Document& document : documents) {
        std::printf(" %s (%zu pages)", fs::path(document.path).filename().c_str(), document.pageIds.size());
    }
    std::printf("\nconnections: %d ui (with progress lines), %d mcp; %.1f s\n", uiConnections, mcpConnections,
                elapsed);
    std::printf("all: %zu requests, %.1f per second, p50 %.1f ms, p99 %.1f ms; %ld progress lines\n", total,
                static_cast<double>(total) / elapsed, percentile(every, 50), percentile(every, 99),
                all.progressLines);
    for (int kind = 0; kind < static_cast<int>(Kind::count); ++kind) {
        auto& values = all.milliseconds[kind];
        std::printf("  %-7s %6zu requests, %6.1f per second, p50 %8.1f ms, p99 %8.1f ms", kindNames[kind],
                    values.size(), static_cast<double>(values.size()) / elapsed, percentile(values, 50),
                    percentile(values, 99));
        for (const auto& [code, count] : all.failures[kind]) std::printf(", %d %s", count, code.c_str());
        std::printf("\n");
    }
    std::printf("worker peak resident memory:%s\n", peakMemory(worker.pid()).c_str());
    return 0;
}
