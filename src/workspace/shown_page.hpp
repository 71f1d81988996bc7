#pragma once

// The page the canvas shows, and all it is shown with: its render through the worker with its cache
// in front, its characters and lines, the zoom with its instant preview and settled re-render, the fits, and
// the sharp tiles over a page too large to render whole. It owns the page and tile caches and the render
// generation that makes a reply stale, behind its private part, so a change of them recompiles this
// part alone; the page versions, the decoding thread and the page list's ThumbnailQueue (whose
// thumbnails stand in while a page's render is on its way) are the workspace's. The rendered files are
// decoded on that thread, never on the GUI thread; only a cached page kept as its file alone, jumped to
// or standing in, is decoded again where it is shown.
//
// It publishes its work as its own properties (`pageImage`, `pageTiles`, `pageChars`, `pageLines`,
// `zoom`, `fitMode`); every request goes through the CommandSender it is given (the WorkerLink). GUI
// thread only. Nothing here throws: a failed render ends in `errorMessage` (or `status` while the
// worker is on its way back), a failed tile is dropped without a word.
//
// The canvas draws `pageImage` at its display size in points, QImage::deviceIndependentSize()
// (zoom × the page's size; its devicePixelRatio is pixels per point), and over it every one of
// `pageTiles` at its `frame`. A page of more than 8,000,000 pixels at the current zoom arrives as
// a coarser image stretched to that size, and the tiles make the part on screen sharp. Pixels are
// points × the backing scale of the services' Screen, read at every render. `pageChars` (and
// `pageLines`) follow the shown page. That display size is `pageSize`: a smaller image of the page that
// stands in for its render is drawn at it too, which its rounded pixels miss by a little.

#include <QImage>
#include <QObject>
#include <QRectF>
#include <QSizeF>

#include <cstdint>
#include <memory>
#include <string>

#include "core/render_cache.hpp"
#include "core/commands.hpp"
#include "core/page_text.hpp"
#include "workspace/page_renders.hpp"
#include "workspace/workspace_types.hpp"
#include "workspace/workspace_services.hpp"

namespace kivo {

class CommandSender;
class PageVersions;
class RenderDecoder;
class ThumbnailQueue;
class WorkspaceState;

class ShownPage : public QObject {
    Q_OBJECT
    Q_PROPERTY(QImage pageImage READ pageImage NOTIFY pageImageChanged)
    Q_PROPERTY(QSizeF pageSize READ pageSize NOTIFY pageImageChanged)
    Q_PROPERTY(std::vector<PageTile> pageTiles READ pageTiles NOTIFY pageTilesChanged)
    Q_PROPERTY(QRectF visibleCanvasRect READ visibleCanvasRect WRITE setVisibleCanvasRect NOTIFY
                   visibleCanvasRectChanged)
    Q_PROPERTY(double zoom READ zoom NOTIFY zoomChanged)
    Q_PROPERTY(FitMode fitMode READ fitMode WRITE setFitMode NOTIFY fitModeChanged)
    Q_PROPERTY(QSizeF viewport READ viewport WRITE setViewport NOTIFY viewportChanged)
    Q_PROPERTY(std::vector<TextRun> pageChars READ pageChars WRITE setPageChars NOTIFY pageCharsChanged)
    Q_PROPERTY(std::vector<TextLine> pageLines READ pageLines NOTIFY pageLinesChanged)

public:
    // Everything it is given must outlive the part. It asks `thumbnails` for the pages ahead of a run
    // of page moves.
    ShownPage(WorkspaceState& state, CommandSender& link, const WorkspaceServices& services,
              const PageVersions& versions, RenderDecoder& decoder, ThumbnailQueue& thumbnails,
              QObject* parent = nullptr);
    ~ShownPage() override;

    // The shown page's image and the sharp tiles over it, as described above.
    const QImage& pageImage() const;
    // The page `pageImage` is of: while another page's render is on its way with nothing of it at
    // hand, the page shown before stays up, and what is drawn over a page waits for its own image.
    const std::string& imagePageId() const;
    const QSizeF& pageSize() const;
    const std::vector<PageTile>& pageTiles() const;
    // The part of the displayed page on screen, in points from its top-left corner; the zero
    // rectangle when none of it is.
    const QRectF& visibleCanvasRect() const;
    // The canvas tells it; emits its change signal only on a real change.
    void setVisibleCanvasRect(QRectF value);

