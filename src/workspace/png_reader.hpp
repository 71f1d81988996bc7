#pragma once

// A fast decoder for the one PNG shape the worker writes: 8-bit RGBA, not interlaced, every row
// unfiltered, one zlib stream over consecutive IDAT chunks, sRGB the only other chunk. Any other
// file, and any that breaks a bound or a checksum, gets a null image and goes to the general decoder.

#include <QByteArrayView>
#include <QImage>

#include <cstdint>

namespace kivo::PngReader {

// The image in `bytes` when they are one whole PNG of that shape decoding to at most `limitBytes`
// (width × height × 4): Format_RGB32 when every pixel is opaque, else Format_ARGB32, pixel for pixel
// what QImageReader answers, with the sRGB colour space when the file names it. A null image for
// anything else, out of memory included; nothing is read outside `bytes`. Never throws. Its pixels go
// back, once the last copy of the image goes, to the four free blocks of at least 256 KiB (48 MiB in all)
// kept for the next images of the same size, which then need no memory fresh from the system.
QImage decodeRgba(QByteArrayView bytes, std::int64_t limitBytes);

// Gives the kept free blocks back to the system, and what the C library keeps of freed memory with
// them: once decoding has stopped for a while, nothing is kept for a next image that may never come.
// Any thread.
void releaseKeptBlocks();

// The bytes of the free blocks kept now.
std::int64_t keptBytes();

}  // namespace kivo::PngReader
