#pragma once

// One open PDF document inside the worker: its bytes, the PDFium document and form-fill
// environment opened from them, its pages with stable ids, its warnings, its edit history and
// the stamp of its source file. Every operation runs with `PdfiumRuntime::lock()` held by the
// caller, and so does the destruction of a session (it closes the PDFium document).

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/commands.hpp"
#include "core/document_records.hpp"
#include "core/safe_files.hpp"
#include "core/page_tiles.hpp"
#include "session/document_bytes.hpp"
#include "core/engine_failure.hpp"
#include "pdfium/fpdf.hpp"

namespace kivo {

struct RecoveryMeta;

namespace PngWriter {
class Batch;
}

// An open page of a session's document. Closing it (on every exit, by the destructor) first
// tells the form-fill environment, when there is one, and then closes the page. Annotation
// handles taken from the page must be closed before it: declare them after it, so that they go
// first.
class OpenPage {
public:
    OpenPage() = default;
    OpenPage(pdfium::FPDF_PAGE page, pdfium::FPDF_FORMHANDLE form) : page_(page), form_(form) {}
    OpenPage(OpenPage&& other) noexcept;
    OpenPage& operator=(OpenPage&& other) noexcept;
    OpenPage(const OpenPage&) = delete;
    OpenPage& operator=(const OpenPage&) = delete;
    ~OpenPage() { close(); }

    pdfium::FPDF_PAGE get() const { return page_; }
    explicit operator bool() const { return static_cast<bool>(page_); }
    void close() noexcept;

private:
    pdfium::FPDF_PAGE page_{};
    pdfium::FPDF_FORMHANDLE form_{};
};

// The PDFium form field type's name: "button", "checkbox", "radio", "combo", "list", "text",
// "signature", else "unknown".
std::string formFieldTypeName(std::int32_t type);

class Session {
public:
    // What the census found on one page; kept until something changes that page.
    struct PageCensus {
        std::map<std::string, std::int64_t> subtypes;
        std::vector<AnnotationInfo> items;
        std::vector<FormFieldInfo> fields;
    };

    // One undo or redo state. The bytes are shared, never copied.
    struct Snapshot {
        DocumentBytes::Shared bytes;
        std::vector<PageInfo> pages;
        std::int64_t generation = 0;
        // What the census knew of this state's pages, so that stepping back to it reads no page.
        std::shared_ptr<const std::map<std::string, PageCensus>> census{};
    };

    // The census of a document's content, valid for one revision.
    struct DocumentContent {
        std::int64_t revision = 0;
        std::vector<FormFieldInfo> fields;
        std::vector<AnnotationInfo> annotations;
        std::map<std::string, std::map<std::string, std::int64_t>> annotationSubtypes;
        std::map<std::string, std::string> metadata;
    };

    struct Census {
        std::vector<AnnotationInfo> items;
        std::map<std::string, std::map<std::string, std::int64_t>> subtypes;
        std::vector<FormFieldInfo> fields;
    };

    struct PixelSize {
        std::int64_t width = 0;
        std::int64_t height = 0;
        bool operator==(const PixelSize&) const = default;
    };

    struct ExtractedText {
        std::string text;
        std::vector<TextRun> chars;
    };

    // An annotation found by id, open together with its page. Closing it (on every exit, by the
    // destructor) closes the annotation and then the page.
    class FoundAnnotation {
    public:
        FoundAnnotation(OpenPage page, pdfium::ScopedAnnotation annotation, std::string pageId, int index)
            : page_(std::move(page)), annotation_(std::move(annotation)), pageId_(std::move(pageId)), index_(index) {}
        FoundAnnotation(FoundAnnotation&&) noexcept = default;
        FoundAnnotation& operator=(FoundAnnotation&&) = delete;
        ~FoundAnnotation() { close(); }

        pdfium::FPDF_ANNOTATION annotation() const { return annotation_.get(); }
        pdfium::FPDF_PAGE page() const { return page_.get(); }
        const std::string& pageId() const { return pageId_; }
        int index() const { return index_; }

        // Closes the annotation and leaves its page open, to remove the annotation from it.
        void closeAnnotation() noexcept { annotation_.reset(); }
        void close() noexcept {
            annotation_.reset();
            page_.close();
        }

    private:
        OpenPage page_;
        pdfium::ScopedAnnotation annotation_;
        std::string pageId_;
        int index_ = 0;
    };

