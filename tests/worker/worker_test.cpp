#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <system_error>
#include <thread>

#include <nlohmann/json.hpp>

#include "core/command_json.hpp"
#include "outside_readers.hpp"
#include "command_requests.hpp"
#include "scoped_env.hpp"
#include "test_pdfs.hpp"
#include "worker_process.hpp"

namespace kivo {
namespace {

namespace fs = std::filesystem;
using testing::SocketConnection;
using testing::WorkerProcess;

using testing::request;

CommandRequest hello(std::string token) {
    auto r = request("h", CommandMethod::hello, CommandChannel::ui);
    r.params.token = std::move(token);
    return r;
}

std::string errorCode(const std::optional<CommandResponse>& response) {
    if (!response) return "<no response>";
    return response->error ? response->error->code : "ok";
}

// Each test gets its own support folder and temporary folder, so recovery checkpoints and renders
// of one test are never seen by another.
class WorkerTest : public ::testing::Test {
protected:
    std::map<std::string, std::string> environment() const {
        return {{"KIVO_PDF_SUPPORT_DIR", (dir.path() / "support").string()},
                {"TMPDIR", dir.path().string()},
                {"XDG_RUNTIME_DIR", ""},
                {"KIVO_PDF_WORKER_SANDBOX", "off"}};
    }

    fs::path socketPath() const { return dir.path() / "w.sock"; }

    // A worker in socket mode with the tokens "ui-token" and "mcp-token", listening; the tokens
    // reach it with surrounding white space, which it trims.
    std::unique_ptr<WorkerProcess> startSocketWorker() {
        auto worker = testing::startSocketWorker(socketPath(), environment());
        EXPECT_NE(worker->errorOutput().find("kivo-pdf-worker listening on " + socketPath().string()),
                  std::string::npos)
            << worker->errorOutput();
        return worker;
    }

