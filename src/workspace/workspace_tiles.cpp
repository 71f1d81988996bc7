// Sharp tiles over the visible part of a page too large to render whole: the cached ones are
// published, the missing ones asked for four at a time, one request in flight: those in view first, on
// their own so the view sharpens without waiting for the rest, then those in twice the visible area.

#include <algorithm>
#include <cmath>

#include "workspace/page_renders.hpp"
#include "workspace/workspace.hpp"

namespace kivo {
namespace {

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

}  // namespace

// What a tile reply needs from the moment it was asked for.
struct Workspace::TileBatch {
    std::int64_t generation = 0;
    std::int64_t pixelWidth = 0;
    std::int64_t pixelHeight = 0;
    double backing = 0;
    PageVersion version;
    std::vector<std::string> keys;
    std::vector<RenderTile> squares;
};

void Workspace::updateTiles() {
    const double backing = backingScale();
    const auto clear = [this] {
        if (!pageTiles().empty()) setPageTiles({});
    };
    const std::optional<PageInfo> page = currentPage();
    const QRectF visible = visibleCanvasRect();
    if (!sessionId() || !page || pageImage().isNull() || visible.isEmpty()) return clear();
    const double scale = zoom() * backing;
    const TileGrid grid = TileGrid::forPage(page->width, page->height, scale, tileSize);
    // An image of another width is another page or zoom on its way out: its tiles would not fit.
    const double shownWidth = pageImage().deviceIndependentSize().width();
    if (!grid.needsTiles() || std::abs(shownWidth - static_cast<double>(grid.width()) / backing) >= 1) return clear();

    const PageVersion stamp = version(page->id);
    const double aroundX = visible.width() * aroundView;
    const double aroundY = visible.height() * aroundView;
    const QRectF wanted = visible.adjusted(-aroundX, -aroundY, aroundX, aroundY);
    const QRectF inView(visible.topLeft() * backing, visible.size() * backing);
    std::vector<PageTile> present;
    std::vector<MissingTile> missing;
    for (const TileIndex& index : grid.tiles(wanted.left() * backing, wanted.top() * backing, wanted.right() * backing,
                                             wanted.bottom() * backing)) {
        std::string key = PageRenders::tileKey(page->id, scale, index.column, index.row);
        const RenderTile square = grid.region(index);
        const auto cached = tileCache_.value(key);
        if (cached && cached->version == stamp) {
            const QRectF frame(static_cast<double>(square.x) / backing, static_cast<double>(square.y) / backing,
                               static_cast<double>(square.width) / backing,
                               static_cast<double>(square.height) / backing);
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
    if (missing.empty() || tileRequestInFlight_ || zoomSettling_) return;

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
    batch.generation = renderGeneration_;
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
    CommandParams params;
    params.sessionId = sessionId();
    params.pageId = page->id;
    params.scale = scale;
    params.tiles = batch.squares;
    tileRequestInFlight_ = true;
    send(
        makeRequest(CommandMethod::renderPage, std::move(params)), std::nullopt, false,
        [this, batch](const CommandResult& result) { tilesRendered(batch, result); },
        [this, batch](const std::string&, const std::string&) { tilesFailed(batch); });
}

void Workspace::tilesRendered(const TileBatch& batch, const CommandResult& result) {
    tileRequestInFlight_ = false;
    const bool current = batch.generation == renderGeneration_;
    const bool accepted = current && result.width == batch.pixelWidth && result.height == batch.pixelHeight;
    int stored = 0;
    for (std::size_t i = 0; i < batch.squares.size(); ++i) {
        const RenderTile& square = batch.squares[i];
        if (!accepted) {
            PageRenders::discard(square.pngPath);
            continue;
        }
        const auto image = PageRenders::loadPreview(square.pngPath, square.width, square.height, batch.backing);
        if (!image) continue;
        const std::int64_t cost = PageRenders::cost(square.width, square.height);
        tileCache_.insert(RenderedPage{*image, batch.version, cost, std::nullopt}, batch.keys[i], cost);
        ++stored;
    }
    // A reply of the wrong size for the current view would come back the same when asked again at
    // once; only a newer view (refresh, zoom) is worth a new pass. A later scroll asks again.
    if (stored > 0 || !current) updateTiles();
}

void Workspace::tilesFailed(const TileBatch& batch) {
    tileRequestInFlight_ = false;
    for (const RenderTile& square : batch.squares) PageRenders::discard(square.pngPath);
}

}  // namespace kivo