    static constexpr std::size_t maxSearchHits = 200;
    static constexpr std::size_t maxUndoEntries = 32;
    static constexpr std::int64_t undoByteBudget = 268'435'456;  // 256 MiB
    static constexpr std::size_t minUndoEntriesUnderBudget = 4;
    static constexpr std::int64_t tileMargin = 8;

    static inline const std::string xfaWarning =
        "XFA forms are not supported in alpha. Values will not be treated as validated.";
    static inline const std::string signedWarning =
        "Signed file opened read-only. Exporting a copy may not preserve signature validity.";
    static inline const std::string scriptsWarning =
        "This file contains JavaScript. Form calculations will not run and values are not treated as validated.";
    static inline const std::string sourceChangedWarning =
        "The file on disk has changed since it was opened or last saved.";
    static inline const std::string recoveryCopyWarning = "The original file changed. Recovery opened as a copy.";

    // ---- Loading (session.cpp)

    // Opens `bytes` as a new session; an empty password counts as none. Fails with the load
    // errors (see mapLoadError) and the failures of bind.
    static std::unique_ptr<Session> load(DocumentBytes::Shared bytes, std::optional<std::string> sourcePath,
                                         const std::optional<std::string>& password);

    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Opens `bytes` in place of the current document. With `measured` and a page list of exactly
    // the document's page count, that list is taken as it stands and no page is loaded;
    // otherwise every page is measured, keeping the given ids position by position. Without a
    // password argument the password that opened the session is used again.
    void bind(DocumentBytes::Shared bytes, const std::optional<std::string>& password,
              std::optional<std::vector<PageInfo>> existingPages, bool measured);
    // The page with that id, open. Fails with "Document is closed.", "Unknown page id." or
    // "Could not load page N.".
    OpenPage loadPage(std::string_view pageId) const;
    // Closes the form-fill environment and the document; safe to call repeatedly.
    void teardownDocument() noexcept;
    void discloseUnsupportedScripts();
    // PDFium's last load error as the failure the user sees.
    static EngineFailure mapLoadError();
    // An annotation dictionary's string entry, "" when absent.
    static std::string readStringKey(pdfium::FPDF_ANNOTATION annotation, std::string_view key);
    void captureSourceStamp();
    // Whether the source file changed since the stamp. Unchanged time and size answer without
    // reading the file; a touched file with the same contents refreshes the stamp.
    bool sourceChangedOnDisk();

    // ---- Rendering (session_render.cpp)

    // Renders each tile of the page at `scale` to its own PNG and answers the page's pixel size
    // at that scale; every file is complete on return. Fails with "invalid_argument" for a tile
    // without a path or off the page (tiles before it stay written), the failures of loadPage and
    // those of draw; a file that cannot be written fails the call once every other tile is.
    PixelSize renderTiles(std::string_view pageId, double scale, const std::vector<RenderTile>& tiles,
                          bool annotations) const;
    // The same, but the PNGs are only started in `writes`: each tile compresses while the next
    // one renders, and the caller finishes the batch, with or without the PDFium lock.
    PixelSize renderTiles(std::string_view pageId, double scale, const std::vector<RenderTile>& tiles, bool annotations,
                          PngWriter::Batch& writes) const;
    // Renders `region` of the page laid out at the grid's size and starts its PNG at `to` in
    // `writes`, creating its folder. Fails with "render_failed" (a file that cannot be created or
    // written only when the batch finishes), or a filesystem_error when the folder cannot be made.
    void draw(pdfium::FPDF_PAGE page, const RenderTile& region, const TileGrid& grid, bool annotations,
              const std::filesystem::path& to, PngWriter::Batch& writes) const;

    // ---- Text (session_text.cpp)

    ExtractedText extractText(std::string_view pageId) const;
    // Matches of the trimmed query (case-insensitive), on one page or all, at most 200.
    std::vector<SearchHit> search(std::string_view query, const std::optional<std::string>& pageId) const;
    // One PDFium character code as UTF-16: a pair above the BMP, U+FFFD above U+10FFFF.
    static std::u16string utf16Units(std::uint32_t code);

    // ---- History (session_history.cpp)

    void checkpoint();
    void refreshBacking();
    void commitCheckpoint();
    void rollbackCheckpoint() noexcept;
    void undo();
    void redoLast();
    // Drops the oldest entries beyond 32, and beyond the byte budget while more than 4 remain.
    static void trimUndoStack(std::vector<Snapshot>& stack);
    // Adopts the source and saved state of a restored recovery checkpoint. When the original file
    // no longer matches the checkpoint, the document becomes an unsaved copy without a source.
    void applyRecovery(const RecoveryMeta& meta, bool originalChanged);

