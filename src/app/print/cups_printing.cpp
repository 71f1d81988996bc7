#include "app/print/cups_printing.hpp"

#include <cups/cups.h>
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>

#include "core/descriptor.hpp"
#include "core/text.hpp"

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
    const Descriptor source{::open(pdf.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW)};
    if (!source) throw PrintFailure("the PDF to print could not be read: " + std::string(std::strerror(errno)));
    // The copy grows under a name of its own and replaces the destination only when whole, so a
    // failure leaves whatever file was there before.
    const std::filesystem::path partial =
        destination.parent_path() / ("." + destination.filename().string() + "." + newUUIDString() + ".part");
    // A printed file is an ordinary document of the user's: the umask decides who may read it.
    const Descriptor target{::open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666)};
    if (!target) {
        throw PrintFailure("the PDF could not be written to " + destination.string() + ": " + std::strerror(errno));
    }
    const auto fail = [&](int error) {
        ::unlink(partial.c_str());
        throw PrintFailure("the PDF could not be written to " + destination.string() + ": " + std::strerror(error));
    };
    std::array<char, 1 << 16> buffer{};
    for (;;) {
        const ssize_t got = ::read(source.get(), buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) fail(errno);
        if (got == 0) break;
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = ::write(target.get(), buffer.data() + done, static_cast<std::size_t>(got - done));
            if (put < 0 && errno == EINTR) continue;
            if (put < 0) fail(errno);
            done += put;
        }
    }
    if (::fsync(target.get()) != 0) fail(errno);
    if (::rename(partial.c_str(), destination.c_str()) != 0) fail(errno);
}

}  // namespace kivo::CupsPrinting
