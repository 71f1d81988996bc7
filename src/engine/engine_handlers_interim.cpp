// Document commands of an engine built without document sessions: no document can be opened, so
// every session lookup fails and the document list is empty. Replaced by engine_handlers.cpp.

#include <filesystem>
#include <system_error>

#include "engine/document_engine.hpp"
#include "engine/pdfium_runtime.hpp"
#include "pdfium/engine_failure.hpp"

namespace kivo {

std::string canonicalPath(const std::string& path) {
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(std::filesystem::path(path), error);
    if (error) absolute = std::filesystem::path(path);
    std::filesystem::path resolved = std::filesystem::weakly_canonical(absolute, error);
    if (error) resolved = absolute.lexically_normal();
    return resolved.string();
}

Session& DocumentEngine::requireSession(const CommandRequest&, std::optional<std::string_view>) {
    throw EngineFailure("not_found", "No open document matches that session.");
}

void DocumentEngine::requireGrantedPath(const std::string& path, const CommandRequest& request) const {
    if (request.channel != CommandChannel::mcp || grants_.paths.contains(canonicalPath(path))) return;
    throw EngineFailure("unauthorized", "That path has not been granted to MCP.");
}

void DocumentEngine::teardownSessions() noexcept {}

CommandResponse DocumentEngine::open(const CommandRequest& request) {
    if (!request.params.path) throw EngineFailure("invalid_argument", "open requires a file path.");
    throw EngineFailure("unsupported", "This version of Kivo PDF cannot open documents yet. Nothing changed.");
}

CommandResponse DocumentEngine::inspect(const CommandRequest& request) {
    requireSession(request, "read");
    return {};
}

CommandResponse DocumentEngine::render(const CommandRequest& request) { return inspect(request); }
CommandResponse DocumentEngine::extract(const CommandRequest& request) { return inspect(request); }
CommandResponse DocumentEngine::search(const CommandRequest& request) { return inspect(request); }

CommandResponse DocumentEngine::list(const CommandRequest& request) {
    CommandResult result;
    result.documents = std::vector<DocumentSummary>{};
    return CommandResponse::success(request.id, std::move(result));
}

CommandResponse DocumentEngine::close(const CommandRequest& request) {
    requireSession(request, std::nullopt);
    return {};
}

}  // namespace kivo
