#include "session/session.hpp"

#include <algorithm>
#include <cstdio>
#include <future>
#include <system_error>
#include <unicode/ustring.h>

#include "core/text.hpp"
#include "session/encryption_filters.hpp"
#include "session/fingerprint.hpp"
#include "session/form_dictionary.hpp"
#include "session/running_command.hpp"
#include "session/session_internal.hpp"
#include "session/session_warnings.hpp"

namespace kivo {

using namespace pdfium;

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isSpace(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\f' || c == '\0'; }
bool isDelimiter(char c) {
    return isSpace(c) || std::string_view("()<>[]{}/%").find(c) != std::string_view::npos;
}

// The number written at `at` (digits only), or nothing; `at` moves past it.
std::optional<std::uint64_t> numberAt(std::string_view text, size_t& at) {
    const size_t start = at;
    std::uint64_t value = 0;
    while (at < text.size() && isDigit(text[at]) && at - start < 12) value = value * 10 + (text[at++] - '0');
    if (at == start || (at < text.size() && isDigit(text[at]))) return std::nullopt;
    return value;
}

void skipSpace(std::string_view text, size_t& at) {
    while (at < text.size() && isSpace(text[at])) ++at;
}

// The highest N of every "N G R" in `text`.
std::uint64_t highestReferenceIn(std::string_view text) {
    std::uint64_t highest = 0;
    for (size_t r = text.find('R'); r != std::string_view::npos; r = text.find('R', r + 1)) {
        if (r + 1 < text.size() && !isDelimiter(text[r + 1])) continue;
        size_t at = r;
        const auto digitsBefore = [&] {
            const size_t end = at;
            while (at > 0 && isDigit(text[at - 1]) && end - at < 12) --at;
            return at < end && (at == 0 || isDelimiter(text[at - 1]));
        };
        const auto spaceBefore = [&] {
            if (at == 0 || !isSpace(text[at - 1])) return false;
            while (at > 0 && isSpace(text[at - 1])) --at;
            return true;
        };
        if (!spaceBefore() || !digitsBefore() || !spaceBefore() || !digitsBefore()) continue;
        size_t from = at;
        if (const auto number = numberAt(text, from)) highest = std::max(highest, *number);
    }
    return highest;
}

// The same outside the streams of the bytes: a chance match in a stream's data would set a number
// aside for nothing.
std::uint64_t highestReference(std::string_view text) {
    std::uint64_t highest = 0;
    size_t from = 0;
    while (from < text.size()) {
        size_t opened = text.find("stream", from);
        while (opened != std::string_view::npos && opened >= 3 && text.substr(opened - 3, 3) == "end")
            opened = text.find("stream", opened + 6);
        const size_t end = opened == std::string_view::npos ? text.size() : opened;
        highest = std::max(highest, highestReferenceIn(text.substr(from, end - from)));
        if (opened == std::string_view::npos) break;
        const size_t closed = text.find("endstream", opened + 6);
        if (closed == std::string_view::npos) break;
        from = closed + 9;
    }
    return highest;
}

// The text of the value after `key` in `dictionary` up to the end of a reference ("1 0 R") or of an
// array, or nothing.
std::optional<std::string> entry(std::string_view dictionary, std::string_view key, bool array) {
    size_t at = dictionary.find(key);
    while (at != std::string_view::npos && at + key.size() < dictionary.size() &&
           !isDelimiter(dictionary[at + key.size()])) {
        at = dictionary.find(key, at + 1);
    }
    if (at == std::string_view::npos) return std::nullopt;
    at += key.size();
    skipSpace(dictionary, at);
    const size_t end = dictionary.find(array ? ']' : 'R', at);
    if (end == std::string_view::npos || end - at > 200) return std::nullopt;
    return std::string(dictionary.substr(at, end + 1 - at));
}

// A page may name an object its file lacks, which reads as null; PDFium numbers the objects an edit
// makes from the highest number the file lists, so one of them (a pop-up's appearance, say) took
// the number the page names and became the page's content. Past the last revision a null object of
// the highest number named is listed, so every object made comes after it and what the file named
// stays null. Nothing when no such number is named, or when the latest trailer cannot be read.
std::optional<std::string> withNamedNumbersSetAside(std::span<const uint8_t> bytes) {
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    const size_t startxref = text.rfind("startxref");
    if (startxref == std::string_view::npos) return std::nullopt;
    size_t at = startxref + 9;
    skipSpace(text, at);
    const std::optional<std::uint64_t> previous = numberAt(text, at);
    if (!previous || *previous >= startxref) return std::nullopt;
    std::string_view latest = text.substr(*previous, startxref - *previous);
    if (latest.substr(0, 4) == "xref") {
        const size_t trailer = latest.rfind("trailer");
        if (trailer == std::string_view::npos) return std::nullopt;
        latest = latest.substr(trailer);
    } else {
        // A file whose last offset points at neither is repaired by PDFium, and an update could change
        // what the repair finds.
        latest = latest.substr(0, latest.find("stream"));
        if (latest.empty() || !isDigit(latest[0]) || latest.find("/XRef") == std::string_view::npos)
            return std::nullopt;
    }
    if (latest.find("/Encrypt") != std::string_view::npos) return std::nullopt;
    const std::optional<std::string> root = entry(latest, "/Root", false);
    if (!root) return std::nullopt;
    size_t sizeAt = latest.find("/Size");
    if (sizeAt == std::string_view::npos) return std::nullopt;
    sizeAt += 5;
    skipSpace(latest, sizeAt);
    const std::optional<std::uint64_t> listed = numberAt(latest, sizeAt);
    // PDFium reads no object numbered past about a million.
    constexpr std::uint64_t highestAllowed = 1'000'000;
    const std::uint64_t named = highestReference(text);
    if (!listed || named < *listed || named > highestAllowed) return std::nullopt;
    const std::string number = std::to_string(named);
    std::string out(text);
    out += "\n";
    const size_t object = out.size();
    out += number + " 0 obj\nnull\nendobj\n";
    const size_t table = out.size();
    char line[32];
    std::snprintf(line, sizeof line, "%010zu 00000 n \n", object);
    out += "xref\n" + number + " 1\n" + line + "trailer\n<< /Size " + std::to_string(named + 1) + " /Root " +
           *root;
    if (const auto info = entry(latest, "/Info", false)) out += " /Info " + *info;
    if (const auto id = entry(latest, "/ID", true)) out += " /ID " + *id;
    out += " /Prev " + std::to_string(*previous) + " >>\nstartxref\n" + std::to_string(table) + "\n%%EOF\n";
    return out;
}

}  // namespace

namespace session_detail {

std::u16string toUtf16(std::string_view utf8) {
    if (utf8.empty()) return {};
    // UTF-16 never needs more units than UTF-8 has bytes.
    std::u16string out(utf8.size(), u'\0');
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF8WithSub(reinterpret_cast<UChar*>(out.data()), static_cast<int32_t>(out.size()), &length,
                         utf8.data(), static_cast<int32_t>(utf8.size()), 0xFFFD, nullptr, &status);
    if (U_FAILURE(status)) return {};
    out.resize(static_cast<size_t>(length));
    return out;
}

EngineFailure documentClosed() { return EngineFailure(FailureCode::internal, "Document is closed."); }

EngineFailure loadFailure(std::span<const uint8_t> bytes) {
    switch (FPDF_GetLastError()) {
        case FPDF_ERR_FILE: return EngineFailure(FailureCode::file, "The file could not be read.");
        case FPDF_ERR_FORMAT:
            return EngineFailure(FailureCode::unsupported, "This file is not a supported PDF.");
        case FPDF_ERR_PASSWORD:
            if (EncryptionFilters::differ(bytes)) {
                return EngineFailure(
                    FailureCode::unsupported,
                    "This file uses a kind of encryption Kivo PDF cannot open: its text and its "
                    "page contents are encrypted in different ways. No password changes that; "
                    "another PDF reader may open it.");
            }
            return EngineFailure(FailureCode::passwordRequired,
                                 "This PDF needs a password. The password is not logged.");
        case FPDF_ERR_SECURITY:
            return EngineFailure(FailureCode::unsupported, "This file uses an unsupported security scheme.");
        default: return EngineFailure(FailureCode::unsupported, "PDFium could not open this file.");
    }
}

PDFRect cropBoxAt(pdfium::FPDF_DOCUMENT document, int index, const PageInfo& measured) {
    // The box types of EPDF_GetPageBoxByIndex: 0 the media box, 1 the crop box (inherited, unclipped).
    constexpr int mediaBox = 0;
    constexpr int cropBox = 1;
    const auto read = [&](int type) -> std::optional<PDFRect> {
        FS_RECTF box;
        if (!EPDF_GetPageBoxByIndex(document, index, type, &box)) return std::nullopt;
        const PDFRect r = fromPdfium(box);
        return PDFRect{std::min(r.left, r.right), std::min(r.bottom, r.top), std::max(r.left, r.right),
                       std::max(r.bottom, r.top)};
    };
    const auto empty = [](const std::optional<PDFRect>& r) {
        return !r || r->width() <= 0 || r->height() <= 0;
    };
    // As PDFium shows a page: a missing media box is Letter, and the crop box is cut to the media box.
    std::optional<PDFRect> shown = read(mediaBox);
    if (empty(shown)) shown = PDFRect{0, 0, 612, 792};
    if (const std::optional<PDFRect> crop = read(cropBox); !empty(crop)) {
        shown = PDFRect{std::max(shown->left, crop->left), std::max(shown->bottom, crop->bottom),
                        std::min(shown->right, crop->right), std::min(shown->top, crop->top)};
        if (shown->width() <= 0 || shown->height() <= 0) shown = PDFRect{};
    }
    const PDFRect expected = measured.defaultBox();
    constexpr double tolerance = 0.01;
    if (std::abs(shown->width() - expected.width()) <= tolerance &&
        std::abs(shown->height() - expected.height()) <= tolerance)
        return *shown;
    // Some file the tree reading does not follow: the loaded page knows.
    ScopedPage page(FPDF_LoadPage(document, index));
    FS_RECTF box;
    if (page && FPDF_GetPageBoundingBox(page.get(), &box)) return fromPdfium(box);
    return expected;
}

void writeIdentity(pdfium::FPDF_ANNOTATION annotation, std::string_view subject) {
    pdfium::FPDFAnnot_SetStringValue(annotation, "NM", toUtf16(newUUIDString()));
    pdfium::FPDFAnnot_SetStringValue(annotation, "Subj", toUtf16(subject));
}

}  // namespace session_detail

using session_detail::documentClosed;

namespace {

// Fails with `resourceLimit` when the pages list more annotations in all than the census reads,
// counting a list several pages share once for each: reading them would hold up every other open
// document and could exhaust the PDF engine's memory. `counts` holds each page's count, in page order.
void refusePastListedLimit(const std::vector<std::int64_t>& counts) {
    const auto pageCount = static_cast<std::int64_t>(counts.size());
    std::int64_t listed = 0;
    std::int64_t most = 0;
    std::int64_t mostOn = 0;
    for (std::int64_t i = 0; i < pageCount; ++i) {
        const std::int64_t onPage = counts[static_cast<size_t>(i)];
        listed += onPage;
        if (onPage > most) {
            most = onPage;
            mostOn = i;
        }
    }
    if (listed <= session_detail::listedAnnotationLimit) return;
    throw EngineFailure(
        FailureCode::resourceLimit,
        "This document lists " + groupedDigits(listed) + " annotations on its " + groupedDigits(pageCount) +
            " pages (" + groupedDigits(most) + " on page " + groupedDigits(mostOn + 1) + "), more than the " +
            groupedDigits(session_detail::listedAnnotationLimit) + " Kivo PDF reads in one document.");
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Open pages.

OpenPage::OpenPage(OpenPage&& other) noexcept
    : page_(std::exchange(other.page_, FPDF_PAGE{})),
      form_(std::exchange(other.form_, FPDF_FORMHANDLE{})),
      generation_(other.generation_) {}

OpenPage& OpenPage::operator=(OpenPage&& other) noexcept {
    if (this != &other) {
        close();
        page_ = std::exchange(other.page_, FPDF_PAGE{});
        form_ = std::exchange(other.form_, FPDF_FORMHANDLE{});
        generation_ = other.generation_;
    }
    return *this;
}

void OpenPage::close() noexcept {
    const FPDF_PAGE page = std::exchange(page_, FPDF_PAGE{});
    const FPDF_FORMHANDLE form = std::exchange(form_, FPDF_FORMHANDLE{});
    // After a trap the page's instance is gone, or replaced by one in which its address means
    // nothing; calling into it again would only trap again.
    if (!page || !module::current(generation_)) return;
    try {
        if (form) FORM_OnBeforeClosePage(page, form);
        FPDF_ClosePage(page);
    } catch (const EngineFailure&) {}
}

// ---------------------------------------------------------------------------------------------
// Loading.

Session::Session()
    : id_(newUUIDString()), backingBytes_(DocumentBytes::empty()), loadedBytes_(DocumentBytes::empty()) {}

Session::~Session() { teardownDocument(); }

std::unique_ptr<Session> Session::bound(DocumentBytes::Shared bytes, std::optional<std::string> sourcePath,
                                        const std::optional<std::string>& password) {
    std::unique_ptr<Session> session(new Session());
    session->sourcePath_ = std::move(sourcePath);
    if (password && !password->empty()) session->openPassword_ = password;
    session->bind(std::move(bytes), password, std::nullopt, false);
    return session;
}

std::unique_ptr<Session> Session::load(DocumentBytes::Shared bytes, std::optional<std::string> sourcePath,
                                       const std::optional<std::string>& password) {
    std::unique_ptr<Session> session = bound(std::move(bytes), std::move(sourcePath), password);
    session->captureSourceStamp();
    return session;
}

std::unique_ptr<Session> Session::loadFile(const std::filesystem::path& path,
                                           const std::optional<std::string>& password) {
    // Time and size before the bytes are read: taken after, they would be those of a file replaced
    // while this one was read or loaded, and the replacement would pass for the file that was opened.
    SourceStamp stamp;
    stamp.measure(path.string());
    const DocumentBytes::Shared bytes = DocumentBytes::read(path);
    // The digest needs only the bytes, so it runs beside PDFium's load instead of after it; should
    // the load fail, the future's destructor waits for it before the bytes can go.
    const auto digest = [bytes] { return RecoveryStore::fingerprint(bytes->data()); };
    std::future<std::optional<std::string>> fingerprint;
    try {
        fingerprint = std::async(std::launch::async, digest);
    } catch (const std::system_error&) {
        fingerprint = std::async(std::launch::deferred, digest);  // no thread to be had: at get()
    }
    std::unique_ptr<Session> session = bound(bytes, path.string(), password);
    stamp.setFingerprint(fingerprint.get());
    session->stamp_ = std::move(stamp);
    return session;
}

void Session::bind(DocumentBytes::Shared bytes, const std::optional<std::string>& password,
                   std::optional<std::vector<PageInfo>> existingPages, bool measured,
                   const PageCensusCache::Kept* census) {
    if (!bytes) bytes = DocumentBytes::empty();
    if (std::optional<std::string> kept = FormDictionary::withAppearancesKept(bytes->data())) {
        bytes = DocumentBytes::copied(*kept);
    }
    if (std::optional<std::string> setAside = withNamedNumbersSetAside(bytes->data())) {
        bytes = DocumentBytes::copied(*setAside);
    }

    // Everything is read from the new document before the old one goes: bytes PDFium wrote but
    // cannot read back, or a cancel while measuring, leave the session with the document it had.
    const std::string* secret = secretFor(password);
    Document opened = Document::load(bytes->data(), bytes, secret);
    // Of an AES-256 password only the first 127 bytes of its UTF-8 count, and only those were hashed
    // into the file, but PDFium hashes every byte it is given: a longer one is tried again cut. Where
    // only the first 32 bytes count (the older handlers), the cut one opens nothing the whole one did not.
    if (!opened && secret && secret->size() > longestPasswordBytes &&
        FPDF_GetLastError() == FPDF_ERR_PASSWORD) {
        std::string cut = secret->substr(0, longestPasswordBytes);
        opened = Document::load(bytes->data(), bytes, &cut);
        // Every later load of this session's bytes (an edit's state, an undo, a saved copy) needs it too.
        if (opened) openPassword_ = std::move(cut);
    }
    if (!opened) throw session_detail::loadFailure(bytes->data());

    // No environment is fine: every later step then leaves the form calls out.
    opened.openFormFill();

    const int formType = FPDF_GetFormType(opened.get());
    const bool signedFile = FPDF_GetSignatureCount(opened.get()) > 0;

    const int count = FPDF_GetPageCount(opened.get());
    if (count < 1) throw EngineFailure(FailureCode::unsupported, "This file has no pages.");

    const bool keepPages = measured && existingPages && existingPages->size() == static_cast<size_t>(count);
    std::vector<PageInfo> pages;
    if (keepPages) {
        pages = std::move(*existingPages);
    } else {
        pages.reserve(static_cast<size_t>(count));
        for (int i = 0; i < count; ++i) {
            RunningCommand::step(CommandPhase::loadingPages, i, count);
            // Size and rotation come from the page tree: the same figures a loaded page reports, without
            // parsing every page's content, which made opening a long document several times slower.
            FS_SIZEF size;
            const int rotation = EPDF_GetPageRotationByIndex(opened.get(), i);
            if (!FPDF_GetPageSizeByIndexF(opened.get(), i, &size) || rotation < 0 || rotation > 3) {
                throw EngineFailure(
                    FailureCode::unsupported,
                    "Page " + std::to_string(i + 1) + " could not be loaded, so this file cannot be opened.");
            }
            PageInfo info;
            info.id = existingPages && existingPages->size() > static_cast<size_t>(i) ? (*existingPages)[i].id
                                                                                      : newUUIDString();
            info.index = i;
            info.width = session_detail::finiteOrZero(size.width);
            info.height = session_detail::finiteOrZero(size.height);
            info.rotation = rotation;
            info.box = session_detail::shownBox(info, session_detail::cropBoxAt(opened.get(), i, info));
            pages.push_back(std::move(info));
        }
    }

    std::optional<std::vector<std::int64_t>> listed =
        keepPages && census ? census->listed(pages) : std::nullopt;
    if (!listed) {
        listed.emplace();
        listed->reserve(static_cast<size_t>(count));
        for (int i = 0; i < count; ++i)
            listed->push_back(std::max(0, EPDFPage_GetAnnotCountRaw(opened.get(), i)));
    }
    refusePastListedLimit(*listed);

    teardownDocument();
    document_ = std::move(opened);
    sharedPageObjects_.reset();
    loadedBytes_ = bytes;
    backingBytes_ = std::move(bytes);
    form_.bound(formType);
    if (form_.isXfa()) warnings_.push_back(SessionWarnings::xfa);
    readOnly_ = signedFile;
    if (readOnly_) warnings_.push_back(SessionWarnings::signedFile);
    pages_ = std::move(pages);
    if (!keepPages) discloseUnsupportedScripts();
}

const std::string* Session::secretFor(const std::optional<std::string>& password) const {
    const std::optional<std::string>& chosen = password ? password : openPassword_;
    return chosen && !chosen->empty() ? &*chosen : nullptr;
}

OpenPage Session::openPageAt(int index, bool notifyForm) const {
    const FPDF_PAGE page = FPDF_LoadPage(document_.get(), index);
    if (!page) return {};
    const FPDF_FORMHANDLE form = notifyForm ? form_.handle() : FPDF_FORMHANDLE{};
    OpenPage open(page, form);
    if (form) FORM_OnAfterLoadPage(page, form);
    return open;
}

const PageInfo& Session::pageEntry(std::string_view pageId) const {
    if (!document_) throw documentClosed();
    const auto found =
        std::find_if(pages_.begin(), pages_.end(), [&](const PageInfo& p) { return p.id == pageId; });
    if (found == pages_.end()) throw EngineFailure(FailureCode::invalidPage, "Unknown page id.");
    return *found;
}

OpenPage Session::loadPage(std::string_view pageId) const {
    const PageInfo& info = pageEntry(pageId);
    OpenPage page = openPageAt(static_cast<int>(info.index), true);
    if (!page)
        throw EngineFailure(FailureCode::page, "Could not load page " + std::to_string(info.index + 1) + ".");
    return page;
}

const Session* Session::keeper_ = nullptr;
const Session* Session::reader_ = nullptr;

const OpenPage& Session::readPage(std::string_view pageId) const {
    const PageInfo& info = pageEntry(pageId);
    if (keeper_ == this && keptPage_.page && keptPage_.index == info.index && keptPage_.revision == revision_)
        return keptPage_.page;
    // One parsed page at a time: the last one goes before the next is loaded.
    dropKeptPage();
    OpenPage page = loadPage(pageId);
    keptPage_ = KeptPage{info.index, revision_, std::move(page)};
    keeper_ = this;
    return keptPage_.page;
}

void Session::releaseResidentBytes() const noexcept {
    for (const DocumentBytes::Shared& bytes : {loadedBytes_, backingBytes_, readingBytes_}) {
        if (bytes) bytes->releaseResident();
    }
    for (const std::vector<Snapshot>* states : {&history_.undoStack(), &history_.redoStack()}) {
        for (const Snapshot& state : *states) {
            if (state.bytes) state.bytes->releaseResident();
        }
    }
}

void Session::dropKeptPage() noexcept {
    if (keeper_ == nullptr) return;
    keeper_->keptPage_ = KeptPage{};
    keeper_ = nullptr;
}

void Session::dropKeptReads() noexcept {
    dropKeptPage();
    if (reader_ != nullptr) reader_->stopReadingAhead();
}

void Session::teardownDocument() noexcept {
    if (keeper_ == this) dropKeptPage();
    stopReadingAhead();
    census_.clear();
    keptText_.clear();
    form_.closing();
    document_.close();
    loadedBytes_ = DocumentBytes::empty();
}

void Session::discloseUnsupportedScripts() {
    if (std::find(warnings_.begin(), warnings_.end(), SessionWarnings::scripts) != warnings_.end()) return;
    if (document_ && FPDFDoc_GetJavaScriptActionCount(document_.get()) >= 1) {
        warnings_.push_back(SessionWarnings::scripts);
        return;
    }
    if (form_.hasFieldScripts(*this)) warnings_.push_back(SessionWarnings::scripts);
}

// ---------------------------------------------------------------------------------------------
// The source file's stamp.

void Session::captureSourceStamp() { stamp_.capture(sourcePath_); }

bool Session::sourceChangedOnDisk() { return stamp_.changed(sourcePath_); }

}  // namespace kivo
