#include "fake_command_sender.hpp"

#include <QMetaObject>

#include <algorithm>

namespace kivo::testing {

void FakeCommandSender::send(CommandRequest request, std::optional<std::string>, bool,
                             SuccessHandler onSuccess, FailureHandler onFailure, CancelHandler onCancelled) {
    sent_.push_back(request);
    if (const auto answer = answers.find(request.method); answer != answers.end()) {
        // As the link does: never on the sender's stack.
        QMetaObject::invokeMethod(
            this, [onSuccess = std::move(onSuccess), result = answer->second] { onSuccess(result); },
            Qt::QueuedConnection);
        return;
    }
    waiting_.push_back(
        {std::move(request), std::move(onSuccess), std::move(onFailure), std::move(onCancelled)});
}

void FakeCommandSender::setReady(bool value) {
    if (value == ready_) return;
    ready_ = value;
    emit workerReadyChanged();
}

std::vector<CommandRequest> FakeCommandSender::sent(CommandMethod method) const {
    std::vector<CommandRequest> requests;
    std::copy_if(sent_.begin(), sent_.end(), std::back_inserter(requests),
                 [method](const CommandRequest& request) { return request.method == method; });
    return requests;
}

std::optional<FakeCommandSender::Waiting> FakeCommandSender::take(CommandMethod method) {
    const auto found = std::find_if(waiting_.begin(), waiting_.end(), [method](const Waiting& waiting) {
        return waiting.request.method == method;
    });
    if (found == waiting_.end()) return std::nullopt;
    Waiting waiting = std::move(*found);
    waiting_.erase(found);
    return waiting;
}

bool FakeCommandSender::succeed(CommandMethod method, const CommandResult& result) {
    auto waiting = take(method);
    if (!waiting) return false;
    waiting->onSuccess(result);
    return true;
}

bool FakeCommandSender::fail(CommandMethod method, const std::string& code, const std::string& message) {
    auto waiting = take(method);
    if (!waiting) return false;
    if (waiting->onFailure) waiting->onFailure(code, message);
    return true;
}

bool FakeCommandSender::cancel(CommandMethod method) {
    auto waiting = take(method);
    if (!waiting) return false;
    if (waiting->onCancelled) waiting->onCancelled();
    return true;
}

PartFixture::PartFixture()
    : host(std::make_shared<TestWorkerHost>(std::nullopt, std::map<std::string, std::string>{})),
      // The empty ones take their quiet defaults.
      services(WorkspaceServices{.workerHost = host,
                                 .prompts = {},
                                 .fileDialogs = dialogs,
                                 .clipboard = clipboard,
                                 .printer = {},
                                 .keyStore = keys,
                                 .clock = {},
                                 .settings = {},
                                 .screen = screen}
                   .withDefaults()) {}

void showDocument(WorkspaceState& state, int pages, double width, double height) {
    CommandResult document;
    document.sessionId = "s1";
    document.revision = 1;
    document.pages = std::vector<PageInfo>{};
    for (int i = 0; i < pages; ++i)
        document.pages->push_back(PageInfo{"p" + std::to_string(i + 1), i, width, height});
    arrange(state, "sessionId", std::optional<std::string>("s1"));
    arrange(state, "inspect", std::optional<CommandResult>(document));
    arrange(state, "selectedPageId", std::optional<std::string>("p1"));
}

}  // namespace kivo::testing
