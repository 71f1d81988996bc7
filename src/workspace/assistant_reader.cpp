#include "workspace/assistant_reader.hpp"

#include <QMetaObject>
#include <QThread>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "assistant/provider_error.hpp"
#include "core/text.hpp"
#include "workspace/assistant_session.hpp"

namespace kivo {
namespace {

// One read's outcome, filled on the GUI thread and waited for on the run's thread. Shared, so a
// late answer after the run gave up writes into something that still exists.
struct PendingRead {
    std::mutex lock;
    std::condition_variable_any arrived;
    bool done = false;
    std::optional<CommandResult> result;
    std::string code;
    std::string message;
};

}  // namespace

AssistantContext AssistantReader::context(const AssistantQuestion& question, std::int64_t limit,
                                          std::stop_token stop) {
    CommandParams params;
    params.sessionId = sessionId_;
    params.query = question.text;
    params.scope = question.scope;
    params.pageId = question.pageId;
    params.contents = question.selection;
    params.rect = question.selectionRect;
    params.limit = limit;
    CommandResult result = perform(CommandMethod::assistantContext, std::move(params), stop);
    if (!result.assistantContext)
        throw AssistantCommandError(std::string(rawValue(FailureCode::internal)),
                                    "The worker returned no document text.");
    return std::move(*result.assistantContext);
}

std::vector<SearchHit> AssistantReader::find(const std::string& text, const std::string& pageId,
                                             std::stop_token stop) {
    CommandParams params;
    params.sessionId = sessionId_;
    params.pageId = pageId;
    params.query = text;
    return perform(CommandMethod::search, std::move(params), stop).matches.value_or(std::vector<SearchHit>{});
}

CommandResult AssistantReader::perform(CommandMethod method, CommandParams params, std::stop_token stop) {
    if (QThread::currentThread() == session_.thread()) {
        throw std::logic_error("The assistant's document is read off the GUI thread only.");
    }
    if (stop.stop_requested()) throw ProviderError::cancelled({});
    CommandRequest request;
    request.id = newUUIDString();
    request.method = method;
    request.params = std::move(params);
    request.channel = CommandChannel::ui;

    const auto pending = std::make_shared<PendingRead>();
    AssistantSession* session = &session_;
    QMetaObject::invokeMethod(
        session,
        [session, request = std::move(request), pending]() mutable {
            session->performForAssistant(
                std::move(request), [pending](std::optional<CommandResult> result, const std::string& code,
                                              const std::string& message) {
                    const std::lock_guard guard(pending->lock);
                    pending->result = std::move(result);
                    pending->code = code;
                    pending->message = message;
                    pending->done = true;
                    pending->arrived.notify_all();
                });
        },
        Qt::QueuedConnection);

    std::unique_lock lock(pending->lock);
    if (!pending->arrived.wait(lock, stop, [&] { return pending->done; })) throw ProviderError::cancelled({});
    if (!pending->result) throw AssistantCommandError(pending->code, pending->message);
    return std::move(*pending->result);
}

}  // namespace kivo
