#include "app/print/cups_printing.hpp"

#include <cups/cups.h>
#include <unistd.h>

#include <functional>
#include <system_error>
#include <cerrno>
#include <cstring>
#include <memory>

#include "core/safe_files.hpp"

namespace kivo::CupsPrinting {
namespace {

// CUPS's option array, freed on every way out.
class CupsOptions {
public:
    CupsOptions() = default;
    ~CupsOptions() { cupsFreeOptions(count_, options_); }
    CupsOptions(const CupsOptions&) = delete;
    CupsOptions& operator=(const CupsOptions&) = delete;

    void add(const char* name, const char* value) { count_ = cupsAddOption(name, value, count_, &options_); }

    int count() const { return count_; }
    cups_option_t* get() const { return options_; }

private:
    int count_ = 0;
    cups_option_t* options_ = nullptr;
};

struct DestFree {
    void operator()(cups_dest_t* dest) const { cupsFreeDests(1, dest); }
};

// The scheduler's words as a phrase for "Could not print: …".
std::string lastReason() {
    std::string reason = cupsLastErrorString() ? cupsLastErrorString() : "";
    while (!reason.empty() && (reason.back() == '.' || reason.back() == ' ')) reason.pop_back();
    return reason.empty() ? "the print system refused the job" : reason;
}

const char* sidesValue(PrintChoice::Sides sides) {
    switch (sides) {
        case PrintChoice::Sides::oneSided: return "one-sided";
        case PrintChoice::Sides::longEdge: return "two-sided-long-edge";
        case PrintChoice::Sides::shortEdge: return "two-sided-short-edge";
        case PrintChoice::Sides::printerDefault: return nullptr;
    }
    return nullptr;
}

// The job's bytes, with a failed read as a reason for the user.
void readPdf(const PrintJob& job, const std::function<void(const char*, std::size_t)>& take) {
    try {
        job.read(take);
    } catch (const std::system_error& error) {
        throw PrintFailure(error.what());
    }
}

}  // namespace

Options options(const PrintChoice& choice) {
    Options result = {{"fit-to-page", "true"}};
    if (choice.copies > 1) {
        result.emplace_back("copies", std::to_string(choice.copies));
        result.emplace_back("collate", choice.collate ? "true" : "false");
    }
    if (!choice.pageRanges.empty()) result.emplace_back("page-ranges", choice.pageRanges);
    if (const char* sides = sidesValue(choice.sides)) result.emplace_back("sides", sides);
    if (choice.reverse) result.emplace_back("outputorder", "reverse");
    return result;
}

int submit(const PrintJob& job, const PrintChoice& choice) {
    std::string name = choice.printer;
    std::string instance;
    if (const auto slash = name.find('/'); slash != std::string::npos) {
        instance = name.substr(slash + 1);
        name.resize(slash);
    }
    // The named destination, or the default one; its instance's saved options come first.
    const std::unique_ptr<cups_dest_t, DestFree> dest(
        cupsGetNamedDest(CUPS_HTTP_DEFAULT, name.empty() ? nullptr : name.c_str(),
                         instance.empty() ? nullptr : instance.c_str()));
    if (!dest && name.empty()) throw PrintFailure("no printer is set up");
    CupsOptions jobOptions;
    for (int i = 0; dest && i < dest->num_options; ++i)
        jobOptions.add(dest->options[i].name, dest->options[i].value);
    for (const auto& [option, value] : options(choice)) jobOptions.add(option.c_str(), value.c_str());
    const char* printer = dest ? dest->name : name.c_str();
    // The scheduler gets the bytes from the descriptor the editor checked, never a path to open.
    const int id =
        cupsCreateJob(CUPS_HTTP_DEFAULT, printer, job.title.c_str(), jobOptions.count(), jobOptions.get());
    if (id == 0) throw PrintFailure(lastReason());
    try {
        if (cupsStartDocument(CUPS_HTTP_DEFAULT, printer, id, job.title.c_str(), CUPS_FORMAT_PDF, 1) !=
            HTTP_STATUS_CONTINUE) {
            throw PrintFailure(lastReason());
        }
        readPdf(job, [](const char* bytes, std::size_t count) {
            if (cupsWriteRequestData(CUPS_HTTP_DEFAULT, bytes, count) != HTTP_STATUS_CONTINUE) {
                throw PrintFailure(lastReason());
            }
        });
        if (cupsFinishDocument(CUPS_HTTP_DEFAULT, printer) != IPP_STATUS_OK) throw PrintFailure(lastReason());
    } catch (const PrintFailure&) {
        cupsCancelJob2(CUPS_HTTP_DEFAULT, printer, id, 0);
        throw;
    }
    return id;
}

void copyToFile(const PrintJob& job, const std::filesystem::path& destination) {
    const auto unwritable = [&](int error) {
        return PrintFailure("the PDF could not be written to " + destination.string() + ": " +
                            std::strerror(error));
    };
    SafeFiles::ReplaceOptions options;
    options.createFolders = false;
    try {
        // The old file stays until the copy is whole.
        SafeFiles::replaceFile(
            destination,
            [&](int target) {
                readPdf(job, [&](const char* bytes, std::size_t count) {
                    for (std::size_t done = 0; done < count;) {
                        const ssize_t put = ::write(target, bytes + done, count - done);
                        if (put < 0 && errno == EINTR) continue;
                        if (put < 0) throw unwritable(errno);
                        done += static_cast<std::size_t>(put);
                    }
                });
            },
            options);
    } catch (const SafeFiles::WriteRefused& refused) {
        std::string sentence = refused.what();
        if (sentence.ends_with('.')) sentence.pop_back();
        throw PrintFailure(sentence);
    } catch (const std::filesystem::filesystem_error& error) {
        throw unwritable(error.code().value());
    }
}

}  // namespace kivo::CupsPrinting
