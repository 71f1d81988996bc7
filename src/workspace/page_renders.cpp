#include "workspace/page_renders.hpp"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QBuffer>
#include <QByteArray>
#include <QImageReader>
#include <QString>

#include <algorithm>
#include <array>
#include <charconv>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <future>
#include <system_error>

#include "core/descriptor.hpp"
#include "core/ipc_paths.hpp"
#include "core/safe_files.hpp"
#include "core/text.hpp"
#include "workspace/png_reader.hpp"

namespace kivo::PageRenders {
namespace {

// A whole page is at most 8,000,000 pixels, 32 MB decoded; anything larger is not one of ours. Its PNG
// file is smaller still.
constexpr int decodeLimitMegabytes = 64;
constexpr off_t fileLimitBytes = off_t{decodeLimitMegabytes} << 20;
constexpr char pngSignature[] = "\x89PNG\r\n\x1a\n";
constexpr std::size_t pngSignatureBytes = sizeof(pngSignature) - 1;

bool isPrivateFolder(const std::filesystem::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && SafeFiles::isPrivateFolder(info);
}

// The bytes of the PNG file at `path`; none for anything else. The folder is private, but a render
// path comes back from the worker, so a link, a FIFO or a device there is neither followed nor
// waited on, and nothing is read past the limit.
std::optional<QByteArray> readPng(const std::string& path) {
    const Descriptor fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > fileLimitBytes) {
        return std::nullopt;
    }
    QByteArray bytes(static_cast<qsizetype>(info.st_size) + 1, Qt::Uninitialized);
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            ::read(fd.get(), bytes.data() + done, static_cast<std::size_t>(bytes.size() - done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        done += n;
    }
    // It grew while it was read: not a finished render.
    if (done > info.st_size) return std::nullopt;
    bytes.truncate(done);
    if (static_cast<std::size_t>(bytes.size()) < pngSignatureBytes ||
        std::memcmp(bytes.constData(), pngSignature, pngSignatureBytes) != 0) {
        return std::nullopt;
    }
    return bytes;
}

// Decodes as PNG and nothing else: no guessing the format from the name or the contents. The
// worker's own files take the fast path; whatever it turns down gets the general decoder.
QImage decodePng(const QByteArray& bytes) {
    QImage fast = PngReader::decodeRgba(bytes, std::int64_t{decodeLimitMegabytes} << 20);
    if (!fast.isNull()) return fast;
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "png");
    reader.setAutoDetectImageFormat(false);
    reader.setDecideFormatFromContent(false);
    reader.setAllocationLimit(decodeLimitMegabytes);
    return reader.read();
}

// Keeps the image a view was made of alive for as long as the view's pixels are used.
void releaseKept(void* kept) { delete static_cast<QImage*>(kept); }

}  // namespace

std::optional<std::filesystem::path> folder() {
    // Chosen when the named folder turned out unusable; GUI thread only, like every render.
    static std::optional<std::filesystem::path> fallback;
    const std::filesystem::path named = IPCPaths::editorRenderDirectory();
    const std::filesystem::path base = named.parent_path();
    std::error_code ignored;
    std::filesystem::create_directories(base, ignored);
    ::mkdir(named.c_str(), 0700);
    if (isPrivateFolder(named)) return named;
    if (fallback && isPrivateFolder(*fallback)) return fallback;
    std::string pattern = named.string() + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) return std::nullopt;
    fallback = std::filesystem::path(pattern);
    return fallback;
}

std::string renderPath() {
    const auto where = folder();
    return where ? (*where / (newUUIDString() + ".png")).string() : std::string();
}

std::optional<LoadedPage> loadPage(const std::optional<std::string>& path, std::optional<std::int64_t> width,
                                   std::optional<std::int64_t> height, double backing) {
    if (!path) return std::nullopt;
    std::optional<QByteArray> bytes = readPng(*path);
    discard(path);
    QImage image = bytes ? decodePng(*bytes) : QImage();
    if (image.isNull()) return std::nullopt;
    if (width && height && *width > 0 && *height > 0) {
        const double points = std::max(backing, 1.0);
        // The image was just decoded and is not shared: setting its ratio copies nothing.
        image.setDevicePixelRatio(static_cast<double>(image.width()) /
                                  (static_cast<double>(*width) / points));
    }
    const QSizeF size = image.deviceIndependentSize();
    if (size.width() < 1 || size.height() < 1) return std::nullopt;
    return LoadedPage{std::move(image), std::move(*bytes)};
}