    testing::TempDir dir;
};

TEST_F(WorkerTest, StdioAnswersEveryLineAndEndsWithStatusZero) {
    WorkerProcess worker({}, environment());
    struct Case {
        const char* name;
        std::string line;
        std::string code;
        std::string id;
    };
    const auto raw = [](const char* json) { return std::string(json) + "\n"; };
    const Case cases[] = {
        {"ping", testing::requestLine(request("1", CommandMethod::ping)), "ok", "1"},
        {"not JSON", "not json\n", "invalid_json", "invalid"},
        {"empty line", "\n", "invalid_json", "invalid"},
        {"invalid UTF-8", "{\"id\":\"\xFF\"}\n", "invalid_json", "invalid"},
        {"JSON but not a request", "{\"id\":\"x\"}\n", "invalid_json", "invalid"},
        {"hello is only a ping here", testing::requestLine(hello("anything")), "ok", "h"},
        {"cancel without requestId", testing::requestLine(request("c", CommandMethod::cancel)),
         "invalid_argument", "c"},
        // A number is read by its value: zero whatever its exponent, and refused where it does not fit.
        {"zero with a long exponent",
         raw(R"({"id":"z","method":"ping","params":{"limit":0e99999999999},"channel":"cli"})"), "ok", "z"},
        {"an integer that does not fit",
         raw(R"({"id":"l","method":"ping","params":{"limit":1e300},"channel":"cli"})"), "invalid_json",
         "invalid"},
        // A parameter is judged only by a method that reads it.
        {"a scale ping does not read",
         raw(R"({"id":"s","method":"ping","params":{"scale":1e300},"channel":"cli"})"), "ok", "s"},
        {"a scale render_page reads",
         raw(R"({"id":"r","method":"render_page","params":{"scale":1e300},"channel":"cli"})"),
         "invalid_argument", "r"},
        {"still serving", testing::requestLine(request("2", CommandMethod::ping)), "ok", "2"},
    };
    for (const Case& c : cases) {
        worker.write(c.line);
        const auto exchange = testing::readExchange(worker);
        ASSERT_TRUE(exchange.response.has_value()) << c.name;
        EXPECT_EQ(errorCode(exchange.response), c.code) << c.name;
        EXPECT_EQ(exchange.response->id, c.id) << c.name;
        if (c.code == "ok") {
            EXPECT_EQ(exchange.response->result->pong, true) << c.name;
        }
    }
    // A last line without its line feed is still answered.
    std::string last = testing::requestLine(request("last", CommandMethod::ping));
    last.pop_back();
    worker.write(last);
    worker.closeInput();
    const auto lastExchange = testing::readExchange(worker);
    ASSERT_TRUE(lastExchange.response.has_value());
    EXPECT_EQ(lastExchange.response->id, "last");
    EXPECT_EQ(worker.wait(), 0) << worker.errorOutput();
}

TEST_F(WorkerTest, AnOverlongLineIsRefusedOnceAndSkipped) {
    WorkerProcess worker({}, environment());
    worker.write(std::string(65 * 1024 * 1024, 'a') + "\n");
    worker.write(testing::requestLine(request("after", CommandMethod::ping)));
    const auto refused = testing::readExchange(worker).response;
    ASSERT_TRUE(refused.has_value());
    EXPECT_EQ(refused->error,
              (CommandErrorPayload{"invalid_json", "Command was longer than the 64 MiB Kivo PDF accepts."}));
    const auto after = testing::readExchange(worker).response;
    ASSERT_TRUE(after.has_value());
    EXPECT_EQ(after->id, "after");
    worker.closeInput();
    EXPECT_EQ(worker.wait(), 0);
}

TEST_F(WorkerTest, BadCommandLinesExitWithStatusTwo) {
    struct Case {
        const char* name;
        std::vector<std::string> arguments;
        std::string input;
    };
    const std::string sock = socketPath().string();
    const Case cases[] = {
        {"no --token-stdin", {"--socket", sock}, "ui\nmcp\n"},
        {"equal tokens", {"--socket", sock, "--token-stdin"}, "same\nsame\n"},
        {"single line", {"--socket", sock, "--token-stdin"}, "ui\n"},
        {"blank token", {"--socket", sock, "--token-stdin"}, "ui\n  \t\n"},
        {"no input", {"--token-stdin", "--socket", sock}, ""},
    };
    for (const Case& c : cases) {
        WorkerProcess worker(c.arguments, environment());
        try {
            worker.write(c.input);
        } catch (const std::system_error&) {
            // A worker that never reads its input may have ended already.
        }
        worker.closeInput();
        EXPECT_EQ(worker.wait(), 2) << c.name;
        EXPECT_NE(worker.errorOutput().find(
                      "kivo-pdf-worker: --socket needs --token-stdin with the UI token and the "
                      "MCP token on separate lines.\n"),
                  std::string::npos)
            << c.name;
        EXPECT_FALSE(fs::exists(socketPath())) << c.name;
    }
}

// A path cut to what fits in a socket address would be bound in another folder, under another
// name and with the umask's mode, while the worker announced the full path.
TEST_F(WorkerTest, ASocketPathThatDoesNotFitIsRefusedAndNothingIsBound) {
    const fs::path folder = dir.path() / "sockets";
    fs::create_directory(folder);
    const std::string path = (folder / (std::string(120, 'p') + ".sock")).string();
    WorkerProcess worker({"--socket", path, "--token-stdin"}, environment());
    try {
        worker.write("ui\nmcp\n");
    } catch (const std::system_error&) {
        // Refused before its input is read, the worker may have ended already.
    }
    worker.closeInput();
    EXPECT_EQ(worker.wait(10), 2);
    EXPECT_NE(worker.errorOutput().find(
                  "kivo-pdf-worker: the socket path " + path + " is " + std::to_string(path.size()) +
                  " bytes long, but a socket path can hold at most 103; choose a shorter one.\n"),
              std::string::npos)
        << worker.errorOutput();
    EXPECT_TRUE(fs::is_empty(folder));
}

// Without a controlling terminal, code that takes the worker over cannot reach the shell it was
// started from.
TEST_F(WorkerTest, SocketModeRunsInASessionOfItsOwn) {
    auto worker = startSocketWorker();
    std::ifstream stat("/proc/" + std::to_string(worker->pid()) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // pid (comm) state ppid pgrp session tty_nr ...
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string state;
    long parent = 0, group = 0, session = 0, terminal = -1;
    fields >> state >> parent >> group >> session >> terminal;
    EXPECT_EQ(session, worker->pid()) << text;
    EXPECT_EQ(terminal, 0) << text;
}

// The sandbox refuses every change of mode, by path or by descriptor: what the worker writes after
// it is applied (checkpoints, copies, saves over a file, renders) gets its final mode when it is
// created, the user's umask still honoured. With the home folder inside the temporary folder (some
// containers and CI runners) the edits that need a temporary file still work.
TEST_F(WorkerTest, AConfinedWorkerStillWritesCheckpointsCopiesAndRenders) {
    const mode_t umask = ::umask(022);
    ::umask(umask);
    struct Case {
        const char* name;
        bool homeInsideTheTemporaryFolder;
    };
    for (const Case c : {Case{"home apart", false}, Case{"home inside the temporary folder", true}}) {
        SCOPED_TRACE(c.name);
        const testing::TempDir folder;
        // Nothing can be made beside the support folder, which holds the IPC folder.
        const fs::path documents = folder.path() / "documents";
        fs::create_directories(documents);
        const fs::path pdf = documents / "doc.pdf";
        testing::writeFile(pdf, testing::makePdf());
        fs::permissions(pdf, fs::perms(0664), fs::perm_options::replace);
        auto confined = environment();
        confined["KIVO_PDF_WORKER_SANDBOX"] = "on";
        confined["KIVO_PDF_SUPPORT_DIR"] = (folder.path() / "support").string();
        confined["TMPDIR"] = folder.path().string();
        // A home folder of its own, apart from the temporary folder or inside it.
        const testing::TempDir apart;
        const fs::path home = c.homeInsideTheTemporaryFolder ? folder.path() / "home" : apart.path();
        fs::create_directories(home);
        confined["HOME"] = home.string();
        WorkerProcess worker({}, confined);
        const auto send = [&](CommandRequest r) {
            worker.write(testing::requestLine(r));
            return testing::readExchange(worker).response.value_or(CommandResponse{});
        };
        auto open = request("o", CommandMethod::open);
        open.params.path = pdf.string();
        const auto opened = send(open);
        if (!opened.ok && worker.wait(5) == 73)
            GTEST_SKIP() << "no sandbox on this machine: " << worker.errorOutput();
        ASSERT_TRUE(opened.ok) << errorCode(opened) << worker.errorOutput();
        auto on = [&](const char* id, CommandMethod method) {
            auto r = request(id, method);
            r.params.sessionId = opened.result->sessionId;
            r.params.pageId = opened.result->pages->at(0).id;
            return r;
        };
        auto highlight = on("h", CommandMethod::addHighlight);
        highlight.params.rect = PDFRect{10, 10, 50, 50};
        EXPECT_EQ(errorCode(send(highlight)), "ok");
        EXPECT_EQ(errorCode(send(on("u", CommandMethod::undo))), "ok");
        EXPECT_EQ(errorCode(send(on("r2", CommandMethod::redo))), "ok");
        const auto recoveries = send(request("l", CommandMethod::listRecovery)).result->recoveries;
        ASSERT_EQ(recoveries->size(), 1u);
        const auto modeOf = [](const fs::path& path) {
            struct stat status {};
            return ::lstat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 07777u;
        };
        const fs::path checkpoint =
            folder.path() / "support" / "recovery" / recoveries->front().recoveryId / "checkpoint.pdf";
        EXPECT_EQ(modeOf(checkpoint), 0600u);
        EXPECT_EQ(modeOf(checkpoint.parent_path()), 0700u);
        EXPECT_EQ(modeOf(folder.path() / "support" / "recovery"), 0700u);
        auto copy = on("c", CommandMethod::saveDocument);
        copy.params.saveMode = "saveCopy";
        copy.params.destination = (documents / "copy.pdf").string();
        EXPECT_EQ(errorCode(send(copy)), "ok");
        EXPECT_EQ(errorCode(send(on("s", CommandMethod::saveDocument))), "ok");
        const auto rendered = send(on("r", CommandMethod::renderPage));
        ASSERT_EQ(errorCode(rendered), "ok");
        EXPECT_EQ(fs::path(*rendered.result->pngPath).parent_path(),
                  testing::renderFolderIn(folder.path() / "support"));
        EXPECT_EQ(modeOf(documents / "copy.pdf"), 0666u & ~umask);
        EXPECT_EQ(modeOf(pdf), 0664u) << "a file saved over keeps its mode";
        EXPECT_EQ(modeOf(*rendered.result->pngPath), 0666u & ~umask);
    }
}

// A confined worker opens and saves wherever the person works, as the file system is when they
// ask: a file copied into the home folder after the start, a folder made since, the home folder
// itself; hidden folders of the home folder, also ones made since, and the editor's IPC folder stay
// closed, each refusal in the person's words. Each file it wrote is read back by qpdf and poppler.
TEST_F(WorkerTest, AConfinedWorkerOpensAndSavesWhereThePersonWorks) {
    const testing::TempDir folder;
    const fs::path home = folder.path() / "home";
    fs::create_directories(home);
    auto confined = environment();
    confined["KIVO_PDF_WORKER_SANDBOX"] = "on";
    confined["HOME"] = home.string();
    confined["KIVO_PDF_SUPPORT_DIR"] = (home / ".local" / "share" / "kivo-pdf").string();
    confined["TMPDIR"] = folder.path().string();
    WorkerProcess worker({}, confined);
    const auto send = [&](CommandRequest r) {
        worker.write(testing::requestLine(r));
        return testing::readExchange(worker).response.value_or(CommandResponse{});
    };
    const auto outcome = [](const CommandResponse& response) {
        return response.error ? response.error->code + ": " + response.error->message : std::string("ok");
    };
    if (errorCode(send(request("p", CommandMethod::ping))) != "ok" && worker.wait(5) == 73)
        GTEST_SKIP() << "no sandbox on this machine: " << worker.errorOutput();

    // Everything below appears after the worker confined itself.
    const fs::path later = home / "Project made later";
    fs::create_directories(later);
    fs::create_directories(home / ".hidden made later");
    const std::string pdf = testing::makePdf({testing::TestPage{}, testing::TestPage{}});
    testing::writeFile(home / "downloaded.pdf", pdf);
    testing::writeFile(later / "appendix.pdf", pdf);
    testing::writeFile(home / ".hidden made later" / "secret.pdf", pdf);

    auto open = request("o", CommandMethod::open);
    open.params.path = (home / "downloaded.pdf").string();
    const auto opened = send(open);
    ASSERT_EQ(outcome(opened), "ok") << worker.errorOutput();
    const std::string session = opened.result->sessionId.value_or("");
    const auto on = [&](const char* id, CommandMethod method) {
        auto r = request(id, method);
        r.params.sessionId = session;
        return r;
    };
    auto highlight = on("h", CommandMethod::addHighlight);
    highlight.params.pageId = opened.result->pages->at(0).id;
    highlight.params.rect = PDFRect{72, 72, 200, 120};
    ASSERT_EQ(outcome(send(highlight)), "ok");

    const auto saveAs = [&](const char* mode, const fs::path& to) {
        auto r = on("s", CommandMethod::saveDocument);
        r.params.saveMode = mode;
        r.params.destination = to.string();
        return outcome(send(r));
    };
    auto merge = on("m", CommandMethod::mergeDocuments);
    merge.params.path = (later / "appendix.pdf").string();
    auto extract = on("x", CommandMethod::extractPages);
    extract.params.pageIds = std::vector<std::string>{opened.result->pages->at(0).id};
    extract.params.destination = (home / "first page.pdf").string();
    auto exported = on("e", CommandMethod::exportDocument);
    exported.params.destination = (later / "new sub-folder" / "exported.pdf").string();
    auto hiddenOpen = request("o2", CommandMethod::open);
    hiddenOpen.params.path = (home / ".hidden made later" / "secret.pdf").string();
    auto render = on("r", CommandMethod::renderPage);
    render.params.pageId = opened.result->pages->at(0).id;
    render.params.pngPath = (home / "page one.png").string();

    struct Step {
        const char* name;
        std::function<std::string()> run;
        std::string expected;
    };
    const std::string hiddenSave =
        "permission_denied: Kivo PDF does not save files in hidden folders of your home folder.";
    const Step steps[] = {
        {"merge a file from a folder made later", [&] { return outcome(send(merge)); }, "ok"},
        {"save a copy into that folder", [&] { return saveAs("saveCopy", later / "copy.pdf"); }, "ok"},
        {"extract into the home folder", [&] { return outcome(send(extract)); }, "ok"},
        {"export into a folder it makes", [&] { return outcome(send(exported)); }, "ok"},
        {"render to a file in the home folder", [&] { return outcome(send(render)); }, "ok"},
        {"save as, directly in the home folder", [&] { return saveAs("saveAs", home / "renamed.pdf"); },
         "ok"},
        {"save over it", [&] { return outcome(send(on("s2", CommandMethod::saveDocument))); }, "ok"},
        {"open in a hidden folder made later", [&] { return outcome(send(hiddenOpen)); },
         "permission_denied: Kivo PDF does not open files in hidden folders of your home folder."},
        {"save a copy into it", [&] { return saveAs("saveCopy", home / ".hidden made later" / "c.pdf"); },
         hiddenSave},
        {"save a copy into a hidden folder it would make",
         [&] { return saveAs("saveCopy", home / ".config" / "autostart" / "c.pdf"); }, hiddenSave},
        {"save a copy into the IPC folder",
         [&] { return saveAs("saveCopy", home / ".local" / "share" / "kivo-pdf" / "ipc" / "c.pdf"); },
         hiddenSave},
    };
    for (const Step& step : steps) EXPECT_EQ(step.run(), step.expected) << step.name;

    EXPECT_FALSE(fs::exists(home / ".config"));
    EXPECT_FALSE(fs::exists(home / ".hidden made later" / "c.pdf"));
    EXPECT_TRUE(fs::exists(home / "page one.png"));
    if (!testing::haveOutsideReaders()) GTEST_SKIP() << "qpdf or pdfinfo missing";
    // Two pages, one highlighted, and the two merged in: four pages; the extract holds the first.
    for (const auto& [file, pages] : {std::pair{later / "copy.pdf", 4},
                                      {home / "first page.pdf", 1},
                                      {later / "new sub-folder" / "exported.pdf", 4},
                                      {home / "renamed.pdf", 4}}) {
        EXPECT_EQ(testing::outsideView(file), "sound, " + std::to_string(pages) + " pages") << file;
    }
    EXPECT_EQ(testing::qpdfAnnotations(home / "renamed.pdf"), std::vector<std::string>{"1:Highlight"});
}

// The page records on the wire: ordinary pages (turned or not) read exactly as before; a page whose
// crop box is not at the origin names it, before the turn, and keeps it through a rotation.
TEST_F(WorkerTest, PagesNameTheirCropBoxOnlyWhenItIsNotTheDefault) {
    const fs::path pdf = dir.path() / "boxes.pdf";
    testing::TestPage turned;
    turned.rotation = 90;
    testing::TestPage cropped;
    cropped.cropBox = {50, 60, 400, 700};
    testing::writeFile(pdf, testing::makePdf({testing::TestPage{}, turned, cropped}));
    WorkerProcess worker({}, environment());
    const auto resultOnTheWire = [&](const CommandRequest& r) {
        worker.write(testing::requestLine(r));
        const std::optional<std::string> line = worker.readLine();
        EXPECT_TRUE(line);
        return nlohmann::json::parse(line.value_or("{}"))["result"];
    };
    const nlohmann::json box =
        nlohmann::json::parse(R"({"bottom":60.0,"left":50.0,"right":400.0,"top":700.0})");
    const auto expectPages = [&](const nlohmann::json& pages) {
        ASSERT_EQ(pages.size(), 3u);
        for (int i : {0, 1}) {
            std::vector<std::string> keys;
            for (const auto& [key, value] : pages[i].items()) keys.push_back(key);
            EXPECT_EQ(keys, (std::vector<std::string>{"height", "id", "index", "rotation", "width"}))
                << pages[i].dump();
        }
        EXPECT_EQ(pages[2]["box"], box);
    };
    auto open = request("o", CommandMethod::open);
    open.params.path = pdf.string();
    const nlohmann::json opened = resultOnTheWire(open);
    expectPages(opened["pages"]);
    EXPECT_EQ(opened["pages"][1]["width"], 792.0);

    auto rotate = request("r", CommandMethod::rotatePages);
    rotate.params.sessionId = opened["sessionId"].get<std::string>();
    rotate.params.pageIds = std::vector<std::string>{opened["pages"][0]["id"], opened["pages"][2]["id"]};
    rotate.params.rotation = 90;
    const nlohmann::json rotated = resultOnTheWire(rotate);
    expectPages(rotated["pages"]);
    EXPECT_EQ(rotated["pages"][0]["rotation"], 1);
    EXPECT_EQ(rotated["pages"][2]["rotation"], 1);
    EXPECT_EQ(rotated["pages"][2]["width"], 640.0);
}

TEST_F(WorkerTest, SocketAsLastArgumentMeansStdio) {
    WorkerProcess worker({"--socket"}, environment());
    worker.write(testing::requestLine(request("1", CommandMethod::ping)));
    EXPECT_EQ(errorCode(testing::readExchange(worker).response), "ok");
    worker.closeInput();
    EXPECT_EQ(worker.wait(), 0);
}

TEST_F(WorkerTest, SocketAuthenticatesEachConnection) {
    auto worker = startSocketWorker();
    struct stat info {};
    ASSERT_EQ(::stat(socketPath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    struct Case {
        const char* name;
        std::string first;
        std::string code;
        bool staysOpen;
    };
    const Case cases[] = {
        {"bad JSON before hello", "nope\n", "unauthorized", false},
        {"ping before hello", testing::requestLine(request("p", CommandMethod::ping, CommandChannel::ui)),
         "unauthorized", false},
        {"wrong token", testing::requestLine(hello("ui-tokem")), "unauthorized", false},
        {"editor token", testing::requestLine(hello("ui-token")), "ok", true},
        {"mcp token", testing::requestLine(hello("mcp-token")), "ok", true},
    };
    for (const Case& c : cases) {
        SocketConnection connection(socketPath());
        connection.write(c.first);
        EXPECT_EQ(errorCode(testing::readExchange(connection).response), c.code) << c.name;
        bool answered = false;
        try {
            connection.write(testing::requestLine(request("next", CommandMethod::ping, CommandChannel::ui)));
            answered = connection.readLine(5).has_value();
        } catch (const std::system_error&) {
            // The worker closed the connection before the write.
        }
        EXPECT_EQ(answered, c.staysOpen) << c.name;
    }
}

TEST_F(WorkerTest, SocketStampsTheChannelAndKeepsServing) {
    auto worker = startSocketWorker();
    SocketConnection mcp(socketPath());
    mcp.write(testing::requestLine(hello("mcp-token")));
    ASSERT_EQ(errorCode(testing::readExchange(mcp).response), "ok");

    struct Case {
        const char* name;
        std::string line;
        std::string code;
        std::string message;
    };
    auto open = request("o", CommandMethod::open, CommandChannel::ui);  // the channel claimed is ignored
    open.params.path = "/nonexistent.pdf";
    const Case cases[] = {
        {"bad JSON after hello", "{\n", "invalid_json", "Command was not valid JSON."},
        {"open is editor-only", testing::requestLine(open), "unauthorized", "MCP cannot call open."},
        {"second hello", testing::requestLine(hello("ui-token")), "invalid_argument",
         "This connection is already authenticated as mcp."},
        {"list with no grants", testing::requestLine(request("l", CommandMethod::listDocuments)), "ok", ""},
    };
    for (const Case& c : cases) {
        mcp.write(c.line);
        const auto response = testing::readExchange(mcp).response;
        EXPECT_EQ(errorCode(response), c.code) << c.name;
        if (response && response->error) {
            EXPECT_EQ(response->error->message, c.message) << c.name;
        }
    }
}

// The reading commands in one session, through whichever mode `connection` speaks.
template <class Connection>
void readThroughADocument(Connection& connection, const fs::path& pdf, const fs::path& renderFolder) {
    const auto send = [&](CommandRequest r) {
        connection.write(testing::requestLine(r));
        auto exchange = testing::readExchange(connection);
        EXPECT_TRUE(exchange.response.has_value()) << r.id;
        if (!exchange.response) return CommandResponse{};
        EXPECT_EQ(exchange.response->id, r.id);
        return *exchange.response;
    };
    auto open = request("open", CommandMethod::open, CommandChannel::ui);
    open.params.path = pdf.string();
    const auto opened = send(open);
    ASSERT_TRUE(opened.ok) << errorCode(opened);
    const std::string session = *opened.result->sessionId;
    ASSERT_EQ(opened.result->pages->size(), 2u);
    const std::string firstPage = opened.result->pages->at(0).id;
    const auto on = [&](std::string id, CommandMethod method) {
        auto r = request(std::move(id), method, CommandChannel::ui);
        r.params.sessionId = session;
        return r;
    };

    const auto inspected = send(on("inspect", CommandMethod::inspect));
    EXPECT_EQ(inspected.result->pageCount, 2);
    EXPECT_EQ(inspected.result->revision, 1);

    auto render = on("render", CommandMethod::renderPage);
    render.params.pageId = firstPage;
    render.params.scale = 0.5;
    const auto rendered = send(render);
    ASSERT_TRUE(rendered.ok) << errorCode(rendered);
    EXPECT_EQ(rendered.result->width, 306);
    EXPECT_EQ(fs::path(*rendered.result->pngPath).parent_path(), renderFolder);
    EXPECT_EQ(testing::readFile(*rendered.result->pngPath).substr(0, 8), "\x89PNG\r\n\x1a\n");

    auto text = on("text", CommandMethod::extractText);
    text.params.pageId = firstPage;
    const auto extracted = send(text);
    ASSERT_TRUE(extracted.ok) << errorCode(extracted);
    EXPECT_NE(extracted.result->text->find("Hello PDF"), std::string::npos);

    auto find = on("search", CommandMethod::search);
    find.params.query = "second page";
    const auto found = send(find);
    ASSERT_TRUE(found.ok) << errorCode(found);
    ASSERT_EQ(found.result->matches->size(), 1u);
    EXPECT_EQ(found.result->matches->at(0).pageId, opened.result->pages->at(1).id);

    const auto listed = send(request("list", CommandMethod::listDocuments, CommandChannel::ui));
    ASSERT_EQ(listed.result->documents->size(), 1u);
    EXPECT_EQ(listed.result->documents->at(0).sessionId, session);
    EXPECT_EQ(listed.result->documents->at(0).path, pdf.string());

    EXPECT_TRUE(send(on("close", CommandMethod::close)).ok);
    EXPECT_EQ(errorCode(send(on("again", CommandMethod::inspect))), "not_found");
}

TEST_F(WorkerTest, StdioReadsADocument) {
    const fs::path pdf = dir.path() / "two pages.pdf";
    testing::writeFile(pdf,
                       testing::makePdf({testing::TestPage{}, testing::TestPage{300, 400, "Second page"}}));
    WorkerProcess worker({}, environment());
    readThroughADocument(worker, pdf, testing::renderFolderIn(dir.path() / "support"));
    worker.closeInput();
    EXPECT_EQ(worker.wait(), 0) << worker.errorOutput();
}

TEST_F(WorkerTest, SocketReadsADocument) {
    const fs::path pdf = dir.path() / "two.pdf";
    testing::writeFile(pdf,
                       testing::makePdf({testing::TestPage{}, testing::TestPage{300, 400, "Second page"}}));
    auto worker = startSocketWorker();
    SocketConnection editor(socketPath());
    editor.write(testing::requestLine(hello("ui-token")));
    ASSERT_EQ(errorCode(testing::readExchange(editor).response), "ok");
    readThroughADocument(editor, pdf, testing::renderFolderIn(dir.path() / "support"));
}

TEST_F(WorkerTest, GrantsFromTheEditorReachTheMCPConnection) {
    const fs::path pdf = dir.path() / "shared.pdf";
    testing::writeFile(pdf, testing::makePdf());
    auto worker = startSocketWorker();
    SocketConnection editor(socketPath());
    SocketConnection mcp(socketPath());
    const auto send = [](SocketConnection& connection, const CommandRequest& r) {
        connection.write(testing::requestLine(r));
        return testing::readExchange(connection).response.value_or(CommandResponse{});
    };
    ASSERT_TRUE(send(editor, hello("ui-token")).ok);
    ASSERT_TRUE(send(mcp, hello("mcp-token")).ok);

    auto missing = request("m", CommandMethod::open);
    missing.params.path = (dir.path() / "missing.pdf").string();
    EXPECT_EQ(send(editor, missing).error, (CommandErrorPayload{"file", "The file could not be opened."}));
    auto open = request("o", CommandMethod::open);
    open.params.path = pdf.string();
    const auto opened = send(editor, open);
    ASSERT_TRUE(opened.ok) << errorCode(opened);
    const std::string session = *opened.result->sessionId;

    const auto mcpDocuments = [&] {
        return send(mcp, request("l", CommandMethod::listDocuments)).result->documents->size();
    };
    EXPECT_EQ(mcpDocuments(), 0u);
    auto grants = request("g", CommandMethod::setGrants);
    grants.params.sessionIds = std::vector<std::string>{session};
    ASSERT_TRUE(send(editor, grants).ok);
    EXPECT_EQ(mcpDocuments(), 1u);

    auto render = request("r", CommandMethod::renderPage);
    render.params.sessionId = session;
    render.params.pageId = opened.result->pages->at(0).id;
    render.params.scale = 10;
    render.params.pngPath = (dir.path() / "not-here.png").string();
    const auto rendered = send(mcp, render);
    ASSERT_TRUE(rendered.ok) << errorCode(rendered);
    EXPECT_EQ(rendered.result->width, 1224);
    EXPECT_EQ(*rendered.result->pngPath, (testing::renderFolderIn(dir.path() / "support") /
                                          (session + "-" + *render.params.pageId + "-1.png"))
                                             .string());
    EXPECT_FALSE(fs::exists(dir.path() / "not-here.png"));

    auto close = request("c", CommandMethod::close);
    close.params.sessionId = session;
    EXPECT_EQ(send(mcp, close).error, (CommandErrorPayload{"unauthorized", "MCP cannot call close."}));
    EXPECT_TRUE(send(editor, close).ok);
    EXPECT_EQ(mcpDocuments(), 0u);
}

TEST_F(WorkerTest, ASecondConnectionCancelsARunningCommand) {
    const fs::path pdf = dir.path() / "long.pdf";
    testing::writeFile(pdf, testing::makePdf(std::vector<testing::TestPage>(6000)));
    auto worker = startSocketWorker();
    SocketConnection editor(socketPath());
    SocketConnection control(socketPath());
    for (auto* connection : {&editor, &control}) {
        connection->write(testing::requestLine(hello("ui-token")));
        ASSERT_EQ(errorCode(testing::readExchange(*connection).response), "ok");
    }
    auto open = request("open", CommandMethod::open, CommandChannel::ui);
    open.params.path = pdf.string();
    editor.write(testing::requestLine(open));
    const auto opened = testing::readExchange(editor, 60).response;
    ASSERT_TRUE(opened && opened->ok) << errorCode(opened);

    // Each search of every page calls the engine's step, where a cancel takes effect.
    auto search = request("long-search", CommandMethod::search, CommandChannel::ui);
    search.params.sessionId = opened->result->sessionId;
    search.params.query = "nowhere to be found";
    search.progress = true;
    editor.write(testing::requestLine(search));
    std::vector<CommandPhase> phases;
    std::optional<CommandResponse> response;
    bool cancelSent = false;
    while (auto line = editor.readLine(60)) {
        CommandReply reply = CommandJSON::decodeReply(*line);
        if (auto* progress = std::get_if<CommandProgress>(&reply)) {
            EXPECT_EQ(progress->id, "long-search");
            phases.push_back(progress->phase);
            if (progress->phase == CommandPhase::searching && !cancelSent) {
                auto cancel = request("stop", CommandMethod::cancel, CommandChannel::ui);
                cancel.params.requestId = "long-search";
                control.write(testing::requestLine(cancel));
                const auto answer = testing::readExchange(control, 5).response;
                ASSERT_TRUE(answer && answer->ok) << errorCode(answer);
                EXPECT_EQ(answer->result->cancelled, true);
                cancelSent = true;
            }
            continue;
        }
        response = std::get<CommandResponse>(std::move(reply));
        break;
    }
    ASSERT_TRUE(cancelSent);
    ASSERT_TRUE(response.has_value());
    EXPECT_EQ(response->error,
              (CommandErrorPayload{"cancelled", "Cancelled before it finished. Nothing changed."}));
    ASSERT_GE(phases.size(), 2u);
    EXPECT_EQ(phases.front(), CommandPhase::started);
    for (std::size_t i = 1; i < phases.size(); ++i) EXPECT_EQ(phases[i], CommandPhase::searching);

    // The engine is free again.
    editor.write(testing::requestLine(request("after", CommandMethod::ping)));
    EXPECT_EQ(errorCode(testing::readExchange(editor).response), "ok");
}

}  // namespace
}  // namespace kivo

namespace kivo {
namespace {

// One document's command that PDFium cannot finish costs that command alone: stopped once it has
// been quiet for three quarters of the stall limit (here 3 s of 4), or at once by a cancel from a
// second connection, with its sentence, while the worker stays up and an edited document keeps its
// edit, revision and undo. Documents whose captions share one large string open.
TEST_F(WorkerTest, ACommandPdfiumCannotFinishEndsAloneAndTheOthersGoOn) {
    const fs::path slowFile = testing::repro("field-tree-repeated-kids.pdf");
    const fs::path captionsFile = testing::repro("push-button-captions-shared.pdf");
    if (slowFile.empty() || captionsFile.empty()) GTEST_SKIP() << "the reproducers are absent";
    const fs::path edited = dir.path() / "edited.pdf";
    testing::writeFile(edited, testing::makePdf({testing::TestPage{}, testing::TestPage{}}));

    // Besides the reproducer, a worker whose every render goes round one loop of the engine for ever.
    const fs::path spunFile = dir.path() / "spun.pdf";
    testing::writeFile(spunFile, testing::makePdf({testing::TestPage{}, testing::TestPage{}}));
    struct Run {
        const char* name;
        const char* stallLimit;
        bool cancel;
        bool spun;
        std::string code;
        std::string message;
    };
    const std::string tookTooLong = " because it took too long. Nothing changed.";
    const Run runs[] = {
        {"stopped for its time", "4", false, false, "resource_limit",
         "Kivo PDF stopped reading page 1 of field-tree-repeated-kids.pdf" + tookTooLong},
        // A stall limit of 60 s puts the deadline at 45 s, past any wait of this test: only the cancel
        // can end the render within it.
        {"cancelled", "60", true, false, "cancelled", "Cancelled before it finished. Nothing changed."},
        {"an endless loop stopped for its time", "4", false, true, "resource_limit",
         "Kivo PDF stopped reading page 1 of spun.pdf" + tookTooLong},
        {"an endless loop cancelled", "60", true, true, "cancelled",
         "Cancelled before it finished. Nothing changed."},
    };
    for (const Run& run : runs) {
        SCOPED_TRACE(run.name);
        auto env = environment();
        env["KIVO_PDF_WORKER_STALL_LIMIT_S"] = run.stallLimit;
        if (run.spun) env["KIVO_PDF_TEST_SPIN_METHODS"] = "render_page,assistant_context";
        auto worker = testing::startSocketWorker(socketPath(), env);
        SocketConnection editor(socketPath());
        SocketConnection control(socketPath());
        for (auto* connection : {&editor, &control}) {
            connection->write(testing::requestLine(hello("ui-token")));
            ASSERT_EQ(errorCode(testing::readExchange(*connection).response), "ok");
        }
        const auto send = [&](CommandRequest r) {
            r.channel = CommandChannel::ui;
            editor.write(testing::requestLine(r));
            return testing::readExchange(editor, 20).response.value_or(CommandResponse{});
        };
        const auto openFile = [&](const fs::path& path) {
            auto open = request("o", CommandMethod::open, CommandChannel::ui);
            open.params.path = path.string();
            return send(open);
        };
        const auto kept = openFile(edited);
        ASSERT_TRUE(kept.ok) << errorCode(kept);
        const std::string keptId = kept.result->sessionId.value_or("");
        const auto on = [&](const char* id, CommandMethod method, const std::string& session) {
            auto r = request(id, method, CommandChannel::ui);
            r.params.sessionId = session;
            return r;
        };
        auto highlight = on("h", CommandMethod::addHighlight, keptId);
        highlight.params.pageId = kept.result->pages->at(0).id;
        highlight.params.rect = PDFRect{72, 72, 200, 120};
        const auto highlighted = send(highlight);
        ASSERT_TRUE(highlighted.ok) << errorCode(highlighted);
        EXPECT_EQ(openFile(captionsFile).ok, true);

        const auto slow = openFile(run.spun ? spunFile : slowFile);
        ASSERT_TRUE(slow.ok) << errorCode(slow);
        const std::string slowId = slow.result->sessionId.value_or("");
        auto render = on("slow-render", CommandMethod::renderPage, slowId);
        render.params.pageId = slow.result->pages->at(0).id;
        render.progress = true;
        editor.write(testing::requestLine(render));
        if (run.cancel) {
            // The render has begun inside the engine once its first progress line is out.
            const auto first = editor.readLine(20);
            ASSERT_TRUE(first);
            auto cancel = request("stop", CommandMethod::cancel, CommandChannel::ui);
            cancel.params.requestId = "slow-render";
            control.write(testing::requestLine(cancel));
            const auto answer = testing::readExchange(control, 5).response;
            ASSERT_TRUE(answer && answer->ok) << errorCode(answer);
        }
        const auto stopped = testing::readExchange(editor, 20).response;
        ASSERT_TRUE(stopped) << "no answer: " << worker->errorOutput();
        ASSERT_TRUE(stopped->error);
        EXPECT_EQ(*stopped->error, (CommandErrorPayload{run.code, run.message}));

        // The page stopped for its time is refused at once when asked for again, for its thumbnail say,
        // rather than costing the same wait; a cancelled one is tried again.
        if (!run.cancel && !run.spun) {
            auto again = on("again", CommandMethod::renderPage, slowId);
            again.params.pageId = render.params.pageId;
            again.params.scale = 0.2;
            EXPECT_EQ(send(again).error,
                      (CommandErrorPayload{
                          run.code,
                          "Kivo PDF stopped reading page 1 of field-tree-repeated-kids.pdf because "
                          "it took too long, and does not try again until the document is opened "
                          "again. Nothing changed."}));
            EXPECT_EQ(worker->errorOutput().find("stopping"), std::string::npos);
            // So is an edit of that page; a turn of it, which names no one page, is stopped in its turn, and
            // leaves no step to undo behind.
            auto note = on("note", CommandMethod::addNote, slowId);
            note.params.pageId = render.params.pageId;
            note.params.rect = PDFRect{72, 72, 96, 96};
            note.params.contents = "A note";
            EXPECT_EQ(errorCode(send(note)), run.code);
            auto turn = on("turn", CommandMethod::rotatePages, slowId);
            turn.params.pageIds = std::vector<std::string>{*render.params.pageId};
            turn.params.rotation = 90;
            EXPECT_EQ(send(turn).error,
                      (CommandErrorPayload{run.code,
                                           "Kivo PDF stopped changing field-tree-repeated-kids.pdf "
                                           "because it took too long. Nothing changed."}));
            const auto unturned = send(on("i3", CommandMethod::inspect, slowId));
            ASSERT_TRUE(unturned.ok) << errorCode(unturned);
            EXPECT_EQ(unturned.result->revision, slow.result->revision);
            EXPECT_EQ(unturned.result->undoAvailable, false);
            EXPECT_EQ(unturned.result->pages->at(0).rotation, 0);
        }

        // A question about the whole document stopped while page 2 is shown leaves page 2 as it was: the
        // page a question names is only where the person is.
        if (run.spun && !run.cancel) {
            auto question = on("q", CommandMethod::assistantContext, slowId);
            question.params.scope = "document";
            question.params.pageId = slow.result->pages->at(1).id;
            EXPECT_EQ(errorCode(send(question)), "resource_limit");
            auto text = on("t", CommandMethod::extractText, slowId);
            text.params.pageId = question.params.pageId;
            EXPECT_EQ(errorCode(send(text)), "ok");
        }

        // Everything else is as it was: the edited document's revision and undo, and the stopped
        // document itself, which answers again.
        const auto inspected = send(on("i", CommandMethod::inspect, keptId));
        ASSERT_TRUE(inspected.ok) << errorCode(inspected);
        EXPECT_EQ(inspected.result->revision, highlighted.result->revision);
        EXPECT_EQ(inspected.result->undoAvailable, true);
        EXPECT_TRUE(send(on("u", CommandMethod::undo, keptId)).ok);
        EXPECT_TRUE(send(on("r", CommandMethod::redo, keptId)).ok);
        EXPECT_TRUE(send(on("i2", CommandMethod::inspect, slowId)).ok);
        EXPECT_EQ(worker->wait(0.1), -1) << "the worker is still up";
    }
}

}  // namespace
}  // namespace kivo
