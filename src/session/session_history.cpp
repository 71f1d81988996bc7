#include "session/recovery_meta.hpp"
#include "session/session.hpp"
#include "session/session_internal.hpp"
#include "session/session_warnings.hpp"

namespace kivo {

using session_detail::documentClosed;

void Session::checkpoint() { history_.checkpoint(currentSnapshot()); }

Session::Snapshot Session::currentSnapshot() const {
    return Snapshot{backingBytes_, pages_, history_.generation(), census_.snapshot()};
}

void Session::refreshBacking() {
    if (!document_) throw documentClosed();
    backingBytes_ = DocumentBytes::appending(document_.get());
}

// Undo states, a rolled-back change and the recovery checkpoint are all bytes PDFium wrote, whole
// or appended to the file's own. Some damaged files open but are written in a form PDFium then
// refuses; changing those would lose the change at the first undo or restart, so they are only read.
void Session::requireKeepableHistory() {
    if (!keepableHistory_) {
        if (!document_) throw documentClosed();
        const auto opensAgain = [this](const DocumentBytes::Shared& written) {
            const pdfium::Document again = pdfium::Document::load(written->data(), written, secretFor(std::nullopt));
            return again && pdfium::FPDF_GetPageCount(again.get()) == static_cast<int>(pages_.size());
        };
        keepableHistory_ = opensAgain(DocumentBytes::writing(document_.get())) &&
                           opensAgain(DocumentBytes::appending(document_.get()));
    }
    if (!*keepableHistory_) {
        throw EngineFailure(FailureCode::unsupported,
                            "Kivo PDF cannot keep an undo history for this file, so it will not change it. "
                            "Nothing changed.");
    }
}

void Session::commitCheckpoint() { history_.commit(); }

// A checkpoint that cannot be opened again stays where it was, and so does the document.
void Session::rollbackCheckpoint() noexcept {
    if (!history_.canUndo()) return;
    try {
        reopen(history_.undoStack().back());
        history_.takeCheckpoint();
    } catch (const std::exception&) {
        // The caller is already failing; a rollback has nothing further to report.
    }
}

// The state is opened before the history moves, so a state that cannot be opened leaves the
// document, its generation and both stacks as they were.
void Session::stepThroughHistory(bool back) {
    Snapshot current = currentSnapshot();
    reopen(history_.next(back));
    if (back) {
        history_.stepBack(std::move(current));
    } else {
        history_.stepForward(std::move(current));
    }
}

// The warnings never change either way, so one raised after loading survives and none is doubled.
void Session::reopen(const Snapshot& entry) {
    const std::vector<std::string> warnings = warnings_;
    try {
        bind(entry.bytes, std::nullopt, entry.pages, true);
    } catch (...) {
        warnings_ = warnings;
        throw;
    }
    warnings_ = warnings;
    history_.restore(entry.generation);
    census_.adopt(entry.census);
}

void Session::undo() { stepThroughHistory(true); }

void Session::redoLast() { stepThroughHistory(false); }

void Session::applyRecovery(const RecoveryMeta& meta, bool originalChanged) {
    if (originalChanged) {
        history_.markUnsaved();
        sourcePath_.reset();
        stamp_.setFingerprint(std::nullopt);
        warnings_.push_back(SessionWarnings::recoveryCopy);
        return;
    }
    sourcePath_ = meta.sourcePath;
    stamp_.setFingerprint(meta.sourceFingerprint);
    if (meta.dirty || !meta.sourcePath) {
        history_.markUnsaved();
    } else {
        history_.markSaved();
    }
}

}  // namespace kivo