    // ---- Saving (session_save.cpp)

    // Writes the whole document to `to` and flushes it to disk; creates the folder. Fails with
    // "export_failed" or a filesystem_error.
    void save(const std::filesystem::path& to) const;
    // Writes through a new hidden sibling with a random name and renames it into place, so a
    // reader sees the old or the new file whole (SafeFiles::replaceFile, which says who keeps
    // which permissions). Fails with "internal" when the document is closed, "export_failed" when
    // PDFium cannot write, or a filesystem_error.
    void atomicWrite(const std::filesystem::path& to, const SafeFiles::ReplaceOptions& options = {}) const;
    // An independent session holding the current document, with the same page ids.
    std::unique_ptr<Session> detachedCopy() const;

    // ---- Form fields (session_fields.cpp)

    std::vector<FormFieldInfo> listFields() const;
    std::optional<FormFieldInfo> fieldInfo(pdfium::FPDF_ANNOTATION annotation, const std::string& pageId) const;
    static std::vector<FormFieldInfo> mergeRadioFields(const std::vector<FormFieldInfo>& fields);
    std::vector<std::string> optionLabels(pdfium::FPDF_ANNOTATION annotation) const;
    std::string readExportValue(pdfium::FPDF_ANNOTATION annotation) const;
    std::string readFormName(pdfium::FPDF_ANNOTATION annotation) const;
    std::string readFormValue(pdfium::FPDF_ANNOTATION annotation) const;

    // ---- Annotations (session_annotations.cpp)

    void addHighlight(std::string_view pageId, const PDFRect& rect, std::string_view contents);
    void addNote(std::string_view pageId, const PDFRect& rect, std::string_view contents);
    void addInk(std::string_view pageId, const std::vector<PDFPoint>& points, std::string_view contents);
    // Moves and/or rewrites the annotation; answers the id of its page.
    std::string updateAnnotation(std::string_view id, const std::optional<PDFRect>& rect,
                                 const std::optional<std::string>& contents);
    std::string removeAnnotation(std::string_view id);
    // By its "NM" or by page id + "#" + index; the first match in page order.
    FoundAnnotation findAnnotation(std::string_view id) const;
    static void setAnnotString(pdfium::FPDF_ANNOTATION annotation, std::string_view key, std::string_view value);
    static std::string subtypeName(std::int32_t subtype);
    static std::string annotationKind(pdfium::FPDF_ANNOTATION annotation, std::int32_t subtype);

    // ---- Inspection (session_inspect.cpp)

    // The summary most document commands answer with. Never fails.
    CommandResult inspectResult();
    // The census of the current revision, computed at most once per revision.
    const DocumentContent& documentContent();
    // A fresh census stamped with `revision`; only a cancel or memory stop fails it.
    DocumentContent readContent(std::int64_t revision);
    Census documentCensus();
    // Forgets what the census knows of these pages, so the next census reads them again. Every
    // operation here that changes a page's annotations or fields calls it; rebinding forgets all.
    void forgetCensus(const std::vector<std::string>& pageIds);
    PageCensus readPageCensus(const std::string& pageId) const;
    // The state as it stands, for the history, and the census a restored state brings back.
    Snapshot currentSnapshot() const;
    void adoptCensus(const Snapshot& entry);
    std::map<std::string, std::string> metadata() const;
    // Measures every page again (after rotations); ids and indexes stay.
    void refreshPageMetrics();

    // ---- Forms, overlays and page organisation (session_forms.cpp, session_overlays.cpp, session_pages.cpp)

    static inline const std::string sharedFieldNamesWarning =
        "Merged documents share form field names. Review values before export.";

    // Sets the field whose full name is exactly `name`, acting through the form-fill environment
    // as a user would (typing, selecting, clicking), then reads it back. Answers the ids of the
    // pages holding a widget of the field, each once, in page order.
    std::vector<std::string> fillField(const std::string& name, const std::string& value);
    // Empties the fields that live only on the pages `pageIds` (a set) and strips the appearances
    // of their text-like widgets; names PDFium cannot clear go into one warning.
    void clearFormFields(const std::vector<std::string>& pageIds);

