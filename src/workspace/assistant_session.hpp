#pragma once

// The document assistant's side of the workspace: a question to the worker's planner or to a model
// run on a thread of its own (with its streamed draft), the providers' model lists, the Anthropic
// key, and the proposed edits of the answer on show. It owns the run's thread, the model-list and
// key queues and the numbers that tell a late report from a current one, all behind its private
// part. It publishes the question, the answer, the draft, the provider and its model as its own
// properties, and tells `status` and `errorMessage` in the workspace's published state, where it also
// reads the document it asks about; every request goes through the CommandSender (the WorkerLink).
//
// GUI thread only, except the reads of the AssistantReader. Nothing here throws: a failure ends in
// `errorMessage`, in `status` or in `providerStatus`.

#include <QObject>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "assistant/keychain_key.hpp"
#include "assistant/model_provider.hpp"
#include "core/assistant_records.hpp"
#include "core/commands.hpp"
#include "workspace/assistant_choices.hpp"
#include "workspace/workspace_services.hpp"

namespace kivo {

class DraftRelay;
class CommandSender;
class WorkspaceState;

class AssistantSession : public QObject {
    Q_OBJECT
    // The question typed and what it asks about.
    Q_PROPERTY(
        std::string assistantQuery READ assistantQuery WRITE setAssistantQuery NOTIFY assistantQueryChanged)
    Q_PROPERTY(AssistantScope assistantScope READ assistantScope WRITE setAssistantScope NOTIFY
                   assistantScopeChanged)
    // The answer on show, and the draft of the run on its way (nothing: no run streams).
    Q_PROPERTY(std::optional<AssistantAnswer> assistantAnswer READ assistantAnswer WRITE setAssistantAnswer
                   NOTIFY assistantAnswerChanged)
    Q_PROPERTY(std::optional<std::string> assistantDraft READ assistantDraft WRITE setAssistantDraft NOTIFY
                   assistantDraftChanged)
    Q_PROPERTY(
        bool assistantRunning READ assistantRunning WRITE setAssistantRunning NOTIFY assistantRunningChanged)
    // The chosen provider and model, kept in the settings, and what the provider last said of itself.
    Q_PROPERTY(AssistantProvider assistantProvider READ assistantProvider WRITE setAssistantProvider NOTIFY
                   assistantProviderChanged)
    Q_PROPERTY(
        std::string assistantModel READ assistantModel WRITE setAssistantModel NOTIFY assistantModelChanged)
    Q_PROPERTY(std::optional<ProviderStatus> providerStatus READ providerStatus WRITE setProviderStatus NOTIFY
                   providerStatusChanged)
    Q_PROPERTY(bool assistantKeyStored READ assistantKeyStored WRITE setAssistantKeyStored NOTIFY
                   assistantKeyStoredChanged)

public:
    // `state`, `link` and `services` must outlive the session. The key store is read at once, off
    // the GUI thread; choosing a provider that answers through a model asks it for its models.
    AssistantSession(WorkspaceState& state, CommandSender& link, const WorkspaceServices& services,
                     QObject* parent = nullptr);
    // Stops the run and the fetch without draining the key queue; the workspace calls stopThreads() first.
    ~AssistantSession() override;

    const std::string& assistantQuery() const;
    AssistantScope assistantScope() const;
    const std::optional<AssistantAnswer>& assistantAnswer() const;
    const std::optional<std::string>& assistantDraft() const;
    bool assistantRunning() const;
    AssistantProvider assistantProvider() const;
    const std::string& assistantModel() const;
    const std::optional<ProviderStatus>& providerStatus() const;
    bool assistantKeyStored() const;
    // The user's choices. Each emits its change signal only on a real change. Another provider is
    // written to the settings and drops the status of the one before; the model is written on every set.
    void setAssistantQuery(std::string value);
    void setAssistantScope(AssistantScope value);
    void setAssistantProvider(AssistantProvider value);
    void setAssistantModel(std::string value);

