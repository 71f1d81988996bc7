#include "session/png_writer.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <isa-l/igzip_lib.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <latch>
#include <mutex>
#include <set>
#include <string>
#include <span>
#include <vector>

#include "core/document_files.hpp"
#include "core/engine_failure.hpp"
#include "core/file_creation.hpp"
#include "session/thread_pool.hpp"

namespace kivo::PngWriter {
namespace {

// A client names the path, so whatever else stands there (a named pipe, a link) is refused rather
// than written into; missing folders on the way are made.
std::FILE* openForWriting(const std::filesystem::path& path) {
    Descriptor fd = DocumentFiles::createForWriting(path, 0666);
    if (!fd) return nullptr;
    std::FILE* file = ::fdopen(fd.get(), "wb");
    if (file != nullptr) fd.release();
    return file;
}

// Below this many bytes of rows a strip is not worth a thread of its own.
constexpr std::size_t minStripBytes = 512u << 10;
constexpr std::size_t maxStrips = ThreadPool::maxSharedThreads;
// Strips and IDAT chunks stay below this, far from the 2^31 - 1 bytes of a PNG chunk and the
// 2^32 - 1 the deflater takes in one call (a strip may exceed it by one row, itself below 2^31).
constexpr std::size_t maxPieceBytes = 1u << 30;
constexpr std::uint8_t filterNone = 0;
// Deflate with a 32 KiB window at the fastest level; (0x78 << 8 | 0x01) is a multiple of 31.
constexpr std::uint8_t zlibHeader[2] = {0x78, 0x01};
constexpr std::size_t adlerBytes = 4;
constexpr const char* cannotCreate = "Could not create PNG writer.";
constexpr const char* cannotWrite = "Could not write PNG.";

void putBigEndian(std::uint8_t* to, std::uint32_t value) {
    to[0] = static_cast<std::uint8_t>(value >> 24);
    to[1] = static_cast<std::uint8_t>(value >> 16);
    to[2] = static_cast<std::uint8_t>(value >> 8);
    to[3] = static_cast<std::uint8_t>(value);
}

// A page's strips are a megabyte or more each, above the C library's fixed mapping threshold, so each
// fresh one would be a fresh mapping that the kernel faults in page by page and zeroes, then unmaps:
// at 150 dpi that was a third of what a page's render cost. A strip's memory comes back here when
// it goes, for the next page's strips, already touched; only as much as a few pages' strips take is
// kept, and dropSpareBlocks gives it all back.
class SpareBlocks {
public:
    static constexpr std::size_t maxBytes = 48u << 20;
    // Blocks smaller than this come from the C library's heap, whose memory is reused anyway.
    static constexpr std::size_t minBytes = 256u << 10;

    static SpareBlocks& shared() {
        static SpareBlocks* const instance = new SpareBlocks;  // pool threads may outlive statics
        return *instance;
    }

    // A kept block of at least `bytes` and at most twice that, whose capacity goes to `capacity`;
    // else a new block of exactly `bytes`. Throws std::bad_alloc.
    std::unique_ptr<std::uint8_t[]> take(std::size_t bytes, std::size_t& capacity) {
        if (bytes >= minBytes) {
            std::lock_guard guard(lock_);
            auto best = blocks_.end();
            for (auto it = blocks_.begin(); it != blocks_.end(); ++it) {
                if (it->capacity >= bytes && it->capacity / 2 <= bytes &&
                    (best == blocks_.end() || it->capacity < best->capacity))
                    best = it;
            }
            if (best != blocks_.end()) {
                std::unique_ptr<std::uint8_t[]> block = std::move(best->data);
                capacity = best->capacity;
                kept_ -= capacity;
                blocks_.erase(best);
                return block;
            }
        }
        capacity = bytes;
        return std::make_unique_for_overwrite<std::uint8_t[]>(bytes);
    }

    // Keeps the block while there is room, else frees it.
    void give(std::unique_ptr<std::uint8_t[]> block, std::size_t capacity) noexcept {
        if (!block || capacity < minBytes) return;
        std::lock_guard guard(lock_);
        if (kept_ + capacity > maxBytes) return;
        try {
            blocks_.push_back({std::move(block), capacity});
            kept_ += capacity;
        } catch (...) {
            // The block frees as it goes; only its reuse is lost.
        }
    }

