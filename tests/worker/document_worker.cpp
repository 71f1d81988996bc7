#include "document_worker.hpp"

#include <gtest/gtest.h>

#include "command_requests.hpp"
#include "test_pdfs.hpp"

namespace kivo::testing {

namespace fs = std::filesystem;

std::string modeName(WorkerMode mode) { return mode == WorkerMode::stdio ? "Stdio" : "Socket"; }

DocumentWorker::DocumentWorker(WorkerMode mode, const fs::path& folder) : mode_(mode) {
    const std::map<std::string, std::string> environment{
        {"KIVO_PDF_SUPPORT_DIR", (folder / "support").string()},
        {"TMPDIR", folder.string()},
        {"XDG_RUNTIME_DIR", ""},
        {"KIVO_PDF_WORKER_SANDBOX", "off"}};
    if (mode == WorkerMode::stdio) {
        process_ = std::make_unique<WorkerProcess>(std::vector<std::string>{}, environment);
        return;
    }
    const fs::path socket = folder / "w.sock";
    process_ = startSocketWorker(socket, environment);
    editor_ = std::make_unique<SocketConnection>(socket);
    mcp_ = std::make_unique<SocketConnection>(socket);
    EXPECT_TRUE(editor_->authenticate("ui-token")) << process_->errorOutput();
    EXPECT_TRUE(mcp_->authenticate("mcp-token")) << process_->errorOutput();
}

DocumentWorker::~DocumentWorker() { stop(); }

CommandResponse DocumentWorker::send(const CommandRequest& request) {
    CommandRequest numbered = request;
    if (numbered.id.empty()) numbered.id = "r" + std::to_string(++requests_);
    Exchange exchange;
    if (mode_ == WorkerMode::stdio) {
        process_->write(requestLine(numbered));
        exchange = readExchange(*process_);
    } else {
        SocketConnection& connection = numbered.channel == CommandChannel::mcp ? *mcp_ : *editor_;
        connection.write(requestLine(numbered));
        exchange = readExchange(connection);
    }
    if (!exchange.response)
        return CommandResponse::failure(numbered.id, "<no response>", process_->errorOutput());
    EXPECT_EQ(exchange.response->id, numbered.id);
    return *exchange.response;
}

CommandResponse DocumentWorker::open(const fs::path& path) {
    auto request = makeRequest(CommandMethod::open);
    request.params.path = path.string();
    CommandResponse response = send(request);
    EXPECT_TRUE(response.ok) << path << ": " << outcome(response);
    return response;
}

int DocumentWorker::stop() {
    editor_.reset();
    mcp_.reset();
    process_->closeInput();
    if (mode_ == WorkerMode::stdio) return process_->wait();
    return 0;  // the socket worker ends with the process object
}

CommandRequest makeRequest(CommandMethod method, CommandChannel channel) {
    return request({}, method, channel);
}

void OpenedDocument::start(WorkerMode mode) {
    pdf = dir.path() / "doc.pdf";
    writeFile(pdf, makePdf({TestPage{}, TestPage{300, 400, "Second page"}}));
    worker = std::make_unique<DocumentWorker>(mode, dir.path());
    const auto opened = worker->open(pdf);
    ASSERT_TRUE(opened.ok);
    session = *opened.result->sessionId;
    for (const PageInfo& page : *opened.result->pages) pages.push_back(page.id);
}

CommandRequest OpenedDocument::on(CommandMethod method, const std::string& sessionId) const {
    auto r = makeRequest(method);
    r.params.sessionId = sessionId.empty() ? session : sessionId;
    return r;
}

std::string outcome(const CommandResponse& response) {
    if (response.ok) return "ok";
    if (!response.error) return "failure without error";
    return response.error->code + ": " + response.error->message;
}

std::string tinyPng() {
    return std::string(
        "\x89PNG\r\n\x1a\n\x00\x00\x00\x0dIHDR\x00\x00\x00\x02\x00\x00\x00\x02\x08\x02\x00\x00\x00\xfd\xd4"
        "\x9a\x73"
        "\x00\x00\x00\x10IDAT\x78\x9c\x63\xf8\xcf\xc0\xc0\x00\xc2\x60\x02\x00\x19\xf4\x02\xfe\xab\x41\x56\xbc"
        "\x00\x00\x00\x00IEND\xae\x42\x60\x82",
        73);
}

}  // namespace kivo::testing
