#pragma once

// Writes rendered pixels as PNG files: 8-bit RGBA tagged sRGB, exactly the pixels given. Rows are
// copied out of the caller's memory, then deflated in strips on the shared ThreadPool, so the
// caller can render the next tile, or let the PDFium lock go, while its files compress. Each
// strip is deflated on its own and ends on a byte boundary (a full flush), and the strips make one
// zlib stream with one Adler-32; each strip is its own IDAT chunk, the zlib header opens the first
// and the Adler-32 closes the last.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

namespace kivo::PngWriter {

class Encoding;

// The pixels of a PNG that Batch::start began: the pool reads them until `wait` returns, so they
// must stay as they are until then. Goes by waiting.
class PendingCopy {
public:
    PendingCopy() = default;
    PendingCopy(PendingCopy&& other) noexcept = default;
    // Waits for its own pixels before it takes the other's.
    PendingCopy& operator=(PendingCopy&& other) noexcept;
    ~PendingCopy();

    // Copies on this thread what the pool has not taken yet, then waits for the rest; the file
    // goes on compressing on the pool. Never fails: a failed copy fails the file.
    void wait() noexcept;

private:
    friend class Batch;
    std::shared_ptr<Encoding> encoding_;
};

// The PNG files of one request. A file is complete once `finish` returns; a batch that goes away
// unfinished still waits for its files, so none is left half-written behind the caller's back.
// Every PendingCopy of a batch must have waited before the batch finishes, is assigned or goes.
class Batch {
public:
    // Bytes of rows not yet written, beyond which `start` first waits for older files.
    static constexpr std::size_t maxBytesInFlight = 256u << 20;

    Batch() = default;
    Batch(Batch&& other) noexcept = default;
    // Waits for the files this batch held before it takes the other's.
    Batch& operator=(Batch&& other) noexcept;
    ~Batch();

    // Starts writing `height` rows of `width` BGRA pixels (straight alpha), `stride` bytes apart and
    // starting at `firstRow`, to `path`, and returns at once: the pixels are copied on the pool while
    // the caller goes on, and the file is created once they are compressed. Fails with
    // `renderFailed` "Could not write PNG." for an empty or oversized image or no memory.
    PendingCopy start(const std::filesystem::path& path, const std::uint8_t* firstRow, std::uint32_t width,
                      std::uint32_t height, std::size_t stride);
    // `start`, then waits for the copy (helping it): on return the caller may free the pixels.
    void add(const std::filesystem::path& path, const std::uint8_t* firstRow, std::uint32_t width,
             std::uint32_t height, std::size_t stride);

    // Waits for every file started and empties the batch. When any file could not be written, fails
    // with `renderFailed` and the first such file's reason: "Could not create PNG writer." or
    // "Could not write PNG."; such files are removed (a partly written one), the others stay.
    void finish();

private:
    void waitAll() noexcept;

    std::vector<std::shared_ptr<Encoding>> files_;
};

// One file, complete on return; fails as Batch::add and Batch::finish do.
void writeBgra(const std::filesystem::path& path, const std::uint8_t* firstRow, std::uint32_t width,
               std::uint32_t height, std::size_t stride);

// The memory of finished strips is kept, up to a few pages' worth, for the strips of the pages to
// come; dropSpareBlocks gives it back (and never fails), spareBlockBytes says how much is kept.
void dropSpareBlocks() noexcept;
std::size_t spareBlockBytes();

}  // namespace kivo::PngWriter