    // Points per page point, 1.2 at the start; changed by stepZoom(), zoomTo() and applyFit() alone.
    double zoom() const;
    // How applyFit() sizes the page; manual at the start.
    FitMode fitMode() const;
    // The canvas's size in points, which the fits fill; the canvas tells it. 800 × 600 at the start.
    const QSizeF& viewport() const;
    // The shown page's characters, and its lines made from them, so the two never disagree.
    const std::vector<TextRun>& pageChars() const;
    const std::vector<TextLine>& pageLines() const;
    // The window tells them; each emits its change signal only on a real change.
    void setFitMode(FitMode value);
    void setViewport(QSizeF value);

    // Shows the selected page at `zoom`: from the cache when it holds this page at this scale with
    // its text, otherwise rendered by the worker while the image shown before stays up (with the
    // tiles at hand over it, when it is this page's). Clears the image and the tiles when no page is
    // selected.
    void refreshPage();
    // One step of a zoom that may go on (the zoom keys, a pinch): zooms to `zoom` kept within 0.25 to
    // 4.0 and sets `fitMode` to manual; the shown image is stretched to the new size at once, and the
    // page is rendered again 0.15 s after the last step.
    void stepZoom(double zoom);
    // The same zoom chosen in one go (the zoom menu), with no further step to wait for: stretched at
    // once and rendered at once.
    void zoomTo(double zoom);
    // Sets `zoom` to fit the page (fit `page`) or its width (fit `width`) into `viewport` less 48
    // points, and renders; with fit manual, no page or a viewport of 40 points or less, nothing. A
    // width fit that leaves the page taller than the viewport leaves room for the vertical scroll
    // bar too, so no horizontal one appears.
    void applyFit();
    // How wide the canvas's vertical scroll bar is when it shows; the window tells it.
    void setScrollBarWidth(double width);
    // applyFit() 0.12 s after the last call: the window calls it while `viewport` changes and
    // `fitMode` is not manual.
    void scheduleFit();
    // The tile pass: publishes the cached tiles around `visibleCanvasRect` and asks the worker for
    // missing ones, nearest the middle of the view first. The canvas sets `visibleCanvasRect` and
    // calls this whenever the part of the page on screen changes.
    void updateTiles();
    // Every cached page and tile goes, and with them the run of page moves: the next refresh renders anew.
    void forgetRenders();

    // ---- What the workspace tells it

    // Another document replaced the open one: every render is forgotten and the shown page goes.
    void documentReplaced();
    // No document is open any more: the shown page, every render and the page's characters go.
    void forget();

    // What the render caches hold, the thumbnails' included: entries of each, their pixels' bytes, and the
    // bound of those. Of the pages, those kept as their file alone (`packedPages`), and the bytes all three
    // caches really hold: pixels of the images, and the pages' files.
    struct RenderCacheUse {
        std::int64_t pages = 0;
        std::int64_t tiles = 0;
        std::int64_t thumbnails = 0;
        std::int64_t bytes = 0;
        std::int64_t boundBytes = 0;
        std::int64_t packedPages = 0;
        std::int64_t heldBytes = 0;
    };
    RenderCacheUse renderCacheUse() const;
    // Rendered files are being decoded: what they hold is not shown or cached yet.
    bool decoding() const;
    // Why the shown page has no image: its read was cancelled or stopped for its time, and it is not
    // read again until the person turns to it again or it changes. Nothing while it has one, or is
    // on its way.
    std::optional<std::string> notDrawnReason() const;

signals:
    void pageImageChanged();
    void pageTilesChanged();
    void visibleCanvasRectChanged();
    void zoomChanged();
    void fitModeChanged();
    void viewportChanged();
    void pageCharsChanged();
    void pageLinesChanged();
    // A page render answered with the document's whole state, as it was when rendered.
    void inspectionRendered(const CommandResult& result);

private:
    struct Private;
    struct PageRender;
    struct TileBatch;

