#include <algorithm>

#include "pdfium/module.hpp"
#include "session/pdf_objects.hpp"
#include "session/recovery_meta.hpp"
#include "session/session.hpp"
#include "session/session_internal.hpp"
#include "session/session_warnings.hpp"

namespace kivo {

using session_detail::documentClosed;

void Session::checkpoint() {
    // An edit loads the pages it changes itself; a second open copy of one would not see the change.
    if (keeper_ == this) dropKeptPage();
    history_.checkpoint(currentSnapshot());
    census_.beginEdit();
}

Session::Snapshot Session::currentSnapshot() const {
    return Snapshot{backingBytes_, pages_, history_.generation(), census_.snapshot()};
}

namespace {

// Enough for a note or two on a page of a short document; past it a whole write costs little more,
// and each append rewrites every annotation of the pages it touches, so a longer chain grew a
// 135 KB document's checkpoint to 1.3 MB.
constexpr std::int64_t appendedFloor = 65'536;

EngineFailure cannotKeepHistory() {
    return EngineFailure(FailureCode::unsupported,
                         "Kivo PDF cannot keep an undo history for this file, so it will not change it. "
                         "Nothing changed.");
}

}  // namespace

// An undo state is the loaded bytes with the change appended where that is known to read back
// as the document does, and the document written whole otherwise. Appending is not trusted to a
// file with objects of a later generation or a stream left open (see DocumentBytes::Layers), and
// it is bounded: a state appends at most maxAppendedRevisions times to a whole write, and never
// more than that write's length (or 64 KiB, for short documents whose first note outweighs them). So however
// many undos, redos and restores came before, a state costs at most twice the document, and its chain of
// cross-reference sections stays short.
void Session::refreshBacking(const std::vector<std::string>& changedPages,
                             const AppendedBytes& appendedBytes) {
    // First, so that however the rest ends, no page the change touched is searched by its old text.
    keptText_.forget(changedPages);
    if (!document_) throw documentClosed();
    const DocumentBytes::Layers& below = loadedBytes_->layers();
    if (loadedBytes_->count() > 0 && below.onlyGenerationZero && below.everyStreamEnds &&
        below.appended < maxAppendedRevisions) {
        DocumentBytes::Shared appended = DocumentBytes::appending(document_.get(), *loadedBytes_);
        const DocumentBytes::Layers& layers = appended->layers();
        const bool bounded =
            layers.appended <= maxAppendedRevisions &&
            appended->count() - layers.baseLength <= std::max(layers.baseLength, appendedFloor);
        if (bounded && appendedBytes) appendedBytes(appended);
        if (bounded && readsAsOpen(*appended, changedPages)) {
            if (listsStayTheirPagesOwn(*appended)) census_.editStayedOnItsPages();
            backingBytes_ = std::move(appended);
            return;
        }
    }
    DocumentBytes::Shared whole = DocumentBytes::writingReferenced(document_.get(), secretFor(std::nullopt));
    if (!readsAsOpen(*whole, changedPages)) {
        historyRefused_ = true;
        throw cannotKeepHistory();
    }
    // From here on the document is the one opened from these bytes: what it reads is what an undo
    // returns to and a save writes, and the next append builds on them, not on a longer chain. What
    // the census read stays, so the next census need not read every page again; each page is placed
    // again first, as the rewrite may have given objects other numbers.
    // The pages the change touched are read afresh, as the reopened document has them.
    auto kept = std::make_shared<PageCensusCache::Pages>(*census_.snapshot()->pages);
    for (const std::string& pageId : changedPages) kept->erase(pageId);
    const auto census = std::make_shared<const PageCensusCache::Kept>(PageCensusCache::Kept{kept, false});
    rebind(whole, pages_, census.get());
    census_.adopt(census);
}

// An edit of one page's annotations changes the list its page object names. When the page holds
// that list itself, only pages of the same page object can see the change, and the census forgot
// those with it; a list named by reference may be another page's too (PDFium offers no call that
// tells), so then every page is placed again. The append holds each page object the edit loaded,
// as PDFium writes it, so the object reader can tell the two apart.
bool Session::listsStayTheirPagesOwn(const DocumentBytes& appended) const {
    const std::map<std::string, int>& forgotten = census_.forgottenByName();
    if (forgotten.empty()) return false;
    const std::optional<PdfObjects::File> revision =
        PdfObjects::File::lastRevision(appended.data(), static_cast<size_t>(loadedBytes_->count()));
    if (!revision) return false;
    for (const auto& [pageId, object] : forgotten) {
        const auto page =
            std::find_if(pages_.begin(), pages_.end(), [&](const PageInfo& p) { return p.id == pageId; });
        if (page == pages_.end() || object <= 0 ||
            pdfium::EPDFDoc_GetPageObjectNumberByIndex(document_.get(), static_cast<int>(page->index)) !=
                object) {
            return false;
        }
        const auto written = revision->object(static_cast<uint32_t>(object));
        if (!written || written->second || !written->first.isDictionary()) return false;
        const PdfObjects::Value* list = written->first.find("Annots");
        if (list != nullptr && list->kind != PdfObjects::Value::Kind::array) return false;
    }
    return true;
}

namespace {

// Characters on the page at `index`, or -1 when it does not load.
int characterCount(pdfium::FPDF_DOCUMENT document, int index) {
    const pdfium::ScopedPage page(pdfium::FPDF_LoadPage(document, index));
    if (!page) return -1;
    const pdfium::ScopedTextPage text(pdfium::FPDFText_LoadPage(page.get()));
    return text ? pdfium::FPDFText_CountChars(text.get()) : -1;
}

}  // namespace

// Reads no page's content, so it costs little however long the document is; and only the pages
// named, when they are, so an edit of one page of a long document reads that page's entry alone.
// A file PDFium had to repair, or one with a stream left open, is the exception: what it reads on a
// page may then depend on how the bytes are laid out, so the pages' text is compared as well.
bool Session::readsAsOpen(const DocumentBytes& bytes,
                          const std::optional<std::vector<std::string>>& pageIds) const {
    const pdfium::Document again = pdfium::Document::load(bytes.data(), {}, secretFor(std::nullopt));
    if (!again) return false;
    const int count = pdfium::FPDF_GetPageCount(again.get());
    if (count != static_cast<int>(pages_.size()) || count != pdfium::FPDF_GetPageCount(document_.get()))
        return false;
    const bool repaired = !pdfium::FPDF_DocumentHasValidCrossReferenceTable(document_.get()) ||
                          !loadedBytes_->layers().everyStreamEnds;
    const auto readsAlike = [&](int i) {
        return pdfium::EPDF_GetPageRotationByIndex(again.get(), i) ==
                   pdfium::EPDF_GetPageRotationByIndex(document_.get(), i) &&
               pdfium::EPDFPage_GetAnnotCountRaw(again.get(), i) ==
                   pdfium::EPDFPage_GetAnnotCountRaw(document_.get(), i) &&
               (!repaired || characterCount(again.get(), i) == characterCount(document_.get(), i));
    };
    if (!pageIds) {
        for (int i = 0; i < count; ++i) {
            if (!readsAlike(i)) return false;
        }
        return true;
    }
    for (const std::string& id : *pageIds) {
        const auto page =
            std::find_if(pages_.begin(), pages_.end(), [&](const PageInfo& p) { return p.id == id; });
        if (page != pages_.end() && !readsAlike(static_cast<int>(page->index))) return false;
    }
    return true;
}

// Only a file whose change could not be kept is refused before the change: every change proves
// its own state in refreshBacking.
void Session::requireKeepableHistory() {
    if (!document_) throw documentClosed();
    if (historyRefused_) throw cannotKeepHistory();
}

void Session::commitCheckpoint() { history_.commit(); }

// A checkpoint that cannot be opened again stays where it was, and so does the document.
void Session::rollbackCheckpoint() noexcept {
    // The change may have reached pages before it failed, and the state before may not open again.
    keptText_.clear();
    if (!history_.canUndo()) return;
    // Stopped by a fault or for its time, the engine is about to be replaced and every document opened in
    // the fresh one from its state: the state before the edit is taken back whole without the engine, or
    // the edit that changed nothing would leave a step to undo.
    if (!pdfium::module::usable()) {
        Snapshot before = *history_.takeCheckpoint();
        backingBytes_ = std::move(before.bytes);
        pages_ = std::move(before.pages);
        history_.restore(before.generation);
        census_.adopt(std::move(before.census));
        return;
    }
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
void Session::rebind(const DocumentBytes::Shared& bytes, const std::vector<PageInfo>& pages,
                     const PageCensusCache::Kept* census) {
    const std::vector<std::string> warnings = warnings_;
    try {
        bind(bytes, std::nullopt, pages, true, census);
    } catch (...) {
        warnings_ = warnings;
        throw;
    }
    warnings_ = warnings;
}

// A state's census was read from the document its bytes were proven to read as, so it stands for
// them: the limit on annotations and the next census take it instead of walking the pages again.
void Session::reopen(const Snapshot& entry) {
    rebind(entry.bytes, entry.pages, entry.census.get());
    history_.restore(entry.generation);
    census_.adopt(entry.census);
}

void Session::reopenInFreshEngine() {
    const std::shared_ptr<const PageCensusCache::Kept> census = census_.snapshot();
    teardownDocument();
    rebind(backingBytes_, pages_, census.get());
    census_.adopt(census);
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
