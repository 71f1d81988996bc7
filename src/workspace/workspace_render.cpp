// The shown page: its render through the worker with the cache in front, the zoom with its
// instant preview and settled re-render, the fit modes, and the render stamps that a change makes
// stale.

#include <QTimer>

#include <algorithm>
#include <cmath>
#include <utility>

#include "workspace/page_renders.hpp"
#include "workspace/workspace.hpp"

namespace kivo {
namespace {

constexpr double minimumZoom = 0.25;
constexpr double maximumZoom = 4.0;
constexpr int zoomSettleMilliseconds = 150;
constexpr int fitSettleMilliseconds = 120;
// Room the canvas keeps around a fitted page, and the least room a fit works with.
constexpr double fitMargin = 48;
constexpr double fitMinimum = 40;
constexpr double fallbackBackingScale = 2.0;

const char* const unloadableMessage = "The page rendered but the preview image could not be loaded.";

// The page's size on screen at `zoom`: whole device pixels, in logical pixels at `backing`.
QSizeF shownSize(const PageInfo& page, double zoom, double backing) {
    const double scale = zoom * backing;
    return {static_cast<double>(TileGrid::pixels(page.width, scale)) / backing,
            static_cast<double>(TileGrid::pixels(page.height, scale)) / backing};
}
const char* const noFolderMessage =
    "Kivo PDF could not make a private folder for page images in the temporary folder, so the page was not "
    "rendered.";

double limitedZoom(double zoom) { return std::clamp(zoom, minimumZoom, maximumZoom); }

}  // namespace

// What the two replies of one page render need from the moment it was asked for.
struct Workspace::PageRender {
    std::int64_t generation = 0;
    double backing = 0;
    QSizeF display;
    PageVersion version;
    std::string key;
    std::string path;
    std::shared_ptr<const void> file;
};

double Workspace::backingScale() const {
    const double scale = services_.screen->backingScale();
    return std::isfinite(scale) && scale > 0 ? scale : fallbackBackingScale;
}

PageVersion Workspace::version(const std::string& pageId) const {
    const auto found = pageVersions_.find(pageId);
    return PageVersion{documentVersion_, found != pageVersions_.end() ? found->second : 0};
}

void Workspace::invalidateRenders(const RenderInvalidation& invalidation) {
    switch (invalidation.kind()) {
        case RenderInvalidation::Kind::none: return;
        case RenderInvalidation::Kind::all:
            ++documentVersion_;
            pageVersions_.clear();
            break;
        case RenderInvalidation::Kind::pages:
            // No cached image is dropped: every lookup compares its stamp with the page's version.
            for (const std::string& pageId : invalidation.pageIds()) ++pageVersions_[pageId];
            break;
    }
    for (const std::string& pageId : visibleThumbnails_) {
        const auto cached = thumbnailCache_.peek(pageId);
        if (!cached || cached->version != version(pageId)) thumbnailQueue_.request(pageId);
    }
    pumpThumbnails();
}

void Workspace::refreshPage() {
    zoomSettling_ = false;
    const std::optional<PageInfo> page = currentPage();
    if (!sessionId() || !selectedPageId() || !page) {
        setPageImage(QImage());
        setPageTiles({});
        return;
    }
    PageRender render;
    render.generation = ++renderGeneration_;
    render.backing = backingScale();
    double scale = zoom() * render.backing;
    const std::int64_t pixelWidth = TileGrid::pixels(page->width, scale);
    const std::int64_t pixelHeight = TileGrid::pixels(page->height, scale);
    if (pixelWidth * pixelHeight <= TileGrid::wholePagePixelLimit) {
        tileCache_.removeAll();
    } else {
        scale = TileGrid::baseScale(page->width, page->height, scale);
    }
    // Always the size at the full zoom: a reduced base image is stretched to it.
    render.display = shownSize(*page, zoom(), render.backing);
    render.key = PageRenders::pageKey(page->id, scale);
    render.version = version(page->id);
    setPageTiles({});

    const auto cached = pageCache_.value(render.key);
    if (cached && cached->version == render.version && cached->chars) {
        setPageImage(PageRenders::sized(cached->image, render.display));
        setPageChars(*cached->chars);
        updateTiles();
        return;
    }
    // Until the render of another page is back, the sharpest image of it at hand stands in, stretched; the
    // same page again (a zoom, an edit) keeps what it shows unless something sharper is at hand.
    const bool samePage = std::exchange(refreshedPageId_, page->id) == page->id;
    if (const std::optional<QImage> standIn = standInImage(page->id, render.version)) {
        if (!samePage || pageImage().isNull() || standIn->width() > pageImage().width())
            setPageImage(PageRenders::sized(*standIn, render.display));
    }
    // One page render at a time: pages passed by while it is on its way (a held next-page key) are never
    // asked for, and the page shown when it is back is asked for next.
    if (pageRenderInFlight_) {
        pageRenderWanted_ = true;
        return;
    }
    render.path = PageRenders::renderPath();
    if (render.path.empty()) {
        setErrorMessage(noFolderMessage);
        return;
    }
    render.file = PageRenders::deletedWhenDone(render.path);
    CommandParams image;
    image.sessionId = sessionId();
    image.pageId = page->id;
    image.scale = scale;
    image.pngPath = render.path;
    pageRenderInFlight_ = true;
    send(
        makeRequest(CommandMethod::renderPage, std::move(image)), std::nullopt, true,
        [this, render](const CommandResult& result) { pageRendered(render, result); },
        [this, render, pageId = page->id](const std::string& code, const std::string& message) {
            PageRenders::discard(render.path);
            pageRenderEnded();
            // A render asked for while the page's deletion was on its way has nothing left to show.
            if (!hasPage(pageId)) return;
            // As the transport says it of a failure nobody handles: a worker on its way back is news, not an error.
            if (code == "worker_restarting") {
                setStatus(message);
            } else {
                setErrorMessage(message);
            }
        },
        [this, render] {
            PageRenders::discard(render.path);
            pageRenderEnded();
        });
    CommandParams text;
    text.sessionId = sessionId();
    text.pageId = page->id;
    // The image shown so far (a zoom preview, say) stays up until the replies arrive.
    send(
        makeRequest(CommandMethod::extractText, std::move(text)), std::nullopt, true,
        [this, render](const CommandResult& result) { pageTextArrived(render, result); },
        [this, pageId = page->id](const std::string&, const std::string& message) {
            if (hasPage(pageId)) setErrorMessage(message);
        });
}

bool Workspace::hasPage(const std::string& pageId) const {
    if (!inspect() || !inspect()->pages) return false;
    const std::vector<PageInfo>& pages = *inspect()->pages;
    return std::any_of(pages.begin(), pages.end(), [&](const PageInfo& page) { return page.id == pageId; });
}

std::optional<QImage> Workspace::standInImage(const std::string& pageId, const PageVersion& version) const {
    std::optional<QImage> best;
    const auto consider = [&](const RenderedPage& rendered) {
        if (rendered.version != version || rendered.image.isNull()) return;
        if (!best || rendered.image.width() > best->width()) best = rendered.image;
    };
    const std::string prefix = pageId + "@";
    pageCache_.forEach([&](const std::string& key, const RenderedPage& rendered) {
        // "<id>@<scale>": another page's id may itself hold an "@", its scale never does.
        if (key.starts_with(prefix) && key.find('@', prefix.size()) == std::string::npos) consider(rendered);
    });
    if (const auto thumbnail = thumbnailCache_.peek(pageId)) consider(*thumbnail);
    return best;
}

void Workspace::pageRenderEnded() {
    pageRenderInFlight_ = false;
    if (std::exchange(pageRenderWanted_, false)) refreshPage();
}

void Workspace::pageRendered(const PageRender& render, const CommandResult& result) {
    if (render.generation != renderGeneration_) {
        PageRenders::discard(render.path);
        pageRenderEnded();
        return;
    }
    pageRenderInFlight_ = false;
    pageRenderWanted_ = false;
    const auto image = PageRenders::loadReply(render.path, result, render.backing);
    if (image) {
        setPageImage(PageRenders::sized(*image, render.display));
        const std::int64_t cost = PageRenders::cost(result.width, result.height);
        pageCache_.insert(RenderedPage{*image, render.version, cost, std::nullopt}, render.key, cost);
    } else {
        setPageImage(QImage());
        setErrorMessage(unloadableMessage);
    }
    takeRenderedInspection(result);
    updateTiles();
}

// A render answers with the document's whole state. A newer revision in it was made by someone
// else (an MCP client) in the meantime: taking it in here would skip its invalidation, so it is
// left to the change watch, which adopts it and makes every page and thumbnail stale.
void Workspace::takeRenderedInspection(const CommandResult& result) {
    if (!inspect() || result.sessionId != inspect()->sessionId || result.revision != inspect()->revision) return;
    setInspect(result);
    syncSavePhase();
}

void Workspace::pageTextArrived(const PageRender& render, const CommandResult& result) {
    if (render.generation != renderGeneration_) return;
    std::vector<TextRun> chars = result.chars.value_or(std::vector<TextRun>{});
    setPageChars(chars);
    // Without an image of this version cached (unloadable, or evicted) the text is shown, not cached.
    std::optional<RenderedPage> cached = pageCache_.peek(render.key);
    if (!cached || cached->version != render.version) return;
    cached->chars = std::move(chars);
    const std::int64_t cost = cached->cost;
    pageCache_.insert(std::move(*cached), render.key, cost);
}

void Workspace::setZoom(double zoom) {
    setFitMode(FitMode::manual);
    WorkspaceState::setZoom(std::isnan(zoom) ? this->zoom() : limitedZoom(zoom));
    ++renderGeneration_;
    setPageTiles({});
    if (const auto page = currentPage(); page && !pageImage().isNull()) {
        setPageImage(PageRenders::sized(pageImage(), shownSize(*page, this->zoom(), backingScale())));
    }
    zoomSettling_ = true;
    const std::uint64_t ticket = ++zoomTicket_;
    QTimer::singleShot(zoomSettleMilliseconds, this, [this, ticket] {
        if (ticket == zoomTicket_) refreshPage();
    });
}

void Workspace::applyFit() {
    const auto page = currentPage();
    if (!page) return;
    const QSizeF area = viewport();
    if (!(area.width() > fitMinimum && area.height() > fitMinimum)) return;
    const double width = std::max(area.width() - fitMargin, fitMinimum);
    double fitted = 0;
    switch (fitMode()) {
        case FitMode::manual: return;
        case FitMode::page:
            fitted = std::min(width / page->width, std::max(area.height() - fitMargin, fitMinimum) / page->height);
            break;
        case FitMode::width:
            fitted = width / page->width;
            // Taller than the view, the page brings the vertical bar, which narrows the view (and a
            // pixel goes to the rounding up of the page's shown size).
            if (scrollBarWidth_ > 0 && fitted * page->height + fitMargin > area.height())
                fitted = std::max(width - scrollBarWidth_ - 1, fitMinimum) / page->width;
            break;
    }
    // A pending zoom re-render is left alone; this refresh ends its settling.
    WorkspaceState::setZoom(limitedZoom(fitted));
    refreshPage();
}

void Workspace::scheduleFit() {
    const std::uint64_t ticket = ++fitTicket_;
    QTimer::singleShot(fitSettleMilliseconds, this, [this, ticket] {
        if (ticket == fitTicket_) applyFit();
    });
}

}  // namespace kivo
