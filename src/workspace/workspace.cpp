#include "workspace/workspace.hpp"

#include "assistant/anthropic_provider.hpp"
#include "core/text.hpp"

namespace kivo {
namespace {

std::optional<KeychainKey::Place> storedKeyPlace(KeyStore& store) {
    try {
        return store.storedPlace(AnthropicProvider::id);
    } catch (...) {
        return std::nullopt;  // a store that cannot be read holds no key we could use
    }
}

}  // namespace

Workspace::Workspace(WorkspaceServices services, QObject* parent)
    : Workspace(services.withDefaults(), parent, FilledServices{}) {}

Workspace::Workspace(WorkspaceServices services, QObject* parent, FilledServices)
    : WorkspaceState(*services.settings, parent), services_(std::move(services)), token_(newUUIDString()) {
    keyQueue_.post([this, keys = services_.keyStore] {
        const auto place = storedKeyPlace(*keys);
        QMetaObject::invokeMethod(
            this, [this, place] { keyFound(place); }, Qt::QueuedConnection);
    });
    // Choosing a provider that answers through a model asks it for its models at once.
    connect(this, &WorkspaceState::assistantProviderChanged, this, [this] {
        if (assistantProvider() != "local") refreshModels();
    });
}

Workspace::~Workspace() {
    // The runs first: their reads wait for answers this workspace would no longer deliver.
    stopAssistantThreads();
    shutdownWorker();
}

qint64 Workspace::workerProcessId() const { return worker_ ? worker_->processId() : 0; }

ResourceLimits Workspace::workerLimits() const {
    return ResourceLimits::fromEnvironment(services_.workerHost->environment(), physicalMemoryBytes());
}

}  // namespace kivo
