#include "session/pdfium_runtime.hpp"

#include "pdfium/support.hpp"

namespace kivo::PdfiumRuntime {
namespace {
int g_users = 0;
std::atomic<int> g_waiting{0};
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

Waiting::Waiting() { ++g_waiting; }

Waiting::~Waiting() { --g_waiting; }

bool commandWaiting() { return g_waiting > 0; }

}  // namespace kivo::PdfiumRuntime
