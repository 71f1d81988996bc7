// The page list's thumbnails: one render at a time, for the rows on screen, stamped with the page's
// version; the rows report themselves while the list lays out, so their work waits for the next turn
// of the event loop. The next render is asked for as soon as the worker answers the last, so that the
// worker renders while the editor decodes.

#include "workspace/thumbnail_queue.hpp"

#include <QMetaObject>
#include <QTimer>

#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "workspace/command_sender.hpp"
#include "workspace/page_renders.hpp"
#include "workspace/page_versions.hpp"
#include "workspace/render_decoder.hpp"
#include "workspace/workspace_state.hpp"

namespace kivo {
namespace {

// Of the screen's pixel density: a 612 × 792-point page is about 110 × 143 points.
constexpr double thumbnailScale = 0.18;

// How long thumbnails that could not reach a worker wait before they are asked for again.
constexpr int retryMilliseconds = 250;

}  // namespace

struct ThumbnailQueue::Private {
    Private(const PageVersions& v, RenderDecoder& d) : versions(v), decoder(d) {}

    const PageVersions& versions;
    RenderDecoder& decoder;
    Cache cache{400, 100'663'296};
    RenderQueue<std::string> queue;
    std::unordered_set<std::string> visible;
    // Rendered and being decoded, since the last forget(): the version each was rendered of. Its image is
    // on the way, so it is not asked for again meanwhile.
    std::unordered_map<std::string, PageVersion> decoding;
    std::unordered_map<std::string, PageVersion> passedOver;
    std::int64_t generation = 0;
    std::optional<std::string> arrived;
    // Moves on with every forget(): a reply asked for before belongs to the document before, and must not
    // end the render in flight now, which may be of a page of the same id.
    std::uint64_t forgets = 0;
    // A pump is due after thumbnails that could not reach a worker.
    bool retryArmed = false;
    std::function<std::optional<std::string>()> pageAhead;
    std::function<bool(const std::string&)> held;
};

// What a thumbnail reply needs from the moment it was asked for.
struct ThumbnailQueue::Render {
    std::string pageId;
    std::string session;
    double backing = 0;
    PageVersion version;
    std::string path;
    std::uint64_t forgets = 0;
};

ThumbnailQueue::ThumbnailQueue(WorkspaceState& state, CommandSender& link, const WorkspaceServices& services,
                               const PageVersions& versions, RenderDecoder& decoder, QObject* parent)
    : QObject(parent),
      state_(state),
      link_(link),
      services_(services),
      d_(std::make_unique<Private>(versions, decoder)) {
    // The thumbnails that waited while the worker was away are asked for once it is back.
    connect(&link_, &CommandSender::workerReadyChanged, this, [this] {
        if (link_.workerReady()) pump();
    });
}

ThumbnailQueue::~ThumbnailQueue() = default;

std::int64_t ThumbnailQueue::thumbnailGeneration() const { return d_->generation; }

const std::optional<std::string>& ThumbnailQueue::arrivedPage() const { return d_->arrived; }

const ThumbnailQueue::Cache& ThumbnailQueue::cache() const { return d_->cache; }

QImage ThumbnailQueue::thumbnail(const std::string& pageId) const {
    const auto cached = d_->cache.peek(pageId);
    return cached ? cached->image : QImage();
}

void ThumbnailQueue::setPageAhead(std::function<std::optional<std::string>()> pageAhead) {
    d_->pageAhead = std::move(pageAhead);
}

void ThumbnailQueue::setHeld(std::function<bool(const std::string&)> held) { d_->held = std::move(held); }

// Neither kept nor on its way at the page's current version.
bool ThumbnailQueue::wanted(const std::string& pageId) const {
    if (passedOver(pageId)) return false;
    const PageVersion version = d_->versions.of(pageId);
    const auto cached = d_->cache.peek(pageId);
    if (cached && cached->version == version) return false;
    const auto decoding = d_->decoding.find(pageId);
    return decoding == d_->decoding.end() || decoding->second != version;
}

void ThumbnailQueue::nextGeneration() {
    ++d_->generation;
    emit thumbnailGenerationChanged();
}

// Rows report themselves while the list lays out; the work waits for the next turn of the event
// loop, so a row that comes and goes within one turn is added and removed in that order.
void ThumbnailQueue::showThumbnail(const std::string& pageId) {
    QMetaObject::invokeMethod(
        this,
        [this, pageId] {
            d_->visible.insert(pageId);
            if (!wanted(pageId)) return;
            d_->queue.request(pageId);
            pump();
        },
        Qt::QueuedConnection);
}

void ThumbnailQueue::hideThumbnail(const std::string& pageId) {
    QMetaObject::invokeMethod(
        this,
        [this, pageId] {
            d_->visible.erase(pageId);
            // A render already on its way is not stopped; its image is still kept.
            d_->queue.cancel(pageId);
        },
        Qt::QueuedConnection);
}

void ThumbnailQueue::renderStale() {
    for (const std::string& pageId : d_->visible) {
        if (wanted(pageId)) d_->queue.request(pageId);
    }
    pump();
}

void ThumbnailQueue::passOver(const std::string& pageId, const PageVersion& version) {
    d_->passedOver.insert_or_assign(pageId, version);
    d_->queue.cancel(pageId);
}

bool ThumbnailQueue::passedOver(const std::string& pageId) const {
    const auto found = d_->passedOver.find(pageId);
    return found != d_->passedOver.end() && found->second == d_->versions.of(pageId);
}

void ThumbnailQueue::drawn(const std::string& pageId) { d_->passedOver.erase(pageId); }

void ThumbnailQueue::forget() {
    d_->cache.removeAll();
    d_->queue.removeAll();
    d_->decoding.clear();
    d_->passedOver.clear();
    // The rows on screen stay there (the list reports only rows that come and go, and another document may
    // have pages of the same ids): theirs are asked for again, of the document now open.
    for (const std::string& pageId : d_->visible) d_->queue.request(pageId);
    ++d_->forgets;
    d_->arrived.reset();
    nextGeneration();
}

void ThumbnailQueue::pump() {
    if (!state_.sessionId()) return;
    if (d_->queue.isIdle() && d_->pageAhead) {
        const std::optional<std::string> ahead = d_->pageAhead();
        if (ahead && wanted(*ahead)) d_->queue.request(*ahead);
    }
    std::optional<std::string> pageId = d_->queue.next();
    // A row of the document before may still wait; this document has no such page. A page the shown
    // page is reading now waits for that read's end, which asks again: the same page twice at once
    // would cost the worker twice, and twice as long when it takes long.
    while (pageId &&
           (!state_.document().page(*pageId) || passedOver(*pageId) || (d_->held && d_->held(*pageId)))) {
        d_->queue.finish(*pageId);
        pageId = d_->queue.next();
    }
    if (!pageId) return;
    const PageInfo* page = state_.document().page(*pageId);
    Render render{*pageId,
                  *state_.sessionId(),
                  PageRenders::backing(services_.screen->backingScale()),
                  d_->versions.of(*pageId),
                  PageRenders::renderPath(),
                  d_->forgets};
    if (render.path.empty()) return failed(render, false);
    CommandParams params;
    params.sessionId = render.session;
    params.pageId = render.pageId;
    params.scale = render.backing * thumbnailScale;
    params.pngPath = render.path;
    link_.send(
        CommandSender::makeRequest(CommandMethod::renderPage, std::move(params)),
        "Rendering page " + std::to_string(page->index + 1), false,
        [this, render](const CommandResult& result) { rendered(render, result); },
        [this, render](const std::string& code, const std::string&) {
            const bool away = code == rawValue(LinkFailure::workerRestarting) ||
                              code == rawValue(LinkFailure::workerStopped) || !link_.running();
            if (code == rawValue(FailureCode::resourceLimit) && render.forgets == d_->forgets)
                passOver(render.pageId, render.version);
            failed(render, !away);
        },
        [this, render] {
            if (render.forgets == d_->forgets) passOver(render.pageId, render.version);
            failed(render, true);
        });
}

void ThumbnailQueue::rendered(const Render& render, const CommandResult& result) {
    if (render.forgets != d_->forgets) return failed(render, true);
    const std::int64_t cost = PageRenders::cost(result.width, result.height);
    d_->queue.finish(render.pageId);
    d_->decoding.insert_or_assign(render.pageId, render.version);
    d_->decoder.loadReply(
        render.path, result, render.backing,
        [this, render, cost](std::optional<QImage> image) { decoded(render, cost, image); });
    pump();
}

void ThumbnailQueue::decoded(const Render& render, std::int64_t cost, const std::optional<QImage>& image) {
    const auto decoding = d_->decoding.find(render.pageId);
    if (render.forgets == d_->forgets && decoding != d_->decoding.end() &&
        decoding->second == render.version) {
        d_->decoding.erase(decoding);
    }
    // The document was closed or replaced meanwhile.
    if (state_.sessionId() == render.session && image) {
        d_->cache.insert(RenderedPage{*image, render.version, cost, std::nullopt}, render.pageId, cost);
        d_->arrived = render.pageId;
        nextGeneration();
        emit thumbnailArrived(render.pageId, *image, render.version);
        // The page changed while it was rendered, and no later render of it is on its way.
        if (d_->visible.contains(render.pageId) && wanted(render.pageId)) d_->queue.request(render.pageId);
    }
    pump();
}

// Dropped without a word: the row asks again when it next appears, or when its page changes. A render that
// never reached a worker (none to take it, or no folder to render into) is asked for again a while later, or
// at the next pump from outside (a page change, a row shown, the document or the worker back): asked again
// at once, it would fail again at once, round and round for as long as the worker is away.
void ThumbnailQueue::failed(const Render& render, bool reachedWorker) {
    PageRenders::discard(render.path);
    if (render.forgets != d_->forgets) return pump();
    d_->queue.finish(render.pageId);
    if (reachedWorker) return pump();
    if (d_->visible.contains(render.pageId)) d_->queue.request(render.pageId);
    if (std::exchange(d_->retryArmed, true)) return;
    QTimer::singleShot(retryMilliseconds, this, [this] {
        d_->retryArmed = false;
        pump();
    });
}

}  // namespace kivo
