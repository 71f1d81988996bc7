#include "assistant/provider_error.hpp"

#include <cmath>
#include <stdexcept>

namespace kivo {
namespace {

std::string sentence(ProviderError::Kind kind, const std::string& payload, std::optional<double> retryAfter) {
    using Kind = ProviderError::Kind;
    switch (kind) {
        case Kind::notLocal:
            return "Only a model server on this computer can answer, and " + payload +
                   " is not a loopback address.";
        case Kind::modelMissing:
            return "Ollama has no model named " + payload +
                   ". Choose an installed model, or install it with: ollama pull " + payload;
        case Kind::missingKey: return payload + " answers with your own key. Add one in the Assistant panel.";
        case Kind::invalidKey: return payload + " did not accept that key. Check it in the Assistant panel.";
        case Kind::rateLimited:
            if (retryAfter) {
                return payload + " is limiting this key. Try again in " +
                       std::to_string(std::llround(*retryAfter)) + " seconds.";
            }
            return payload + " is limiting this key, or its allowance is used up. Try again later.";
        case Kind::timedOut: return "The model took too long to answer.";
        case Kind::cancelled: return "Stopped.";
        case Kind::disconnected: return "The model stopped answering partway.";
        case Kind::server: return "The model server reported an error: " + payload;
        case Kind::malformed: return "The model server sent a reply the editor could not read.";
        case Kind::notRunning: return "Ollama is not running on this computer. Start Ollama, then ask again.";
        case Kind::toolsUnsupported: return "This model cannot propose edits.";
        case Kind::thinkingUnsupported: return "This model does not accept a thinking setting.";
        case Kind::foreignServer:
            return "Another user's program answers on " + payload + ", so the document text was not sent.";
    }
    return {};
}

}  // namespace

ProviderError::ProviderError(Kind kind, std::string payload, std::int64_t status,
                             std::optional<double> retryAfter)
    : kind_(kind),
      payload_(std::move(payload)),
      status_(status),
      retryAfter_(retryAfter),
      description_(sentence(kind_, payload_, retryAfter_)) {}

ProviderError ProviderError::notLocal(std::string address) { return {Kind::notLocal, std::move(address)}; }
ProviderError ProviderError::modelMissing(std::string model) {
    return {Kind::modelMissing, std::move(model)};
}
ProviderError ProviderError::missingKey(std::string provider) {
    return {Kind::missingKey, std::move(provider)};
}
ProviderError ProviderError::invalidKey(std::string provider) {
    return {Kind::invalidKey, std::move(provider)};
}

ProviderError ProviderError::rateLimited(std::string provider, std::optional<double> retryAfter) {
    // A server may send any number; one no clock can wait for counts as no wait.
    if (retryAfter && !(std::isfinite(*retryAfter) && *retryAfter >= 0 && *retryAfter <= 1e9))
        retryAfter.reset();
    return {Kind::rateLimited, std::move(provider), 0, retryAfter};
}

ProviderError ProviderError::timedOut(std::string partial) { return {Kind::timedOut, std::move(partial)}; }
ProviderError ProviderError::cancelled(std::string partial) { return {Kind::cancelled, std::move(partial)}; }
ProviderError ProviderError::disconnected(std::string partial) {
    return {Kind::disconnected, std::move(partial)};
}
ProviderError ProviderError::server(std::int64_t status, std::string message) {
    return {Kind::server, std::move(message), status};
}
ProviderError ProviderError::malformed(std::string note) { return {Kind::malformed, std::move(note)}; }
ProviderError ProviderError::notRunning() { return {Kind::notRunning, {}}; }
ProviderError ProviderError::toolsUnsupported() { return {Kind::toolsUnsupported, {}}; }
ProviderError ProviderError::thinkingUnsupported() { return {Kind::thinkingUnsupported, {}}; }
ProviderError ProviderError::foreignServer(std::string address) {
    return {Kind::foreignServer, std::move(address)};
}

std::string ProviderError::partialText() const {
    if (kind_ == Kind::timedOut || kind_ == Kind::cancelled || kind_ == Kind::disconnected) return payload_;
    return {};
}

bool ProviderError::operator==(const ProviderError& other) const {
    return kind_ == other.kind_ && payload_ == other.payload_ && status_ == other.status_ &&
           retryAfter_ == other.retryAfter_;
}

void ProviderStream::appendText(std::string_view piece) {
    std::lock_guard guard(lock_);
    text_.append(piece);
}

void ProviderStream::add(ToolCall call) {
    std::lock_guard guard(lock_);
    calls_.push_back(std::move(call));
}

void ProviderStream::markTimedOut() {
    std::lock_guard guard(lock_);
    didTimeOut_ = true;
}

std::string ProviderStream::text() const {
    std::lock_guard guard(lock_);
    return text_;
}

std::vector<ToolCall> ProviderStream::calls() const {
    std::lock_guard guard(lock_);
    return calls_;
}

std::pair<std::string, std::vector<ToolCall>> ProviderStream::contents() const {
    std::lock_guard guard(lock_);
    return {text_, calls_};
}

bool ProviderStream::didTimeOut() const {
    std::lock_guard guard(lock_);
    return didTimeOut_;
}

}  // namespace kivo
