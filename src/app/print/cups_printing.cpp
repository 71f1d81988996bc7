#include "app/print/cups_printing.hpp"

#include <cups/cups.h>
#include <unistd.h>

#include <array>
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

}  // namespace

Options options(const PrintChoice& choice) {
    Options result = {{"fit-to-page", "true"}};
    if (choice.copies > 1) {
        result.emplace_back("copies", std::to_string(choice.copies));
        result.emplace_back("collate", choice.collate ? "true" : "false");
    }
    if (!choice.pageRanges.empty()) result.emplace_back("page-ranges", choice.pageRanges);
    if (const char* sides = sidesValue(choice.sides)) result.emplace_back("sides", sides);
    return result;
}

int submit(const std::filesystem::path& pdf, const std::string& title, const PrintChoice& choice) {
    std::string name = choice.printer;
    std::string instance;
    if (const auto slash = name.find('/'); slash != std::string::npos) {
        instance = name.substr(slash + 1);
        name.resize(slash);
    }
    // The named destination, or the default one; its instance's saved options come first.
    const std::unique_ptr<cups_dest_t, DestFree> dest(cupsGetNamedDest(
        CUPS_HTTP_DEFAULT, name.empty() ? nullptr : name.c_str(), instance.empty() ? nullptr : instance.c_str()));
    if (!dest && name.empty()) throw PrintFailure("no printer is set up");
    CupsOptions jobOptions;
    for (int i = 0; dest && i < dest->num_options; ++i) jobOptions.add(dest->options[i].name, dest->options[i].value);
    for (const auto& [option, value] : options(choice)) jobOptions.add(option.c_str(), value.c_str());
    const char* printer = dest ? dest->name : name.c_str();
    const int job =
        cupsPrintFile2(CUPS_HTTP_DEFAULT, printer, pdf.c_str(), title.c_str(), jobOptions.count(), jobOptions.get());
    if (job == 0) throw PrintFailure(lastReason());
    return job;
}

void copyToFile(const std::filesystem::path& pdf, const std::filesystem::path& destination) {
    const SafeFiles::ReadableFile source = SafeFiles::openForReading(pdf);
    if (!source.fd)
        throw PrintFailure("the PDF to print could not be read: " + std::string(std::strerror(source.error)));
    if (!source.isRegular) throw PrintFailure("the PDF to print is not a regular file");
    const auto unwritable = [&](int error) {
        return PrintFailure("the PDF could not be written to " + destination.string() + ": " + std::strerror(error));
    };
    SafeFiles::ReplaceOptions options;
    options.createFolders = false;
    try {
        // The old file stays until the copy is whole.
        SafeFiles::replaceFile(
            destination,
            [&](int target) {
                std::array<char, 1 << 16> buffer{};
                for (;;) {
                    const ssize_t got = ::read(source.fd.get(), buffer.data(), buffer.size());
                    if (got < 0 && errno == EINTR) continue;
                    if (got < 0)
                        throw PrintFailure("the PDF to print could not be read: " + std::string(std::strerror(errno)));
                    if (got == 0) return;
                    for (ssize_t done = 0; done < got;) {
                        const ssize_t put = ::write(target, buffer.data() + done, static_cast<std::size_t>(got - done));
                        if (put < 0 && errno == EINTR) continue;
                        if (put < 0) throw unwritable(errno);
                        done += put;
                    }
                }
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
