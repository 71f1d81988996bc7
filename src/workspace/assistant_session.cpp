// Questions to the worker's planner or to a model run on a thread of its own, the streamed draft,
// the providers' model lists, the Anthropic key, and the proposed edits applied as changes of the
// document they were made for.

#include "workspace/assistant_session.hpp"

#include <pthread.h>

#include <QMetaObject>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <future>
#include <stop_token>
#include <thread>
#include <utility>

#include "assistant/anthropic_provider.hpp"
#include "assistant/ollama_provider.hpp"
#include "assistant/provider_error.hpp"
#include "core/engine_failure.hpp"
#include "core/text.hpp"
#include "workspace/assistant_reader.hpp"
#include "workspace/command_sender.hpp"
#include "workspace/draft_relay.hpp"
#include "workspace/serial_queue.hpp"
#include "workspace/stored_key_provider.hpp"
#include "workspace/workspace_state.hpp"

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
    const auto tools = std::find_if(models.begin(), models.end(),
                                    [](const ModelInfo& model) { return model.canCallTools(); });
    if (tools != models.end()) return tools->name;
    return models.empty() ? std::string() : models.front().name;
}

template <class Step>
void post(QObject* context, Step step) {
    QMetaObject::invokeMethod(context, std::move(step), Qt::QueuedConnection);
}

std::optional<KeychainKey::Place> storedKeyPlace(KeyStore& store) {
    try {
        return store.storedPlace(AnthropicProvider::id);
    } catch (...) {
        return std::nullopt;  // a store that cannot be read holds no key we could use
    }
}
}  // namespace

struct AssistantSession::Private {
    // The session the answer on show was made for, the model run (numbered, so a late report of an
    // earlier run is known) and the model-list fetch (numbered likewise).
    std::optional<std::string> answerSession_;
    std::optional<std::string> runSession_;
    std::uint64_t assistantRun_ = 0;
    std::uint64_t modelListRequest_ = 0;
    bool modelsPending_ = false;
    std::optional<KeychainKey::Place> assistantKeyPlace_;
    std::chrono::steady_clock::time_point lastDraftShown_{};
    std::jthread assistantThread_;
    // Ends the model-list fetch under way when a newer one starts or the session goes.
    std::stop_source modelListStop_;
    // The published properties.
    std::string assistantQuery_;
    AssistantScope assistantScope_ = AssistantScope::page;
    std::optional<AssistantAnswer> assistantAnswer_;
    std::optional<std::string> assistantDraft_;
    bool assistantRunning_ = false;
    AssistantProvider assistantProvider_ = AssistantProvider::local;
    std::string assistantModel_;
    std::optional<ProviderStatus> providerStatus_;
    bool assistantKeyStored_ = false;
    // Saves and removals sent to the key queue whose outcome has not come back.
    int keyJobs_ = 0;
    // Declared last so that they stop first, before anything their jobs might post about.
    // Model-list fetches, which wait on the network, one at a time.
    SerialQueue modelListQueue_{"kivo.pdf.models"};
    // Reading, saving and removing the provider key, one at a time.
    SerialQueue keyQueue_{"kivo.pdf.keys"};
};

AssistantSession::AssistantSession(WorkspaceState& state, CommandSender& link,
                                   const WorkspaceServices& services, QObject* parent)
    : QObject(parent), state_(state), link_(link), services_(services), d_(std::make_unique<Private>()) {
    // Read as stored, without writing them back.
    d_->assistantProvider_ = storedAssistantProvider(services_.settings->assistantProvider().value_or(""));
    d_->assistantModel_ = services_.settings->assistantModel().value_or("");
    d_->keyQueue_.post([this, keys = services_.keyStore] {
        const auto place = storedKeyPlace(*keys);
        QMetaObject::invokeMethod(
            this, [this, place] { keyFound(place); }, Qt::QueuedConnection);
    });
    // Choosing a provider that answers through a model asks it for its models at once.
    connect(this, &AssistantSession::assistantProviderChanged, this, [this] {
        if (assistantProvider() != AssistantProvider::local) refreshModels();
    });
}

AssistantSession::~AssistantSession() = default;

template <class T>
void AssistantSession::assign(T& field, T value, void (AssistantSession::*changed)()) {
    if (field == value) return;
    field = std::move(value);
    emit(this->*changed)();
}

const std::string& AssistantSession::assistantQuery() const { return d_->assistantQuery_; }
AssistantScope AssistantSession::assistantScope() const { return d_->assistantScope_; }
const std::optional<AssistantAnswer>& AssistantSession::assistantAnswer() const {
    return d_->assistantAnswer_;
}
const std::optional<std::string>& AssistantSession::assistantDraft() const { return d_->assistantDraft_; }
bool AssistantSession::assistantRunning() const { return d_->assistantRunning_; }
AssistantProvider AssistantSession::assistantProvider() const { return d_->assistantProvider_; }
const std::string& AssistantSession::assistantModel() const { return d_->assistantModel_; }
const std::optional<ProviderStatus>& AssistantSession::providerStatus() const { return d_->providerStatus_; }
bool AssistantSession::assistantKeyStored() const { return d_->assistantKeyStored_; }

