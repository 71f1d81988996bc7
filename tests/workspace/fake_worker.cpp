// fake-kivo-pdf-worker: a stand-in for kivo-pdf-worker that the workspace tests start in its
// place. It takes the same command line and tokens, writes down what it was given, and behaves as
// its environment says:
//   KIVO_FAKE_WORKER_LOG          a file to append "argv …", "stdin …" and every request line to
//   KIVO_FAKE_WORKER_START        "serve" (default), "exit:N", "signal:N", "silent" (never listens) or
//                                 "late:MS" (listens MS milliseconds after it started)
//   KIVO_FAKE_WORKER_USR1         "exit:N" or "signal:N": what SIGUSR1 makes it do (default exit:71)
//   KIVO_FAKE_WORKER_SCRIPT       "method=action;…" with action "exit:N", "signal:N", "stall" (no
//                                 answer), "sleep:MS" (then the answer), "garbage" (an unreadable
//                                 reply, then it hangs up) or "error:CODE:MESSAGE"; for render_page
//                                 also "newer" (the document moves on a revision first, as an MCP
//                                 client's edit would), "wrong-size" (tiles are answered for a page
//                                 one pixel wider) and "foreign-path" (the reply names another file,
//                                 written beside the one asked for); for export_document also "pdf"
//                                 (the destination gets a file that starts as a PDF); a render_page that
//                                 stalls, stops or fails has begun its file first, as a worker cut short
//                                 would, and logs "began <path>"
//   KIVO_FAKE_WORKER_PAGE_SIZE    "WxH": the pages' size in points (default 612x792)
//   KIVO_FAKE_WORKER_PAGES        how many pages a document has (default 3)
//   KIVO_FAKE_WORKER_RECOVERIES   comma-separated recovery ids that list_recovery reports
//   KIVO_FAKE_WORKER_IGNORE_TERM  "1": SIGTERM does not end it
//   KIVO_FAKE_WORKER_SEARCH_HITS  comma-separated page ids where search finds one hit, whatever the query
// Documents have pages p1, p2, … (three unless said). A path opened again keeps its session. A path or
// recovery id containing "locked" needs the password "secret". render_page writes plain grey PNGs of the
// sizes the real worker would, and extract_text answers one character. Edits raise the revision and make the
// document dirty; a save clears that and "saveAs" moves it; an export writes nothing.

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <QImage>
#include <QString>

#include "core/command_json.hpp"
#include "core/line_io.hpp"

namespace {

using namespace kivo;

std::string variable(const char* name, const char* fallback = "") {
    const char* value = std::getenv(name);
    return value != nullptr ? value : fallback;
}

std::mutex logLock;

void log(const std::string& line) {
    const std::string path = variable("KIVO_FAKE_WORKER_LOG");
    if (path.empty()) return;
    std::lock_guard guard(logLock);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return;
    const std::string text = line + "\n";
    [[maybe_unused]] const auto written = ::write(fd, text.data(), text.size());
    ::close(fd);
}

// "exit:N" ends with status N, "signal:N" dies of signal N; anything else does nothing.
void act(const std::string& action) {
    const auto colon = action.find(':');
    if (colon == std::string::npos) return;
    const int number = std::atoi(action.c_str() + colon + 1);
    if (action.starts_with("exit:")) ::_exit(number);
    if (action.starts_with("signal:")) {
        ::signal(number, SIG_DFL);
        ::raise(number);
    }
}

std::string usr1Action;

extern "C" void onUsr1(int) { act(usr1Action); }

std::map<std::string, std::string> script() {
    std::map<std::string, std::string> actions;
    std::stringstream entries(variable("KIVO_FAKE_WORKER_SCRIPT"));
    std::string entry;
    while (std::getline(entries, entry, ';')) {
        const auto equals = entry.find('=');
        if (equals != std::string::npos) actions[entry.substr(0, equals)] = entry.substr(equals + 1);
    }
    return actions;
}

struct PageSize {
    double width = 612;
    double height = 792;
};

PageSize pageSize() {
    PageSize size;
    const std::string text = variable("KIVO_FAKE_WORKER_PAGE_SIZE");
    const auto x = text.find('x');
    if (x != std::string::npos)
        size = {std::atof(text.substr(0, x).c_str()), std::atof(text.substr(x + 1).c_str())};
    return size;
}

void writePng(const std::optional<std::string>& path, std::int64_t width, std::int64_t height) {
    if (!path) return;
    QImage image(static_cast<int>(width), static_cast<int>(height), QImage::Format_RGB32);
    image.fill(Qt::lightGray);
    // Deflated, as the real worker's files are: a page's file is then a small part of its pixels.
    image.save(QString::fromStdString(*path), "PNG");
}

// Renders as the real worker answers: the page's pixel size at the scale, and one file per tile.
void render(const CommandRequest& request, const std::string& action, CommandResult& result) {
    const PageSize size = pageSize();
    const double scale = request.params.scale.value_or(1.0);
    const std::int64_t width = TileGrid::pixels(size.width, scale);
    const std::int64_t height = TileGrid::pixels(size.height, scale);
    if (request.params.tiles) {
        for (const RenderTile& tile : *request.params.tiles) writePng(tile.pngPath, tile.width, tile.height);
        result.width = width + (action == "wrong-size" ? 1 : 0);
        result.height = height;
        return;
    }
    writePng(request.params.pngPath, width, height);
    result.pngPath = request.params.pngPath;
    if (action == "foreign-path" && result.pngPath) {
        *result.pngPath += "-elsewhere.png";
        writePng(result.pngPath, width, height);
    }
    result.width = width;
    result.height = height;
}

struct Documents {
    std::mutex lock;
    int opened = 0;
    std::map<std::string, CommandResult> bySession;

