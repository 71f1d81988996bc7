// What MCP clients may reach through the worker, and following their edits: the grants sent to
// the worker, the approved paths, the configuration an MCP client needs, and the 1 s watch that
// takes the document in again when an MCP client moved its revision.

#include "workspace/mcp_sharing.hpp"

#include <QTimer>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>

#include "workspace/command_sender.hpp"
#include "workspace/workspace_state.hpp"

namespace kivo {
namespace {

constexpr int watchMilliseconds = 1000;

// The path as one word of a POSIX shell: as it is when it holds only characters no shell reads
// specially, else in single quotes, each quote in it closed, escaped and opened again.
std::string shellWord(const std::string& path) {
    const bool plain = !path.empty() && std::all_of(path.begin(), path.end(), [](unsigned char c) {
        return std::isalnum(c) ||
               std::string_view("/._-+,:@%=").find(static_cast<char>(c)) != std::string_view::npos;
    });
    if (plain) return path;
    std::string word = "'";
    for (const char c : path) word += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return word + "'";
}

}  // namespace

McpSharing::McpSharing(WorkspaceState& state, CommandSender& link, const WorkspaceServices& services,
                       QObject* parent)
    : QObject(parent), state_(state), link_(link), services_(services) {}

void McpSharing::setMcpEnabled(bool value) {
    if (value == mcpEnabled_) return;
    mcpEnabled_ = value;
    emit mcpEnabledChanged();
}

void McpSharing::setMcpAccessGranted(bool value) {
    if (value == mcpAccessGranted_) return;
    mcpAccessGranted_ = value;
    emit mcpAccessGrantedChanged();
}

void McpSharing::workerStarted() { setMcpEnabled(true); }

void McpSharing::workerStopped() { setMcpEnabled(false); }

void McpSharing::workerRestarted() {
    restartNote_ = mcpAccessGranted()
                       ? std::optional<std::string>("MCP access is off until you turn it on again.")
                       : std::nullopt;
    setMcpAccessGranted(false);
    if (hasApprovedPaths()) {
        syncMcpGrants();
    } else {
        updateExternalChangeWatch();
    }
}

bool McpSharing::documentReplaced() {
    if (!mcpAccessGranted()) return false;
    setMcpAccessGranted(false);
    syncMcpGrants();
    return true;
}

void McpSharing::sourcePathChanged() {
    if (mcpAccessGranted()) syncMcpGrants();
}

void McpSharing::documentClosed() { updateExternalChangeWatch(); }

void McpSharing::forget() { setMcpAccessGranted(false); }

void McpSharing::setMcpAccess(bool on) {
    setMcpAccessGranted(on);
    syncMcpGrants();
    state_.setStatus(on ? "MCP can use this document. A client may send tool results to its own provider."
                        : "MCP access revoked.");
}

void McpSharing::syncMcpGrants() {
    const bool sharing = mcpAccessGranted();
    CommandParams params;
    params.sessionIds = sharing && state_.sessionId() ? std::vector<std::string>{*state_.sessionId()}
                                                      : std::vector<std::string>{};
    params.permissions =
        sharing ? std::vector<std::string>{"read", "modify", "export"} : std::vector<std::string>{};
    std::vector<std::string> paths = extraMcpPaths_;
    if (sharing && state_.inspect() && state_.inspect()->sourcePath)
        paths.push_back(*state_.inspect()->sourcePath);
    params.paths = std::move(paths);
    link_.send(
        CommandSender::makeRequest(CommandMethod::setGrants, std::move(params)), std::nullopt, true,
        [](const CommandResult&) {},
        [this](const std::string&, const std::string& message) { grantsRefused(message); });
    updateExternalChangeWatch();
}

// The switch must not say "shared" while the worker holds other grants than the editor meant.
void McpSharing::grantsRefused(const std::string& message) {
    setMcpAccessGranted(false);
    updateExternalChangeWatch();
    state_.setErrorMessage(message);
}

void McpSharing::approveMcpPath(FileDialogs::PathKind kind) {
    const auto chosen =
        services_.fileDialogs->choosePaths("MCP may only read or write these approved paths.", kind);
    if (chosen.empty()) return;
    for (const auto& path : chosen) {
        if (std::find(extraMcpPaths_.begin(), extraMcpPaths_.end(), path.string()) == extraMcpPaths_.end()) {
            extraMcpPaths_.push_back(path.string());
        }
    }
    syncMcpGrants();
    const std::string approved = "Approved " + std::to_string(chosen.size()) + " path(s)";
    state_.setStatus(mcpAccessGranted()
                         ? approved + " for MCP."
                         : approved + ". Turn on Allow MCP on this document to share the document itself.");
}

void McpSharing::copyMcpSetup() {
    const auto connector = services_.workerHost->connectorExecutable();
    if (!connector) {
        state_.setErrorMessage(
            services_.workerHost->installed()
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
    state_.setStatus(
        "Copied MCP config for Claude Desktop or Cursor. Claude Code: claude mcp add --scope user kivo-pdf "
        "-- " +
        shellWord(connector->string()));
}

void McpSharing::updateExternalChangeWatch() {
    if (mcpAccessGranted() && state_.sessionId()) {
        if (externalChangeTimer_) return;
        externalChangeTimer_ = new QTimer(this);
        externalChangeTimer_->setInterval(watchMilliseconds);
        connect(externalChangeTimer_, &QTimer::timeout, this, &McpSharing::pollExternalChanges);
        externalChangeTimer_->start();
        return;
    }
    delete externalChangeTimer_;
    externalChangeTimer_ = nullptr;
}

void McpSharing::pollExternalChanges() {
    if (!mcpAccessGranted() || externalPollInFlight_) return;
    if (!state_.sessionId() || !state_.inspect() || !state_.inspect()->revision) return;
    const std::string session = *state_.sessionId();
    const std::int64_t known = *state_.inspect()->revision;
    externalPollInFlight_ = true;
    link_.send(
        CommandSender::makeRequest(CommandMethod::listDocuments), std::nullopt, false,
        [this, session, known](const CommandResult& result) {
            externalPollInFlight_ = false;
            if (state_.sessionId() != session || !result.documents) return;
            const auto& documents = *result.documents;
            const auto listed =
                std::find_if(documents.begin(), documents.end(),
                             [&](const DocumentSummary& entry) { return entry.sessionId == session; });
            if (listed == documents.end()) return;
            const std::int64_t current =
                state_.inspect() && state_.inspect()->revision ? *state_.inspect()->revision : known;
            if (current >= listed->revision) return;
            CommandParams params;
            params.sessionId = session;
            link_.send(CommandSender::makeRequest(CommandMethod::inspect, std::move(params)), std::nullopt,
                       false, [this, session, revision = listed->revision](const CommandResult& latest) {
                           if (state_.sessionId() != session) return;
                           emit externalChange(latest,
                                               "Updated by an MCP client · revision " +
                                                   std::to_string(latest.revision.value_or(revision)));
                       });
        },
        [this](const std::string&, const std::string&) { externalPollInFlight_ = false; });
}

}  // namespace kivo
