#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

namespace kivo::PdfiumRuntime {

// The one lock around every PDFium call of the worker. The engine holds it for the whole of each
// command but `cancel`; nothing below the engine takes it by itself.
std::mutex& lock();

// The number of live document engines. PDFium starts with the first and stops with the last;
// both calls take the lock themselves.
int users();
void addUser();
void removeUser();

// Replaces the PDF engine after a trap with a fresh one, started for its users; every document
// open in the old one must be loaded again. The caller holds the lock. False when the fresh
// engine does not start either.
bool restart();

// Reading an annotation from its page's list holds module memory that this PDFium build never gives
// back, not even with the document (about 260 bytes an annotation); only a fresh engine does. So
// each engine takes such reads until it holds `listReadRenewal` of them, and whoever owns the open
// documents then replaces it between two commands (restart), however few documents it took them
// for. takeListReads takes `count` more and answers true, or false, taking none, past the ceiling
// (its pages are then read loaded, which costs time but no memory kept). One command reads at most
// some 150,000 (a document's census and script check, 50,000 each, and a census after an edit), so
// no command started below the renewal reaches the ceiling; the ceiling bounds the memory held by an
// engine that is never renewed.
inline constexpr std::int64_t listReadRenewal = std::int64_t{1} << 16;
inline constexpr std::int64_t listReadCeiling = std::int64_t{1} << 18;
bool takeListReads(std::int64_t count);
bool listReadsSpent();

// A command waiting for the lock, while it lives: work of the worker's own that can wait (its warm-up)
// sees it and gives way.
class Waiting {
public:
    Waiting();
    ~Waiting();
    Waiting(const Waiting&) = delete;
    Waiting& operator=(const Waiting&) = delete;
};
bool commandWaiting();

}  // namespace kivo::PdfiumRuntime
