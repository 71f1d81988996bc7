#include "workspace/stored_key_provider.hpp"

#include "assistant/anthropic_provider.hpp"
#include "assistant/provider_error.hpp"

namespace kivo {

StoredKeyProvider::StoredKeyProvider(std::shared_ptr<KeyStore> keys, Environment environment)
    : keys_(std::move(keys)), environment_(std::move(environment)) {}

ModelProvider& StoredKeyProvider::provider() {
    const std::lock_guard guard(lock_);
    if (!provider_) {
        const auto key = keys_->read(AnthropicProvider::id);
        if (!key) throw ProviderError::missingKey(name());
        provider_ = AnthropicProvider::fromEnvironment(*key, environment_);
    }
    return *provider_;
}

ProviderStatus StoredKeyProvider::status(std::stop_token stop) {
    try {
        return provider().status(std::move(stop));
    } catch (const std::exception& error) {
        return ProviderStatus::unavailable(error.what());
    }
}

ModelCapabilities StoredKeyProvider::capabilities(const std::string& model, std::stop_token stop) {
    try {
        return provider().capabilities(model, std::move(stop));
    } catch (const std::exception&) {
        return ModelCapabilities{true, false, false};
    }
}

ChatOutcome StoredKeyProvider::chat(const std::string& model, const std::vector<ChatMessage>& messages,
                                    const std::vector<ToolDefinition>& tools, const ChatLimits& limits,
                                    const ChatEventHandler& onEvent, std::stop_token stop) {
    return provider().chat(model, messages, tools, limits, onEvent, std::move(stop));
}

}  // namespace kivo