    // Asks `assistantQuery` about the open document: the worker's planner for the local
    // provider, else a model run on a thread of its own.
    void askAssistant();
    // "Stop": the model run ends at once with what it has.
    void stopAssistant();
    // Another document replaced the open one: the run about the one before stops.
    void documentReplaced();
    // The open document is gone: its run stops and its answer goes.
    void forget();
    // Shows `answer`, made for the document of `session` (nothing: no answer).
    void showAnswer(std::optional<AssistantAnswer> answer, const std::optional<std::string>& session);
    // Fetches the chosen provider's status and models, off the GUI thread.
    void refreshModels();
    // The key store's work runs on a queue of its own (the keyring may hold it up with its unlock
    // prompt); its outcome comes back to the GUI thread in the order asked.
    void saveAssistantKey(const std::string& key);
    void removeAssistantKey();
    // A save or removal of the key is with the key store, which may be waiting on the keyring's own prompt.
    bool keyPending() const;
    // Where the stored key is kept: as found at start (once the store answered), then where the last
    // save put it; nothing while no key is stored.
    std::optional<KeychainKey::Place> assistantKeyPlace() const;
    // A model list asked for by refreshModels() has not arrived yet.
    bool modelsPending() const;
    // Sends a proposed edit of the answer on show as a change of the document it was made for.
    void applyProposal(const ProposedEdit& edit);
    void cancelProposal(const std::string& operationId);
    // Sends one read for the assistant and reports its outcome once, on the GUI thread: the
    // result, or the failure's code and message. GUI thread only.
    using AssistantCompletion = std::function<void(std::optional<CommandResult> result,
                                                   const std::string& code, const std::string& message)>;
    void performForAssistant(CommandRequest request, AssistantCompletion completion);
    // Ends the run and the model-list fetch, and drains the key queue (a key saved or removed just
    // before the end is still saved or removed). Waits for a keyring prompt that holds the queue.
    void stopThreads();

signals:
    void assistantQueryChanged();
    void assistantScopeChanged();
    void assistantAnswerChanged();
    void assistantDraftChanged();
    void assistantRunningChanged();
    void assistantProviderChanged();
    void assistantModelChanged();
    void providerStatusChanged();
    void assistantKeyStoredChanged();
    void keyPendingChanged();
    // An answer's first citation is to be shown: its page, and its first rectangle when it has one.
    void citationShown(const std::string& pageId, const std::optional<PDFRect>& rect);
    // A proposal was applied: the document as the change left it, and the sentence for `status`.
    void proposalApplied(const CommandResult& result, const std::string& summary);

private:
    struct Private;

    template <class T>
    void assign(T& field, T value, void (AssistantSession::*changed)());
    // What the session alone finds out: the runs, the provider's answers, the key store's.
    void setAssistantAnswer(std::optional<AssistantAnswer> value);
    void setAssistantDraft(std::optional<std::string> value);
    void setAssistantRunning(bool value);
    void setProviderStatus(std::optional<ProviderStatus> value);
    void setAssistantKeyStored(bool value);

    std::unique_ptr<ModelProvider> modelProvider() const;
    void askModel(const std::string& question, const std::string& session);
    void finishAssistant(std::uint64_t run, const std::optional<AssistantAnswer>& answer,
                         const std::optional<std::string>& error);
    void showDraft(std::uint64_t run, const std::shared_ptr<DraftRelay>& relay);
    void showFirstCitation();
    void modelsArrived(std::uint64_t request, AssistantProvider provider, const ProviderStatus& status);
    void keyFound(std::optional<KeychainKey::Place> place);
    // One more (1) or one fewer (-1) key job under way; says so when keyPending changes.
    void countKeyJob(int change);
    void keySaved(std::optional<KeychainKey::Place> place, const std::optional<std::string>& error);
    void keyRemoved(const std::optional<std::string>& error);

    WorkspaceState& state_;
    CommandSender& link_;
    const WorkspaceServices& services_;
    std::unique_ptr<Private> d_;
};

}  // namespace kivo
