#include "workspace/render_decoder.hpp"

#include <QMetaObject>

#include <memory>
#include <utility>

#include "workspace/page_renders.hpp"

namespace kivo {

RenderDecoder::RenderDecoder(QObject* context) : context_(context) {}

RenderDecoder::~RenderDecoder() { queue_.stop(); }

void RenderDecoder::loadReply(const std::string& asked, const CommandResult& result, double backing, ImageDone done) {
    // Only what the decode needs crosses over, never the document's state the reply carries.
    std::optional<std::string> path = result.pngPath == asked ? std::optional(asked) : std::nullopt;
    ++*pending_;
    queue_.post([context = context_, pending = pending_, file = PageRenders::deletedWhenDone(asked),
                 path = std::move(path), width = result.width, height = result.height, backing,
                 done = std::move(done)]() mutable {
        std::optional<QImage> image = PageRenders::loadPreview(path, width, height, backing);
        QMetaObject::invokeMethod(
            context,
            [pending, done = std::move(done), image = std::move(image)]() mutable {
                --*pending;
                done(std::move(image));
            },
            Qt::QueuedConnection);
    });
}

void RenderDecoder::loadTiles(std::vector<RenderTile> tiles, double backing, TilesDone done) {
    std::vector<std::shared_ptr<const void>> files;
    for (const RenderTile& tile : tiles) files.push_back(PageRenders::deletedWhenDone(tile.pngPath.value_or("")));
    ++*pending_;
    queue_.post([context = context_, pending = pending_, files = std::move(files), tiles = std::move(tiles), backing,
                 done = std::move(done)]() mutable {
        std::vector<std::optional<QImage>> images = PageRenders::loadTiles(tiles, backing);
        QMetaObject::invokeMethod(
            context,
            [pending, done = std::move(done), images = std::move(images)]() mutable {
                --*pending;
                done(std::move(images));
            },
            Qt::QueuedConnection);
    });
}

}  // namespace kivo
