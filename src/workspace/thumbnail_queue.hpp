#pragma once

// The page list's small page images: rendered only for rows on screen, one at a time, stamped with the
// version of the page they show, and rendered again when that version moves. It owns their cache, the
// rows on screen and the queue of those waiting; the page versions and the decoding thread are the
// workspace's, shared with the shown page's renders, so that both decode in the order they were asked
// for. The page list draws thumbnail(pageId) and redraws when `thumbnailGeneration` changes.
//
// Every request goes through the CommandSender it is given (the WorkerLink). GUI thread only. Nothing
// here throws: a failed thumbnail is dropped without a word. One that takes long shows the activity card,
// so that a page the engine cannot finish holds up nothing a person asks for longer than they let it.

#include <QImage>
#include <QObject>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/commands.hpp"
#include "core/render_cache.hpp"
#include "workspace/workspace_services.hpp"
#include "workspace/workspace_types.hpp"

namespace kivo {

class CommandSender;
class PageVersions;
class RenderDecoder;
class WorkspaceState;

class ThumbnailQueue : public QObject {
    Q_OBJECT
    Q_PROPERTY(std::int64_t thumbnailGeneration READ thumbnailGeneration NOTIFY thumbnailGenerationChanged)

public:
    using Cache = BoundedCache<std::string, RenderedPage>;

    // `state`, `link`, `services`, `versions` and `decoder` must outlive the queue.
    ThumbnailQueue(WorkspaceState& state, CommandSender& link, const WorkspaceServices& services,
                   const PageVersions& versions, RenderDecoder& decoder, QObject* parent = nullptr);
    ~ThumbnailQueue() override;

    // Moves on whenever a thumbnail arrives or the thumbnails are dropped.
    std::int64_t thumbnailGeneration() const;
    // The page whose thumbnail arrived at the last move of the generation; none when every thumbnail is to
    // be drawn again.
    const std::optional<std::string>& arrivedPage() const;
    // A page-list row appeared or disappeared. A shown row whose thumbnail is missing or stale is
    // rendered, one at a time; a hidden row's waiting render is dropped.
    void showThumbnail(const std::string& pageId);
    void hideThumbnail(const std::string& pageId);
    // The page's cached thumbnail, also a stale one until its new render arrives; a null image
    // when there is none.
    QImage thumbnail(const std::string& pageId) const;
    // The thumbnails kept, with their stamps: what a page render on its way may stand in with.
    const Cache& cache() const;

    // Asked each time no row waits: the page whose thumbnail is worth rendering all the same (one a run
    // of page moves is heading for), or nothing.
    void setPageAhead(std::function<std::optional<std::string>()> pageAhead);
    // Asked of each page before its render is sent: true while the shown page reads it, and the page then
    // waits for renderStale().
    void setHeld(std::function<bool(const std::string&)> held);
    // Asks the worker for the next thumbnail waiting, if any, behind whatever was sent before.
    void pump();

    // A read of the page at `version` was cancelled or stopped for its time: nothing here asks for the
    // page again, nor tells the shown page to, until its version moves or another document is open.
    // Another attempt would hold the worker as long again for the same end.
    void passOver(const std::string& pageId, const PageVersion& version);
    bool passedOver(const std::string& pageId) const;
    // A render of the page came back after all (the person turned to it again): it is asked for as any.
    void drawn(const std::string& pageId);

    // ---- What the workspace tells it

    // The page versions moved on: the rows on screen whose thumbnails are stale now are rendered again.
    void renderStale();
    // The open document is gone, replaced by another or by none: every thumbnail and waiting render is
    // dropped, and the rows on screen have theirs rendered again, of the pages the document now holds.
    void forget();

signals:
    void thumbnailGenerationChanged();
    // The page's thumbnail of `version` arrived, in the cache now: the page shown may stand in with it.
    void thumbnailArrived(const std::string& pageId, const QImage& image, const PageVersion& version);

private:
    struct Private;
    struct Render;

    void rendered(const Render& render, const CommandResult& result);
    void decoded(const Render& render, std::int64_t cost, const std::optional<QImage>& image);
    void failed(const Render& render, bool reachedWorker);
    void nextGeneration();
    bool wanted(const std::string& pageId) const;

    WorkspaceState& state_;
    CommandSender& link_;
    const WorkspaceServices& services_;
    std::unique_ptr<Private> d_;
};

}  // namespace kivo