void AssistantSession::setAssistantQuery(std::string value) {
    assign(d_->assistantQuery_, std::move(value), &AssistantSession::assistantQueryChanged);
}

void AssistantSession::setAssistantScope(AssistantScope value) {
    assign(d_->assistantScope_, value, &AssistantSession::assistantScopeChanged);
}

void AssistantSession::setAssistantAnswer(std::optional<AssistantAnswer> value) {
    assign(d_->assistantAnswer_, std::move(value), &AssistantSession::assistantAnswerChanged);
}

void AssistantSession::setAssistantDraft(std::optional<std::string> value) {
    assign(d_->assistantDraft_, std::move(value), &AssistantSession::assistantDraftChanged);
}

void AssistantSession::setAssistantRunning(bool value) {
    assign(d_->assistantRunning_, value, &AssistantSession::assistantRunningChanged);
}

void AssistantSession::setAssistantProvider(AssistantProvider value) {
    if (value == d_->assistantProvider_) return;
    services_.settings->setAssistantProvider(std::string(rawValue(value)));
    // The status belonged to the provider chosen before; cleared first, so that what observers of
    // the change fetch for the new one stays.
    setProviderStatus(std::nullopt);
    assign(d_->assistantProvider_, value, &AssistantSession::assistantProviderChanged);
}

void AssistantSession::setAssistantModel(std::string value) {
    // Written on every set, changed or not.
    services_.settings->setAssistantModel(value);
    assign(d_->assistantModel_, std::move(value), &AssistantSession::assistantModelChanged);
}

void AssistantSession::setProviderStatus(std::optional<ProviderStatus> value) {
    assign(d_->providerStatus_, std::move(value), &AssistantSession::providerStatusChanged);
}

void AssistantSession::setAssistantKeyStored(bool value) {
    assign(d_->assistantKeyStored_, value, &AssistantSession::assistantKeyStoredChanged);
}

std::optional<KeychainKey::Place> AssistantSession::assistantKeyPlace() const {
    return d_->assistantKeyPlace_;
}

bool AssistantSession::modelsPending() const { return d_->modelsPending_; }

void AssistantSession::askAssistant() {
    const std::string question(trimWhitespaceAndNewlines(assistantQuery()));
    if (question.empty() || !state_.sessionId()) return;
    const std::string session = *state_.sessionId();
    if (assistantProvider() != AssistantProvider::local) {
        askModel(question, session);
        return;
    }
    CommandParams params;
    params.sessionId = session;
    params.query = question;
    params.scope = std::string(rawValue(assistantScope()));
    params.pageId = state_.selectedPageId();
    params.rect = state_.selection();
    if (assistantScope() == AssistantScope::selection) params.contents = state_.selectedText();
    link_.send(CommandSender::makeRequest(CommandMethod::ask, std::move(params)), std::nullopt, true,
               [this, session](const CommandResult& result) {
                   // An answer about a document that is no longer open would cite pages it does not have.
                   if (state_.sessionId() != session) return;
                   showAnswer(result.answer, session);
                   state_.setStatus(result.answer && result.answer->scan
                                        ? "No extractable text in this scope"
                                        : "Answer uses document evidence only");
                   showFirstCitation();
               });
}

std::unique_ptr<ModelProvider> AssistantSession::modelProvider() const {
    const auto environment = processEnvironment();
    if (assistantProvider() != AssistantProvider::anthropic)
        return OllamaProvider::fromEnvironment(environment);
    if (!assistantKeyStored()) throw ProviderError::missingKey("Anthropic");
    // The key itself is read where the provider is used, off the GUI thread.
    return std::make_unique<StoredKeyProvider>(services_.keyStore, environment);
}

