// The engine's session guards and its document and reading commands.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "core/page_tiles.hpp"
#include "engine/assistant.hpp"
#include "engine/document_engine.hpp"
#include "session/pdfium_runtime.hpp"
#include "session/png_writer.hpp"
#include "engine/recovery_store.hpp"
#include "engine/render_folder.hpp"
#include "session/session.hpp"
#include "core/engine_failure.hpp"

namespace kivo {
namespace {

namespace fs = std::filesystem;

constexpr double defaultRenderScale = 1.5;
constexpr double mcpMinimumScale = 0.25;
constexpr double mcpMaximumScale = 2.0;
constexpr std::size_t maxTilesPerRender = 64;
constexpr std::int64_t wholePageTileSize = 1024;

// What the assistant reads of a session, read only as far as it goes.
AssistantSources sourcesOf(Session& session) {
    AssistantSources sources;
    sources.revision = session.revision();
    sources.pages = session.pages();
    sources.pageText = [&session](const std::string& pageId) { return session.extractText(pageId).text; };
    sources.search = [&session](const std::string& query, const std::optional<std::string>& pageId) {
        return session.search(query, pageId);
    };
    sources.fields = [&session] { return session.listFields(); };
    sources.step = [](CommandPhase phase, std::int64_t completed, std::int64_t total) {
        RunningCommand::step(phase, completed, total);
    };
    return sources;
}

}  // namespace

std::string canonicalPath(const std::string& path) {
    std::error_code error;
    fs::path absolute = fs::absolute(fs::path(path), error);
    if (error) absolute = fs::path(path);
    fs::path resolved = fs::weakly_canonical(absolute, error);
    if (error) resolved = absolute.lexically_normal();
    return resolved.string();
}

fs::path clientPath(const std::string& path) {
    std::error_code error;
    fs::path absolute = fs::absolute(fs::path(path), error);
    return error ? fs::path(path) : absolute;
}

Session& DocumentEngine::requireSession(const CommandRequest& request,
                                        std::optional<std::string_view> permission) {
    const auto& sessionId = request.params.sessionId;
    const auto found = sessionId ? sessions_.find(*sessionId) : sessions_.end();
    if (found == sessions_.end())
        throw EngineFailure(FailureCode::notFound, "No open document matches that session.");
    if (request.channel == CommandChannel::mcp) {
        if (!grants_.sessionIds.contains(*sessionId)) {
            throw EngineFailure(
                FailureCode::unauthorized,
                "That document has not been granted to MCP. In Kivo PDF, turn on Allow MCP on this "
                "document.");
        }
        if (permission && !grants_.permissions.contains(std::string(*permission))) {
            throw EngineFailure(FailureCode::unauthorized,
                                "MCP is not allowed to " + std::string(*permission) + " this document.");
        }
    }
    if (const auto aside = setAside_.find(*sessionId);
        aside != setAside_.end() && request.method != CommandMethod::close) {
        throw EngineFailure(FailureCode::internal, aside->second);
    }
    Session& session = *found->second;
    if (request.expectedRevision && *request.expectedRevision != session.revision()) {
        throw EngineFailure(FailureCode::staleRevision, "Document is at revision " +
                                                            std::to_string(session.revision()) + ", not " +
                                                            std::to_string(*request.expectedRevision) + ".");
    }
    return session;
}

void DocumentEngine::requireGrantedPath(const std::string& path, const CommandRequest& request) const {
    if (request.channel != CommandChannel::mcp) return;
    const std::string canonical = canonicalPath(path);
    if (grants_.paths.contains(canonical)) return;
    for (const std::string& sessionId : grants_.sessionIds) {
        const auto found = sessions_.find(sessionId);
        if (found == sessions_.end() || !found->second->sourcePath()) continue;
        if (canonicalPath(*found->second->sourcePath()) == canonical) return;
    }
    throw EngineFailure(FailureCode::unauthorized, "That path has not been granted to MCP.");
}

void DocumentEngine::teardownSessions() noexcept {
    std::lock_guard guard(PdfiumRuntime::lock());
    for (auto& [id, session] : sessions_) {
        if (!session->isSaved()) {
            try {
                RecoveryStore::write(*session);
            } catch (...) {
                // The document is going away either way; a failed checkpoint must not stop the rest.
            }
        }
        session->teardownDocument();
    }
    // Sessions close PDFium objects as they go, so they must go while the lock is held.
    sessions_.clear();
}

CommandResponse DocumentEngine::open(const CommandRequest& request) {
    const auto& path = request.params.path;
    if (!path) throw EngineFailure(FailureCode::invalidArgument, "open requires a file path.");
    const fs::path location = clientPath(*path);
    if (location.empty() || ::access(location.c_str(), R_OK) != 0) {
        throw EngineFailure(FailureCode::file, "The file could not be opened.");
    }
    std::shared_ptr<Session> session = Session::loadFile(location, request.params.password);
    // Read the content once now, so the first inspection does not read the document again; a
    // failure here (a cancel, say) drops the new session unregistered.
    session->documentContent();
    CommandResult result = session->inspectResult();
    if (readAheadThread_.joinable() && readsAhead(*session)) {
        readAheadSessions_.push_back({session->id()});
        readAheadPending_ = true;
    }
    sessions_.emplace(session->id(), std::move(session));
    return CommandResponse::success(request.id, std::move(result));
}

CommandResponse DocumentEngine::inspect(const CommandRequest& request) {
    Session& session = requireSession(request, "read");
    return CommandResponse::success(request.id, session.inspectResult());
}

CommandResponse DocumentEngine::render(const CommandRequest& request) {
    Session& session = requireSession(request, "read");
    const CommandParams& params = request.params;
    if (!params.pageId) throw EngineFailure(FailureCode::invalidArgument, "render_page requires pageId.");
    double scale = params.scale.value_or(defaultRenderScale);
    const bool annotations = params.renderAnnotations.value_or(true);
    const bool mcp = request.channel == CommandChannel::mcp;
    if (mcp) scale = std::clamp(scale, mcpMinimumScale, mcpMaximumScale);

    if (!mcp && params.tiles) {
        if (params.tiles->empty() || params.tiles->size() > maxTilesPerRender) {
            throw EngineFailure(FailureCode::invalidArgument, "render_page takes 1 to 64 tiles.");
        }
        PngWriter::Batch writes;
        const Session::PixelSize size =
            session.renderTiles(*params.pageId, scale, *params.tiles, annotations, writes);
        CommandResult result = session.inspectResult();
        result.width = size.width;
        result.height = size.height;
        renderWrites_ = std::move(writes);
        return CommandResponse::success(request.id, std::move(result));
    }

    fs::path destination;
    if (!mcp && params.pngPath) {
        destination = clientPath(*params.pngPath);
    } else {
        destination = RenderFolder::prepare() /
                      RenderFolder::fileName(session.id(), *params.pageId, session.revision());
    }

    std::int64_t width = 0;
    std::int64_t height = 0;
    PngWriter::Batch writes;
    {
        const OpenPage& page = session.readPage(*params.pageId);
        width = TileGrid::pixels(pdfium::FPDF_GetPageWidthF(page.get()), scale);
        height = TileGrid::pixels(pdfium::FPDF_GetPageHeightF(page.get()), scale);
        const RenderTile region{0, 0, width, height, std::nullopt};
        session.draw(page.get(), region, TileGrid(width, height, wholePageTileSize), annotations, destination,
                     writes);
    }
    CommandResult result = session.inspectResult();
    result.pngPath = destination.string();
    result.width = width;
    result.height = height;
    renderWrites_ = std::move(writes);
    return CommandResponse::success(request.id, std::move(result));
}

CommandResponse DocumentEngine::extract(const CommandRequest& request) {
    Session& session = requireSession(request, "read");
    if (!request.params.pageId)
        throw EngineFailure(FailureCode::invalidArgument, "extract_text requires pageId.");
    Session::ExtractedText extracted = session.extractText(*request.params.pageId);
    CommandResult result = session.inspectResult();
    result.text = std::move(extracted.text);
    result.chars = std::move(extracted.chars);
    return CommandResponse::success(request.id, std::move(result));
}

CommandResponse DocumentEngine::search(const CommandRequest& request) {
    Session& session = requireSession(request, "read");
    const CommandParams& params = request.params;
    if (!params.query) throw EngineFailure(FailureCode::invalidArgument, "search requires query.");
    if (params.pageId && params.pageIds)
        throw EngineFailure(FailureCode::invalidArgument, "search takes pageId or pageIds, not both.");
    // A few pages an exchange: the editor's search shows its first hit early without paying a round trip a
    // page.
    std::vector<SearchHit> matches = params.pageIds ? session.search(*params.query, *params.pageIds)
                                                    : session.search(*params.query, params.pageId);
    CommandResult result = session.inspectResult();
    result.matches = std::move(matches);
    return CommandResponse::success(request.id, std::move(result));
}

CommandResponse DocumentEngine::list(const CommandRequest& request) {
    std::vector<DocumentSummary> documents;
    for (const auto& [id, session] : sessions_) {
        if (request.channel == CommandChannel::mcp && !grants_.sessionIds.contains(id)) continue;
        documents.push_back(DocumentSummary{id, session->sourcePath(),
                                            static_cast<std::int64_t>(session->pages().size()),
                                            session->revision(), session->readOnly()});
    }
    CommandResult result;
    result.documents = std::move(documents);
    return CommandResponse::success(request.id, std::move(result));
}

CommandResponse DocumentEngine::close(const CommandRequest& request) {
    Session& session = requireSession(request, std::nullopt);
    const std::string id = session.id();
    if (session.isSaved()) {
        try {
            RecoveryStore::discard(id);
        } catch (...) {
            // A stale checkpoint is only clutter; the close itself must not fail over it.
        }
    }
    session.teardownDocument();
    sessions_.erase(id);
    setAside_.erase(id);
    std::erase_if(stoppedPages_, [&](const auto& entry) { return entry.first.first == id; });
    grants_.sessionIds.erase(id);
    return CommandResponse::success(request.id, CommandResult{});
}

CommandResponse DocumentEngine::ask(const CommandRequest& request) {
    Session& session = requireSession(request, "read");
    AskOutcome outcome = askDocument(request.params, sourcesOf(session));
    CommandResult result = session.inspectResult();
    result.answer = std::move(outcome.answer);
    result.matches = std::move(outcome.matches);
    return CommandResponse::success(request.id, std::move(result));
}

CommandResponse DocumentEngine::assistantContext(const CommandRequest& request) {
    Session& session = requireSession(request, "read");
    AssistantContext context = buildAssistantContext(request.params, sourcesOf(session));
    CommandResult result = session.inspectResult();
    result.assistantContext = std::move(context);
    return CommandResponse::success(request.id, std::move(result));
}

}  // namespace kivo
