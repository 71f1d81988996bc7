#pragma once

// The Anthropic provider as the workspace hands it to a model-list fetch or an assistant run: made on
// the GUI thread without its key, which it reads from the key store only when first used, on the
// thread that uses it. Reading may wait on the keyring (its unlock prompt can stay up for minutes);
// the window must go on painting meanwhile.
//
// No key stored gives ProviderError missingKey; a store that fails gives its own error; both come
// out of `status` as `unavailable` and out of `chat` as thrown, as ModelProvider says.

#include <memory>
#include <mutex>

#include "assistant/model_provider.hpp"
#include "workspace/workspace_services.hpp"

namespace kivo {

class StoredKeyProvider : public ModelProvider {
public:
    StoredKeyProvider(std::shared_ptr<KeyStore> keys, Environment environment);

    std::string name() const override { return "Anthropic"; }
    ProviderStatus status(std::stop_token stop) override;
    ModelCapabilities capabilities(const std::string& model, std::stop_token stop) override;
    ChatOutcome chat(const std::string& model, const std::vector<ChatMessage>& messages,
                     const std::vector<ToolDefinition>& tools, const ChatLimits& limits,
                     const ChatEventHandler& onEvent, std::stop_token stop) override;

private:
    // The provider with the key read now, or the one read before; throws as the header says.
    ModelProvider& provider();

    std::shared_ptr<KeyStore> keys_;
    Environment environment_;
    std::mutex lock_;
    std::unique_ptr<ModelProvider> provider_;
};

}  // namespace kivo
