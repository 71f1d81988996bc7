#include "session/pdfium_runtime.hpp"

#include "pdfium/support.hpp"

namespace kivo::PdfiumRuntime {
namespace {
int g_users = 0;
std::atomic<int> g_waiting{0};

// The list reads of one engine: a restart starts a fresh count with the fresh engine.
std::int64_t& listReadsOfEngine() {
    static std::int64_t taken = 0;
    static std::uint32_t engine = 0;
    if (engine != pdfium::module::generation()) {
        engine = pdfium::module::generation();
        taken = 0;
    }
    return taken;
}
}  // namespace

std::mutex& lock() {
    static std::mutex instance;
    return instance;
}

int users() {
    std::lock_guard guard(lock());
    return g_users;
}

void addUser() {
    std::lock_guard guard(lock());
    if (g_users == 0) pdfium::initLibrary();
    ++g_users;
}

void removeUser() {
    std::lock_guard guard(lock());
    if (g_users == 0) return;
    --g_users;
    if (g_users == 0 && pdfium::module::usable()) pdfium::destroyLibrary();
}

bool restart() { return g_users > 0 ? pdfium::restartLibrary() : pdfium::module::restart(); }

bool takeListReads(std::int64_t count) {
    std::int64_t& taken = listReadsOfEngine();
    if (count > listReadCeiling - taken) return false;
    taken += count;
    return true;
}

bool listReadsSpent() { return listReadsOfEngine() >= listReadRenewal; }

Waiting::Waiting() { ++g_waiting; }

Waiting::~Waiting() { --g_waiting; }

bool commandWaiting() { return g_waiting > 0; }

}  // namespace kivo::PdfiumRuntime
