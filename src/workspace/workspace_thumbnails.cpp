// The page list's small page images: rendered only for rows on screen, one at a time, stamped
// with the version of the page they show, and rendered again when that version moves.

#include <QMetaObject>

#include "workspace/page_renders.hpp"
#include "workspace/workspace.hpp"

namespace kivo {
namespace {

// Of the screen's pixel density: a 612 × 792-point page is about 110 × 143 points.
constexpr double thumbnailScale = 0.18;

}  // namespace

// What a thumbnail reply needs from the moment it was asked for.
struct Workspace::ThumbnailRender {
    std::string pageId;
    std::string session;
    double backing = 0;
    PageVersion version;
    std::string path;
};

QImage Workspace::thumbnail(const std::string& pageId) const {
    const auto cached = thumbnailCache_.peek(pageId);
    return cached ? cached->image : QImage();
}

// Rows report themselves while the list lays out; the work waits for the next turn of the event
// loop, so a row that comes and goes within one turn is added and removed in that order.
void Workspace::showThumbnail(const std::string& pageId) {
    QMetaObject::invokeMethod(
        this,
        [this, pageId] {
            visibleThumbnails_.insert(pageId);
            const auto cached = thumbnailCache_.peek(pageId);
            if (cached && cached->version == version(pageId)) return;
            thumbnailQueue_.request(pageId);
            pumpThumbnails();
        },
        Qt::QueuedConnection);
}

void Workspace::hideThumbnail(const std::string& pageId) {
    QMetaObject::invokeMethod(
        this,
        [this, pageId] {
            visibleThumbnails_.erase(pageId);
            // A render already on its way is not stopped; its image is still kept.
            thumbnailQueue_.cancel(pageId);
        },
        Qt::QueuedConnection);
}

void Workspace::pumpThumbnails() {
    if (!sessionId()) return;
    const std::optional<std::string> pageId = thumbnailQueue_.next();
    if (!pageId) return;
    ThumbnailRender render{*pageId, *sessionId(), backingScale(), version(*pageId), PageRenders::renderPath()};
    if (render.path.empty()) return thumbnailFailed(render);
    CommandParams params;
    params.sessionId = render.session;
    params.pageId = render.pageId;
    params.scale = render.backing * thumbnailScale;
    params.pngPath = render.path;
    send(
        makeRequest(CommandMethod::renderPage, std::move(params)), std::nullopt, false,
        [this, render](const CommandResult& result) { thumbnailRendered(render, result); },
        [this, render](const std::string&, const std::string&) { thumbnailFailed(render); });
}

void Workspace::thumbnailRendered(const ThumbnailRender& render, const CommandResult& result) {
    thumbnailQueue_.finish(render.pageId);
    if (sessionId() != render.session) {
        // The document was closed or replaced meanwhile.
        PageRenders::discard(render.path);
    } else if (const auto image = PageRenders::loadReply(render.path, result, render.backing)) {
        const std::int64_t cost = PageRenders::cost(result.width, result.height);
        thumbnailCache_.insert(RenderedPage{*image, render.version, cost, std::nullopt}, render.pageId, cost);
        setThumbnailGeneration(thumbnailGeneration() + 1);
        // The page changed while it was rendered.
        if (visibleThumbnails_.contains(render.pageId) && version(render.pageId) != render.version) {
            thumbnailQueue_.request(render.pageId);
        }
    }
    pumpThumbnails();
}

// Dropped without a word: the row asks again when it next appears, or when its page changes.
void Workspace::thumbnailFailed(const ThumbnailRender& render) {
    thumbnailQueue_.finish(render.pageId);
    PageRenders::discard(render.path);
    pumpThumbnails();
}

}  // namespace kivo
