#pragma once

// One open PDF document inside the worker, as the command engine uses it: its bytes, the PDFium
// document opened from them and its form (DocumentForm), its pages with stable ids, its warnings,
// its edit history and the stamp of its source file. Every operation runs with
// `PdfiumRuntime::lock()` held by the caller, and so does the destruction of a session (it closes
// the PDFium document). What the session's own source files share lies in session_internal.hpp.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/commands.hpp"
#include "core/document_records.hpp"
#include "core/engine_failure.hpp"
#include "core/page_tiles.hpp"
#include "core/safe_files.hpp"
#include "core/worker_limits.hpp"
#include "pdfium/fpdf.hpp"
#include "session/document_bytes.hpp"
#include "session/document_form.hpp"
#include "session/kept_page_text.hpp"
#include "session/page_census_cache.hpp"
#include "session/source_stamp.hpp"
#include "session/undo_history.hpp"

namespace kivo {

struct RecoveryMeta;

namespace PngWriter {
class Batch;
}

namespace testing {
class SessionProbe;
}

namespace session_detail {
class LoadedReads;
}

// An open page of a session's document. Closing it (on every exit, by the destructor) first
// tells the form-fill environment, when there is one, and then closes the page. Annotation
// handles taken from the page must be closed before it: declare them after it, so that they go
// first.
class OpenPage {
public:
    OpenPage() = default;
    OpenPage(pdfium::FPDF_PAGE page, pdfium::FPDF_FORMHANDLE form)
        : page_(page), form_(form), generation_(pdfium::module::generation()) {}
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
    std::uint32_t generation_ = 0;
};

class Session {
public:
    // The census of a document's content, valid for one revision.
    struct DocumentContent {
        std::int64_t revision = 0;
        std::vector<FormFieldInfo> fields;
        std::vector<AnnotationInfo> annotations;
        // Shared with the answers that report them; none is an empty list, as ever.
        SharedValue<std::map<std::string, std::map<std::string, std::int64_t>>> annotationSubtypes{
            std::map<std::string, std::map<std::string, std::int64_t>>{}};
        std::map<std::string, std::string> metadata;
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

    // ---- Loading (session.cpp)

    // Opens `bytes` as a new session; an empty password counts as none. Fails with `file`,
    // `unsupported` or `passwordRequired` for a document PDFium refuses, `unsupported` for one
    // without pages or with a page that cannot be measured, and with `cancelled` or
    // `resourceLimit` while the pages are measured.
    static std::unique_ptr<Session> load(DocumentBytes::Shared bytes, std::optional<std::string> sourcePath,
                                         const std::optional<std::string>& password);
    // Reads the file at `path` and opens its bytes as load() does, with `path` as the source; the
    // source's fingerprint is that of the bytes read, not of a second reading, and its time and size
    // those the file had before it was read. Fails as DocumentBytes::read and load() do.
    static std::unique_ptr<Session> loadFile(const std::filesystem::path& path,
                                             const std::optional<std::string>& password);

    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // The page with that id, open. Fails with "Document is closed.", "Unknown page id." or
    // "Could not load page N.".
    OpenPage loadPage(std::string_view pageId) const;
    // The same page for reading only (a render, its tiles, its text), kept open for the next read of
    // it at the same revision: a page turn renders a page and then reads its text, and parsing its
    // content is most of what loading a page costs. One page is kept in the whole process, with the
    // images it decoded: a read in another document drops this one's. Valid until the next call, in any
    // session, an edit or another document; fails as loadPage does.
    const OpenPage& readPage(std::string_view pageId) const;
    // Drops the page readPage keeps and the document text is read from, whichever sessions keep
    // them: a command that failed may have failed for memory.
    static void dropKeptReads() noexcept;
    // Lets go the pages of every state of the document that were mapped in from their files (see
    // DocumentBytes::releaseResident); for a worker with nothing to do.
    void releaseResidentBytes() const noexcept;
    // The entry of the open document's page with that id. Fails with "Document is closed." or
    // "Unknown page id.".
    const PageInfo& pageEntry(std::string_view pageId) const;
    // Closes the form-fill environment and the document; safe to call repeatedly.
    void teardownDocument() noexcept;
    // Takes the stamp of the source file (see SourceStamp), or forgets it without a source.
    void captureSourceStamp();
    // Whether the source file changed since the stamp (see SourceStamp::changed).
    bool sourceChangedOnDisk();

    // ---- Rendering (session_render.cpp)

