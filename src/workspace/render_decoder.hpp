#pragma once

// The PNG files of render replies, decoded on a thread of their own: the GUI thread goes on taking keys
// and painting while a page decodes, and the next render may be asked for meanwhile. Each outcome comes
// back on the thread of the context object, in the order asked, and never once the decoder has gone. A
// second after the last, the memory kept for decoding goes back to the system.
// The files are deleted whatever becomes of them, a decode that never started included. Used from the
// context's thread only. Nothing here throws.

#include <QImage>
#include <QObject>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/commands.hpp"
#include "workspace/page_renders.hpp"
#include "workspace/serial_queue.hpp"

namespace kivo {

class RenderDecoder {
public:
    using ImageDone = std::function<void(std::optional<QImage>)>;
    using TilesDone = std::function<void(std::vector<std::optional<QImage>>)>;
    using PageDone = std::function<void(std::optional<PageRenders::LoadedPage>)>;

    // `context` must outlive the decoder; its thread receives every outcome.
    explicit RenderDecoder(QObject* context);
    // Waits for the decode under way; the others are dropped, their files deleted.
    ~RenderDecoder();
    RenderDecoder(const RenderDecoder&) = delete;
    RenderDecoder& operator=(const RenderDecoder&) = delete;

    // PageRenders::loadReply() of the reply to a render into `asked`, then `done` with the image.
    void loadReply(const std::string& asked, const CommandResult& result, double backing, ImageDone done);
    // loadReply(), handing back the image with the file it was decoded from (PageRenders::loadPage()).
    void loadPage(const std::string& asked, const CommandResult& result, double backing, PageDone done);
    // PageRenders::unpack() of a kept file, then `done` with its image.
    void unpack(QByteArray png, double ratio, ImageDone done);
    // PageRenders::loadTiles() of one tile reply, then `done` with the images in the order of `tiles`.
    void loadTiles(std::vector<RenderTile> tiles, double backing, TilesDone done);
    // Files asked for whose outcome has not been handed back yet.
    int pending() const { return *pending_; }

private:
    // `decode()` on the decoding thread, then `done` with what it made on the context's thread.
    template <class Decode, class Done>
    void post(Decode decode, Done done);
    // Decodes the file of a render reply with `load`, which is given only the file asked for.
    template <class Load, class Done>
    void postReply(const std::string& asked, const CommandResult& result, double backing, Load load,
                   Done done);

    QObject* context_;
    // Counted down on the context's thread, which may outlive the decoder by a posted outcome or two.
    std::shared_ptr<int> pending_ = std::make_shared<int>(0);
    // Decodes asked for so far: the kept blocks are given back only after a quiet second.
    std::shared_ptr<std::uint64_t> posted_ = std::make_shared<std::uint64_t>(0);
    SerialQueue queue_{"kivo.pdf.decode"};
};

}  // namespace kivo
