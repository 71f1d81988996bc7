// Printing: the worker exports the document as it holds it, unsaved changes included, to a
// temporary copy; the print service shows the dialog and hands the copy to the printer, or to the
// file chosen, holding the pages of the range chosen as many times as the copies chosen (a file
// has no printer to make copies or print on both sides). The worker exports into the editor's
// private render folder, which the confined worker may write as well, so the editor trusts nothing
// there: it opens the export once, checked, copies it through that descriptor into a print folder
// the worker is granted nothing in, removes the export, and the dialog, the file and the printer get
// only that copy. A copy holds the document, so both are owner-only and deleted on every way out:
// printed, cancelled, failed, or the editor quitting meanwhile.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <sstream>
#include <string_view>
#include <system_error>

#include "core/descriptor.hpp"
#include "core/file_creation.hpp"
#include "core/ipc_paths.hpp"
#include "core/worker_limits.hpp"
#include "core/safe_files.hpp"
#include "core/text.hpp"
#include "workspace/page_renders.hpp"
#include "workspace/workspace.hpp"
#include "workspace/workspace_private.hpp"

namespace kivo {
namespace {

// An empty owner-only file for the worker to replace: an existing file of the user keeps its mode
// through the export, whatever the umask says. Nothing without a private folder.
std::optional<std::filesystem::path> makeExportFile() {
    const auto folder = PageRenders::folder();
    if (!folder) return std::nullopt;
    const std::filesystem::path copy = *folder / ("kivo-print-" + newUUIDString() + ".pdf");
    const Descriptor made(::open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    return made ? std::optional(copy) : std::nullopt;
}

// "print" in the support folder, owner-only: the worker's confinement walls the support folder off
// and grants it only its own folders there. Nothing when no private folder of this user stands there.
std::optional<std::filesystem::path> printFolder() {
    const std::filesystem::path folder = IPCPaths::supportDirectory() / "print";
    try {
        FileCreation::makePrivateFolder(folder);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    struct stat status {};
    if (::lstat(folder.c_str(), &status) != 0 || !SafeFiles::isPrivateFolder(status)) return std::nullopt;
    return folder;
}

// Copies the first `size` bytes of `from`, by offset, to `to`; false when either side fails or
// `from` ends early.
bool copyWhole(int from, int to, std::int64_t size) {
    std::array<char, 1 << 16> buffer{};
    for (std::int64_t done = 0; done < size;) {
        const auto want = static_cast<std::size_t>(std::min<std::int64_t>(size - done, buffer.size()));
        const ssize_t got = ::pread(from, buffer.data(), want, static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        for (ssize_t written = 0; written < got;) {
            const ssize_t n = ::write(to, buffer.data() + written, static_cast<std::size_t>(got - written));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            written += n;
        }
        done += got;
    }
    return true;
}

// The worker's export, opened once as a file the worker could have made on its own (see
// SafeFiles::openUntrusted, at most PrintJob::maxBytes) and copied through that descriptor into a
// new owner-only file of the print folder, as long as it was when opened. Nothing when the export
// is refused or the copy cannot be made whole.
std::optional<std::filesystem::path> keepPrivately(const std::filesystem::path& exported) {
    const auto folder = printFolder();
    if (!folder) return std::nullopt;
    const SafeFiles::ReadableFile from = SafeFiles::openUntrusted(exported, PrintJob::maxBytes);
    if (!from.fd) return std::nullopt;
    const std::filesystem::path copy = *folder / ("kivo-print-" + newUUIDString() + ".pdf");
    const Descriptor to(::open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!to) return std::nullopt;
    if (!copyWhole(from.fd.get(), to.get(), from.size) || ::fsync(to.get()) != 0) {
        ::unlink(copy.c_str());
        return std::nullopt;
    }
    return copy;
}

// What a printer makes of `copies` copies of `pages`, page by page: collated copies one after
// another, else each page (on both sides, each sheet) as often as there are copies. On both sides
// a copy or sheet of an odd number of pages gets a blank back (an empty id), so that each starts on
// the front of a sheet; nothing blank follows the last page. Nothing when that makes more than
// the worker takes, which is known before a single page is listed.
std::optional<std::vector<std::string>> printedPages(const std::vector<std::string>& pages, int copies,
                                                     bool collate, bool twoSided) {
    std::vector<std::vector<std::string>> units;
    const std::size_t perUnit = collate ? std::max<std::size_t>(pages.size(), 1) : twoSided ? 2 : 1;
    for (std::size_t first = 0; first < pages.size(); first += perUnit) {
        const auto from = pages.begin() + static_cast<std::ptrdiff_t>(first);
        units.emplace_back(from, from + static_cast<std::ptrdiff_t>(std::min(perUnit, pages.size() - first)));
    }
    std::uint64_t count = 0;
    for (const std::vector<std::string>& unit : units) {
        count +=
            static_cast<std::uint64_t>(copies) * (unit.size() + (twoSided && unit.size() % 2 != 0 ? 1 : 0));
    }
    if (!units.empty() && twoSided && units.back().size() % 2 != 0) --count;  // no blank after the last page
    if (count > maxSequencePages) return std::nullopt;
    std::vector<std::string> printed;
    printed.reserve(static_cast<std::size_t>(count) + 1);
    for (const std::vector<std::string>& unit : units) {
        for (int copy = 0; copy < copies; ++copy) {
            printed.insert(printed.end(), unit.begin(), unit.end());
            if (twoSided && unit.size() % 2 != 0) printed.emplace_back();
        }
    }
    if (!printed.empty() && printed.back().empty()) printed.pop_back();
    return printed;
}

// The worker's sentence for a list too long, as a reason after "Could not print: ".
std::string tooManyPages() {
    std::string reason = longSequenceMessage;
    reason.front() = static_cast<char>(std::tolower(static_cast<unsigned char>(reason.front())));
    reason.pop_back();
    return reason;
}

}  // namespace

void Workspace::printDocument() {
    if (!sessionId()) return;
    const auto copy = makeExportFile();
    if (!copy) {
        setErrorMessage(
            "Could not print: there is no private folder for the print copy. Nothing was printed.");
        return;
    }
    d_->printCopies_.insert(copy->string());
    CommandParams params;
    params.sessionId = sessionId();
    params.destination = copy->string();
    CommandRequest request = makeRequest(CommandMethod::exportDocument, std::move(params));
    request.expectedRevision = inspect() ? inspect()->revision : std::nullopt;
    const auto onSuccess = [this, copy = *copy](const CommandResult&) {
        PrintJob job;
        job.path = takePrintCopy(copy);
        const std::optional<std::filesystem::path> source =
            inspect() && inspect()->sourcePath ? std::optional<std::filesystem::path>(*inspect()->sourcePath)
                                               : std::nullopt;
        job.title = source ? source->filename().string() : "Untitled.pdf";
        if (source) job.folder = source->parent_path();
        if (inspect()) {
            job.pageCount =
                inspect()->pageCount.value_or(inspect()->pages ? std::ssize(*inspect()->pages) : 0);
        }
        if (!job.take()) return finishPrint(job, PrintOutcome::failed("the exported copy could not be read"));
        const std::optional<PrintChoice> choice = d_->services_.printer->choose(job);
        if (!choice) return finishPrint(job, PrintOutcome::cancelled());
        const std::optional<std::vector<std::string>> pages =
            choice->outputFile.empty() ? std::vector<std::string>{} : pagesForFile(*choice);
        if (!pages) return finishPrint(job, PrintOutcome::failed(tooManyPages()));
        if (pages->empty()) return finishPrint(job, d_->services_.printer->output(job, *choice));
        printPages(job, *choice, *pages);
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
    d_->printCopies_.erase(copy.string());
}

std::filesystem::path Workspace::takePrintCopy(const std::filesystem::path& exported) {
    const std::optional<std::filesystem::path> kept = keepPrivately(exported);
    discardPrintCopy(exported);
    if (!kept) return exported;
    d_->printCopies_.insert(kept->string());
    return *kept;
}

void Workspace::discardPrintCopies() {
    while (!d_->printCopies_.empty()) discardPrintCopy(*d_->printCopies_.begin());
}

// A printer takes the range, the copies and the sides as options of the job; a file gets the
// pages they make, which the worker lays out from the document into a second copy.
void Workspace::printPages(PrintJob job, PrintChoice choice, const std::vector<std::string>& pages) {
    discardPrintCopy(job.path);
    job.file.reset();
    job.size = 0;
    const auto copy = makeExportFile();
    if (!copy) {
        setErrorMessage(
            "Could not print: there is no private folder for the print copy. Nothing was printed.");
        return;
    }
    d_->printCopies_.insert(copy->string());
    job.path = *copy;
    choice.pageRanges.clear();
    choice.copies = 1;
    choice.sides = PrintChoice::Sides::oneSided;
    choice.reverse = false;
    CommandParams params;
    params.sessionId = sessionId();
    params.pageIds = pages;
    params.destination = job.path.string();
    CommandRequest request = makeRequest(CommandMethod::extractPages, std::move(params));
    request.expectedRevision = inspect() ? inspect()->revision : std::nullopt;
    send(
        std::move(request), std::nullopt, true,
        [this, job, choice](const CommandResult&) {
            PrintJob taken = job;
            taken.path = takePrintCopy(job.path);
            finishPrint(taken, taken.take() ? d_->services_.printer->output(taken, choice)
                                            : PrintOutcome::failed("the exported copy could not be read"));
        },
        [this, job](const std::string&, const std::string& message) {
            discardPrintCopy(job.path);
            setErrorMessage(message);
        },
        [this, job] { discardPrintCopy(job.path); });
}

void Workspace::finishPrint(const PrintJob& job, const PrintOutcome& outcome) {
    discardPrintCopy(job.path);
    if (outcome.kind == PrintOutcome::Kind::failed) {
        setErrorMessage("Could not print: " + outcome.reason + ". Nothing was printed.");
    }
}

std::optional<std::vector<std::string>> Workspace::pagesForFile(const PrintChoice& choice) const {
    std::vector<std::string> all;
    if (inspect() && inspect()->pages) {
        for (const PageInfo& page : *inspect()->pages) all.push_back(page.id);
    }
    std::vector<std::string> chosen = choice.pageRanges.empty() ? all : pagesInRanges(choice.pageRanges);
    // A range naming no page of the document leaves the whole document.
    if (chosen.empty()) chosen = all;
    // Last page first, as a printer asked for that order puts them out: every copy in that order.
    if (choice.reverse) std::reverse(chosen.begin(), chosen.end());
    const bool twoSided =
        choice.sides == PrintChoice::Sides::longEdge || choice.sides == PrintChoice::Sides::shortEdge;
    std::optional<std::vector<std::string>> pages =
        printedPages(chosen, std::max(choice.copies, 1), choice.collate, twoSided);
    if (pages && *pages == all) pages->clear();
    return pages;
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
        for (std::int64_t page = std::max<std::int64_t>(first, 1); page <= last && page <= std::ssize(pages);
             ++page) {
            const std::string& id = pages[static_cast<std::size_t>(page - 1)].id;
            // The worker takes each page once.
            if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
        }
    }
    return ids;
}

}  // namespace kivo