std::optional<QImage> loadPreview(const std::optional<std::string>& path, std::optional<std::int64_t> width,
                                  std::optional<std::int64_t> height, double backing) {
    std::optional<LoadedPage> page = loadPage(path, width, height, backing);
    if (!page) return std::nullopt;
    return std::move(page->image);
}

std::vector<std::optional<QImage>> loadTiles(const std::vector<RenderTile>& tiles, double backing) {
    std::vector<std::optional<QImage>> images(tiles.size());
    const auto load = [&](std::size_t i) {
        images[i] = loadPreview(tiles[i].pngPath, tiles[i].width, tiles[i].height, backing);
    };
    std::vector<std::future<void>> others;
    for (std::size_t i = 1; i < tiles.size(); ++i) {
        try {
            others.push_back(std::async(std::launch::async, load, i));
        } catch (const std::system_error&) {
            load(i);  // no thread to be had: this one
        }
    }
    if (!tiles.empty()) load(0);
    for (std::future<void>& other : others) other.get();
    return images;
}

std::optional<QImage> loadReply(const std::string& asked, const CommandResult& result, double backing) {
    auto image = loadPreview(result.pngPath == asked ? std::optional(asked) : std::nullopt, result.width,
                             result.height, backing);
    discard(asked);
    return image;
}

std::optional<QImage> unpack(const QByteArray& png, double ratio) {
    QImage image = decodePng(png);
    if (image.isNull() || !(ratio > 0)) return std::nullopt;
    image.setDevicePixelRatio(ratio);
    return image;
}

std::int64_t cost(std::optional<std::int64_t> width, std::optional<std::int64_t> height) {
    return std::max<std::int64_t>(width.value_or(1), 1) * std::max<std::int64_t>(height.value_or(1), 1) * 4;
}

double backing(double reported) { return std::isfinite(reported) && reported > 0 ? reported : 2.0; }

QImage sized(const QImage& image, QSizeF size) {
    if (image.isNull() || size.width() <= 0 || size.height() <= 0) return image;
    const QSizeF current = image.deviceIndependentSize();
    if (std::abs(current.width() - size.width()) <= 0.5 &&
        std::abs(current.height() - size.height()) <= 0.5) {
        return image;
    }
    const double ratio = static_cast<double>(image.width()) / size.width();
    if (image.colorCount() > 0) {
        // A view would lose the colour table; palette images are small and rare, so copy those.
        QImage copy = image;
        copy.setDevicePixelRatio(ratio);
        return copy;
    }
    // Setting the ratio of a shared QImage would copy its pixels; a view over them does not.
    auto* kept = new QImage(image);
    QImage view(kept->constBits(), kept->width(), kept->height(), kept->bytesPerLine(), kept->format(),
                releaseKept, kept);
    view.setDevicePixelRatio(ratio);
    return view;
}

void discard(const std::optional<std::string>& path) {
    if (path && !path->empty()) ::unlink(path->c_str());
}

std::shared_ptr<const void> deletedWhenDone(const std::string& path) {
    if (path.empty()) return nullptr;
    return {nullptr, [path](const void*) { discard(path); }};
}

std::string scaleText(double scale) {
    std::array<char, 32> buffer{};
    const auto written = std::to_chars(buffer.data(), buffer.data() + buffer.size(), scale);
    std::string text(buffer.data(), written.ptr);
    const bool whole =
        std::all_of(text.begin(), text.end(), [](char c) { return c == '-' || (c >= '0' && c <= '9'); });
    if (whole) text += ".0";
    return text;
}

std::string pageKey(const std::string& pageId, double scale) { return pageId + "@" + scaleText(scale); }

std::string tileKey(const std::string& pageId, double scale, std::int64_t column, std::int64_t row) {
    return pageKey(pageId, scale) + "#" + std::to_string(column) + "," + std::to_string(row);
}

}  // namespace kivo::PageRenders
