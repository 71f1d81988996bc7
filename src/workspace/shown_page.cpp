// The shown page: its render through the worker with the cache in front, the zoom with its
// instant preview and settled re-render, the fit modes, and the render stamps that a change makes
// stale. Sharp tiles over the visible part of a page too large to render whole: the cached ones
// are published, the missing ones asked for four at a time, one request in flight: those in view
// first, on their own so the view sharpens without waiting for the rest, and ahead of the page's
// own render, then those in twice the visible area. The thumbnails of the pages ahead of a run of page
// moves, asked of the page list's queue.

#include "workspace/shown_page.hpp"

#include <QMetaObject>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "workspace/command_sender.hpp"
#include "workspace/page_renders.hpp"
#include "workspace/page_versions.hpp"
#include "workspace/render_decoder.hpp"
#include "workspace/thumbnail_queue.hpp"
#include "workspace/workspace_state.hpp"

namespace kivo {
namespace {

constexpr double minimumZoom = 0.25;
constexpr double maximumZoom = 4.0;
constexpr int zoomSettleMilliseconds = 150;
constexpr int fitSettleMilliseconds = 120;
// Room the canvas keeps around a fitted page, and the least room a fit works with.
constexpr double fitMargin = 48;
constexpr double fitMinimum = 40;

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

constexpr std::int64_t tileSize = 1024;

// What grows the visible rectangle, about its centre, to twice its area.
const double aroundView = (std::sqrt(2.0) - 1) / 2;

struct MissingTile {
    std::string key;
    RenderTile square;
    bool inView = false;
};

// Distance from `centre` to the middle of a square, halves rounded down to whole pixels.
double distance(const RenderTile& square, QPointF centre) {
    const double x = static_cast<double>(square.x + square.width / 2) - centre.x();
    const double y = static_cast<double>(square.y + square.height / 2) - centre.y();
    return std::hypot(x, y);
}

constexpr std::int64_t pageCacheCount = 24;
constexpr std::int64_t pageCacheBytes = 402'653'184;  // 384 MiB

// How many pages past the shown one, in the direction of a run of next- or previous-page moves, get a
// thumbnail ahead of time: each page of the run then shows at once, stretched, while its render is on the
// way.
constexpr std::int64_t pagesAhead = 4;

// Where the page stands among `pages`, found rather than taken from the worker's numbering; -1 when absent.
std::int64_t positionOf(const std::vector<PageInfo>& pages, const std::string& pageId) {
    const auto found =
        std::find_if(pages.begin(), pages.end(), [&](const PageInfo& page) { return page.id == pageId; });
    return found == pages.end() ? -1 : found - pages.begin();
}

}  // namespace

struct ShownPage::Private {
    // The page the last page refresh was for: a stand-in image is for a change of page.
    std::string refreshedPageId_;
    // The page the shown image is of (its render, a stand-in or a preview); empty for none. Until the
    // first image of a page moved to is at hand, the page before it stays up.
    std::string imagePageId_;
    // The position of the page last refreshed, and where a run of moves to the neighbouring page goes
    // (+1 or -1; 0 after any other move): the thumbnails ahead of such a run are asked for.
    std::int64_t shownPosition_ = -1;
    std::int64_t travel_ = 0;
    // A page render is on its way, of this page; a refresh meanwhile waits for it (pageRenderWanted_).
    bool pageRenderInFlight_ = false;
    std::string renderingPageId_;
    // The shown page whose read ended without an image, and why.
    std::string notDrawnPageId_;
    std::string notDrawnReason_;
    bool pageRenderWanted_ = false;
    // The page rendered ahead and which of its replies are still due. A refresh waits for its image, and
    // for its text too when it is that page, which is then a paint.
    std::string aheadPageId_;
    bool aheadImageDue_ = false;
    bool aheadTextDue_ = false;
    // Its image is back and decoding; until it is in the cache it still counts as the render on its way.
    bool aheadDecoding_ = false;
    // Pages flipped back to, and zoom steps, come from here without a request.
    BoundedCache<std::string, RenderedPage> pageCache_{pageCacheCount, pageCacheBytes};
    // Cached pages being decoded back from their files.
    std::unordered_set<std::string> unpacking_;
    BoundedCache<std::string, RenderedPage> tileCache_{48, 134'217'728};
    bool zoomSettling_ = false;
    // Every refresh and zoom step starts a generation; replies of an older one change nothing.
    std::int64_t renderGeneration_ = 0;
    bool tileRequestInFlight_ = false;
    // The delayed re-render of a zoom and the delayed fit: only the latest of each runs.
    std::uint64_t zoomTicket_ = 0;
    std::uint64_t fitTicket_ = 0;
    double scrollBarWidth_ = 0;
    QImage pageImage_;
    QSizeF pageSize_;
    std::vector<PageTile> pageTiles_;
    QRectF visibleCanvasRect_;
    double zoom_ = 1.2;
    FitMode fitMode_ = FitMode::manual;
    QSizeF viewport_{800, 600};
    std::vector<TextRun> pageChars_;
    std::vector<TextLine> pageLines_;
};

ShownPage::ShownPage(WorkspaceState& state, CommandSender& link, const WorkspaceServices& services,
                     const PageVersions& versions, RenderDecoder& decoder, ThumbnailQueue& thumbnails,
                     QObject* parent)
    : QObject(parent),
      state_(state),
      link_(link),
      services_(services),
      versions_(versions),
      decoder_(decoder),
      thumbnails_(thumbnails),
      d_(std::make_unique<Private>()) {
    thumbnails_.setPageAhead([this] { return pageAhead(); });
    thumbnails_.setHeld([this](const std::string& pageId) {
        return d_->pageRenderInFlight_ && d_->renderingPageId_ == pageId;
    });
    connect(&thumbnails_, &ThumbnailQueue::thumbnailArrived, this, &ShownPage::thumbnailArrived);
}

ShownPage::~ShownPage() = default;

const QImage& ShownPage::pageImage() const { return d_->pageImage_; }
const std::string& ShownPage::imagePageId() const { return d_->imagePageId_; }

const QSizeF& ShownPage::pageSize() const { return d_->pageSize_; }

const std::vector<PageTile>& ShownPage::pageTiles() const { return d_->pageTiles_; }

const QRectF& ShownPage::visibleCanvasRect() const { return d_->visibleCanvasRect_; }

void ShownPage::setPageImage(QImage value, std::string pageId, std::optional<QSizeF> size) {
    const QSizeF shown = size.value_or(value.deviceIndependentSize());
    // QImage's == compares every pixel and ignores the display size, while a zoom preview is the
    // same pixels at another size: the same image is the same pixel buffer at the same ratio.
    if (value.cacheKey() == d_->pageImage_.cacheKey() &&
        value.devicePixelRatio() == d_->pageImage_.devicePixelRatio() && shown == d_->pageSize_ &&
        pageId == d_->imagePageId_)
        return;
    d_->pageImage_ = std::move(value);
    d_->pageSize_ = shown;
    d_->imagePageId_ = std::move(pageId);
    emit pageImageChanged();
}

void ShownPage::setPageTiles(std::vector<PageTile> value) {
    if (value == d_->pageTiles_) return;
    d_->pageTiles_ = std::move(value);
    emit pageTilesChanged();
}

void ShownPage::clearPage() {
    setPageTiles({});
    setPageImage(QImage(), "");
}

void ShownPage::notDrawn(const std::string& pageId, const PageVersion& version, std::string reason) {
    thumbnails_.passOver(pageId, version);
    if (!hasPage(pageId)) return;
    d_->notDrawnPageId_ = pageId;
    d_->notDrawnReason_ = std::move(reason);
    emit pageImageChanged();
}

std::optional<std::string> ShownPage::notDrawnReason() const {
    const std::optional<PageInfo> page = state_.currentPage();
    if (!page || page->id != d_->notDrawnPageId_ || !thumbnails_.passedOver(page->id)) return std::nullopt;
    if (d_->imagePageId_ == page->id) return std::nullopt;
    return d_->notDrawnReason_;
}

void ShownPage::setVisibleCanvasRect(QRectF value) {
    if (value == d_->visibleCanvasRect_) return;
    d_->visibleCanvasRect_ = value;
    emit visibleCanvasRectChanged();
}

double ShownPage::zoom() const { return d_->zoom_; }

FitMode ShownPage::fitMode() const { return d_->fitMode_; }

const QSizeF& ShownPage::viewport() const { return d_->viewport_; }

const std::vector<TextRun>& ShownPage::pageChars() const { return d_->pageChars_; }

const std::vector<TextLine>& ShownPage::pageLines() const { return d_->pageLines_; }

void ShownPage::showZoom(double value) {
    if (value == d_->zoom_) return;
    d_->zoom_ = value;
    emit zoomChanged();
}

void ShownPage::setFitMode(FitMode value) {
    if (value == d_->fitMode_) return;
    d_->fitMode_ = value;
    emit fitModeChanged();
}

void ShownPage::setViewport(QSizeF value) {
    if (value == d_->viewport_) return;
    d_->viewport_ = value;
    emit viewportChanged();
}

void ShownPage::setPageChars(std::vector<TextRun> value) {
    // The lines always follow the characters, so the two never disagree.
    std::vector<TextLine> lines = PageText::lines(value);
    if (value != d_->pageChars_) {
        d_->pageChars_ = std::move(value);
        emit pageCharsChanged();
    }
    if (lines != d_->pageLines_) {
        d_->pageLines_ = std::move(lines);
        emit pageLinesChanged();
    }
}

void ShownPage::setScrollBarWidth(double width) { d_->scrollBarWidth_ = width; }

void ShownPage::documentReplaced() {
    forgetRenders();
    clearPage();
}

void ShownPage::forget() {
    clearPage();
    forgetRenders();
    setPageChars({});
}

void ShownPage::forgetRenders() {
    d_->pageCache_.removeAll();
    d_->tileCache_.removeAll();
    d_->shownPosition_ = -1;
    d_->travel_ = 0;
}

// What every render of `page` asks, the whole page or its tiles alike.
CommandParams ShownPage::renderParams(const PageInfo& page, double scale) const {
    CommandParams params;
    params.sessionId = state_.sessionId();
    params.pageId = page.id;
    params.scale = scale;
    return params;
}

ShownPage::RenderCacheUse ShownPage::renderCacheUse() const {
    const Private& d = *d_;
    const ThumbnailQueue::Cache& thumbnails = thumbnails_.cache();
    RenderCacheUse use{d.pageCache_.count(), d.tileCache_.count(), thumbnails.count(),
                       d.pageCache_.totalCost() + d.tileCache_.totalCost() + thumbnails.totalCost(),
                       d.pageCache_.costLimit() + d.tileCache_.costLimit() + thumbnails.costLimit()};
    const auto held = [&](const std::string&, const RenderedPage& rendered) {
        use.packedPages += rendered.image.isNull() && !rendered.png.isEmpty();
        use.heldBytes += rendered.image.sizeInBytes() + rendered.png.size();
    };
    d.pageCache_.forEach(held);
    d.tileCache_.forEach(held);
    thumbnails.forEach(held);
    return use;
}

bool ShownPage::decoding() const { return decoder_.pending() > 0; }

// ---- The shown page, the zoom and the fits

// What the two replies of one page render need from the moment it was asked for.
struct ShownPage::PageRender {
    std::int64_t generation = 0;
    double backing = 0;
    QSizeF display;
    PageVersion version;
    std::string key;
    std::string pageId;
    // What the worker renders at: the zoom, or the tiles' base scale for a page too large to render whole.
    double scale = 0;
    std::optional<std::string> session;
    std::string path;
    std::shared_ptr<const void> file;
    // Its text is asked for once the image is back (a page of a run of moves).
    bool textAfterImage = false;
    // The text, when it is back while the image still decodes: the image goes into the cache with it.
    std::shared_ptr<std::optional<std::vector<TextRun>>> text =
        std::make_shared<std::optional<std::vector<TextRun>>>();
};

double ShownPage::backingScale() const { return PageRenders::backing(services_.screen->backingScale()); }

PageVersion ShownPage::version(const std::string& pageId) const { return versions_.of(pageId); }

void ShownPage::refreshPage() {
    d_->zoomSettling_ = false;
    const std::optional<PageInfo> page = state_.currentPage();
    if (!state_.sessionId() || !state_.selectedPageId() || !page) return clearPage();
    // Turned to again, a page whose read was cancelled or stopped is read again; any other refresh of it
    // (a zoom, a resize) leaves it as it is.
    if (d_->notDrawnPageId_ == page->id && d_->refreshedPageId_ == page->id &&
        thumbnails_.passedOver(page->id))
        return;
    d_->notDrawnPageId_.clear();
    PageRender render = planPageRender(*page);
    setPageTiles({});
    followTravel(page->id);
    keepNearShown();
    if (showCachedPage(render)) return;
    // Over this page's own image, the tiles at hand go straight back up and those in view are asked for
    // ahead of the page, which the worker renders in the order asked; over another page's, none.
    if (showStandIn(render)) updateTiles();
    // One page render at a time: pages passed by while it is on its way (a held next-page key) are never
    // asked for, and the page shown when it is back is asked for next. The page rendered ahead counts as
    // one: it is most often this very page.
    if (d_->pageRenderInFlight_ || d_->aheadImageDue_ || d_->aheadDecoding_ ||
        (d_->aheadTextDue_ && d_->aheadPageId_ == page->id)) {
        d_->pageRenderWanted_ = true;
        return thumbnails_.pump();
    }
    if (!sendPageRender(render, *page)) return;
    // After the page's own request, so that it goes first.
    thumbnails_.pump();
}

ShownPage::PageRender ShownPage::planPageRender(const PageInfo& page) {
    PageRender render;
    render.generation = ++d_->renderGeneration_;
    render.backing = backingScale();
    render.scale = renderScale(page, render.backing);
    if (!TileGrid::forPage(page.width, page.height, zoom() * render.backing, tileSize).needsTiles())
        d_->tileCache_.removeAll();
    // Always the size at the full zoom: a reduced base image is stretched to it.
    render.display = shownSize(page, zoom(), render.backing);
    render.key = PageRenders::pageKey(page.id, render.scale);
    render.pageId = page.id;
    render.session = state_.sessionId();
    render.version = version(page.id);
    return render;
}

double ShownPage::renderScale(const PageInfo& page, double backing) const {
    const double scale = zoom() * backing;
    if (!TileGrid::forPage(page.width, page.height, scale, tileSize).needsTiles()) return scale;
    return TileGrid::baseScale(page.width, page.height, scale);
}

void ShownPage::followTravel(const std::string& pageId) {
    const std::int64_t position = positionOf(*state_.inspect()->pages, pageId);
    if (const std::int64_t before = std::exchange(d_->shownPosition_, position); before != position)
        d_->travel_ = before >= 0 && std::abs(position - before) == 1 ? position - before : 0;
}

bool ShownPage::showCachedPage(const PageRender& render) {
    std::optional<RenderedPage> cached = d_->pageCache_.value(render.key);
    if (!cached || cached->version != render.version || !cached->chars) return false;
    // Kept as its file, a page jumped to is decoded here and now: a few milliseconds, not a trip to the
    // worker.
    if (cached->image.isNull() && !(cached = unpackedNow(render.key))) return false;
    setPageImage(PageRenders::sized(cached->image, render.display), render.pageId);
    setPageChars(*cached->chars);
    updateTiles();
    thumbnails_.pump();
    renderAhead();
    return true;
}

// Until the render of another page is back, the sharpest image of it at hand stands in, stretched; the
// same page again (a zoom, an edit) keeps what it shows unless something sharper is at hand.
bool ShownPage::showStandIn(const PageRender& render) {
    const bool samePage = std::exchange(d_->refreshedPageId_, render.pageId) == render.pageId;
    bool showsPage = samePage;
    if (const std::optional<QImage> standIn = standInImage(render.pageId, render.version)) {
        if (!samePage || pageImage().isNull() || standIn->width() > pageImage().width()) {
            setPageImage(PageRenders::sized(*standIn, render.display), render.pageId, render.display);
        }
        showsPage = true;
    }
    return showsPage;
}

bool ShownPage::sendPageRender(PageRender& render, const PageInfo& page) {
    render.path = PageRenders::renderPath();
    if (render.path.empty()) {
        state_.setErrorMessage(noFolderMessage);
        return false;
    }
    render.file = PageRenders::deletedWhenDone(render.path);
    render.textAfterImage = d_->travel_ != 0;
    CommandParams image = renderParams(page, render.scale);
    image.pngPath = render.path;
    d_->pageRenderInFlight_ = true;
    d_->renderingPageId_ = page.id;
    const std::string number = std::to_string(page.index + 1);
    // A page that takes long to draw shows the card with Cancel (and Escape), as any long command does.
    link_.send(
        CommandSender::makeRequest(CommandMethod::renderPage, std::move(image)), "Rendering page " + number,
        true, [this, render](const CommandResult& result) { pageRendered(render, result); },
        [this, render](const std::string& code, const std::string& message) {
            PageRenders::discard(render.path);
            // Passed over before the reads that waited for it are asked for.
            if (code == rawValue(FailureCode::resourceLimit))
                notDrawn(render.pageId, render.version, message);
            pageRenderEnded();
            // A render asked for while the page's deletion was on its way has nothing left to show.
            if (!hasPage(render.pageId)) return;
            // As the transport says it of a failure nobody handles: a worker on its way back is news, not an
            // error.
            if (code == rawValue(LinkFailure::workerRestarting)) {
                state_.setStatus(message);
            } else {
                state_.setErrorMessage(message);
            }
        },
        [this, render, number] {
            PageRenders::discard(render.path);
            notDrawn(render.pageId, render.version,
                     "Page " + number +
                         " was not drawn: its rendering was cancelled. Turn to it again to draw it.");
            pageRenderEnded();
        });
    return true;
}

void ShownPage::askText(const PageRender& render) {
    CommandParams text;
    text.sessionId = state_.sessionId();
    text.pageId = render.pageId;
    const PageInfo* page = state_.document().page(render.pageId);
    if (!page) return;
    link_.send(
        CommandSender::makeRequest(CommandMethod::extractText, std::move(text)),
        "Reading page " + std::to_string(page->index + 1), true,
        [this, render](const CommandResult& result) { pageTextArrived(render, result); },
        [this, pageId = render.pageId](const std::string&, const std::string& message) {
            if (hasPage(pageId)) state_.setErrorMessage(message);
        });
}

bool ShownPage::hasPage(const std::string& pageId) const {
    return state_.inspect() && state_.inspect()->pages && positionOf(*state_.inspect()->pages, pageId) >= 0;
}

std::optional<std::string> ShownPage::standInKey(const std::string& pageId,
                                                 const PageVersion& version) const {
    std::optional<std::string> best;
    int bestWidth = 0;
    const auto consider = [&](const std::string& key, const RenderedPage& rendered) {
        if (rendered.version != version || (rendered.image.isNull() && rendered.png.isEmpty())) return;
        // A page kept as its file is as sharp as the image it stands for.
        const int width = rendered.image.isNull() ? rendered.pixels.width() : rendered.image.width();
        if (!best || width > bestWidth) {
            best = key;
            bestWidth = width;
        }
    };
    const std::string prefix = pageId + "@";
    d_->pageCache_.forEach([&](const std::string& key, const RenderedPage& rendered) {
        // "<id>@<scale>": another page's id may itself hold an "@", its scale never does.
        if (key.starts_with(prefix) && key.find('@', prefix.size()) == std::string::npos)
            consider(key, rendered);
    });
    if (const auto thumbnail = thumbnails_.cache().peek(pageId)) consider(std::string(), *thumbnail);
    return best;
}

std::optional<QImage> ShownPage::standInImage(const std::string& pageId, const PageVersion& version) {
    const std::optional<std::string> key = standInKey(pageId, version);
    if (!key) return std::nullopt;
    if (key->empty()) return thumbnails_.cache().peek(pageId)->image;
    if (const std::optional<RenderedPage> cached = unpackedNow(*key)) return cached->image;
    // Its file no longer decodes: the thumbnail, when there is one of this version.
    const auto thumbnail = thumbnails_.cache().peek(pageId);
    if (thumbnail && thumbnail->version == version && !thumbnail->image.isNull()) return thumbnail->image;
    return std::nullopt;
}

void ShownPage::pageRenderEnded() {
    d_->pageRenderInFlight_ = false;
    if (std::exchange(d_->pageRenderWanted_, false)) refreshPage();
    // Its thumbnail waited for it.
    thumbnails_.renderStale();
}

void ShownPage::pageRendered(const PageRender& render, const CommandResult& result) {
    if (render.generation != d_->renderGeneration_) {
        PageRenders::discard(render.path);
        pageRenderEnded();
        return;
    }
    // The worker is free for the next page while this one decodes: a move meanwhile asks for its page at
    // once, and the image, when it is back, goes to the cache only.
    d_->pageRenderInFlight_ = false;
    d_->pageRenderWanted_ = false;
    // The text goes behind the image, never ahead of the worker's answer: a page whose image was cancelled
    // or stopped has no read of its text waiting behind it. In a run of page moves (a held key) it waits for
    // the image's decoding, and is asked for only when the page is still the one shown then: a page passed
    // by costs the worker no text, and the page shown next does not wait behind it.
    if (!render.textAfterImage) askText(render);
    thumbnails_.drawn(render.pageId);
    thumbnails_.renderStale();
    emit inspectionRendered(result);
    const std::int64_t cost = PageRenders::cost(result.width, result.height);
    decoder_.loadPage(render.path, result, render.backing,
                      [this, render, cost](std::optional<PageRenders::LoadedPage> page) {
                          pageDecoded(render, cost, page);
                      });
}

void ShownPage::pageDecoded(const PageRender& render, std::int64_t cost,
                            const std::optional<PageRenders::LoadedPage>& page) {
    // Stamped with the version it was asked at: an edit meanwhile makes it stale, never wrong; another
    // document meanwhile has no place for it.
    if (page && state_.sessionId() == render.session) {
        d_->pageCache_.insert(RenderedPage{page->image, render.version, cost, *render.text, page->png},
                              render.key, cost);
        // A page passed by keeps its file alone.
        keepNearShown();
    }
    if (render.generation != d_->renderGeneration_) return;
    if (page) {
        setPageImage(PageRenders::sized(page->image, render.display), render.pageId);
    } else {
        setPageImage(QImage(), "");
        state_.setErrorMessage(unloadableMessage);
    }
    if (render.textAfterImage) askText(render);
    updateTiles();
}

void ShownPage::pageTextArrived(const PageRender& render, const CommandResult& result) {
    if (render.generation != d_->renderGeneration_) return;
    std::vector<TextRun> chars = result.chars.value_or(std::vector<TextRun>{});
    setPageChars(chars);
    cacheText(render, std::move(chars));
    renderAhead();
}

void ShownPage::cacheText(const PageRender& render, std::vector<TextRun> chars) {
    // Without an image of this version cached the text waits for the one still decoding; an unloadable or
    // evicted one never takes it.
    std::optional<RenderedPage> cached = d_->pageCache_.peek(render.key);
    if (!cached || cached->version != render.version) {
        *render.text = std::move(chars);
        return;
    }
    cached->chars = std::move(chars);
    const std::int64_t cost = cached->cost;
    d_->pageCache_.insert(std::move(*cached), render.key, cost);
}

void ShownPage::keepNearShown() {
    const std::optional<PageInfo> shown = state_.currentPage();
    if (!shown || !state_.inspect() || !state_.inspect()->pages) return;
    const std::vector<PageInfo>& pages = *state_.inspect()->pages;
    const std::int64_t at = positionOf(pages, shown->id);
    std::unordered_map<std::string, std::string> nearKeys;  // page id to its key at the scale shown now
    const double backing = backingScale();
    for (std::int64_t i = std::max<std::int64_t>(at - 1, 0); i <= at + 1 && i < std::ssize(pages); ++i) {
        const PageInfo& page = pages[static_cast<std::size_t>(i)];
        nearKeys.emplace(page.id, PageRenders::pageKey(page.id, renderScale(page, backing)));
    }
    std::vector<std::string> toPack;
    std::vector<std::string> toUnpack;
    d_->pageCache_.forEach([&](const std::string& key, const RenderedPage& rendered) {
        // "<id>@<scale>": a page id may itself hold an "@", a scale never does.
        const auto near = nearKeys.find(key.substr(0, key.rfind('@')));
        if (near == nearKeys.end()) {
            // A file that deflated poorly (a page of noise) is not worth decoding again.
            if (!rendered.image.isNull() && !rendered.png.isEmpty() &&
                rendered.png.size() < rendered.image.sizeInBytes() / 2)
                toPack.push_back(key);
        } else if (near->first != shown->id && near->second == key && rendered.image.isNull() &&
                   rendered.version == version(near->first)) {
            // A neighbour, decoded ahead of a turn to it; the shown page is decoded where it is shown.
            toUnpack.push_back(key);
        }
    });
    for (const std::string& key : toPack) {
        RenderedPage rendered = *d_->pageCache_.peek(key);
        rendered.pixels = rendered.image.size();
        rendered.ratio = rendered.image.devicePixelRatio();
        rendered.image = QImage();
        d_->pageCache_.replaceValue(key, std::move(rendered));
    }
    for (const std::string& key : toUnpack) unpackPage(key);
}

void ShownPage::unpackPage(const std::string& key) {
    const auto cached = d_->pageCache_.peek(key);
    if (!cached || !cached->image.isNull() || cached->png.isEmpty() || !d_->unpacking_.insert(key).second)
        return;
    decoder_.unpack(cached->png, cached->ratio, [this, key, png = cached->png](std::optional<QImage> image) {
        pageUnpacked(key, png, image);
    });
}

void ShownPage::pageUnpacked(const std::string& key, const QByteArray& png,
                             const std::optional<QImage>& image) {
    d_->unpacking_.erase(key);
    // Still the same file, still packed: evicted, replaced by a newer render or another document's meanwhile,
    // it has no place to go.
    if (std::optional<RenderedPage> cached = d_->pageCache_.peek(key);
        cached && cached->image.isNull() && cached->png.isSharedWith(png)) {
        if (image) {
            cached->image = *image;
            d_->pageCache_.replaceValue(key, std::move(*cached));
        } else {
            // A file that decoded once and no longer does is not worth keeping: the worker renders it anew.
            d_->pageCache_.removeValue(key);
        }
    }
}

std::optional<RenderedPage> ShownPage::unpackedNow(const std::string& key) {
    std::optional<RenderedPage> cached = d_->pageCache_.peek(key);
    if (!cached || !cached->image.isNull()) return cached;
    std::optional<QImage> image = PageRenders::unpack(cached->png, cached->ratio);
    if (!image) {
        d_->pageCache_.removeValue(key);
        return std::nullopt;
    }
    cached->image = std::move(*image);
    d_->pageCache_.replaceValue(key, *cached);
    return cached;
}

// ---- The page ahead

void ShownPage::renderAhead() {
    if (d_->pageRenderInFlight_ || d_->aheadImageDue_ || d_->aheadDecoding_ || d_->aheadTextDue_ ||
        d_->zoomSettling_ || !state_.sessionId())
        return;
    const std::optional<PageInfo> shown = state_.currentPage();
    if (!shown) return;
    const std::vector<PageInfo>& pages = *state_.inspect()->pages;
    const std::int64_t at = positionOf(pages, shown->id) + (d_->travel_ < 0 ? -1 : 1);
    if (at < 0 || at >= static_cast<std::int64_t>(pages.size())) return;
    const PageInfo& page = pages[static_cast<std::size_t>(at)];
    if (thumbnails_.passedOver(page.id)) return;
    PageRender render;
    render.backing = backingScale();
    const double scale = zoom() * render.backing;
    // A page too large to render whole waits for its own refresh, which asks for its tiles first.
    if (TileGrid::pixels(page.width, scale) * TileGrid::pixels(page.height, scale) >
        TileGrid::wholePagePixelLimit)
        return;
    render.key = PageRenders::pageKey(page.id, scale);
    render.pageId = page.id;
    render.version = version(page.id);
    const auto cached = d_->pageCache_.peek(render.key);
    if (cached && cached->version == render.version && cached->chars) return;
    render.path = PageRenders::renderPath();
    if (render.path.empty()) return;
    render.file = PageRenders::deletedWhenDone(render.path);
    const std::string session = *state_.sessionId();
    d_->aheadPageId_ = page.id;
    d_->aheadImageDue_ = true;
    d_->aheadTextDue_ = true;
    // As each reply is in, a refresh that waited runs; once both are, and an edit made the page stale
    // meanwhile, it is rendered ahead again.
    const auto ended = [this, pageId = render.pageId, asked = render.version](bool& due) {
        due = false;
        if (std::exchange(d_->pageRenderWanted_, false)) return refreshPage();
        if (!d_->aheadImageDue_ && !d_->aheadDecoding_ && !d_->aheadTextDue_ && version(pageId) != asked)
            renderAhead();
    };
    const auto imageEnded = [this, ended] { ended(d_->aheadImageDue_); };
    const auto decodeEnded = [this, ended] { ended(d_->aheadDecoding_); };
    const auto textEnded = [this, ended] { ended(d_->aheadTextDue_); };
    // Read ahead unasked, yet with the card once it takes long: the person's next command waits behind it.
    const std::string number = std::to_string(page.index + 1);
    // A read of it cancelled or stopped for its time passes the page over, then ends as `ended` says.
    const auto passOver = [this, render] { thumbnails_.passOver(render.pageId, render.version); };
    const auto failedThen = [passOver](std::function<void()> ended) {
        return [passOver, ended](const std::string& code, const std::string&) {
            if (code == rawValue(FailureCode::resourceLimit)) passOver();
            ended();
        };
    };
    const auto cancelledThen = [passOver](std::function<void()> ended) {
        return [passOver, ended] {
            passOver();
            ended();
        };
    };
    // Asked once the image is in, as for the shown page: a page that could not be drawn has no read of its
    // text waiting behind it.
    const auto askTextAhead = [this, render, session, number, textEnded, failedThen, cancelledThen] {
        CommandParams text;
        text.sessionId = session;
        text.pageId = render.pageId;
        link_.send(
            CommandSender::makeRequest(CommandMethod::extractText, std::move(text)), "Reading page " + number,
            false,
            [this, render, session, textEnded](const CommandResult& result) {
                if (state_.sessionId() == session)
                    cacheText(render, result.chars.value_or(std::vector<TextRun>{}));
                textEnded();
            },
            failedThen(textEnded), cancelledThen(textEnded));
    };
    const auto noImage = [this, render, imageEnded] {
        PageRenders::discard(render.path);
        d_->aheadTextDue_ = false;
        imageEnded();
    };
    CommandParams image = renderParams(page, scale);
    image.pngPath = render.path;
    link_.send(
        CommandSender::makeRequest(CommandMethod::renderPage, std::move(image)), "Rendering page " + number,
        false,
        [this, render, session, imageEnded, decodeEnded, askTextAhead](const CommandResult& result) {
            const std::int64_t cost = PageRenders::cost(result.width, result.height);
            d_->aheadDecoding_ = true;
            thumbnails_.drawn(render.pageId);
            askTextAhead();
            decoder_.loadPage(render.path, result, render.backing,
                              [this, render, session, decodeEnded,
                               cost](const std::optional<PageRenders::LoadedPage>& loaded) {
                                  // Stamped with the version it was asked at: an edit meanwhile makes it
                                  // stale, never wrong.
                                  if (loaded && state_.sessionId() == session) {
                                      d_->pageCache_.insert(RenderedPage{loaded->image, render.version, cost,
                                                                         *render.text, loaded->png},
                                                            render.key, cost);
                                      keepNearShown();
                                  }
                                  decodeEnded();
                              });
            imageEnded();
        },
        failedThen(noImage), cancelledThen(noImage));
}

void ShownPage::stepZoom(double zoom) {
    showZoomPreview(zoom);
    const std::uint64_t ticket = ++d_->zoomTicket_;
    QTimer::singleShot(zoomSettleMilliseconds, this, [this, ticket] {
        if (ticket == d_->zoomTicket_) refreshPage();
    });
}

void ShownPage::zoomTo(double zoom) {
    showZoomPreview(zoom);
    // A settling step's render is not wanted any more.
    ++d_->zoomTicket_;
    refreshPage();
}

void ShownPage::showZoomPreview(double zoom) {
    setFitMode(FitMode::manual);
    showZoom(std::isnan(zoom) ? this->zoom() : limitedZoom(zoom));
    ++d_->renderGeneration_;
    setPageTiles({});
    // Settling before the preview: the canvas's tile pass, which the new size sets off, asks for nothing
    // at a step that may not be the last.
    d_->zoomSettling_ = true;
    if (const auto page = state_.currentPage(); page && !pageImage().isNull()) {
        const QSizeF shown = shownSize(*page, this->zoom(), backingScale());
        setPageImage(PageRenders::sized(pageImage(), shown), d_->imagePageId_, shown);
    }
}

void ShownPage::applyFit() {
    const auto page = state_.currentPage();
    if (!page) return;
    const QSizeF area = viewport();
    if (!(area.width() > fitMinimum && area.height() > fitMinimum)) return;
    const double width = std::max(area.width() - fitMargin, fitMinimum);
    double fitted = 0;
    switch (fitMode()) {
        case FitMode::manual: return;
        case FitMode::page:
            fitted =
                std::min(width / page->width, std::max(area.height() - fitMargin, fitMinimum) / page->height);
            break;
        case FitMode::width:
            fitted = width / page->width;
            // Taller than the view, the page brings the vertical bar, which narrows the view (and a
            // pixel goes to the rounding up of the page's shown size).
            if (d_->scrollBarWidth_ > 0 && fitted * page->height + fitMargin > area.height())
                fitted = std::max(width - d_->scrollBarWidth_ - 1, fitMinimum) / page->width;
            break;
    }
    // A pending zoom re-render is left alone; this refresh ends its settling.
    showZoom(limitedZoom(fitted));
    refreshPage();
}

void ShownPage::scheduleFit() {
    const std::uint64_t ticket = ++d_->fitTicket_;
    QTimer::singleShot(fitSettleMilliseconds, this, [this, ticket] {
        if (ticket == d_->fitTicket_) applyFit();
    });
}

// ---- Tiles

// What a tile reply needs from the moment it was asked for.
struct ShownPage::TileBatch {
    std::int64_t generation = 0;
    std::int64_t pixelWidth = 0;
    std::int64_t pixelHeight = 0;
    double backing = 0;
    PageVersion version;
    std::vector<std::string> keys;
    std::vector<RenderTile> squares;
};

void ShownPage::updateTiles() {
    const double backing = backingScale();
    const auto clear = [this] {
        if (!pageTiles().empty()) setPageTiles({});
    };
    const std::optional<PageInfo> page = state_.currentPage();
    const QRectF visible = visibleCanvasRect();
    if (!state_.sessionId() || !page || pageImage().isNull() || visible.isEmpty()) return clear();
    const double scale = zoom() * backing;
    const TileGrid grid = TileGrid::forPage(page->width, page->height, scale, tileSize);
    // An image of another width is another page or zoom on its way out: its tiles would not fit.
    const double shownWidth = pageImage().deviceIndependentSize().width();
    if (!grid.needsTiles() || std::abs(shownWidth - static_cast<double>(grid.width()) / backing) >= 1)
        return clear();

    const PageVersion stamp = version(page->id);
    const double aroundX = visible.width() * aroundView;
    const double aroundY = visible.height() * aroundView;
    const QRectF wanted = visible.adjusted(-aroundX, -aroundY, aroundX, aroundY);
    const QRectF inView(visible.topLeft() * backing, visible.size() * backing);
    std::vector<PageTile> present;
    std::vector<MissingTile> missing;
    for (const TileIndex& index : grid.tiles(wanted.left() * backing, wanted.top() * backing,
                                             wanted.right() * backing, wanted.bottom() * backing)) {
        std::string key = PageRenders::tileKey(page->id, scale, index.column, index.row);
        const RenderTile square = grid.region(index);
        const auto cached = d_->tileCache_.value(key);
        if (cached && cached->version == stamp) {
            const QRectF frame(
                static_cast<double>(square.x) / backing, static_cast<double>(square.y) / backing,
                static_cast<double>(square.width) / backing, static_cast<double>(square.height) / backing);
            present.push_back(PageTile{std::move(key), cached->image, frame});
        } else {
            const QRectF area(static_cast<double>(square.x), static_cast<double>(square.y),
                              static_cast<double>(square.width), static_cast<double>(square.height));
            missing.push_back(MissingTile{std::move(key), square, area.intersects(inView)});
        }
    }
    const bool sameTiles = std::equal(present.begin(), present.end(), pageTiles().begin(), pageTiles().end(),
                                      [](const PageTile& a, const PageTile& b) { return a.id == b.id; });
    if (!sameTiles) setPageTiles(std::move(present));
    // While a zoom settles its preview stands in; the settled refresh runs this pass again.
    if (missing.empty() || d_->tileRequestInFlight_ || d_->zoomSettling_) return;

    const QPointF centre = visible.center() * backing;
    std::stable_sort(missing.begin(), missing.end(), [&](const MissingTile& a, const MissingTile& b) {
        if (a.inView != b.inView) return a.inView;
        return distance(a.square, centre) < distance(b.square, centre);
    });
    const auto firstOutside =
        std::find_if(missing.begin(), missing.end(), [](const MissingTile& t) { return !t.inView; });
    if (firstOutside != missing.begin()) missing.erase(firstOutside, missing.end());
    missing.resize(std::min<std::size_t>(missing.size(), TileGrid::tilesPerRequest));

    TileBatch batch;
    batch.generation = d_->renderGeneration_;
    batch.pixelWidth = grid.width();
    batch.pixelHeight = grid.height();
    batch.backing = backing;
    batch.version = stamp;
    for (MissingTile& tile : missing) {
        tile.square.pngPath = PageRenders::renderPath();
        if (tile.square.pngPath->empty()) return;  // no private folder: nowhere to render to
        batch.keys.push_back(std::move(tile.key));
        batch.squares.push_back(std::move(tile.square));
    }
    CommandParams params = renderParams(*page, scale);
    params.tiles = batch.squares;
    d_->tileRequestInFlight_ = true;
    link_.send(
        CommandSender::makeRequest(CommandMethod::renderPage, std::move(params)), std::nullopt, false,
        [this, batch](const CommandResult& result) { tilesRendered(batch, result); },
        [this, batch](const std::string&, const std::string&) { tilesFailed(batch); });
}

void ShownPage::tilesRendered(const TileBatch& batch, const CommandResult& result) {
    const bool current = batch.generation == d_->renderGeneration_;
    if (!current || result.width != batch.pixelWidth || result.height != batch.pixelHeight) {
        d_->tileRequestInFlight_ = false;
        for (const RenderTile& square : batch.squares) PageRenders::discard(square.pngPath);
        // A reply of the wrong size for the current view would come back the same when asked again at
        // once; only a newer view (refresh, zoom) is worth a new pass. A later scroll asks again.
        if (!current) updateTiles();
        return;
    }
    // Still in flight while they decode, so the pass meanwhile asks for none of them again.
    decoder_.loadTiles(
        batch.squares, batch.backing, [this, batch](std::vector<std::optional<QImage>> images) {
            d_->tileRequestInFlight_ = false;
            // Tiles of a view left meanwhile are not kept, as those of one left before their reply.
            for (std::size_t i = 0; i < batch.squares.size() && batch.generation == d_->renderGeneration_;
                 ++i) {
                if (!images[i]) continue;
                const std::int64_t cost = PageRenders::cost(batch.squares[i].width, batch.squares[i].height);
                d_->tileCache_.insert(RenderedPage{*images[i], batch.version, cost, std::nullopt},
                                      batch.keys[i], cost);
            }
            updateTiles();
        });
}

void ShownPage::tilesFailed(const TileBatch& batch) {
    d_->tileRequestInFlight_ = false;
    for (const RenderTile& square : batch.squares) PageRenders::discard(square.pngPath);
}

// ---- Thumbnails

// The page shown was moved to before anything of it was at hand: from now on its thumbnail stands in,
// stretched, rather than the page it left, until its own render is back.
void ShownPage::thumbnailArrived(const std::string& pageId, const QImage& image, const PageVersion& stamp) {
    const std::optional<PageInfo> page = state_.currentPage();
    if (!page || page->id != pageId || d_->imagePageId_ == pageId || version(pageId) != stamp) return;
    const QSizeF display = shownSize(*page, zoom(), backingScale());
    setPageImage(PageRenders::sized(image, display), pageId, display);
    updateTiles();
}

std::optional<std::string> ShownPage::pageAhead() const {
    if (d_->travel_ == 0 || !state_.currentPage()) return std::nullopt;
    const std::vector<PageInfo>& pages = *state_.inspect()->pages;
    const std::int64_t position = positionOf(pages, *state_.selectedPageId());
    for (std::int64_t step = 1; step <= pagesAhead; ++step) {
        const std::int64_t at = position + step * d_->travel_;
        if (at < 0 || at >= static_cast<std::int64_t>(pages.size())) return std::nullopt;
        const std::string& id = pages[static_cast<std::size_t>(at)].id;
        if (!standInKey(id, version(id))) return id;
    }
    return std::nullopt;
}

}  // namespace kivo