    // No page is shown: the image and its tiles go.
    void clearPage();
    // The shown page's read ended without an image: why, for the canvas, and the page passed over.
    void notDrawn(const std::string& pageId, const PageVersion& version, std::string reason);
    void setPageChars(std::vector<TextRun> value);

    // The zoom as a number alone, without the render or the fit mode stepZoom() sees to.
    void showZoom(double value);
    // What both zooms show at once: the zoom, manual fitting, no tiles and the shown image stretched.
    void showZoomPreview(double zoom);
    // Each emits its change signal only on a real change; the same image is the same pixel buffer
    // at the same ratio and size, of the same page. The page image is drawn at `size`, by default its own.
    void setPageImage(QImage value, std::string pageId, std::optional<QSizeF> size = std::nullopt);
    void setPageTiles(std::vector<PageTile> value);
    PageVersion version(const std::string& pageId) const;
    double backingScale() const;
    CommandParams renderParams(const PageInfo& page, double scale) const;
    bool hasPage(const std::string& pageId) const;
    // The largest cached render or thumbnail of the page at `version`, shown while its render is on the way:
    // its key in the page cache, or an empty key for the thumbnail.
    std::optional<std::string> standInKey(const std::string& pageId, const PageVersion& version) const;
    // Its image, a page kept as its file decoded for it.
    std::optional<QImage> standInImage(const std::string& pageId, const PageVersion& version);
    // The steps of refreshPage(), in its order.
    PageRender planPageRender(const PageInfo& page);
    // What the page is rendered at now: the zoom, or the base scale of a page too large to render whole.
    double renderScale(const PageInfo& page, double backing) const;
    // Which way a run of single page moves goes, if the page shown is one.
    void followTravel(const std::string& pageId);
    // The cached render of this version with its text, shown at once; false without one.
    bool showCachedPage(const PageRender& render);
    // Whether the shown image is now of this page.
    bool showStandIn(const PageRender& render);
    // Asks the worker for the page; false when there is no private folder to render into.
    bool sendPageRender(PageRender& render, const PageInfo& page);
    void pageRendered(const PageRender& render, const CommandResult& result);
    // The page's image is decoded: cached in any case, shown only while its render is still the one wanted.
    void pageDecoded(const PageRender& render, std::int64_t cost,
                     const std::optional<PageRenders::LoadedPage>& page);
    // Only the cached pages of the shown one and its two neighbours keep their pixels, those of the
    // neighbours decoded again when they were packed, so that a turn either way is a paint; every other keeps
    // its file.
    void keepNearShown();
    // Decodes the cached page of `key` back from its file on the decoding thread.
    void unpackPage(const std::string& key);
    void pageUnpacked(const std::string& key, const QByteArray& png, const std::optional<QImage>& image);
    // The cached page of `key`, decoded from its file here and now when it is kept as one; nothing without
    // one, or when its file no longer decodes (it is dropped then).
    std::optional<RenderedPage> unpackedNow(const std::string& key);
    // The page render in flight is over without a picture to show: the page now wanted is asked for.
    void pageRenderEnded();
    void askText(const PageRender& render);
    void pageTextArrived(const PageRender& render, const CommandResult& result);
    // Adds the page's text to its cached image of the same version; without one, to the image on its way.
    void cacheText(const PageRender& render, std::vector<TextRun> chars);
    // Renders the page after the shown one (before it, in a run of previous-page moves) at the shown
    // scale with its text into the page cache, so that turning to it is a paint. Only while no page
    // render is on its way, and only for a page that needs no tiles.
    void renderAhead();
    void tilesRendered(const TileBatch& batch, const CommandResult& result);
    void tilesFailed(const TileBatch& batch);
    // The nearest page ahead of a run of page moves that has nothing to stand in for it, whose thumbnail
    // the queue renders when no row waits.
    std::optional<std::string> pageAhead() const;
    void thumbnailArrived(const std::string& pageId, const QImage& image, const PageVersion& stamp);

    WorkspaceState& state_;
    CommandSender& link_;
    const WorkspaceServices& services_;
    const PageVersions& versions_;
    RenderDecoder& decoder_;
    ThumbnailQueue& thumbnails_;
    std::unique_ptr<Private> d_;
};

}  // namespace kivo
