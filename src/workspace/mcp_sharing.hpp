#pragma once

// What MCP clients may reach through the worker, and following their edits: the grants sent to the
// worker (the open document while `mcpAccessGranted` holds, and the approved paths), the
// configuration an MCP client needs, and the 1 s watch that reads the document again when an MCP
// client moved its revision. It owns the approved paths and the watch; it reads and writes the
// published state it is given and sends through the CommandSender it is given (the WorkerLink). GUI
// thread only. Nothing here throws: a refusal ends in `errorMessage` and turns `mcpAccessGranted` off.

#include <QObject>

#include <optional>
#include <string>
#include <vector>

#include "core/commands.hpp"
#include "workspace/workspace_services.hpp"

class QTimer;

namespace kivo {

class CommandSender;
class WorkspaceState;

class McpSharing : public QObject {
    Q_OBJECT
    // A worker runs that MCP clients can reach.
    Q_PROPERTY(bool mcpEnabled READ mcpEnabled WRITE setMcpEnabled NOTIFY mcpEnabledChanged)
    // The user shares the open document with MCP clients.
    Q_PROPERTY(
        bool mcpAccessGranted READ mcpAccessGranted WRITE setMcpAccessGranted NOTIFY mcpAccessGrantedChanged)

public:
    // `state`, `link` and `services` must outlive the sharing.
    McpSharing(WorkspaceState& state, CommandSender& link, const WorkspaceServices& services,
               QObject* parent = nullptr);

    bool mcpEnabled() const { return mcpEnabled_; }
    bool mcpAccessGranted() const { return mcpAccessGranted_; }

    // ---- What the workspace tells it

    // A worker runs, or stopped: MCP clients can reach it, or not.
    void workerStarted();
    void workerStopped();
    // A new worker runs after a stop. It holds no grants: sharing is off until the user turns it on
    // again, and the approved paths are sent to it.
    void workerRestarted();
    // What the notice after the last restart says of sharing: that it is off, when the document was
    // shared before the stop; nothing otherwise.
    const std::optional<std::string>& restartNote() const { return restartNote_; }
    // Another document replaced the open one: sharing, which is per document, is turned off and the
    // grants are sent. Answers whether it was on.
    bool documentReplaced();
    // The open document has another file name now (saved under a new one): while it is shared, MCP
    // clients may reach the file under that name alone, and the grants say so.
    void sourcePathChanged();
    // No document is open any more: the watch stops. The switch stays as it was until a worker restarts.
    void documentClosed();
    // The document is gone with the worker that held it: sharing is off, and nothing is sent.
    void forget();

    // The document's switch: shares the open document with MCP clients or stops sharing it, sends
    // the grants and says so in `status`.
    void setMcpAccess(bool on);
    // Asks for files, or for folders, that MCP may use.
    void approveMcpPath(FileDialogs::PathKind kind);
    // Whether any path was approved; a new worker is sent them again.
    bool hasApprovedPaths() const { return !extraMcpPaths_.empty(); }
    // Puts the MCP client configuration on the clipboard.
    void copyMcpSetup();
    // Whether the 1 s watch for MCP clients' edits runs: exactly while sharing is on and a document is open.
    bool watchingExternalChanges() const { return externalChangeTimer_ != nullptr; }

signals:
    void mcpEnabledChanged();
    void mcpAccessGrantedChanged();
    // An MCP client changed the open document: the document as read now, and the sentence for `status`.
    void externalChange(const CommandResult& result, const std::string& status);

private:
    // Each emits its change signal only on a real change; the grants are not sent.
    void setMcpEnabled(bool value);
    void setMcpAccessGranted(bool value);
    // Sends the whole grant state to the worker, then starts or stops the change watch.
    void syncMcpGrants();
    void updateExternalChangeWatch();
    void pollExternalChanges();
    void grantsRefused(const std::string& message);

    WorkspaceState& state_;
    CommandSender& link_;
    const WorkspaceServices& services_;
    bool mcpEnabled_ = false;
    bool mcpAccessGranted_ = false;
    std::optional<std::string> restartNote_;
    // The approved paths in the order approved, the watch and its poll.
    std::vector<std::string> extraMcpPaths_;
    QTimer* externalChangeTimer_ = nullptr;
    bool externalPollInFlight_ = false;
};

}  // namespace kivo