void AssistantSession::askModel(const std::string& question, const std::string& session) {
    if (assistantRunning()) return;
    if (assistantModel().empty()) {
        state_.setErrorMessage("Choose a model first.");
        return;
    }
    std::shared_ptr<ModelProvider> provider;
    try {
        provider = modelProvider();
    } catch (const std::exception& error) {
        state_.setErrorMessage(error.what());
        return;
    }
    AssistantQuestion asked;
    asked.text = question;
    asked.scope = std::string(rawValue(assistantScope()));
    asked.pageId = state_.selectedPageId();
    if (assistantScope() == AssistantScope::selection) {
        asked.selection = state_.selectedText();
        asked.selectionRect = state_.selection();
    }
    const AssistantSettings settings{
        assistantModel(), contextCharacters,
        assistantProvider() == AssistantProvider::anthropic ? ChatLimits::hosted() : ChatLimits::standard()};
    setAssistantRunning(true);
    setAssistantDraft("");
    showAnswer(std::nullopt, std::nullopt);
    state_.setErrorMessage(std::nullopt);
    state_.setStatus("Asking " + assistantModel() + "…");

    const std::uint64_t run = ++d_->assistantRun_;
    d_->runSession_ = session;
    auto document = std::make_shared<AssistantReader>(*this, session);
    auto relay = std::make_shared<DraftRelay>();
    d_->assistantThread_ =
        std::jthread([this, run, asked, settings, provider, document, relay](std::stop_token stop) {
            // Named for debuggers and for what the system counts of it (/proc/self/task/*/comm).
            ::pthread_setname_np(::pthread_self(), "kivo.pdf.ask");
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

void AssistantSession::showDraft(std::uint64_t run, const std::shared_ptr<DraftRelay>& relay) {
    // A draft that comes after its run ended would show text of an answer already settled.
    if (run != d_->assistantRun_ || !assistantRunning()) return;
    // Shown at most every draftInterval, the latest text each time; the wake stays pending till then.
    const auto now = std::chrono::steady_clock::now();
    const auto due = d_->lastDraftShown_ + draftInterval;
    if (now < due) {
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(due - now);
        QTimer::singleShot(wait, this, [this, run, relay] { showDraft(run, relay); });
        return;
    }
    d_->lastDraftShown_ = now;
    setAssistantDraft(relay->take());
}

void AssistantSession::stopAssistant() {
    if (assistantRunning()) d_->assistantThread_.request_stop();
}

void AssistantSession::documentReplaced() { stopAssistant(); }

void AssistantSession::forget() {
    stopAssistant();
    showAnswer(std::nullopt, std::nullopt);
}

void AssistantSession::finishAssistant(std::uint64_t run, const std::optional<AssistantAnswer>& answer,
                                       const std::optional<std::string>& error) {
    if (run != d_->assistantRun_) return;
    setAssistantRunning(false);
    setAssistantDraft(std::nullopt);
    const std::optional<std::string> session = std::exchange(d_->runSession_, std::nullopt);
    // The run was about a document that is no longer open.
    if (session != state_.sessionId()) return;
    if (!answer) {
        if (!error) return;
        state_.setErrorMessage(*error);
        state_.setStatus("The assistant could not answer");
        return;
    }
    showAnswer(answer, session);
    state_.setStatus(answer->incomplete ? "The answer stopped early"
                                        : "Answered by " + answer->model.value_or("the model"));
    showFirstCitation();
}

void AssistantSession::showAnswer(std::optional<AssistantAnswer> answer,
                                  const std::optional<std::string>& session) {
    d_->answerSession_ = answer ? session : std::nullopt;
    setAssistantAnswer(std::move(answer));
}

void AssistantSession::showFirstCitation() {
    if (!assistantAnswer() || assistantAnswer()->citations.empty()) return;
    const Citation first = assistantAnswer()->citations.front();
    emit citationShown(first.pageId, first.rects.empty() ? std::nullopt : std::optional(first.rects.front()));
}

void AssistantSession::refreshModels() {
    const std::uint64_t request = ++d_->modelListRequest_;
    const AssistantProvider provider = assistantProvider();
    std::shared_ptr<ModelProvider> built;
    try {
        built = modelProvider();
    } catch (const std::exception& error) {
        d_->modelsPending_ = false;
        setProviderStatus(ProviderStatus::unavailable(error.what()));
        return;
    }
    d_->modelsPending_ = true;
    // Unknown while it is being checked: a status of before, or of another key, no longer holds.
    setProviderStatus(std::nullopt);
    // A newer fetch makes the one under way pointless.
    d_->modelListStop_.request_stop();
    d_->modelListStop_ = std::stop_source();
    d_->modelListQueue_.post([this, request, provider, built, stop = d_->modelListStop_.get_token()] {
        if (stop.stop_requested()) return;
        const ProviderStatus status = built->status(stop);
        if (stop.stop_requested()) return;
        post(this, [this, request, provider, status] { modelsArrived(request, provider, status); });
    });
}

void AssistantSession::modelsArrived(std::uint64_t request, AssistantProvider provider,
                                     const ProviderStatus& status) {
    // The list of a provider chosen before, or of an older fetch, is no answer to the current one.
    if (request != d_->modelListRequest_) return;
    d_->modelsPending_ = false;
    if (provider != assistantProvider()) return;
    setProviderStatus(status);
    if (!status.ready) return;
    const auto& models = status.models;
    const bool listed = std::any_of(models.begin(), models.end(),
                                    [&](const ModelInfo& model) { return model.name == assistantModel(); });
    if (!listed) setAssistantModel(fallbackModel(models));
}

void AssistantSession::keyFound(std::optional<KeychainKey::Place> place) {
    d_->assistantKeyPlace_ = place;
    setAssistantKeyStored(place.has_value());
    // A provider chosen before the store answered listed itself as lacking a key.
    if (place && assistantProvider() == AssistantProvider::anthropic) refreshModels();
}

bool AssistantSession::keyPending() const { return d_->keyJobs_ > 0; }

void AssistantSession::countKeyJob(int change) {
    const bool pending = keyPending();
    d_->keyJobs_ += change;
    if (keyPending() != pending) emit keyPendingChanged();
}

void AssistantSession::saveAssistantKey(const std::string& key) {
    countKeyJob(1);
    d_->keyQueue_.post([this, keys = services_.keyStore, key] {
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

void AssistantSession::keySaved(std::optional<KeychainKey::Place> place,
                                const std::optional<std::string>& error) {
    countKeyJob(-1);
    if (error || !place) {
        state_.setErrorMessage(error.value_or("The key could not be saved."));
        return;
    }
    d_->assistantKeyPlace_ = place;
    setAssistantKeyStored(true);
    state_.setErrorMessage(std::nullopt);
    state_.setStatus(place == KeychainKey::Place::file ? "Anthropic key saved in a file only you can read."
                                                       : "Anthropic key saved in your keyring.");
    refreshModels();
}

void AssistantSession::removeAssistantKey() {
    countKeyJob(1);
    d_->keyQueue_.post([this, keys = services_.keyStore] {
        std::optional<std::string> error;
        try {
            keys->remove(AnthropicProvider::id);
        } catch (const std::exception& failure) {
            error = failure.what();
        }
        post(this, [this, error] { keyRemoved(error); });
    });
}

void AssistantSession::keyRemoved(const std::optional<std::string>& error) {
    countKeyJob(-1);
    if (error) {
        state_.setErrorMessage(*error);
        return;
    }
    // Said of the place it was kept in.
    const bool fromFile = d_->assistantKeyPlace_ == KeychainKey::Place::file;
    d_->assistantKeyPlace_.reset();
    setAssistantKeyStored(false);
    state_.setStatus(fromFile ? "Anthropic key removed from the file only you can read."
                              : "Anthropic key removed from your keyring.");
    setProviderStatus(std::nullopt);
    if (assistantProvider() == AssistantProvider::anthropic) refreshModels();
}

void AssistantSession::applyProposal(const ProposedEdit& edit) {
    if (!edit.method || edit.limitation) return;
    if (!state_.sessionId() || d_->answerSession_ != state_.sessionId()) {
        state_.setErrorMessage("This suggestion was made for another document. Ask again.");
        return;
    }
    if (!isProposable(*edit.method)) {
        state_.setErrorMessage(
            "The assistant may only fill fields, highlight and add notes. Nothing changed.");
        return;
    }
    CommandParams params = edit.params;
    params.sessionId = state_.sessionId();
    CommandRequest request = CommandSender::makeRequest(*edit.method, std::move(params));
    request.expectedRevision = edit.expectedRevision;
    request.operationId = edit.operationId;
    link_.send(std::move(request), std::nullopt, true,
               [this, summary = edit.summary, id = edit.operationId](const CommandResult& result) {
                   emit proposalApplied(result, summary);
                   cancelProposal(id);
               });
}

void AssistantSession::cancelProposal(const std::string& operationId) {
    if (!assistantAnswer()) return;
    AssistantAnswer changed = *assistantAnswer();
    std::erase_if(changed.proposals,
                  [&](const ProposedEdit& edit) { return edit.operationId == operationId; });
    setAssistantAnswer(std::move(changed));
}

void AssistantSession::performForAssistant(CommandRequest request, AssistantCompletion completion) {
    link_.send(
        std::move(request), std::nullopt, false,
        [completion](const CommandResult& result) { completion(result, {}, {}); },
        [completion](const std::string& code, const std::string& message) {
            completion(std::nullopt, code, message);
        },
        [completion] {
            const EngineFailure cancelled = cancelledFailure();
            completion(std::nullopt, std::string(rawValue(cancelled.code)), cancelled.message);
        });
}

void AssistantSession::stopThreads() {
    d_->assistantThread_.request_stop();
    if (d_->assistantThread_.joinable()) d_->assistantThread_.join();
    d_->modelListStop_.request_stop();
    d_->modelListQueue_.stop();
    // A key saved or removed just before the end is still saved or removed: the queue is drained, not
    // dropped, even while the keyring's prompt holds it up.
    std::promise<void> drained;
    d_->keyQueue_.post([&drained] { drained.set_value(); });
    drained.get_future().wait();
    d_->keyQueue_.stop();
}

}  // namespace kivo