    // Renders each tile of the page at `scale` to its own PNG and answers the page's pixel size
    // at that scale; every file is complete on return. Fails with `invalidArgument` for a tile
    // without a path or off the page (tiles before it stay written), the failures of loadPage and
    // those of draw; a file that cannot be written fails the call once every other tile is.
    PixelSize renderTiles(std::string_view pageId, double scale, const std::vector<RenderTile>& tiles,
                          bool annotations) const;
    // The same, but the PNGs are only started in `writes`: each tile compresses while the next
    // one renders, and the caller finishes the batch, with or without the PDFium lock.
    PixelSize renderTiles(std::string_view pageId, double scale, const std::vector<RenderTile>& tiles,
                          bool annotations, PngWriter::Batch& writes) const;
    // Renders `region` of the page laid out at the grid's size and starts its PNG at `to` in
    // `writes`, creating its folder. Fails with `renderFailed` (a file that cannot be created or
    // written only when the batch finishes), or a filesystem_error when the folder cannot be made.
    void draw(pdfium::FPDF_PAGE page, const RenderTile& region, const TileGrid& grid, bool annotations,
              const std::filesystem::path& to, PngWriter::Batch& writes) const;

    // ---- Text (session_text.cpp)

    // The page's text and its characters, one run per PDFium character. Fails as loadPage does.
    ExtractedText extractText(std::string_view pageId) const;
    // Matches of the trimmed query (case-insensitive), on one page or all, at most 200. Fails with
    // `invalidArgument` for a blank query or one holding U+0000, and as loadPage does.
    std::vector<SearchHit> search(std::string_view query, const std::optional<std::string>& pageId) const;
    // The same on the pages named, in the order named; fails as uniqueExisting does for the list.
    std::vector<SearchHit> search(std::string_view query, const std::vector<std::string>& pageIds) const;
    // Keeps the text of the next page, in page order, whose text is not kept yet, so that a search
    // to come reads only the pages that may hold its query. False once every page was passed, the
    // kept text has no room for the page without letting another go, or the document holds a change
    // its bytes do not. Fails as loadPage does.
    //
    // Pages are read as a search reads them (see textPageSource).
    bool readTextAhead() const;
    // Closes the document text pages were read from, and what it loaded with it.
    void stopReadingAhead() const noexcept;

    // ---- History (session_history.cpp)

    // One edit as the engine makes it: checkpoint, the change, refreshBacking, then either
    // commitCheckpoint or rollbackCheckpoint, which reopens the state before and never fails (a
    // state that does not open again stays checkpointed, the document as it is).
    void checkpoint();
    // Takes the document as it now stands as the session's bytes, known to open and read as the
    // document does (its pages, and the turn and annotations of `changedPages`, the ids of the
    // pages the change touched): the bytes it was loaded from with its changes appended where that
    // holds, so the cost follows the change, not the length of the document; else the document
    // written whole, which the session then opens in its place. Fails
    // with `internal` when the document is closed, `exportFailed` when PDFium cannot write it, and
    // `unsupported` ("cannot keep an undo history") when neither reads back. `appended`, when given,
    // is handed the appended bytes before they are checked, for work that can go on meanwhile and
    // that counts for nothing unless they become the session's bytes.
    using AppendedBytes = std::function<void(const DocumentBytes::Shared&)>;
    void refreshBacking(const std::vector<std::string>& changedPages = {},
                        const AppendedBytes& appended = {});
    static constexpr int maxAppendedRevisions = 8;
    void commitCheckpoint();
    void rollbackCheckpoint() noexcept;
    // Reopen the state before (after) the newest change. Fail with `emptyHistory`, or as the
    // state fails to open, and then nothing changed: the document stays open as it was, with its
    // generation and history. The warnings stay as they were either way.
    void undo();
    void redoLast();
    // Fails with `unsupported` for a document a change of which could not be kept (see
    // refreshBacking): its undo states and recovery checkpoint would be lost, so it is not changed
    // again.
    void requireKeepableHistory();
    // Opens the document as it stands from its bytes in a PDF engine that replaced the one it was
    // open in (PdfiumRuntime::restart), keeping its ids, history, census and warnings; the old
    // document goes without a call into its engine. Fails as opening its bytes does, and then holds
    // no document.
    void reopenInFreshEngine();
    // Adopts the source and saved state of a restored recovery checkpoint. When the original file
    // no longer matches the checkpoint, the document becomes an unsaved copy without a source.
    void applyRecovery(const RecoveryMeta& meta, bool originalChanged);

