// Faults of the PDF engine. PDFium runs isolated in the module's instance, so a fault in it (a trap)
// reaches nothing outside that instance, but it leaves the instance and every document open in it
// unusable. Each document keeps its own bytes, history and census outside the instance, so the
// engine throws the instance away, starts a fresh one and opens every document in it again: a fault
// costs only the document whose command met it.

#include <filesystem>

#include "engine/document_engine.hpp"
#include "engine/method_kinds.hpp"
#include "pdfium/module.hpp"
#include "session/pdfium_runtime.hpp"
#include "session/running_command.hpp"
#include "session/session.hpp"

namespace kivo {
namespace {

const char* const faultedHere =
    "The PDF engine stopped on an internal fault while working on this document. Kivo PDF started it "
    "again for the other open documents; close this one and open it again. The file on disk was not "
    "changed.";
const char* const faultedBefore =
    "This document stopped the PDF engine on an internal fault, so Kivo PDF works on it no further. "
    "Close it and open it again; the file on disk was not changed.";
const char* const notReopened =
    "The PDF engine stopped on an internal fault while working on another document, and this one could "
    "not be opened again in its place. Close it and open it again; the file on disk was not changed.";
const char* const notRenewed =
    "Kivo PDF could not open this document again when it renewed the PDF engine. Close it and open it again; "
    "the file on disk was not changed.";
const char* const faultedCommand =
    "The PDF engine stopped on an internal fault while working on this command, so nothing came of it. "
    "Kivo PDF started it again; the open documents are not affected.";

std::string fileName(const std::string& path) {
    const std::string name = std::filesystem::path(path).filename().string();
    return name.empty() ? std::string("this document") : name;
}

}  // namespace

bool DocumentEngine::loadsNamedPage(CommandMethod method) noexcept {
    switch (method) {
        case CommandMethod::renderPage:
        case CommandMethod::extractText:
        case CommandMethod::addHighlight:
        case CommandMethod::addNote:
        case CommandMethod::addInk:
        case CommandMethod::addContent: return true;
        // A question or a search names the page shown only as where the person is: it may read every
        // page, and what stops it there says nothing of that one.
        default: return false;
    }
}

void DocumentEngine::refuseStoppedPage(const CommandRequest& request) const {
    // An edit of the page would stop as its read did.
    if (!loadsNamedPage(request.method) || !request.params.sessionId || !request.params.pageId) return;
    const auto found = stoppedPages_.find({*request.params.sessionId, *request.params.pageId});
    if (found != stoppedPages_.end()) throw EngineFailure(FailureCode::resourceLimit, found->second);
}

std::string DocumentEngine::stoppedSentence(const CommandRequest& request) const {
    const CommandParams& params = request.params;
    std::string document = params.path ? fileName(*params.path) : std::string("this document");
    std::string page;
    if (params.sessionId) {
        if (const auto found = sessions_.find(*params.sessionId); found != sessions_.end()) {
            if (const auto& source = found->second->sourcePath()) document = fileName(*source);
            const auto& pages = found->second->pages();
            for (std::size_t i = 0; params.pageId && i < pages.size(); ++i) {
                if (pages[i].id == *params.pageId) page = "page " + std::to_string(i + 1) + " of ";
            }
        }
    }
    std::string doing = "working on " + page + document;
    switch (request.method) {
        case CommandMethod::open: doing = "opening " + document; break;
        case CommandMethod::renderPage:
        case CommandMethod::extractText:
        case CommandMethod::search:
        case CommandMethod::inspect:
        case CommandMethod::listAnnotations:
        case CommandMethod::ask:
        case CommandMethod::assistantContext: doing = "reading " + page + document; break;
        case CommandMethod::saveDocument:
        case CommandMethod::exportDocument:
        case CommandMethod::extractPages: doing = "saving " + document; break;
        default:
            if (isEditMethod(request.method)) doing = "changing " + page + document;
            break;
    }
    return "Kivo PDF stopped " + doing + " because it took too long. Nothing changed.";
}

CommandResponse DocumentEngine::answerAfterFault(const CommandRequest& request, CommandResponse response) {
    const std::optional<std::string>& id = request.params.sessionId;
    // Stopped from outside, for its time or by a cancel: nothing is wrong with the document, which is
    // opened again in the fresh engine with the others, its edits and history as they were.
    if (const auto why = pdfium::module::takeInterrupted(); why != pdfium::module::Interrupt::none) {
        EngineProgress::shared().mark(true);
        replaceEngine(notReopened);
        if (response.ok) return response;
        if (why == pdfium::module::Interrupt::cancel)
            return CommandResponse::failure(request.id, FailureCode::cancelled, cancelledFailure().message);
        const std::string sentence = stoppedSentence(request);
        if (id && request.params.pageId && loadsNamedPage(request.method)) {
            std::string again = sentence;
            again.insert(again.find(" because it took too long") + 25,
                         ", and does not try again until the document is opened again");
            stoppedPages_.insert_or_assign({*id, *request.params.pageId}, std::move(again));
        }
        return CommandResponse::failure(request.id, FailureCode::resourceLimit, sentence);
    }
    const bool ownDocument = id && sessions_.contains(*id) && !setAside_.contains(*id);
    if (ownDocument) setAside(*id, faultedBefore);
    replaceEngine(notReopened);
    // What was done before the fault stands (a close, say); anything else is the fault's.
    if (response.ok) return response;
    const std::string sentence = engineLost_   ? pdfium::module::trapFailure().message
                                 : ownDocument ? faultedHere
                                               : faultedCommand;
    return CommandResponse::failure(request.id, FailureCode::internal, sentence);
}

void DocumentEngine::setAside(const std::string& sessionId, std::string sentence) {
    setAside_.insert_or_assign(sessionId, std::move(sentence));
    // Its document lived in the instance thrown away; nothing of it is handed to the fresh one.
    if (const auto found = sessions_.find(sessionId); found != sessions_.end())
        found->second->teardownDocument();
}

void DocumentEngine::renewEngine() { replaceEngine(notRenewed); }

void DocumentEngine::replaceEngine(const char* notReopenedSentence) {
    if (engineLost_) return;
    // Neither a cancel nor the memory limit may leave documents half opened again.
    RunningCommand::Uninterruptible section;
    // Each round that ends early sets one more document aside, so this ends.
    for (;;) {
        if (!PdfiumRuntime::restart()) {
            engineLost_ = true;
            return;
        }
        bool faultedAgain = false;
        for (const auto& [id, session] : sessions_) {
            if (setAside_.contains(id)) continue;
            // Each document opened again is progress: many of them take a while, and the watchdog
            // must not take that for a stall.
            EngineProgress::shared().mark(true);
            try {
                session->reopenInFreshEngine();
            } catch (const std::exception&) {
                setAside(id, notReopenedSentence);
                faultedAgain = !pdfium::module::usable();
                if (faultedAgain) break;
            }
        }
        if (!faultedAgain) return;
    }
}

}  // namespace kivo
