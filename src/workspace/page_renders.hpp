#pragma once

// The editor's side of the PNG files the worker renders pages, tiles and thumbnails into: the
// private folder they go to, a fresh file name for each render, loading a file into an image (and
// deleting it), showing one bitmap at another display size, and the cache keys of rendered images.
//
// Images here keep their display size in points apart from their pixels through the device pixel
// ratio: a QImage's display size is QImage::deviceIndependentSize(), and that is the size the
// canvas draws it at. Nothing here throws.

#include <QByteArray>
#include <QImage>
#include <QSizeF>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/commands.hpp"

namespace kivo::PageRenders {

// The folder the editor's renders go to: "kivo-pdf-ui-" + the user id in the temporary folder
// ($TMPDIR, else /tmp), made owner-only when missing. It is used only while it is a real folder
// (not a link) of this user with no access for group or others; otherwise a fresh folder of
// mkdtemp takes its place for the rest of the run, so a folder planted by someone else in a shared
// /tmp never receives a page. Nothing when not even mkdtemp can make one.
std::optional<std::filesystem::path> folder();

// A new "<UUID>.png" path in folder(); empty when there is no folder to put it in.
std::string renderPath();

// Loads the PNG at `path` (nothing without a path) and deletes the file whatever the outcome. With
// both pixel sizes given and above 0 the image is shown at (width, height) / max(backing, 1)
// points. Nothing when the file cannot be read or decoded, or the image is under 1 × 1 point; only
// a regular file (never a link, a FIFO or a device) of at most 64 MiB that starts as a PNG is read,
// and it is decoded as PNG whatever else it might pass for.
std::optional<QImage> loadPreview(const std::optional<std::string>& path, std::optional<std::int64_t> width,
                                  std::optional<std::int64_t> height, double backing);

// loadPreview() of every tile of one reply, each on a thread of its own: a tile reply's files are
// separate PNGs, and the view waits for all of them.
std::vector<std::optional<QImage>> loadTiles(const std::vector<RenderTile>& tiles, double backing);

// The image of a render reply: the file that was `asked` for, read only when the reply names that
// very file (a path the worker names on its own is neither read nor deleted), shown at the reply's
// pixel size / backing. The asked-for file is deleted whatever comes of it.
std::optional<QImage> loadReply(const std::string& asked, const CommandResult& result, double backing);

// A page's image with the PNG file it was decoded from, which can stand for it until it is shown again.
struct LoadedPage {
    QImage image;
    QByteArray png;
};

// loadPreview() that keeps the file's bytes beside the image.
std::optional<LoadedPage> loadPage(const std::optional<std::string>& path, std::optional<std::int64_t> width,
                                   std::optional<std::int64_t> height, double backing);

// The image of a file kept by loadPageReply(), at `ratio` pixels a point; nothing when it does not decode.
std::optional<QImage> unpack(const QByteArray& png, double ratio);

// The bytes a rendered image counts for in a cache: width × height × 4, each side at least 1.
std::int64_t cost(std::optional<std::int64_t> width, std::optional<std::int64_t> height);

// A screen's backing scale as renders are made at: 2.0 in place of one that is not a positive number.
double backing(double reported);

// `image` shown at `size` points. The same image when its display size is within 0.5 point of
// `size` in both directions; otherwise a new image over the same pixels (nothing is copied or
// resampled) that keeps them alive.
QImage sized(const QImage& image, QSizeF size);

// Deletes a render file; a file already gone or that cannot be removed is no matter.
void discard(const std::optional<std::string>& path);

// Deletes the render file `path` when the last copy of the answer goes. Every handler of a render's
// replies holds one, so the file goes whether the render loads, fails, is cancelled, is cut short by a
// worker stop or is dropped unanswered. Nothing for an empty path.
std::shared_ptr<const void> deletedWhenDone(const std::string& path);

// A render scale as the shortest text that reads back as the same double, with ".0" after whole
// numbers (2.4 is "2.4", 2 is "2.0"), never in the user's locale.
std::string scaleText(double scale);

// "<page id>@<scale>": the key of a rendered page.
std::string pageKey(const std::string& pageId, double scale);

// "<page id>@<scale>#<column>,<row>": the key of a tile of a page at its full render scale.
std::string tileKey(const std::string& pageId, double scale, std::int64_t column, std::int64_t row);

}  // namespace kivo::PageRenders