    // ---- Saving (session_save.cpp)

    // Writes through a new hidden sibling with a random name and renames it into place, so a
    // reader sees the old or the new file whole (SafeFiles::replaceFile, which says who keeps
    // which permissions). Fails with `internal` when the document is closed, `exportFailed` when
    // PDFium cannot write or what it wrote does not open again (the file then stays as it was),
    // `permissionDenied` at a followed link of another user, `file` when something else took the
    // destination's name during the write, or a filesystem_error.
    void atomicWrite(const std::filesystem::path& to, const SafeFiles::ReplaceOptions& options = {}) const;
    // An independent session holding the current document, with the same page ids. Fails with
    // `internal` when the document is closed, as provenWhole does and as opening the copy fails.
    std::unique_ptr<Session> detachedCopy() const;

    // ---- Annotations (session_annotations.cpp)

    // The three add a new annotation with a fresh id. They fail as loadPage does, with
    // `unsupported` when PDFium will not make the annotation, and addInk with `invalidArgument`
    // for fewer than two points.
    void addHighlight(std::string_view pageId, const PDFRect& rect, std::string_view contents);
    void addNote(std::string_view pageId, const PDFRect& rect, std::string_view contents);
    void addInk(std::string_view pageId, const std::vector<PDFPoint>& points, std::string_view contents);
    // Moves and/or rewrites the annotation (by its "NM" or by page id + "#" + index); answers the
    // id of its page. Fails with `notFound` for an unknown id.
    std::string updateAnnotation(std::string_view id, const std::optional<PDFRect>& rect,
                                 const std::optional<std::string>& contents);
    std::string removeAnnotation(std::string_view id);

    // ---- Inspection (session_inspect.cpp)

    // The summary most document commands answer with. Never fails.
    CommandResult inspectResult();
    // The census of the current revision, computed at most once per revision; a census that
    // fails is taken as empty, so only a trap of the PDF engine fails this.
    const DocumentContent& documentContent();
    // Measures every page again (after rotations); ids and indexes stay. Fails with `internal`
    // when the document is closed.
    void refreshPageMetrics();

    // ---- Form fields (session_forms.cpp, the work itself in DocumentForm)

    // Every named form field, radio groups merged into one entry each.
    std::vector<FormFieldInfo> listFields() const;
    // Sets the field whose full name is exactly `name`, acting through the form-fill environment
    // as a user would (typing, selecting, clicking), then reads it back. Answers the ids of the
    // pages holding a widget of the field, each once, in page order. Fails with `notFound`,
    // `readOnly`, `unsupported`, `invalidArgument` (not one of the options) or `formFailed`
    // (the field did not take the value).
    std::vector<std::string> fillField(const std::string& name, const std::string& value);

    // ---- Overlays and page organisation (session_overlays.cpp, session_pages.cpp)

    // A text box, and an image stamp from the file at `image`. Fail as the annotations above do,
    // with `invalidArgument` for empty text, a font size without a whole number of points, or an
    // image that cannot be read.
    void addTextBox(std::string_view pageId, const PDFRect& rect, std::string_view contents, double fontSize);
    void addStamp(std::string_view pageId, const PDFRect& rect, const std::filesystem::path& image,
                  std::string_view subject, std::string_view contents);

    // The complete new order as page ids. Fails with `invalidArgument` for anything but a
    // permutation of the pages, `organizeFailed` when PDFium cannot move them.
    void reorder(const std::vector<std::string>& pageIds);
    // Answers the ids of the remaining pages, in order. Fails as uniqueExisting does, with
    // `invalidArgument` for every page, and `organizeFailed`.
    std::vector<std::string> deletePages(const std::vector<std::string>& pageIds);
    // Keeps only these pages, in this order; answers the list.
    std::vector<std::string> extractPagesInPlace(const std::vector<std::string>& pageIds);
    // A detached copy holding these pages in this order, for a file: a page listed again is written
    // again, and an empty id is a blank page the size of the page before it. Fails with `invalidPage`
    // for an id of no page, `invalidArgument` for a list naming no page or longer than
    // maxSequencePages, and `organizeFailed` when PDFium cannot lay the pages out.
    std::unique_ptr<Session> sequenceCopy(const std::vector<std::string>& sequence) const;
    static constexpr std::size_t maxSequencePages = kivo::maxSequencePages;
    // Appends every page of `other` with its form fields, their top-level names numbered where
    // this document has them; answers the new pages' ids, in order. Fails with `mergeFailed`.
    std::vector<std::string> merge(const DocumentBytes::Shared& other);
    // Answers the list when it is non-empty, free of duplicates and names only pages of the
    // session; fails with `invalidArgument` or `invalidPage` otherwise.
    const std::vector<std::string>& uniqueExisting(const std::vector<std::string>& pageIds) const;
    // 0 to 3 sets that many quarter turns; +-90, 180, 270 turn from `current`. Fails with
    // `invalidArgument` for anything else.
    static int nextRotation(int current, std::int64_t requested);
    // Turns the page as nextRotation says, from the turn the page tree reads. Fails as loadPage
    // does, and with `unsupported` for a page PDFium will not turn (one whose /Type is not /Page).
    void turnPage(std::string_view pageId, std::int64_t requested);