    void addTextBox(std::string_view pageId, const PDFRect& rect, std::string_view contents, double fontSize);
    void addStamp(std::string_view pageId, const PDFRect& rect, const std::filesystem::path& image,
                  std::string_view subject, std::string_view contents);

    // The complete new order as page ids.
    void reorder(const std::vector<std::string>& pageIds);
    // Answers the ids of the remaining pages, in order.
    std::vector<std::string> deletePages(const std::vector<std::string>& pageIds);
    // Keeps only these pages, in this order; answers the list.
    std::vector<std::string> extractPagesInPlace(const std::vector<std::string>& pageIds);
    // Appends every page of `other`; answers the new pages' ids, in order.
    std::vector<std::string> merge(const DocumentBytes::Shared& other);
    // Deletes the pages `pageIds` (a set) and rebinds, keeping the survivors' ids.
    void removePagesInPlace(const std::vector<std::string>& pageIds);
    // Answers the list when it is non-empty, free of duplicates and names only pages of the session.
    const std::vector<std::string>& uniqueExisting(const std::vector<std::string>& pageIds) const;
    // 0 to 3 sets that many quarter turns; +-90, 180, 270 turn from `current`.
    static int nextRotation(int current, std::int64_t requested);

    // ---- State

    const std::string& id() const { return id_; }
    const std::optional<std::string>& sourcePath() const { return sourcePath_; }
    void setSourcePath(std::optional<std::string> path) { sourcePath_ = std::move(path); }
    const std::vector<PageInfo>& pages() const { return pages_; }
    std::int64_t revision() const { return revision_; }
    void setRevision(std::int64_t revision) { revision_ = revision; }
    bool readOnly() const { return readOnly_; }
    const std::vector<std::string>& warnings() const { return warnings_; }
    const std::string& formTypeName() const { return formTypeName_; }
    const std::optional<std::string>& sourceFingerprint() const { return sourceFingerprint_; }
    // Modification time in nanoseconds since the epoch.
    const std::optional<std::int64_t>& sourceMTime() const { return sourceMTime_; }
    const std::optional<std::int64_t>& sourceSize() const { return sourceSize_; }
    const std::vector<Snapshot>& undoStack() const { return undoStack_; }
    const std::vector<Snapshot>& redoStack() const { return redoStack_; }
    const DocumentBytes::Shared& backingBytes() const { return backingBytes_; }
    const DocumentBytes::Shared& loadedBytes() const { return loadedBytes_; }
    std::int64_t generation() const { return generation_; }
    std::int64_t newestGeneration() const { return newestGeneration_; }
    const std::optional<std::int64_t>& savedGeneration() const { return savedGeneration_; }
    void setSavedGeneration(std::optional<std::int64_t> generation) { savedGeneration_ = generation; }
    // The state in memory is the one last written to the source file.
    bool isSaved() const { return savedGeneration_ == generation_; }
    bool isOpen() const { return static_cast<bool>(document_); }
    pdfium::FPDF_DOCUMENT document() const { return document_.get(); }
    pdfium::FPDF_FORMHANDLE formHandle() const { return document_.formHandle(); }

private:
    Session();
    OpenPage openPageAt(int index, bool notifyForm) const;
    std::string readFormString(pdfium::FPDF_ANNOTATION annotation, bool name) const;
    void moveThroughHistory(std::vector<Snapshot>& from, std::vector<Snapshot>& to, const char* emptyMessage);

    const std::string id_;
    std::optional<std::string> sourcePath_;
    std::vector<PageInfo> pages_;
    std::int64_t revision_ = 1;
    bool readOnly_ = false;
    std::vector<std::string> warnings_;
    std::string formTypeName_ = "none";
    std::optional<std::string> sourceFingerprint_;
    std::optional<std::int64_t> sourceMTime_;
    std::optional<std::int64_t> sourceSize_;
    std::vector<Snapshot> undoStack_;
    std::vector<Snapshot> redoStack_;
    DocumentBytes::Shared backingBytes_;
    DocumentBytes::Shared loadedBytes_;
    std::int64_t generation_ = 0;
    std::int64_t newestGeneration_ = 0;
    std::optional<std::int64_t> savedGeneration_ = 0;
    pdfium::Document document_;
    std::optional<std::string> openPassword_;
    std::optional<DocumentContent> cachedContent_;
    std::map<std::string, PageCensus> pageCensus_;
};

}  // namespace kivo