    void drop() noexcept {
        std::vector<Block> dropped;
        std::lock_guard guard(lock_);
        dropped.swap(blocks_);
        kept_ = 0;
    }

    std::size_t keptBytes() {
        std::lock_guard guard(lock_);
        return kept_;
    }

private:
    struct Block {
        std::unique_ptr<std::uint8_t[]> data;
        std::size_t capacity = 0;
    };
    std::mutex lock_;
    std::vector<Block> blocks_;
    std::size_t kept_ = 0;
};

// Bytes without std::vector's zero fill: every byte is written before it is read, and pages are
// megabytes. Their memory comes from, and goes back to, the spare blocks.
struct Bytes {
    std::unique_ptr<std::uint8_t[]> data;
    std::size_t size = 0;
    std::size_t capacity = 0;

    Bytes() = default;
    Bytes(const Bytes&) = delete;
    Bytes& operator=(const Bytes&) = delete;
    ~Bytes() { release(); }

    void allocate(std::size_t bytes) {
        release();
        data = SpareBlocks::shared().take(bytes, capacity);
        size = bytes;
    }
    void release() noexcept {
        SpareBlocks::shared().give(std::move(data), capacity);
        data.reset();
        size = 0;
        capacity = 0;
    }
    std::span<const std::uint8_t> view() const { return {data.get(), size}; }
};

// One row as PNG wants it: the filter byte, then RGBA from BGRA (blue and red swap places).
void copyRow(const std::uint8_t* bgra, std::uint32_t width, std::uint8_t* out) {
    *out++ = filterNone;
    for (std::uint32_t x = 0; x < width; ++x) {
        std::uint32_t pixel;
        std::memcpy(&pixel, bgra + std::size_t{4} * x, 4);
        pixel = (pixel & 0xFF00FF00u) | ((pixel >> 16) & 0xFFu) | ((pixel & 0xFFu) << 16);
        std::memcpy(out + std::size_t{4} * x, &pixel, 4);
    }
}

// The most a strip of `bytes` can grow to: isa-l falls back to stored blocks, 5 bytes per 64 KiB,
// after at most one block header.
std::size_t stripBound(std::size_t bytes) {
    return bytes + 5 * (bytes / 65535 + 1) + ISAL_DEF_MAX_HDR_SIZE + sizeof zlibHeader + adlerBytes;
}

// Raw deflate of `in` into `out` from `at` on; answers the end of the output, 0 on failure. Every
// strip but the last ends with a full flush, so it finishes on a byte boundary and the next strip,
// which owes it nothing, can follow directly.
std::size_t deflateStrip(std::span<const std::uint8_t> in, bool last, Bytes& out, std::size_t at) {
    // Level 1 works without a level buffer but is faster with one.
    thread_local std::vector<std::uint8_t> levelBuffer(ISAL_DEF_LVL1_DEFAULT);
    isal_zstream stream;
    isal_deflate_stateless_init(&stream);
    stream.level = 1;
    stream.level_buf = levelBuffer.data();
    stream.level_buf_size = static_cast<std::uint32_t>(levelBuffer.size());
    stream.flush = last ? NO_FLUSH : FULL_FLUSH;
    stream.end_of_stream = last ? 1 : 0;
    stream.next_in = const_cast<std::uint8_t*>(in.data());
    stream.avail_in = static_cast<std::uint32_t>(in.size());
    stream.next_out = out.data.get() + at;
    stream.avail_out = static_cast<std::uint32_t>(out.size - at);
    if (isal_deflate_stateless(&stream) != COMP_OK) return 0;
    return at + stream.total_out;
}

bool writeChunk(std::FILE* file, const char (&type)[5], std::span<const std::uint8_t> data) {
    std::uint8_t head[8];
    putBigEndian(head, static_cast<std::uint32_t>(data.size()));
    std::memcpy(head + 4, type, 4);
    uLong crc = crc32(0, head + 4, 4);
    // zlib answers its initial value for a null buffer, and an empty span may hold one.
    if (!data.empty()) crc = crc32_z(crc, data.data(), data.size());
    std::uint8_t tail[4];
    putBigEndian(tail, static_cast<std::uint32_t>(crc));
    // An empty body (IEND's) is no write at all: its span may hold a null pointer, which fwrite
    // must never be given, whatever the length.
    return std::fwrite(head, 1, sizeof head, file) == sizeof head &&
           (data.empty() || std::fwrite(data.data(), 1, data.size(), file) == data.size()) &&
           std::fwrite(tail, 1, sizeof tail, file) == sizeof tail;
}

// Holds a path for as long as one file is being written there. Requests run their compression
// outside the PDFium lock, so two of them (an MCP render and an editor render of the same page,
// say) may finish a file of the same name at the same time; one waits, and every file on disk is
// one whole PNG.
class PathWrite {
public:
    explicit PathWrite(std::string path) : path_(std::move(path)) {
        std::unique_lock guard(lock());
        released().wait(guard, [this] { return !busy().contains(path_); });
        busy().insert(path_);
    }
    ~PathWrite() {
        {
            std::lock_guard guard(lock());
            busy().erase(path_);
        }
        released().notify_all();
    }
    PathWrite(const PathWrite&) = delete;
    PathWrite& operator=(const PathWrite&) = delete;

private:
    static std::mutex& lock() {
        static std::mutex mutex;
        return mutex;
    }
    static std::condition_variable& released() {
        static std::condition_variable variable;
        return variable;
    }
    static std::set<std::string>& busy() {
        static std::set<std::string> paths;
        return paths;
    }

