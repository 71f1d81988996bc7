// The workspace's side of the document assistant: questions to the worker's planner or to a model
// run on a thread of its own, the streamed draft, the providers' model lists, the Anthropic key,
// and the proposed edits applied as changes of the document they were made for.

#include <QMetaObject>
#include <QTimer>

#include <algorithm>
#include <future>

#include "assistant/anthropic_provider.hpp"
#include "assistant/ollama_provider.hpp"
#include "assistant/provider_error.hpp"
#include "core/engine_failure.hpp"
#include "core/text.hpp"
#include "core/render_cache.hpp"
#include "workspace/stored_key_provider.hpp"
#include "workspace/workspace.hpp"
#include "workspace/workspace_document.hpp"

namespace kivo {
namespace {

constexpr std::int64_t contextCharacters = 24000;
// About 30 drafts a second: enough to read as typing, few enough that the window keeps up.
constexpr auto draftInterval = std::chrono::milliseconds(33);

// Whatever a model wrote, a proposal may only fill a field, highlight or add a note.
bool isProposable(CommandMethod method) {
    return method == CommandMethod::fillForm || method == CommandMethod::addHighlight ||
           method == CommandMethod::addNote;
}

// The model that stays chosen when the list no longer holds it: the first that can propose edits,
// else the first, else none.
std::string fallbackModel(const std::vector<ModelInfo>& models) {
    const auto tools =
        std::find_if(models.begin(), models.end(), [](const ModelInfo& model) { return model.canCallTools(); });
    if (tools != models.end()) return tools->name;
    return models.empty() ? std::string() : models.front().name;
}

template <class Step>
void post(QObject* context, Step step) {
    QMetaObject::invokeMethod(context, std::move(step), Qt::QueuedConnection);
}

}  // namespace

void Workspace::askAssistant() {
    const std::string question(trimWhitespaceAndNewlines(assistantQuery()));
    if (question.empty() || !sessionId()) return;
    const std::string session = *sessionId();
    if (assistantProvider() != "local") {
        askModel(question, session);
        return;
    }
    CommandParams params;
    params.sessionId = session;
    params.query = question;
    params.scope = assistantScope();
    params.pageId = selectedPageId();
    params.rect = selection();
    if (assistantScope() == "selection") params.contents = selectedText();
    send(makeRequest(CommandMethod::ask, std::move(params)), std::nullopt, true,
         [this, session](const CommandResult& result) {
             // An answer about a document that is no longer open would cite pages it does not have.
             if (sessionId() != session) return;
             showAnswer(result.answer, session);
             setStatus(result.answer && result.answer->scan ? "No extractable text in this scope"
                                                            : "Answer uses document evidence only");
             showFirstCitation();
         });
}

std::unique_ptr<ModelProvider> Workspace::modelProvider() const {
    const auto environment = processEnvironment();
    if (assistantProvider() != AnthropicProvider::id) return OllamaProvider::fromEnvironment(environment);
    if (!assistantKeyStored()) throw ProviderError::missingKey("Anthropic");
    // The key itself is read where the provider is used, off the GUI thread.
    return std::make_unique<StoredKeyProvider>(services_.keyStore, environment);
}

void Workspace::askModel(const std::string& question, const std::string& session) {
    if (assistantRunning()) return;
    if (assistantModel().empty()) {
        setErrorMessage("Choose a model first.");
        return;
    }
    std::shared_ptr<ModelProvider> provider;
    try {
        provider = modelProvider();
    } catch (const std::exception& error) {
        setErrorMessage(error.what());
        return;
    }
    AssistantQuestion asked;
    asked.text = question;
    asked.scope = assistantScope();
    asked.pageId = selectedPageId();
    if (assistantScope() == "selection") {
        asked.selection = selectedText();
        asked.selectionRect = selection();
    }
    const AssistantSettings settings{
        assistantModel(), contextCharacters,
        assistantProvider() == AnthropicProvider::id ? ChatLimits::hosted() : ChatLimits::standard()};
    setAssistantRunning(true);
    setAssistantDraft("");
    showAnswer(std::nullopt, std::nullopt);
    setErrorMessage(std::nullopt);
    setStatus("Asking " + assistantModel() + "…");

    const std::uint64_t run = ++assistantRun_;
    runSession_ = session;
    auto document = std::make_shared<WorkspaceDocument>(*this, session);
    auto relay = std::make_shared<DraftRelay>();
    assistantThread_ = std::jthread([this, run, asked, settings, provider, document, relay](std::stop_token stop) {
        std::optional<AssistantAnswer> answer;
        std::optional<std::string> error;
        const DraftHandler onDraft = [this, run, relay](const std::string& draft) {
            if (relay->offer(draft)) post(this, [this, run, relay] { showDraft(run, relay); });
        };
        try {
            answer = AssistantRun::ask(asked, settings, *provider, *document, onDraft, stop);
        } catch (const std::exception& failure) {
            error = failure.what();
        } catch (...) {
            error = "The assistant stopped with an unexpected error.";
        }
        post(this, [this, run, answer = std::move(answer), error = std::move(error)] {
            finishAssistant(run, answer, error);
        });
    });
}

void Workspace::showDraft(std::uint64_t run, const std::shared_ptr<DraftRelay>& relay) {
    // A draft that comes after its run ended would show text of an answer already settled.
    if (run != assistantRun_ || !assistantRunning()) return;
    // Shown at most every draftInterval, the latest text each time; the wake stays pending till then.
    const auto now = std::chrono::steady_clock::now();
    const auto due = lastDraftShown_ + draftInterval;
    if (now < due) {
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(due - now);
        QTimer::singleShot(wait, this, [this, run, relay] { showDraft(run, relay); });
        return;
    }
    lastDraftShown_ = now;
    setAssistantDraft(relay->take());
}

void Workspace::stopAssistant() {
    if (assistantRunning()) assistantThread_.request_stop();
}

void Workspace::finishAssistant(std::uint64_t run, const std::optional<AssistantAnswer>& answer,
                                const std::optional<std::string>& error) {
    if (run != assistantRun_) return;
    setAssistantRunning(false);
    setAssistantDraft(std::nullopt);
    const std::optional<std::string> session = std::exchange(runSession_, std::nullopt);
    // The run was about a document that is no longer open.
    if (session != sessionId()) return;
    if (!answer) {
        if (!error) return;
        setErrorMessage(*error);
        setStatus("The assistant could not answer");
        return;
    }
    showAnswer(answer, session);
    setStatus(answer->incomplete ? "The answer stopped early" : "Answered by " + answer->model.value_or("the model"));
    showFirstCitation();
}

void Workspace::showAnswer(std::optional<AssistantAnswer> answer, const std::optional<std::string>& session) {
    answerSession_ = answer ? session : std::nullopt;
    setAssistantAnswer(std::move(answer));
}

void Workspace::showFirstCitation() {
    if (!assistantAnswer() || assistantAnswer()->citations.empty()) return;
    const Citation first = assistantAnswer()->citations.front();
    select(first.pageId);
    setSelection(first.rects.empty() ? std::nullopt : std::optional(first.rects.front()));
}

void Workspace::refreshModels() {
    const std::uint64_t request = ++modelListRequest_;
    const std::string provider = assistantProvider();
    std::shared_ptr<ModelProvider> built;
    try {
        built = modelProvider();
    } catch (const std::exception& error) {
        modelsPending_ = false;
        setProviderStatus(ProviderStatus::unavailable(error.what()));
        return;
    }
    modelsPending_ = true;
    // Unknown while it is being checked: a status of before, or of another key, no longer holds.
    setProviderStatus(std::nullopt);
    // A newer fetch makes the one under way pointless.
    modelListStop_.request_stop();
    modelListStop_ = std::stop_source();
    modelListQueue_.post([this, request, provider, built, stop = modelListStop_.get_token()] {
        if (stop.stop_requested()) return;
        const ProviderStatus status = built->status(stop);
        if (stop.stop_requested()) return;
        post(this, [this, request, provider, status] { modelsArrived(request, provider, status); });
    });
}

void Workspace::modelsArrived(std::uint64_t request, const std::string& provider, const ProviderStatus& status) {
    // The list of a provider chosen before, or of an older fetch, is no answer to the current one.
    if (request != modelListRequest_) return;
    modelsPending_ = false;
    if (provider != assistantProvider()) return;
    setProviderStatus(status);
    if (!status.ready) return;
    const auto& models = status.models;
    const bool listed = std::any_of(models.begin(), models.end(),
                                    [&](const ModelInfo& model) { return model.name == assistantModel(); });
    if (!listed) setAssistantModel(fallbackModel(models));
}

void Workspace::keyFound(std::optional<KeychainKey::Place> place) {
    assistantKeyPlace_ = place;
    setAssistantKeyStored(place.has_value());
    // A provider chosen before the store answered listed itself as lacking a key.
    if (place && assistantProvider() == AnthropicProvider::id) refreshModels();
}

void Workspace::saveAssistantKey(const std::string& key) {
    keyQueue_.post([this, keys = services_.keyStore, key] {
        std::optional<KeychainKey::Place> place;
        std::optional<std::string> error;
        try {
            place = keys->save(key, AnthropicProvider::id);
        } catch (const std::exception& failure) {
            error = failure.what();
        }
        post(this, [this, place, error] { keySaved(place, error); });
    });
}

void Workspace::keySaved(std::optional<KeychainKey::Place> place, const std::optional<std::string>& error) {
    if (error || !place) {
        setErrorMessage(error.value_or("The key could not be saved."));
        return;
    }
    assistantKeyPlace_ = place;
    setAssistantKeyStored(true);
    setErrorMessage(std::nullopt);
    setStatus(place == KeychainKey::Place::file ? "Anthropic key saved in a file only you can read."
                                                : "Anthropic key saved in your keyring.");
    refreshModels();
}

void Workspace::removeAssistantKey() {
    keyQueue_.post([this, keys = services_.keyStore] {
        std::optional<std::string> error;
        try {
            keys->remove(AnthropicProvider::id);
        } catch (const std::exception& failure) {
            error = failure.what();
        }
        post(this, [this, error] { keyRemoved(error); });
    });
}

void Workspace::keyRemoved(const std::optional<std::string>& error) {
    if (error) {
        setErrorMessage(*error);
        return;
    }
    // Said of the place it was kept in.
    const bool fromFile = assistantKeyPlace_ == KeychainKey::Place::file;
    assistantKeyPlace_.reset();
    setAssistantKeyStored(false);
    setStatus(fromFile ? "Anthropic key removed from the file only you can read."
                       : "Anthropic key removed from your keyring.");
    setProviderStatus(std::nullopt);
    if (assistantProvider() == AnthropicProvider::id) refreshModels();
}

void Workspace::applyProposal(const ProposedEdit& edit) {
    if (!edit.method || edit.limitation) return;
    if (!sessionId() || answerSession_ != sessionId()) {
        setErrorMessage("This suggestion was made for another document. Ask again.");
        return;
    }
    if (!isProposable(*edit.method)) {
        setErrorMessage("The assistant may only fill fields, highlight and add notes. Nothing changed.");
        return;
    }
    CommandParams params = edit.params;
    params.sessionId = sessionId();
    CommandRequest request = makeRequest(*edit.method, std::move(params));
    request.expectedRevision = edit.expectedRevision;
    request.operationId = edit.operationId;
    send(std::move(request), std::nullopt, true,
         [this, summary = edit.summary, id = edit.operationId](const CommandResult& result) {
             adopt(result, summary, false, RenderInvalidation::all());
             cancelProposal(id);
         });
}

void Workspace::cancelProposal(const std::string& operationId) {
    if (!assistantAnswer()) return;
    AssistantAnswer changed = *assistantAnswer();
    std::erase_if(changed.proposals, [&](const ProposedEdit& edit) { return edit.operationId == operationId; });
    setAssistantAnswer(std::move(changed));
}

void Workspace::performForAssistant(CommandRequest request, AssistantCompletion completion) {
    send(
        std::move(request), std::nullopt, false,
        [completion](const CommandResult& result) { completion(result, {}, {}); },
        [completion](const std::string& code, const std::string& message) { completion(std::nullopt, code, message); },
        [completion] {
            const EngineFailure cancelled = cancelledFailure();
            completion(std::nullopt, std::string(rawValue(cancelled.code)), cancelled.message);
        });
}

void Workspace::stopAssistantThreads() {
    assistantThread_.request_stop();
    if (assistantThread_.joinable()) assistantThread_.join();
    modelListStop_.request_stop();
    modelListQueue_.stop();
    // A key saved or removed just before the end is still saved or removed: the queue is drained, not
    // dropped, even while the keyring's prompt holds it up.
    std::promise<void> drained;
    keyQueue_.post([&drained] { drained.set_value(); });
    drained.get_future().wait();
    keyQueue_.stop();
}

}  // namespace kivo