    // ---- State

    const std::string& id() const { return id_; }
    const std::optional<std::string>& sourcePath() const { return sourcePath_; }
    void setSourcePath(std::optional<std::string> path) { sourcePath_ = std::move(path); }
    const std::vector<PageInfo>& pages() const { return pages_; }
    std::int64_t revision() const { return revision_; }
    void setRevision(std::int64_t revision) { revision_ = revision; }
    bool readOnly() const { return readOnly_; }
    const std::optional<std::string>& sourceFingerprint() const { return stamp_.fingerprint(); }
    const DocumentBytes::Shared& backingBytes() const { return backingBytes_; }
    // The state in memory is the one last written to the source file.
    bool isSaved() const { return history_.isSaved(); }
    // The state in memory has just been written to the source file.
    void markSaved() { history_.markSaved(); }
    bool isOpen() const { return static_cast<bool>(document_); }

private:
    friend class testing::SessionProbe;

    using Snapshot = UndoHistory::Snapshot;

    Session();
    // A new session over `bytes`, its source stamp not yet taken.
    static std::unique_ptr<Session> bound(DocumentBytes::Shared bytes, std::optional<std::string> sourcePath,
                                          const std::optional<std::string>& password);
    // Opens `bytes` in place of the current document; when they do not open, the current document
    // stays as it was. With `measured` and a page list of exactly
    // the document's page count, that list is taken as it stands and no page is loaded;
    // otherwise every page is measured, keeping the given ids position by position. Without a
    // password argument the password that opened the session is used again. `census`, what the
    // census knew of these very bytes when they were a state of the history, spares the walk over
    // every page for the limit on annotations when it is whole.
    void bind(DocumentBytes::Shared bytes, const std::optional<std::string>& password,
              std::optional<std::vector<PageInfo>> existingPages, bool measured,
              const PageCensusCache::Kept* census = nullptr);
    // The password to open bytes with: `password` when given, else the one that opened the
    // session; none for an empty one.
    const std::string* secretFor(const std::optional<std::string>& password) const;
    OpenPage openPageAt(int index, bool notifyForm) const;
    // A page to read text from. PDFium's incremental save, which every edit's undo state is, writes
    // again every object its document holds loaded, so what a search or reading ahead loads (content,
    // fonts, images) must not stay in the session's document: while that document is the one its
    // bytes open to, the page comes from a document of its own, opened from the same bytes and again
    // every few pages. That document stays open from one command to the next, as a search of a long
    // document comes a few pages a request and opening it again walks the page tree from its root;
    // one is open in the whole process, and stopReadingAhead closes it. Otherwise from the session's
    // document.
    pdfium::ScopedPage textPageSource(int index) const;
    // Matches of a checked query on the pages `ids`, in their order, at most 200.
    std::vector<SearchHit> searchPages(std::string_view trimmed, const std::vector<std::string>& ids) const;
    // Keeps the text of a page the document has open, one UTF-16 unit per PDFium character.
    bool keepText(const std::string& pageId, std::u16string_view units, bool makeRoom = true) const;
    void discloseUnsupportedScripts();