    const std::string path_;
};

}  // namespace

// One file on its way to disk. The caller that starts it and the pool's threads share it: strips
// are claimed one at a time for copying, and whoever deflates the last strip writes the file.
class Encoding {
public:
    Encoding(std::filesystem::path path, const std::uint8_t* firstRow, std::uint32_t width,
             std::uint32_t height, std::size_t stride, std::size_t stripCount)
        : path_(std::move(path)),
          pathKey_(path_.lexically_normal().native()),
          source_(firstRow),
          width_(width),
          height_(height),
          stride_(stride),
          strips_(stripCount),
          copied_(static_cast<std::ptrdiff_t>(stripCount)),
          toDeflate_(stripCount) {
        for (std::size_t i = 0; i < stripCount; ++i) {
            strips_[i].firstRow = static_cast<std::uint32_t>(height * i / stripCount);
            strips_[i].rows = static_cast<std::uint32_t>(height * (i + 1) / stripCount) - strips_[i].firstRow;
        }
    }

    // The path as written, normalised, so that two spellings of one file are seen as one.
    const std::string& pathKey() const { return pathKey_; }
    std::size_t rowBytes() const { return 1 + std::size_t{4} * width_; }
    std::size_t bytes() const { return rowBytes() * height_; }

    // Hands every strip to the pool, to copy and then deflate.
    static void begin(const std::shared_ptr<Encoding>& self) {
        ThreadPool& pool = ThreadPool::shared();
        try {
            for (std::size_t i = 0; i < self->strips_.size(); ++i)
                pool.submit([self] { self->copyNextAndDeflate(); });
        } catch (...) {
            // Out of memory for the queue: whatever was not handed over is copied by the caller.
        }
    }

    // Copies on the caller the strips no pool thread has taken yet (their deflating stays on the
    // pool) and returns once the source is no longer read.
    static void finishCopying(const std::shared_ptr<Encoding>& self) {
        for (std::size_t i = self->claim(); i < self->strips_.size(); i = self->claim()) {
            self->copy(i);
            try {
                ThreadPool::shared().submit([self, i] { self->deflate(i); });
            } catch (...) {
                self->deflate(i);
            }
        }
        self->copied_.wait();
    }

    bool isDone() {
        std::lock_guard guard(lock_);
        return done_;
    }

    // Waits until the file is complete or removed; answers why it could not be written, or null.
    const char* wait() {
        std::unique_lock guard(lock_);
        finished_.wait(guard, [this] { return done_; });
        return failure_;
    }

private:
    struct Strip {
        std::uint32_t firstRow = 0;
        std::uint32_t rows = 0;
        Bytes raw;       // the filtered rows, dropped once deflated
        Bytes deflated;  // the zlib header opens the first strip's, the Adler-32 ends the last's
        std::size_t deflatedEnd = 0;
        std::uint32_t adler = 1;
        bool failed = false;
    };

    std::size_t claim() { return nextToCopy_.fetch_add(1); }

    void copyNextAndDeflate() {
        const std::size_t i = claim();
        if (i >= strips_.size()) return;  // the caller copied it already
        copy(i);
        deflate(i);
    }

