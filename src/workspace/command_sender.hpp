#pragma once

// What a part of the workspace needs of the road to the worker: a command sent with its handlers,
// whether a worker runs, and word when one is ready. WorkerLink is the one the editor runs on; a
// part that takes this instead of the link is tested against a fake that answers as the test says.
// GUI thread only.
//
// send() never throws: every outcome reaches exactly one of its handlers (or the published state
// when the handler is absent), on the GUI thread and never before send() returns.

#include <QObject>

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/commands.hpp"

namespace kivo {

// The editor's own failure codes, which a failure handler gets beside the worker's FailureCode
// names and no worker ever sends: the worker stopped before the command finished, or the request
// was refused while a worker is on its way back.
enum class LinkFailure { workerStopped, workerRestarting };

inline constexpr std::array<std::string_view, 2> linkFailureCodes = {"worker_stopped", "worker_restarting"};
static_assert(linkFailureCodes.size() == static_cast<std::size_t>(LinkFailure::workerRestarting) + 1);

constexpr std::string_view rawValue(LinkFailure failure) noexcept {
    return linkFailureCodes[static_cast<std::size_t>(failure)];
}

class CommandSender : public QObject {
    Q_OBJECT

public:
    using SuccessHandler = std::function<void(const CommandResult&)>;
    using FailureHandler = std::function<void(const std::string& code, const std::string& message)>;
    using CancelHandler = std::function<void()>;

    using QObject::QObject;

    // A request on the UI channel with a fresh id.
    static CommandRequest makeRequest(CommandMethod method, CommandParams params = {});

    // Sends `request`, showing `activity` while it runs; `clearsError` empties `errorMessage` first.
    // A failure without `onFailure` goes to `errorMessage`; a cancel says so in `status`.
    virtual void send(CommandRequest request, std::optional<std::string> activity, bool clearsError,
                      SuccessHandler onSuccess, FailureHandler onFailure = nullptr,
                      CancelHandler onCancelled = nullptr) = 0;
    // A worker was started and both connections stood; false again once it stops.
    virtual bool workerReady() const = 0;
    // A worker runs and the main connection stands.
    virtual bool running() const = 0;

signals:
    void workerReadyChanged();
};

}  // namespace kivo
