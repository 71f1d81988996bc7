#include "workspace/render_decoder.hpp"

#include <QMetaObject>
#include <QTimer>

#include <memory>
#include <optional>
#include <utility>

#include "workspace/page_renders.hpp"
#include "workspace/png_reader.hpp"

namespace kivo {
namespace {

constexpr int releaseAfterMilliseconds = 1000;

}  // namespace

RenderDecoder::RenderDecoder(QObject* context) : context_(context) {}

RenderDecoder::~RenderDecoder() { queue_.stop(); }

template <class Decode, class Done>
void RenderDecoder::post(Decode decode, Done done) {
    ++*pending_;
    ++*posted_;
    queue_.post([context = context_, pending = pending_, posted = posted_,
                 decode = std::optional<Decode>(std::move(decode)), done = std::move(done)]() mutable {
        auto made = (*decode)();
        // Its files go before the outcome is handed back: once nothing decodes, nothing is left behind.
        decode.reset();
        QMetaObject::invokeMethod(
            context,
            [context, pending, posted, done = std::move(done), made = std::move(made)]() mutable {
                --*pending;
                done(std::move(made));
                // The blocks kept for the next decode go back once a second has passed without one.
                if (*pending == 0) {
                    QTimer::singleShot(releaseAfterMilliseconds, context, [pending, posted, asked = *posted] {
                        if (*pending == 0 && *posted == asked) PngReader::releaseKeptBlocks();
                    });
                }
            },
            Qt::QueuedConnection);
    });
}

template <class Load, class Done>
void RenderDecoder::postReply(const std::string& asked, const CommandResult& result, double backing,
                              Load load, Done done) {
    // Only what the decode needs crosses over, never the document's state the reply carries.
    std::optional<std::string> path = result.pngPath == asked ? std::optional(asked) : std::nullopt;
    post([file = PageRenders::deletedWhenDone(asked), path = std::move(path), width = result.width,
          height = result.height, backing, load] { return load(path, width, height, backing); },
         std::move(done));
}

void RenderDecoder::loadReply(const std::string& asked, const CommandResult& result, double backing,
                              ImageDone done) {
    postReply(asked, result, backing, &PageRenders::loadPreview, std::move(done));
}

void RenderDecoder::loadPage(const std::string& asked, const CommandResult& result, double backing,
                             PageDone done) {
    postReply(asked, result, backing, &PageRenders::loadPage, std::move(done));
}

void RenderDecoder::unpack(QByteArray png, double ratio, ImageDone done) {
    post([png = std::move(png), ratio] { return PageRenders::unpack(png, ratio); }, std::move(done));
}

void RenderDecoder::loadTiles(std::vector<RenderTile> tiles, double backing, TilesDone done) {
    std::vector<std::shared_ptr<const void>> files;
    for (const RenderTile& tile : tiles)
        files.push_back(PageRenders::deletedWhenDone(tile.pngPath.value_or("")));
    post([files = std::move(files), tiles = std::move(tiles),
          backing] { return PageRenders::loadTiles(tiles, backing); },
         std::move(done));
}

}  // namespace kivo
