#pragma once

#include <atomic>
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