    CommandResult make(const std::string& prefix, std::optional<std::string> path, bool dirty) {
        for (const auto& [session, open] : bySession) {
            if (path && open.sourcePath == path) return open;
        }
        CommandResult result;
        result.sessionId = prefix + std::to_string(++opened);
        result.revision = 1;
        const PageSize size = pageSize();
        const int count = std::max(std::atoi(variable("KIVO_FAKE_WORKER_PAGES", "3").c_str()), 1);
        result.pages.emplace();
        for (int i = 0; i < count; ++i)
            result.pages->push_back(PageInfo{"p" + std::to_string(i + 1), i, size.width, size.height, 0});
        result.dirty = dirty;
        result.sourcePath = std::move(path);
        result.annotations = std::vector<AnnotationInfo>{};
        bySession[*result.sessionId] = result;
        return result;
    }
};

Documents documents;

// The pages a search covers, in order, each listed one with its hit.
std::vector<SearchHit> searchHits(const CommandParams& params, const std::vector<PageInfo>& pages) {
    std::vector<std::string> covered;
    if (params.pageIds) {
        covered = *params.pageIds;
    } else if (params.pageId) {
        covered.push_back(*params.pageId);
    } else {
        for (const PageInfo& page : pages) covered.push_back(page.id);
    }
    std::vector<SearchHit> hits;
    const std::string listed = "," + variable("KIVO_FAKE_WORKER_SEARCH_HITS") + ",";
    for (const std::string& id : covered) {
        if (listed.find("," + id + ",") != std::string::npos)
            hits.push_back(SearchHit{id, 0, 1, {PDFRect{72, 700, 80, 712}}, "A"});
    }
    return hits;
}

bool locked(const std::optional<std::string>& name, const std::optional<std::string>& password) {
    return name && name->find("locked") != std::string::npos && password != "secret";
}

CommandResponse answer(const CommandRequest& request, const std::string& action) {
    std::lock_guard guard(documents.lock);
    const auto& params = request.params;
    switch (request.method) {
        case CommandMethod::open:
        case CommandMethod::restoreRecovery:
            if (locked(params.path, params.password) || locked(params.recoveryId, params.password)) {
                return CommandResponse::failure(request.id, "password_required",
                                                "This PDF needs a password.");
            }
            if (request.method == CommandMethod::restoreRecovery) {
                return CommandResponse::success(request.id, documents.make("r", std::nullopt, true));
            }
            return CommandResponse::success(request.id, documents.make("s", params.path, false));
        case CommandMethod::listRecovery: {
            CommandResult result;
            result.recoveries = std::vector<RecoveryInfo>{};
            std::stringstream ids(variable("KIVO_FAKE_WORKER_RECOVERIES"));
            std::string id;
            while (std::getline(ids, id, ','))
                result.recoveries->push_back({id, std::nullopt, 2, 3, "", true});
            return CommandResponse::success(request.id, result);
        }
        default: break;
    }
    const auto found =
        params.sessionId ? documents.bySession.find(*params.sessionId) : documents.bySession.end();
    if (found == documents.bySession.end()) return CommandResponse::success(request.id, CommandResult{});
    CommandResult& document = found->second;
    const bool reads =
        request.method == CommandMethod::inspect || request.method == CommandMethod::search ||
        request.method == CommandMethod::close || request.method == CommandMethod::renderPage ||
        request.method == CommandMethod::extractText || request.method == CommandMethod::exportDocument;
    if (request.method == CommandMethod::saveDocument) {
        if (params.saveMode == "saveAs") document.sourcePath = params.destination;
        if (params.saveMode != "saveCopy") document.dirty = false;
    } else if (!reads || action == "newer") {
        *document.revision += 1;
        document.dirty = true;
    }
    CommandResult result = document;
    if (request.method == CommandMethod::renderPage) render(request, action, result);
    if (request.method == CommandMethod::extractText)
        result.chars = std::vector<TextRun>{{0, "A", 72, 700, 80, 712}};
    if (request.method == CommandMethod::search) result.matches = searchHits(params, *document.pages);
    return CommandResponse::success(request.id, result);
}

void serve(int fd, const std::vector<std::string>& tokens,
           const std::map<std::string, std::string>& actions) {
    LineReader reader;
    try {
        const CommandRequest hello = CommandJSON::decodeRequest(reader.readLine(fd));
        const bool known = hello.params.token == tokens[0] || hello.params.token == tokens[1];
        writeAll(fd, CommandJSON::encode(
                         known ? CommandResponse::success(hello.id, CommandResult{})
                               : CommandResponse::failure(hello.id, "unauthorized", "Unknown token.")));
        if (!known) return;
        for (;;) {
            const std::string line = reader.readLine(fd);
            log("request " + line);
            const CommandRequest request = CommandJSON::decodeRequest(line);
            const auto action = actions.find(std::string(rawValue(request.method)));
            const std::string what = action != actions.end() ? action->second : "";
            const bool cutShort = what == "stall" || what.starts_with("exit:") ||
                                  what.starts_with("signal:") || what.starts_with("error:");
            if (request.method == CommandMethod::renderPage && cutShort && request.params.pngPath) {
                std::ofstream(*request.params.pngPath) << "\x89PNG";
                log("began " + *request.params.pngPath);
            }
            if (what == "garbage") {
                writeAll(fd, "this is not a reply\n");
                break;  // and hang up, as a confused worker would
            }
            if (what == "stall") {
                for (;;) ::pause();
            }
            if (what.starts_with("sleep:")) {
                std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(what.c_str() + 6)));
            }
            if (what.starts_with("error:")) {
                const auto colon = what.find(':', 6);
                writeAll(fd, CommandJSON::encode(CommandResponse::failure(
                                 request.id, what.substr(6, colon - 6), what.substr(colon + 1))));
                continue;
            }
            if (request.method == CommandMethod::exportDocument && what == "pdf" &&
                request.params.destination) {
                std::ofstream(*request.params.destination, std::ios::trunc) << "%PDF-1.7\n%%EOF\n";
            }
            act(what);
            writeAll(fd, CommandJSON::encode(answer(request, what)));
        }
    } catch (const std::exception&) {}
    ::close(fd);
}

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    std::string arguments = "argv";
    std::string socketPath;
    for (int i = 1; i < argc; ++i) {
        arguments += std::string(" ") + argv[i];
        if (std::strcmp(argv[i], "--socket") == 0 && i + 1 < argc) socketPath = argv[i + 1];
    }
    log(arguments);
    std::vector<std::string> tokens;
    for (std::string line; tokens.size() < 2 && std::getline(std::cin, line);) tokens.push_back(line);
    for (const auto& token : tokens) log("stdin " + token);
    log(std::cin.get() == std::char_traits<char>::eof() ? "stdin closed" : "stdin more");

    usr1Action = variable("KIVO_FAKE_WORKER_USR1", "exit:71");
    ::signal(SIGUSR1, onUsr1);
    if (variable("KIVO_FAKE_WORKER_IGNORE_TERM") == "1") ::signal(SIGTERM, SIG_IGN);
    const std::string start = variable("KIVO_FAKE_WORKER_START", "serve");
    act(start);
    if (start.starts_with("late:"))
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(start.c_str() + 5)));
    if (start == "silent" || tokens.size() < 2 || socketPath.empty()) {
        for (;;) ::pause();
    }

    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 8) != 0) {
        return 2;
    }
    const auto actions = script();
    for (;;) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) std::thread(serve, fd, tokens, actions).detach();
    }
}
