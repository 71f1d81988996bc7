// Printing: the worker exports the document as it holds it, unsaved changes included, to a
// temporary copy; the print service shows the dialog and hands the copy to the printer, or to the
// file chosen, holding only the pages of the range chosen. The copy is deleted once the system has
// taken it.

#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <sstream>
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
    const std::filesystem::path copy = printCopyPath();
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
        if (!looksLikePdf(copy)) return finishPrint(job, PrintOutcome::failed("the exported copy could not be read"));
        const std::optional<PrintChoice> choice = services_.printer->choose(job);
        if (!choice) return finishPrint(job, PrintOutcome::cancelled());
        const std::vector<std::string> pages =
            choice->outputFile.empty() ? std::vector<std::string>{} : pagesInRanges(choice->pageRanges);
        if (pages.empty()) return finishPrint(job, services_.printer->output(job, *choice));
        printPages(job, *choice, pages);
    });
}

// A printer takes the range as an option of the job; a file gets only the chosen pages, which the
// worker cuts from the document into a second copy.
void Workspace::printPages(PrintJob job, PrintChoice choice, const std::vector<std::string>& pages) {
    std::error_code ignored;
    std::filesystem::remove(job.path, ignored);
    job.path = printCopyPath();
    choice.pageRanges.clear();
    CommandParams params;
    params.sessionId = sessionId();
    params.pageIds = pages;
    params.destination = job.path.string();
    CommandRequest request = makeRequest(CommandMethod::extractPages, std::move(params));
    request.expectedRevision = inspect() ? inspect()->revision : std::nullopt;
    send(
        std::move(request), std::nullopt, true,
        [this, job, choice](const CommandResult&) {
            finishPrint(job, looksLikePdf(job.path) ? services_.printer->output(job, choice)
                                                    : PrintOutcome::failed("the exported copy could not be read"));
        },
        [this, job](const std::string&, const std::string& message) {
            std::error_code ignored;
            std::filesystem::remove(job.path, ignored);
            setErrorMessage(message);
        });
}

void Workspace::finishPrint(const PrintJob& job, const PrintOutcome& outcome) {
    std::error_code ignored;
    std::filesystem::remove(job.path, ignored);
    if (outcome.kind == PrintOutcome::Kind::failed) {
        setErrorMessage("Could not print: " + outcome.reason + ". Nothing was printed.");
    }
}

std::filesystem::path Workspace::printCopyPath() {
    std::error_code error;
    std::filesystem::path folder = std::filesystem::temp_directory_path(error);
    if (error) folder = "/tmp";
    return folder / ("kivo-print-" + newUUIDString() + ".pdf");
}

std::vector<std::string> Workspace::pagesInRanges(const std::string& ranges) const {
    std::vector<std::string> ids;
    if (!inspect() || !inspect()->pages) return ids;
    const std::vector<PageInfo>& pages = *inspect()->pages;
    std::stringstream parts(ranges);
    for (std::string part; std::getline(parts, part, ',');) {
        const auto dash = part.find('-');
        const auto number = [](std::string_view text) {
            std::int64_t value = 0;
            const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
            return error == std::errc() && end == text.data() + text.size() ? value : 0;
        };
        const std::string_view whole(part);
        const std::int64_t first = number(whole.substr(0, dash));
        const std::int64_t last = dash == std::string::npos ? first : number(whole.substr(dash + 1));
        for (std::int64_t page = std::max<std::int64_t>(first, 1); page <= last && page <= std::ssize(pages); ++page) {
            const std::string& id = pages[static_cast<std::size_t>(page - 1)].id;
            // The worker takes each page once.
            if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
        }
    }
    return ids;
}

}  // namespace kivo
