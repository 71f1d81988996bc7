// Printing: the worker exports the document as it holds it, unsaved changes included, to a
// temporary copy; the print service shows the dialog and hands the copy to the printer. The copy
// holds the whole document, so it lives in the editor's private render folder, owner-only, and
// is deleted on every way out: printed, cancelled, failed, or the editor quitting meanwhile.

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <string_view>
#include <system_error>

#include "core/descriptor.hpp"
#include "core/safe_files.hpp"
#include "core/text.hpp"
#include "workspace/page_renders.hpp"
#include "workspace/workspace.hpp"

namespace kivo {
namespace {

// A file the worker wrote as a PDF starts like one; anything else is not worth a print dialog.
bool looksLikePdf(const std::filesystem::path& path) {
    const SafeFiles::ReadableFile file = SafeFiles::openForReading(path);
    std::array<char, 5> head{};
    return file.fd && file.isRegular && ::read(file.fd.get(), head.data(), head.size()) == 5 &&
           std::string_view(head.data(), head.size()) == "%PDF-";
}

// An empty owner-only file for the worker to replace: an existing file of the user keeps its mode
// through the export, whatever the umask says. Nothing without a private folder.
std::optional<std::filesystem::path> makePrintCopy() {
    const auto folder = PageRenders::folder();
    if (!folder) return std::nullopt;
    const std::filesystem::path copy = *folder / ("kivo-print-" + newUUIDString() + ".pdf");
    const Descriptor made(::open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    return made ? std::optional(copy) : std::nullopt;
}

}  // namespace

void Workspace::printDocument() {
    if (!sessionId()) return;
    const auto copy = makePrintCopy();
    if (!copy) {
        setErrorMessage("Could not print: there is no private folder for the print copy. Nothing was printed.");
        return;
    }
    printCopies_.insert(copy->string());
    CommandParams params;
    params.sessionId = sessionId();
    params.destination = copy->string();
    CommandRequest request = makeRequest(CommandMethod::exportDocument, std::move(params));
    request.expectedRevision = inspect() ? inspect()->revision : std::nullopt;
    const auto onSuccess = [this, copy = *copy](const CommandResult&) {
        PrintJob job;
        job.path = copy;
        job.title = inspect() && inspect()->sourcePath
                        ? std::filesystem::path(*inspect()->sourcePath).filename().string()
                        : "Untitled.pdf";
        if (inspect()) {
            job.pageCount = inspect()->pageCount.value_or(inspect()->pages ? std::ssize(*inspect()->pages) : 0);
        }
        const PrintOutcome outcome = looksLikePdf(copy) ? services_.printer->print(job)
                                                        : PrintOutcome::failed("the exported copy could not be read");
        discardPrintCopy(copy);
        if (outcome.kind == PrintOutcome::Kind::failed) {
            setErrorMessage("Could not print: " + outcome.reason + ". Nothing was printed.");
        }
    };
    const auto onFailure = [this, copy = *copy](const std::string&, const std::string& message) {
        discardPrintCopy(copy);
        setErrorMessage(message);
    };
    send(std::move(request), std::nullopt, true, onSuccess, onFailure,
         [this, copy = *copy] { discardPrintCopy(copy); });
}

void Workspace::discardPrintCopy(const std::filesystem::path& copy) {
    ::unlink(copy.c_str());
    // A worker stopped in the middle of the export leaves its hidden file beside the copy.
    SafeFiles::removeSiblings(copy);
    printCopies_.erase(copy.string());
}

void Workspace::discardPrintCopies() {
    while (!printCopies_.empty()) discardPrintCopy(*printCopies_.begin());
}

}  // namespace kivo
