#include "workspace_fixture.hpp"

#include <sys/stat.h>

#include <QCoreApplication>
#include <QEventLoop>

#include <gtest/gtest.h>

#include <fstream>
#include <iostream>
#include <thread>

#include "core/command_json.hpp"
#include "core/text.hpp"
#include "workspace/worker_process.hpp"

namespace kivo::testing {

bool waitUntil(const std::function<bool()>& done, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::filesystem::path realWorker() { return std::filesystem::path(KIVO_BIN_DIR) / "kivo-pdf-worker"; }

std::filesystem::path fakeWorker() { return std::filesystem::path(KIVO_BIN_DIR) / "fake-kivo-pdf-worker"; }

std::vector<std::string> fakeLog(const std::filesystem::path& log, const std::string& prefix) {
    std::vector<std::string> lines;
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with(prefix)) lines.push_back(line.substr(prefix.size()));
    }
    return lines;
}

std::vector<CommandRequest> sentRequests(const std::filesystem::path& log, CommandMethod method) {
    std::vector<CommandRequest> requests;
    for (const auto& line : fakeLog(log, "request ")) {
        CommandRequest request = CommandJSON::decodeRequest(line);
        if (request.method == method) requests.push_back(std::move(request));
    }
    return requests;
}

namespace {

// Passes everything to a real process and notes the waits for its end that ran out.
class CountedWaits : public WorkerProcess {
public:
    explicit CountedWaits(std::shared_ptr<std::vector<int>> waits) : waits_(std::move(waits)) {
        QObject::connect(&process_, &WorkerProcess::finished, this, &WorkerProcess::finished);
    }
    void start(const std::filesystem::path& program, const std::vector<std::string>& arguments,
               const std::map<std::string, std::string>& environment) override {
        process_.start(program, arguments, environment);
    }
    void writeInputAndClose(const std::string& bytes) override { process_.writeInputAndClose(bytes); }
    bool waitForExit(int milliseconds) override {
        const bool ended = process_.waitForExit(milliseconds);
        if (!ended) waits_->push_back(milliseconds);
        return ended;
    }
    std::optional<WorkerTermination> termination() const override { return process_.termination(); }
    qint64 processId() const override { return process_.processId(); }
    void terminate() override { process_.terminate(); }
    void kill() override { process_.kill(); }

private:
    QProcessWorker process_;
    std::shared_ptr<std::vector<int>> waits_;
};

}  // namespace

std::unique_ptr<WorkerProcess> TestWorkerHost::makeProcess() const {
    return std::make_unique<CountedWaits>(waitsRunOut_);
}

std::map<std::string, std::string> TestWorkerHost::environment() const {
    auto environment = processEnvironment();
    for (const auto& [name, value] : extra_) environment[name] = value;
    return environment;
}

std::optional<std::string> FakePrompts::askPassword(const std::string& title, const std::string& detail,
                                                    const std::string& button) {
    asked.push_back({title, detail, button});
    if (passwords.empty()) return std::nullopt;
    auto password = passwords.front();
    passwords.pop_front();
    return password;
}

std::optional<std::string> FakePrompts::askText(const std::string& title, const std::string& detail,
                                                const std::string& initialText, const std::string& button) {
    asked.push_back({title, detail, button});
    initialTexts.push_back(initialText);
    if (texts.empty()) return std::nullopt;
    auto text = texts.front();
    texts.pop_front();
    return text;
}

Prompts::StaleFileChoice FakePrompts::askStaleFile() {
    ++staleAsked;
    if (staleChoices.empty()) return StaleFileChoice::cancel;
    const StaleFileChoice choice = staleChoices.front();
    staleChoices.pop_front();
    return choice;
}

std::optional<PrintChoice> FakePrintService::choose(const PrintJob& job) {
    chosenFor.push_back(job);
    if (whileChoosing) whileChoosing(job);
    return choice;
}

PrintOutcome FakePrintService::output(const PrintJob& job, const PrintChoice& chosen) {
    std::string bytes;
    job.read([&](const char* piece, std::size_t count) { bytes.append(piece, count); });
    struct stat info {};
    const unsigned mode = ::fstat(job.file->get(), &info) == 0 ? info.st_mode & 07777 : 0;
    printed.push_back({job, std::move(bytes), mode, chosen});
    return carryOut ? carryOut(job, chosen) : outcome;
}

std::optional<std::string> FakeKeyStore::read(const std::string& provider) {
    if (failure) throw std::runtime_error(*failure);
    const auto found = keys.find(provider);
    return found != keys.end() ? std::optional(found->second) : std::nullopt;
}

std::optional<KeychainKey::Place> FakeKeyStore::storedPlace(const std::string& provider) {
    const auto key = read(provider);
    return key && !key->empty() ? std::optional(place) : std::nullopt;
}

KeychainKey::Place FakeKeyStore::save(const std::string& key, const std::string& provider) {
    if (failure) throw std::runtime_error(*failure);
    keys[provider] = key;
    return place;
}

void FakeKeyStore::remove(const std::string& provider) {
    if (failure) throw std::runtime_error(*failure);
    keys.erase(provider);
}

Scratch::Scratch()
    : support_("KIVO_PDF_SUPPORT_DIR", (dir_.path() / "support").string()),
      tmp_("TMPDIR", (dir_.path() / "tmp").string()),
      suite_("KIVO_PDF_DEFAULTS_SUITE", "kivo-test-" + newUUIDString()) {
    for (const char* folder : {"support", "tmp", "docs", "home"})
        std::filesystem::create_directories(dir_.path() / folder);
}

TestWorkspace::TestWorkspace(std::optional<std::filesystem::path> program,
                             std::map<std::string, std::string> extra)
    : host(std::make_shared<TestWorkerHost>(std::move(program), std::move(extra))) {
    WorkspaceServices services;
    services.workerHost = host;
    services.prompts = prompts;
    services.clock = clock;
    services.screen = screen;
    services.fileDialogs = dialogs;
    services.clipboard = clipboard;
    services.printer = printer;
    services.keyStore = keys;
    workspace = std::make_unique<Workspace>(services);
}

std::unique_ptr<TestWorkspace> launchedRealWorker(const Scratch& scratch) {
    for (const char* sandbox : {"on", "off"}) {
        auto test = std::make_unique<TestWorkspace>(
            realWorker(), std::map<std::string, std::string>{{"HOME", scratch.home().string()},
                                                             {"KIVO_PDF_WORKER_SANDBOX", sandbox}});
        (*test)->launchOnce();
        if ((*test)->link().workerReady()) return test;
        std::cerr << "note: the worker does not start with its sandbox " << sandbox
                  << " here: " << (*test)->errorMessage().value_or("") << "\n";
    }
    ADD_FAILURE() << "the worker did not start";
    return nullptr;
}

std::filesystem::path writeDocument(const Scratch& scratch, const std::string& name,
                                    const std::vector<TestPage>& pages) {
    const auto path = scratch.docs() / name;
    writeFile(path, makePdf(pages));
    return path;
}

}  // namespace kivo::testing