    void copy(std::size_t i) noexcept {
        Strip& strip = strips_[i];
        try {
            strip.raw.allocate(rowBytes() * strip.rows);
            for (std::uint32_t row = 0; row < strip.rows; ++row) {
                copyRow(source_ + (strip.firstRow + row) * stride_, width_,
                        strip.raw.data.get() + row * rowBytes());
            }
        } catch (...) {
            strip.failed = true;
        }
        copied_.count_down();
    }

    void deflate(std::size_t i) noexcept {
        Strip& strip = strips_[i];
        try {
            if (!strip.failed) {
                strip.adler = isal_adler32(1, strip.raw.data.get(), strip.raw.size);
                strip.deflated.allocate(stripBound(strip.raw.size));
                const std::size_t at = i == 0 ? sizeof zlibHeader : 0;
                std::memcpy(strip.deflated.data.get(), zlibHeader, at);
                strip.deflatedEnd =
                    deflateStrip(strip.raw.view(), i + 1 == strips_.size(), strip.deflated, at);
                strip.failed = strip.deflatedEnd == 0;
            }
        } catch (...) {
            strip.failed = true;
        }
        strip.raw.release();
        if (toDeflate_.fetch_sub(1, std::memory_order_acq_rel) == 1) writeFile();
    }

    // The file is made only now, by whichever thread deflated last: creating files is slow enough
    // on a busy disk to be worth keeping off the thread that renders.
    void writeFile() noexcept {
        const char* failure = nullptr;
        try {
            if (std::any_of(strips_.begin(), strips_.end(), [](const Strip& s) { return s.failed; })) {
                failure = cannotWrite;
            } else {
                const PathWrite hold(pathKey_);
                std::FILE* file = openForWriting(path_);
                if (file == nullptr) {
                    failure = cannotCreate;
                } else {
                    bool written = false;
                    try {
                        written = writeChunks(file);
                    } catch (...) {}
                    if (std::fclose(file) != 0 || !written) {
                        std::remove(path_.c_str());
                        failure = cannotWrite;
                    }
                }
            }
        } catch (const DocumentFiles::PlaceRefused& refused) {
            failure = DocumentFiles::refusalSentence(refused.place, refused.use);
        } catch (...) {
            failure = cannotWrite;  // a foreign link on the way, a folder that cannot be made, no memory
        }
        strips_.clear();
        {
            std::lock_guard guard(lock_);
            done_ = true;
            failure_ = failure;
        }
        finished_.notify_all();
    }

    bool writeChunks(std::FILE* file) {
        uLong adler = strips_.front().adler;
        for (std::size_t i = 1; i < strips_.size(); ++i) {
            adler = adler32_combine64(adler, strips_[i].adler,
                                      static_cast<z_off64_t>(rowBytes() * strips_[i].rows));
        }
        Strip& last = strips_.back();
        putBigEndian(last.deflated.data.get() + last.deflatedEnd, static_cast<std::uint32_t>(adler));
        last.deflatedEnd += adlerBytes;

        static constexpr std::uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
        std::uint8_t header[13];
        putBigEndian(header, width_);
        putBigEndian(header + 4, height_);
        header[8] = 8;   // bits per channel
        header[9] = 6;   // colour with alpha
        header[10] = 0;  // deflate
        header[11] = 0;  // the five adaptive filters (only None is used)
        header[12] = 0;  // not interlaced
        static constexpr std::uint8_t perceptual[1] = {0};
        bool ok = std::fwrite(signature, 1, sizeof signature, file) == sizeof signature &&
                  writeChunk(file, "IHDR", header) && writeChunk(file, "sRGB", perceptual);
        for (const Strip& strip : strips_) {
            const std::span<const std::uint8_t> data(strip.deflated.data.get(), strip.deflatedEnd);
            for (std::size_t at = 0; ok && at < data.size(); at += maxPieceBytes) {
                ok = writeChunk(file, "IDAT", data.subspan(at, std::min(maxPieceBytes, data.size() - at)));
            }
        }
        return ok && writeChunk(file, "IEND", {});
    }

    const std::filesystem::path path_;
    const std::string pathKey_;
    const std::uint8_t* const source_;  // read only until `copied_` opens
    const std::uint32_t width_;
    const std::uint32_t height_;
    const std::size_t stride_;
    std::vector<Strip> strips_;
    std::atomic<std::size_t> nextToCopy_{0};
    std::latch copied_;
    std::atomic<std::size_t> toDeflate_;