    // Undo and redo: opens the state the history hands back.
    void stepThroughHistory(bool back);
    // Binds a snapshot of the history and takes back its generation and census.
    void reopen(const Snapshot& entry);
    // Gives the page at `index` a page object of its own when the page tree lists its object at other
    // places too. Fails with `unsupported` when it cannot, the document then possibly opened anew:
    // only within an edit, which is then undone whole.
    void ownPageObject(int index);
    // Opens `bytes` in place of the document, with these pages; the warnings stay as they were.
    void rebind(const DocumentBytes::Shared& bytes, const std::vector<PageInfo>& pages,
                const PageCensusCache::Kept* census = nullptr);
    // Whether `bytes` open and read as the document in memory does: as many pages, and each page
    // of `pageIds` (every page without it) turned the same way and holding as many annotations.
    bool readsAsOpen(const DocumentBytes& bytes,
                     const std::optional<std::vector<std::string>>& pageIds) const;
    // Whether the edit appended as `appended` changed only lists no other page can hold: see
    // session_history.cpp.
    bool listsStayTheirPagesOwn(const DocumentBytes& appended) const;
    // The state as it stands, for the history.
    Snapshot currentSnapshot() const;

    // A fresh census stamped with `revision`; only a cancel or memory stop fails it.
    DocumentContent readContent(std::int64_t revision);
    PageCensusCache::Census documentCensus();
    PageCensusCache::PageCensus readPageCensus(const std::string& pageId,
                                               session_detail::LoadedReads& loaded) const;
    PageCensusCache::PageCensus readPageCensus(OpenPage& page, const std::string& pageId) const;
    void countAnnotation(PageCensusCache::PageCensus& census, pdfium::FPDF_ANNOTATION annotation,
                         const std::string& pageId, int index) const;
    // Where the page stands for the census cache. Fails as pageEntry does.
    PageCensusCache::Placement placement(const std::string& pageId) const;
    // Takes the census of a page an edit has just changed from the page it still has open, so the
    // census after the edit does not load and parse that page once more.
    void recount(OpenPage& page, std::string_view pageId);
    std::map<std::string, std::string> metadata() const;

    // Empties the fields that live only on the pages `pageIds` (a set) and strips the appearances
    // of their text-like widgets; names PDFium cannot clear go into one warning.
    void clearFormFields(const std::vector<std::string>& pageIds);
    // Deletes the pages `pageIds` (a set) and rebinds, keeping the survivors' ids.
    void removePagesInPlace(const std::vector<std::string>& pageIds);
    // Writes the whole document to `to` and flushes it to disk; creates the folder. Fails with
    // `exportFailed` or a filesystem_error.
    void save(const std::filesystem::path& to) const;
    // The document written whole. Fails with `exportFailed` when PDFium cannot write it or the
    // bytes do not open and read as the document does (see readsAsOpen).
    DocumentBytes::Shared provenWhole() const;

    const std::string id_;
    std::optional<std::string> sourcePath_;
    std::vector<PageInfo> pages_;
    std::int64_t revision_ = 1;
    bool readOnly_ = false;
    std::vector<std::string> warnings_;
    SourceStamp stamp_;
    UndoHistory history_;
    DocumentBytes::Shared backingBytes_;
    DocumentBytes::Shared loadedBytes_;
    pdfium::Document document_;
    // Made from the document above, which it reads for as long as it lives.
    DocumentForm form_{document_};
    // The password that opened the document, as it was last given to PDFium.
    std::optional<std::string> openPassword_;
    static constexpr std::size_t longestPasswordBytes = 127;
    // A change of this document could not be kept.
    bool historyRefused_ = false;
    // Whether the page tree of the bound document lists a page object at two places, once asked.
    // Moving pages keeps the answer; every other change of the tree binds the document anew.
    std::optional<bool> sharedPageObjects_;
    std::optional<DocumentContent> cachedContent_;
    PageCensusCache census_;
    // The text of pages read for a search or an extraction, until an edit names the page or another
    // document is bound.
    mutable KeptPageText keptText_;
    // The position in `pages_` that reading ahead goes on from, the document it reads from, the bytes
    // that document was opened from and how many pages it read.
    mutable std::size_t readAheadFrom_ = 0;
    mutable pdfium::Document readingDocument_;
    mutable DocumentBytes::Shared readingBytes_;
    mutable int readingPages_ = 0;
    // The page readPage keeps; declared after the document and its form, so that it closes first.
    struct KeptPage {
        std::int64_t index = -1;
        std::int64_t revision = -1;
        OpenPage page;
    };
    mutable KeptPage keptPage_;
    // The session whose page is kept, and the one whose document text is read from is open, if any;
    // read and written under the module's lock, as every page.
    static const Session* keeper_;
    static const Session* reader_;
    static void dropKeptPage() noexcept;
};

}  // namespace kivo
