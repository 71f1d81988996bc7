#include <algorithm>

#include "session/running_command.hpp"
#include "session/session.hpp"
#include "session/thread_pool.hpp"
#include "session/session_internal.hpp"
#include "session/session_warnings.hpp"

namespace kivo {

using namespace pdfium;

CommandResult Session::inspectResult() {
    CommandResult result;
    result.sessionId = id_;
    result.revision = revision_;
    result.pageCount = static_cast<std::int64_t>(pages_.size());
    result.pages = pages_;
    result.formType = form_.typeName();
    result.readOnly = readOnly_;
    const DocumentContent& content = documentContent();
    result.fields = content.fields;
    result.annotations = content.annotations;
    result.annotationSubtypes = content.annotationSubtypes;
    result.metadata = content.metadata;
    result.undoAvailable = history_.canUndo();
    result.redoAvailable = history_.canRedo();
    const bool dirty = !isSaved();
    result.dirty = dirty;
    result.saveState = dirty ? "unsaved" : "saved";
    result.sourcePath = sourcePath_;
    const bool changed = sourceChangedOnDisk();
    result.sourceChanged = changed;
    // The sentence goes into the result only; the session's own list stays as it is.
    std::vector<std::string> warnings = warnings_;
    if (changed) warnings.push_back(SessionWarnings::sourceChanged);
    result.warnings = std::move(warnings);
    return result;
}

const Session::DocumentContent& Session::documentContent() {
    if (cachedContent_ && cachedContent_->revision == revision_) return *cachedContent_;
    if (cachedContent_) {
        // Let go of first, so that the census can change the counts by page in place (see
        // PageCensusCache::gather) rather than copy a long document's thousand of them.
        cachedContent_->annotationSubtypes.reset();
        ThreadPool::releaseLater(std::move(*cachedContent_));
        cachedContent_.reset();
    }
    DocumentContent content;
    try {
        // An inspection reports progress but is never cut short.
        RunningCommand::Uninterruptible section;
        content = readContent(revision_);
    } catch (const EngineFailure& failure) {
        // A document past what the census reads is refused rather than shown without annotations.
        if (!module::usable() || failure.code == FailureCode::resourceLimit) throw;
        content = DocumentContent{};
        content.revision = revision_;
        content.metadata = metadata();
    }
    // A failed census is cached too, so the same revision is not walked again.
    cachedContent_ = std::move(content);
    return *cachedContent_;
}

Session::DocumentContent Session::readContent(std::int64_t revision) {
    DocumentContent content;
    content.revision = revision;
    try {
        PageCensusCache::Census census = documentCensus();
        content.fields = std::move(census.fields);
        content.annotations = std::move(census.items);
        content.annotationSubtypes = std::move(census.subtypes);
    } catch (const EngineFailure& failure) {
        if (failure.code == FailureCode::cancelled || failure.code == FailureCode::resourceLimit ||
            !module::usable()) {
            throw;
        }
        // Any other failure leaves the lists empty; the metadata is still read.
    }
    content.metadata = metadata();
    return content;
}

PageCensusCache::Census Session::documentCensus() {
    session_detail::LoadedReads loaded;
    PageCensusCache::Census census = census_.gather(
        pages_, [&](const std::string& pageId) { return readPageCensus(pageId, loaded); },
        [this](const std::string& pageId) { return placement(pageId); });
    census.fields = DocumentForm::mergeRadioFields(census.fields);
    return census;
}

namespace {

// Whether an annotation's census read from its page's list is what the page loaded into the form
// environment gives. The form environment answers for a widget's state and export value; and
// loading draws an appearance for an annotation that has none of its own, which moves a note's or
// an ink drawing's rectangle. Of an annotation of no kind the editor lists, only the subtype counts.
bool countsUnloaded(FPDF_ANNOTATION annotation) {
    const int subtype = FPDFAnnot_GetSubtype(annotation);
    if (subtype == FPDF_ANNOT_WIDGET) return false;
    return session_detail::annotationKind(annotation, subtype) == "other" ||
           EPDFAnnot_HasAppearanceStream(annotation, FPDF_ANNOT_APPEARANCEMODE_NORMAL);
}

}  // namespace

PageCensusCache::PageCensus Session::readPageCensus(const std::string& pageId,
                                                    session_detail::LoadedReads& loaded) const {
    const PageInfo& info = pageEntry(pageId);
    PageCensusCache::PageCensus census;
    if (session_detail::forEachAnnotationUnparsed(document_.get(), static_cast<int>(info.index),
                                                  countsUnloaded, [&](FPDF_ANNOTATION annotation, int index) {
                                                      countAnnotation(census, annotation, pageId, index);
                                                  })) {
        return census;
    }
    loaded.beforeLoading();
    OpenPage page = loadPage(pageId);
    return readPageCensus(page, pageId);
}

PageCensusCache::Placement Session::placement(const std::string& pageId) const {
    const int index = static_cast<int>(pageEntry(pageId).index);
    return PageCensusCache::Placement{EPDFDoc_GetPageObjectNumberByIndex(document_.get(), index),
                                      EPDFPage_GetAnnotCountRaw(document_.get(), index)};
}

void Session::recount(OpenPage& page, std::string_view pageId) {
    const std::string id(pageId);
    PageCensusCache::PageCensus census = readPageCensus(page, id);
    const PageCensusCache::Placement now = placement(id);
    census.pageObject = now.pageObject;
    census.listed = now.listed;
    census_.keep(id, std::move(census));
}

PageCensusCache::PageCensus Session::readPageCensus(OpenPage& page, const std::string& pageId) const {
    PageCensusCache::PageCensus census;
    session_detail::forEachAnnotationOn(
        page, pageId, [&](OpenPage&, FPDF_ANNOTATION annotation, const std::string&, int index) {
            countAnnotation(census, annotation, pageId, index);
        });
    return census;
}

void Session::countAnnotation(PageCensusCache::PageCensus& census, FPDF_ANNOTATION annotation,
                              const std::string& pageId, int index) const {
    using namespace session_detail;
    const int subtype = FPDFAnnot_GetSubtype(annotation);
    ++census.subtypes[subtypeName(subtype)];
    if (const int object = EPDFAnnot_GetObjectNumber(annotation); object != 0)
        census.annotationObjects.insert(object);
    if (subtype == FPDF_ANNOT_POPUP) return;
    if (subtype == FPDF_ANNOT_WIDGET) {
        if (auto field = form_.widgetField(annotation, pageId)) census.fields.push_back(std::move(*field));
        return;
    }
    std::string kind = annotationKind(annotation, subtype);
    if (kind == "other") return;
    AnnotationInfo item;
    const std::string name = readStringKey(annotation, "NM");
    item.id = name.empty() ? pageId + "#" + std::to_string(index) : name;
    item.kind = std::move(kind);
    item.pageId = pageId;
    FS_RECTF rect;
    if (!FPDFAnnot_GetRect(annotation, &rect)) rect = FS_RECTF{};
    item.rect = session_detail::fromPdfium(rect);
    item.contents = readStringKey(annotation, "Contents");
    census.items.push_back(std::move(item));
}

std::map<std::string, std::string> Session::metadata() const {
    std::map<std::string, std::string> values;
    if (!document_) return values;
    for (const char* key :
         {"Title", "Author", "Subject", "Keywords", "Creator", "Producer", "CreationDate", "ModDate"}) {
        std::string value = session_detail::readWide(
            [&](std::span<uint16_t> buffer) { return FPDF_GetMetaText(document_.get(), key, buffer); });
        if (!value.empty()) values.emplace(key, std::move(value));
    }
    return values;
}

void Session::refreshPageMetrics() {
    if (!document_) throw session_detail::documentClosed();
    const auto total = static_cast<std::int64_t>(pages_.size());
    for (std::int64_t i = 0; i < total; ++i) {
        RunningCommand::step(CommandPhase::measuringPages, i, total);
        // By position and without the form-fill notifications: only the metrics are wanted.
        OpenPage page = openPageAt(static_cast<int>(i), false);
        if (!page) continue;
        PageInfo& info = pages_[static_cast<size_t>(i)];
        info.width = session_detail::finiteOrZero(FPDF_GetPageWidthF(page.get()));
        info.height = session_detail::finiteOrZero(FPDF_GetPageHeightF(page.get()));
        // The page tree's reading, as at open: FPDFPage_GetRotation answers -1 for a page whose
        // /Type is missing or wrong, though the page shows and a reopened copy reads its turn.
        info.rotation = std::clamp(EPDF_GetPageRotationByIndex(document_.get(), static_cast<int>(i)), 0, 3);
        FS_RECTF box;
        info.box = FPDF_GetPageBoundingBox(page.get(), &box)
                       ? session_detail::shownBox(info, session_detail::fromPdfium(box))
                       : std::nullopt;
    }
}

}  // namespace kivo