    std::mutex lock_;
    std::condition_variable finished_;
    bool done_ = false;
    const char* failure_ = nullptr;
};

PendingCopy& PendingCopy::operator=(PendingCopy&& other) noexcept {
    if (this != &other) {
        wait();
        encoding_ = std::move(other.encoding_);
    }
    return *this;
}

PendingCopy::~PendingCopy() { wait(); }

void PendingCopy::wait() noexcept {
    if (encoding_) Encoding::finishCopying(encoding_);
    encoding_.reset();
}

Batch& Batch::operator=(Batch&& other) noexcept {
    if (this != &other) {
        waitAll();
        files_ = std::move(other.files_);
    }
    return *this;
}

Batch::~Batch() { waitAll(); }

void Batch::waitAll() noexcept {
    for (const auto& file : files_) file->wait();
    files_.clear();
}

PendingCopy Batch::start(const std::filesystem::path& path, const std::uint8_t* firstRow, std::uint32_t width,
                         std::uint32_t height, std::size_t stride) {
    constexpr std::uint32_t pngMaxSide = 0x7FFF'FFFF;
    if (width == 0 || height == 0 || width > pngMaxSide || height > pngMaxSide) {
        throw EngineFailure(FailureCode::renderFailed, cannotWrite);
    }
    const std::size_t bytes = (1 + std::size_t{4} * width) * height;
    // The caller still holds the pixels of every file of the batch whose copy it has not waited
    // for, so it may help copy them while it waits here.
    const auto complete = [](const std::shared_ptr<Encoding>& file) {
        Encoding::finishCopying(file);
        file->wait();
    };
    // A file already done holds no bytes in flight and has nothing to wait for, so the bytes are
    // summed again only before a wait: files keep finishing on the pool meanwhile.
    for (const auto& older : files_) {
        if (older->isDone()) continue;
        std::size_t inFlight = 0;
        for (const auto& file : files_) inFlight += file->isDone() ? 0 : file->bytes();
        if (inFlight + bytes <= maxBytesInFlight) break;
        complete(older);
    }
    // Two tiles of one request naming the same file are written in order, the later one last.
    const std::string key = path.lexically_normal().native();
    for (const auto& earlier : files_) {
        if (earlier->pathKey() == key) complete(earlier);
    }
    // Up to one strip per pool thread for a large image, fewer for a small one: a strip costs a few
    // hundred bytes of Huffman tables and the start of a fresh window. The count depends on the
    // image alone, so every machine writes the same bytes.
    const std::size_t strips = std::min<std::size_t>(
        height,
        std::max(std::clamp<std::size_t>(bytes / minStripBytes, 1, maxStrips), bytes / maxPieceBytes + 1));

    files_.reserve(files_.size() + 1);
    PendingCopy pending;
    try {
        pending.encoding_ = std::make_shared<Encoding>(path, firstRow, width, height, stride, strips);
    } catch (...) {
        throw EngineFailure(FailureCode::renderFailed, cannotWrite);
    }
    files_.push_back(pending.encoding_);
    Encoding::begin(pending.encoding_);
    return pending;
}

void Batch::add(const std::filesystem::path& path, const std::uint8_t* firstRow, std::uint32_t width,
                std::uint32_t height, std::size_t stride) {
    start(path, firstRow, width, height, stride).wait();
}

void Batch::finish() {
    const char* failure = nullptr;
    for (const auto& file : files_) {
        // On a busy machine the pool's threads may wait for a core while this one has it.
        while (!file->isDone() && ThreadPool::shared().runQueued()) {}
        const char* fileFailure = file->wait();
        if (failure == nullptr) failure = fileFailure;
    }
    files_.clear();
    if (failure != nullptr) throw EngineFailure(FailureCode::renderFailed, failure);
}

void writeBgra(const std::filesystem::path& path, const std::uint8_t* firstRow, std::uint32_t width,
               std::uint32_t height, std::size_t stride) {
    Batch batch;
    batch.add(path, firstRow, width, height, stride);
    batch.finish();
}

void dropSpareBlocks() noexcept { SpareBlocks::shared().drop(); }

std::size_t spareBlockBytes() { return SpareBlocks::shared().keptBytes(); }

}  // namespace kivo::PngWriter
