// Giving back the memory an idle worker no longer needs.

#include <mutex>

#include "engine/document_engine.hpp"
#include "pdfium/module.hpp"
#include "session/pdfium_runtime.hpp"
#include "session/png_writer.hpp"
#include "session/running_command.hpp"
#include "session/session.hpp"

namespace kivo {
namespace {

// How far the module's memory may grow past what its documents need before an idle worker starts a
// fresh engine. Far above what a page of text or drawing costs at any zoom, so such documents keep
// their warm engine; a page of a scan at 300 dpi decodes about 35 MB.
constexpr std::uint64_t reclaimable = 32ull * 1024 * 1024;

}  // namespace

void DocumentEngine::weighEngineMemory(CommandMethod method, std::uint64_t before) {
    const std::uint64_t now = pdfium::module::memorySize();
    // What a document takes to open is what it takes in a fresh engine too.
    if (method == CommandMethod::open && now > before) settledMemory_ += now - before;
    if (now > settledMemory_ + reclaimable) renewalWanted_ = true;
    settlePending_ = !sessions_.empty() || renewalWanted_;
}

bool DocumentEngine::settleWhileIdle() {
    if (!settlePending_) return true;
    std::unique_lock lock(PdfiumRuntime::lock(), std::try_to_lock);
    if (!lock.owns_lock()) return false;
    settlePending_ = false;
    if (renewalWanted_.exchange(false) && pdfium::module::usable() && !PdfiumRuntime::commandWaiting()) {
        ResourceLimits limits;
        {
            std::lock_guard guard(limitsLock_);
            limits = configuredLimits_;
        }
        // As a command of its own, so the watchdog sees a long reopening as the work it is.
        RunningCommand command("renewal", CommandChannel::cli, limits, {});
        const RunningCommand::Activation activation(command);
        renewEngine();
        settledMemory_ = pdfium::module::memorySize();
    }
    for (const auto& [id, session] : sessions_) session->releaseResidentBytes();
    // The strips kept for the next render are the next render's only while renders come.
    PngWriter::dropSpareBlocks();
    return true;
}

}  // namespace kivo
