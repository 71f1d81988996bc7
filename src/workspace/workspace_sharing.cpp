// What MCP clients may reach through the worker, and following their edits: the grants sent to
// the worker, the approved paths, the configuration an MCP client needs, and the 1 s watch that
// takes the document in again when an MCP client moved its revision.

#include <QTimer>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>

#include "core/render_cache.hpp"
#include "workspace/workspace.hpp"

namespace kivo {
namespace {

constexpr int watchMilliseconds = 1000;

// The path as one word of a POSIX shell: as it is when it holds only characters no shell reads
// specially, else in single quotes, each quote in it closed, escaped and opened again.
std::string shellWord(const std::string& path) {
    const bool plain = !path.empty() && std::all_of(path.begin(), path.end(), [](unsigned char c) {
        return std::isalnum(c) || std::string_view("/._-+,:@%=").find(static_cast<char>(c)) != std::string_view::npos;
    });
    if (plain) return path;
    std::string word = "'";
    for (const char c : path) word += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return word + "'";
}

}  // namespace

void Workspace::syncMCPGrants() {
    const bool sharing = mcpAccessGranted();
    CommandParams params;
    params.sessionIds = sharing && sessionId() ? std::vector<std::string>{*sessionId()} : std::vector<std::string>{};
    params.permissions = sharing ? std::vector<std::string>{"read", "modify", "export"} : std::vector<std::string>{};
    std::vector<std::string> paths = extraMCPPaths_;
    if (sharing && inspect() && inspect()->sourcePath) paths.push_back(*inspect()->sourcePath);
    params.paths = std::move(paths);
    send(
        makeRequest(CommandMethod::setGrants, std::move(params)), std::nullopt, true, [](const CommandResult&) {},
        [this](const std::string&, const std::string& message) { grantsRefused(message); });
    updateExternalChangeWatch();
}

// The switch must not say "shared" while the worker holds other grants than the editor meant.
void Workspace::grantsRefused(const std::string& message) {
    setMcpAccessGranted(false);
    updateExternalChangeWatch();
    setErrorMessage(message);
}

void Workspace::approveMCPPath(FileDialogs::PathKind kind) {
    const auto chosen = services_.fileDialogs->choosePaths("MCP may only read or write these approved paths.", kind);
    if (chosen.empty()) return;
    for (const auto& path : chosen) {
        if (std::find(extraMCPPaths_.begin(), extraMCPPaths_.end(), path.string()) == extraMCPPaths_.end()) {
            extraMCPPaths_.push_back(path.string());
        }
    }
    syncMCPGrants();
    const std::string approved = "Approved " + std::to_string(chosen.size()) + " path(s)";
    setStatus(mcpAccessGranted() ? approved + " for MCP."
                                 : approved + ". Turn on Allow MCP on this document to share the document itself.");
}

void Workspace::copyMCPSetup() {
    const auto connector = services_.workerHost->connectorExecutable();
    if (!connector) {
        setErrorMessage(services_.workerHost->installed()
                            ? "Kivo PDF is missing the connector that MCP clients use. Install Kivo PDF again."
                            : "kivo-pdf-mcp was not found next to the editor. Build the project with scripts/build.sh, "
                              "then copy the config again.");
        return;
    }
    std::string text;
    try {
        // Keys come out sorted, and nlohmann never escapes "/".
        const nlohmann::json config = {{"mcpServers", {{"kivo-pdf", {{"command", connector->string()}}}}}};
        text = config.dump(2);
    } catch (const nlohmann::json::exception&) {
        return;  // a path that is no UTF-8 cannot be written into the configuration
    }
    services_.clipboard->setText(text);
    setStatus("Copied MCP config for Claude Desktop or Cursor. Claude Code: claude mcp add --scope user kivo-pdf -- " +
              shellWord(connector->string()));
}

void Workspace::updateExternalChangeWatch() {
    if (mcpAccessGranted() && sessionId()) {
        if (externalChangeTimer_) return;
        externalChangeTimer_ = new QTimer(this);
        externalChangeTimer_->setInterval(watchMilliseconds);
        connect(externalChangeTimer_, &QTimer::timeout, this, &Workspace::pollExternalChanges);
        externalChangeTimer_->start();
        return;
    }
    delete externalChangeTimer_;
    externalChangeTimer_ = nullptr;
}

void Workspace::pollExternalChanges() {
    if (!mcpAccessGranted() || externalPollInFlight_) return;
    if (!sessionId() || !inspect() || !inspect()->revision) return;
    const std::string session = *sessionId();
    const std::int64_t known = *inspect()->revision;
    externalPollInFlight_ = true;
    send(
        makeRequest(CommandMethod::listDocuments), std::nullopt, false,
        [this, session, known](const CommandResult& result) {
            externalPollInFlight_ = false;
            if (sessionId() != session || !result.documents) return;
            const auto& documents = *result.documents;
            const auto listed = std::find_if(documents.begin(), documents.end(),
                                             [&](const DocumentSummary& entry) { return entry.sessionId == session; });
            if (listed == documents.end()) return;
            const std::int64_t current = inspect() && inspect()->revision ? *inspect()->revision : known;
            if (current >= listed->revision) return;
            CommandParams params;
            params.sessionId = session;
            send(makeRequest(CommandMethod::inspect, std::move(params)), std::nullopt, false,
                 [this, session, revision = listed->revision](const CommandResult& latest) {
                     if (sessionId() != session) return;
                     adopt(latest,
                           "Updated by an MCP client · revision " + std::to_string(latest.revision.value_or(revision)),
                           true, RenderInvalidation::all());
                 });
        },
        [this](const std::string&, const std::string&) { externalPollInFlight_ = false; });
}

}  // namespace kivo
