// Printing: the worker exports the document as it holds it, unsaved changes included, to a
// temporary copy; the print service shows the dialog and hands the copy to the printer. The copy
// is deleted once the system has taken it.

#include <unistd.h>

#include <array>
#include <string_view>
#include <system_error>

#include "core/safe_files.hpp"
#include "core/text.hpp"
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

}  // namespace

void Workspace::printDocument() {
    if (!sessionId()) return;
    std::error_code error;
    std::filesystem::path folder = std::filesystem::temp_directory_path(error);
    if (error) folder = "/tmp";
    const std::filesystem::path copy = folder / ("kivo-print-" + newUUIDString() + ".pdf");
    CommandParams params;
    params.sessionId = sessionId();
    params.destination = copy.string();
    CommandRequest request = makeRequest(CommandMethod::exportDocument, std::move(params));
    request.expectedRevision = inspect() ? inspect()->revision : std::nullopt;
    send(std::move(request), std::nullopt, true, [this, copy](const CommandResult&) {
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
        std::error_code ignored;
        std::filesystem::remove(copy, ignored);
        if (outcome.kind == PrintOutcome::Kind::failed) {
            setErrorMessage("Could not print: " + outcome.reason + ". Nothing was printed.");
        }
    });
}

}  // namespace kivo
