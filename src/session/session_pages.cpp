#include <algorithm>
#include <functional>
#include <map>
#include <set>

#include "core/text.hpp"
#include "session/form_dictionary.hpp"
#include "session/merged_form.hpp"
#include "session/page_tree.hpp"
#include "session/session.hpp"
#include "session/session_internal.hpp"
#include "session/session_warnings.hpp"

namespace kivo {

using namespace pdfium;
using session_detail::documentClosed;

namespace {

EngineFailure duplicates() {
    return EngineFailure(FailureCode::invalidArgument, "Page list contains duplicates.");
}

bool hasDuplicates(const std::vector<std::string>& ids) {
    return std::set<std::string>(ids.begin(), ids.end()).size() != ids.size();
}

// The ids of the pages not in `listed`, in document order.
std::vector<std::string> idsNotListed(const std::vector<PageInfo>& pages,
                                      const std::vector<std::string>& listed) {
    const std::set<std::string> excluded(listed.begin(), listed.end());
    std::vector<std::string> ids;
    for (const PageInfo& page : pages) {
        if (excluded.count(page.id) == 0) ids.push_back(page.id);
    }
    return ids;
}

// A rebind opens the document afresh and repeats its document-level warnings. Sentences the
// session already showed stay once; anything the new document raises for the first time stays.
void dropRepeatedWarnings(std::vector<std::string>& warnings, size_t countBefore) {
    std::vector<std::string> kept(warnings.begin(),
                                  warnings.begin() + static_cast<std::ptrdiff_t>(countBefore));
    for (size_t i = countBefore; i < warnings.size(); ++i) {
        if (std::find(kept.begin(), kept.end(), warnings[i]) == kept.end()) kept.push_back(warnings[i]);
    }
    warnings = std::move(kept);
}

// Whether any page lists an annotation, read from the page tree without loading a page.
bool hasAnnotations(FPDF_DOCUMENT document, int pageCount) {
    for (int i = 0; i < pageCount; ++i) {
        if (EPDFPage_GetAnnotCountRaw(document, i) > 0) return true;
    }
    return false;
}

// The import leaves every /Parent behind, so the appended fields and popups travel under marks of
// this merge (see merged_form.hpp), read from a plain save of the appended document, which `source`
// then holds; nothing when it has nothing to carry.
std::optional<MergedForm::Prepared> markedForImport(
    Document& source, int pageCount, const std::function<std::set<std::string>()>& takenNames) {
    if (!hasAnnotations(source.get(), pageCount)) return std::nullopt;
    EPDF_RemoveEncryption(source.get());
    const DocumentBytes::Shared plain = DocumentBytes::writing(source.get());
    // A document of another session holds its form's flag under the name PDFium is given.
    const std::optional<std::string> shown = FormDictionary::withAppearancesShown(plain->data());
    std::optional<MergedForm::Prepared> prepared = MergedForm::prepare(
        shown ? std::span(reinterpret_cast<const uint8_t*>(shown->data()), shown->size()) : plain->data(),
        takenNames);
    if (!prepared) return std::nullopt;
    auto bytes = std::make_shared<const std::string>(std::move(prepared->bytes));
    source = Document::load(std::span(reinterpret_cast<const uint8_t*>(bytes->data()), bytes->size()), bytes,
                            nullptr, Document::Source::ModuleCopy);
    if (!source || FPDF_GetPageCount(source.get()) != pageCount) throw MergedForm::notCarried();
    return prepared;
}

}  // namespace

const std::vector<std::string>& Session::uniqueExisting(const std::vector<std::string>& pageIds) const {
    if (pageIds.empty())
        throw EngineFailure(FailureCode::invalidArgument, "A non-empty pageIds list is required.");
    if (hasDuplicates(pageIds)) throw duplicates();
    for (const std::string& id : pageIds) {
        const bool known =
            std::any_of(pages_.begin(), pages_.end(), [&](const PageInfo& p) { return p.id == id; });
        if (!known) throw EngineFailure(FailureCode::invalidPage, "Unknown page id.");
    }
    return pageIds;
}

void Session::reorder(const std::vector<std::string>& pageIds) {
    if (hasDuplicates(pageIds)) throw duplicates();
    std::map<std::string, const PageInfo*> byId;
    for (const PageInfo& page : pages_) byId.emplace(page.id, &page);
    const bool permutation = pageIds.size() == byId.size() &&
                             std::all_of(pageIds.begin(), pageIds.end(),
                                         [&](const std::string& id) { return byId.count(id) != 0; });
    if (!permutation) {
        throw EngineFailure(FailureCode::invalidArgument,
                            "organize_pages must list every page in the session exactly once.");
    }
    if (!document_) throw documentClosed();

    std::vector<int> indices;
    std::vector<PageInfo> reordered;
    indices.reserve(pageIds.size());
    reordered.reserve(pageIds.size());
    for (const std::string& id : pageIds) {
        const PageInfo& page = *byId.at(id);
        indices.push_back(static_cast<int>(page.index));
        reordered.push_back(page);
        reordered.back().index = static_cast<std::int64_t>(reordered.size() - 1);
    }
    // Moving the listed pages to the front, in list order, leaves the document in that order.
    if (!FPDF_MovePages(document_.get(), indices, 0)) {
        throw EngineFailure(FailureCode::organizeFailed, "The pages could not be moved.");
    }
    pages_ = std::move(reordered);
}

std::vector<std::string> Session::deletePages(const std::vector<std::string>& pageIds) {
    uniqueExisting(pageIds);
    std::vector<std::string> survivors = idsNotListed(pages_, pageIds);
    if (survivors.empty()) {
        throw EngineFailure(FailureCode::invalidArgument,
                            "Cannot delete every page. The editor refuses to export a zero-page document.");
    }
    removePagesInPlace(pageIds);
    return survivors;
}

void Session::removePagesInPlace(const std::vector<std::string>& pageIds) {
    clearFormFields(pageIds);

    const std::set<std::string> doomed(pageIds.begin(), pageIds.end());
    std::vector<int> removed;
    std::vector<PageInfo> survivors;
    for (const PageInfo& page : pages_) {
        if (doomed.count(page.id) != 0) {
            removed.push_back(static_cast<int>(page.index));
        } else {
            survivors.push_back(page);
        }
    }
    if (!document_) throw documentClosed();

    // Highest index first, so that no deletion shifts one still to come.
    std::sort(removed.begin(), removed.end(), std::greater<>());
    for (const int index : removed) FPDFPage_Delete(document_.get(), index);
    if (FPDF_GetPageCount(document_.get()) != static_cast<int>(survivors.size())) {
        throw EngineFailure(FailureCode::organizeFailed, "The pages could not be deleted.");
    }

    const size_t warningsBefore = warnings_.size();
    bind(DocumentBytes::writing(document_.get()), std::nullopt, std::move(survivors), false);
    dropRepeatedWarnings(warnings_, warningsBefore);
}

std::vector<std::string> Session::extractPagesInPlace(const std::vector<std::string>& pageIds) {
    uniqueExisting(pageIds);
    const std::vector<std::string> others = idsNotListed(pages_, pageIds);
    if (!others.empty()) removePagesInPlace(others);

    std::vector<std::string> order;
    for (const PageInfo& page : pages_) order.push_back(page.id);
    if (order != pageIds) reorder(pageIds);
    return pageIds;
}

std::unique_ptr<Session> Session::sequenceCopy(const std::vector<std::string>& sequence) const {
    if (!document_) throw documentClosed();
    if (sequence.size() > maxSequencePages) {
        throw EngineFailure(FailureCode::invalidArgument, longSequenceMessage);
    }
    std::map<std::string, int> indexOf;
    for (const PageInfo& page : pages_) indexOf.emplace(page.id, static_cast<int>(page.index));
    std::vector<int> sources;  // -1 for a blank page
    for (const std::string& id : sequence) {
        if (id.empty()) {
            sources.push_back(-1);
            continue;
        }
        const auto found = indexOf.find(id);
        if (found == indexOf.end()) throw EngineFailure(FailureCode::invalidPage, "Unknown page id.");
        sources.push_back(found->second);
    }
    const auto firstPage = std::find_if(sources.begin(), sources.end(), [](int index) { return index >= 0; });
    if (firstPage == sources.end())
        throw EngineFailure(FailureCode::invalidArgument, "The page list names no page.");
    const auto failed = [] {
        return EngineFailure(FailureCode::organizeFailed, "The pages could not be laid out.");
    };

    // The copy keeps what belongs to the document as a whole; its own pages make way for the
    // sequence, which is appended behind them from this session's document.
    std::unique_ptr<Session> copy = detachedCopy();
    const FPDF_DOCUMENT target = copy->document_.get();
    const int before = FPDF_GetPageCount(target);
    std::vector<int> run;
    const auto appendRun = [&] {
        if (run.empty()) return;
        if (!FPDF_ImportPagesByIndex(target, document_.get(), run, FPDF_GetPageCount(target))) throw failed();
        run.clear();
    };
    for (const int source : sources) {
        if (source >= 0) {
            run.push_back(source);
            continue;
        }
        appendRun();
        const int count = FPDF_GetPageCount(target);
        FS_SIZEF size;
        const bool measured = count > before ? FPDF_GetPageSizeByIndexF(target, count - 1, &size)
                                             : FPDF_GetPageSizeByIndexF(document_.get(), *firstPage, &size);
        if (!measured || !ScopedPage(FPDFPage_New(target, count, size.width, size.height))) throw failed();
    }
    appendRun();
    for (int index = before - 1; index >= 0; --index) FPDFPage_Delete(target, index);
    if (FPDF_GetPageCount(target) != static_cast<int>(sequence.size())) throw failed();

    std::vector<PageInfo> pages(sequence.size());
    for (std::size_t i = 0; i < pages.size(); ++i) {
        pages[i].id = newUUIDString();
        pages[i].index = static_cast<std::int64_t>(i);
    }
    copy->bind(DocumentBytes::writing(target), std::nullopt, std::move(pages), false);
    return copy;
}

std::vector<std::string> Session::merge(const DocumentBytes::Shared& other) {
    if (!document_) throw documentClosed();
    Document source =
        other ? Document::load(other->data(), other, nullptr, Document::Source::ModuleCopy) : Document();
    if (!source) throw EngineFailure(FailureCode::mergeFailed, "Could not read the PDF to merge.");
    const int count = FPDF_GetPageCount(source.get());
    if (count < 1) throw EngineFailure(FailureCode::mergeFailed, "The merged file has no pages.");

    const auto takenNames = [this] {
        std::set<std::string> names;
        for (const FormFieldInfo& field : form_.fieldsOrNone(*this))
            names.insert(field.name.substr(0, field.name.find('.')));
        return names;
    };
    const std::optional<MergedForm::Prepared> prepared = markedForImport(source, count, takenNames);

    const int before = FPDF_GetPageCount(document_.get());
    std::vector<int> indices(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) indices[static_cast<size_t>(i)] = i;
    if (!FPDF_ImportPagesByIndex(document_.get(), source.get(), indices, before) ||
        FPDF_GetPageCount(document_.get()) != before + count) {
        throw EngineFailure(FailureCode::mergeFailed, "Page import failed while merging.");
    }

    std::vector<PageInfo> pages = pages_;
    std::vector<std::string> added;
    for (int i = 0; i < count; ++i) {
        PageInfo page;
        page.id = newUUIDString();
        page.index = before + i;
        pages.push_back(page);
        added.push_back(page.id);
    }
    DocumentBytes::Shared merged = DocumentBytes::writing(document_.get());
    if (prepared) merged = DocumentBytes::copied(MergedForm::join(merged->data(), prepared->carried));
    const size_t warningsBefore = warnings_.size();
    bind(std::move(merged), std::nullopt, std::move(pages), false);
    dropRepeatedWarnings(warnings_, warningsBefore);

    // Renamed fields no longer share their names: saying they do would send the person looking for
    // a clash that is gone, so the sentence says what was done instead.
    if (prepared && !prepared->carried.renamed.empty()) {
        warnings_.push_back(MergedForm::renamedSentence(prepared->carried.renamed));
        return added;
    }
    const std::vector<FormFieldInfo> fields = form_.fieldsOrNone(*this);
    std::set<std::string> names;
    const bool shared = std::any_of(fields.begin(), fields.end(), [&](const FormFieldInfo& field) {
        return !names.insert(field.name).second;
    });
    if (shared) warnings_.push_back(SessionWarnings::sharedFieldNames);
    return added;
}

int Session::nextRotation(int current, std::int64_t requested) {
    if (requested >= 0 && requested <= 3) return static_cast<int>(requested);
    if (requested == 90 || requested == 180 || requested == 270) {
        return static_cast<int>((current + requested / 90) % 4);
    }
    if (requested == -90 || requested == -180 || requested == -270) {
        return static_cast<int>((current - (-requested) / 90 + 4) % 4);
    }
    throw EngineFailure(FailureCode::invalidArgument, "rotation must be 0-3 or ±90/180/270.");
}

// The turn is read back, because PDFium leaves a page it does not take for a page object unturned
// without a word, and the edit would then be acknowledged with nothing changed.
void Session::turnPage(std::string_view pageId, std::int64_t requested) {
    const int index = static_cast<int>(pageEntry(pageId).index);
    ownPageObject(index);
    const OpenPage page = loadPage(pageId);
    const int next =
        nextRotation(std::clamp(EPDF_GetPageRotationByIndex(document_.get(), index), 0, 3), requested);
    FPDFPage_SetRotation(page.get(), next);
    if (EPDF_GetPageRotationByIndex(document_.get(), index) != next) {
        throw EngineFailure(FailureCode::unsupported,
                            "Page " + std::to_string(index + 1) +
                                " is not marked as a page in this file, so Kivo PDF "
                                "cannot turn it. Nothing changed.");
    }
}

// A turn is written into the page object, so a page whose object the tree lists at other places
// too would turn every one of them; other readers take each place for a page of its own, and so it
// gets an object of its own first.
void Session::ownPageObject(int index) {
    if (sharedPageObjects_ == false) return;
    const int count = FPDF_GetPageCount(document_.get());
    std::vector<int> objects(static_cast<size_t>(std::max(count, 0)));
    for (int i = 0; i < count; ++i)
        objects[static_cast<size_t>(i)] = EPDFDoc_GetPageObjectNumberByIndex(document_.get(), i);
    const auto sharing = [&](int at) {
        const int object = objects[static_cast<size_t>(at)];
        return object != 0 && std::count(objects.begin(), objects.end(), object) > 1;
    };
    if (!sharedPageObjects_) {
        std::vector<int> sorted = objects;
        std::erase(sorted, 0);
        std::sort(sorted.begin(), sorted.end());
        sharedPageObjects_ = std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end();
        if (!*sharedPageObjects_) return;
    }
    if (index < 0 || index >= count || !sharing(index)) return;
    const auto refused = [&] {
        return EngineFailure(FailureCode::unsupported,
                             "Page " + std::to_string(index + 1) +
                                 " is one page object this file lists at several places, and Kivo PDF could "
                                 "not give it one of its own, so it was not turned. Nothing changed.");
    };
    const DocumentBytes::Shared written = DocumentBytes::writing(document_.get());
    // The update names every object by generation 0.
    if (!written->layers().onlyGenerationZero) throw refused();
    const std::optional<std::string> own = PageTree::withOwnPageObject(written->data(), objects, index);
    if (!own) throw refused();
    rebind(DocumentBytes::copied(*own), pages_);
    // The other pages keep their objects and this one has a new one, or the edit goes back whole.
    for (int i = 0; i < count; ++i) {
        const int now = EPDFDoc_GetPageObjectNumberByIndex(document_.get(), i);
        const bool kept = i == index ? now != 0 && std::count(objects.begin(), objects.end(), now) == 0
                                     : now == objects[static_cast<size_t>(i)];
        if (!kept) throw refused();
    }
}

}  // namespace kivo
