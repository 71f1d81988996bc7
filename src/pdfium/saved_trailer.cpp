#include "pdfium/saved_trailer.hpp"

#include <algorithm>
#include <charconv>
#include <optional>
#include <set>
#include <utility>

namespace kivo::pdfium::SavedTrailer {
namespace {

constexpr std::string_view tableKeyword = "xref\r\n";
// An entry of the table, as PDFium writes it: "0000000017 00000 n\r\n".
constexpr std::size_t entryLength = 20;

std::optional<std::uint64_t> number(std::string_view digits) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size() || digits.empty()) return std::nullopt;
    return value;
}

// One more than the highest object number the table lists, and where its trailer starts.
struct Table {
    std::uint64_t size = 0;
    std::size_t trailer = 0;
};

std::optional<Table> readTable(std::string_view tail) {
    if (!tail.starts_with(tableKeyword)) return std::nullopt;
    Table table;
    std::size_t at = tableKeyword.size();
    while (true) {
        const std::size_t end = tail.find("\r\n", at);
        if (end == std::string_view::npos) return std::nullopt;
        const std::string_view line = tail.substr(at, end - at);
        if (line == "trailer") {
            table.trailer = at;
            return table;
        }
        const std::size_t space = line.find(' ');
        if (space == std::string_view::npos) return std::nullopt;
        const auto first = number(line.substr(0, space));
        const auto count = number(line.substr(space + 1));
        if (!first || !count || *count > (tail.size() - end) / entryLength) return std::nullopt;
        table.size = std::max(table.size, *first + *count);
        at = end + 2 + *count * entryLength;
    }
}

// The trailer's "/Info 12 0 R" with the white space before it, from `from`: where it starts and its length.
std::optional<std::pair<std::size_t, std::size_t>> infoEntry(std::string_view text, std::size_t from) {
    constexpr std::string_view key = "/Info";
    const std::size_t start = text.find(key, from);
    if (start == std::string_view::npos) return std::nullopt;
    const std::size_t reference = text.find('R', start);
    if (reference == std::string_view::npos) return std::nullopt;
    const std::string_view between = text.substr(start + key.size(), reference - start - key.size());
    if (between.find_first_not_of("0123456789 \r\n\t") != std::string_view::npos) return std::nullopt;
    std::size_t begin = start;
    while (begin > from && text[begin - 1] == ' ') --begin;
    return std::pair{begin, reference + 1 - begin};
}

}  // namespace

std::string mended(std::string_view tail, Mending mending) {
    const auto table = readTable(tail);
    if (!table || table->size == 0) return std::string(tail);
    std::string out(tail);
    if (mending.dropInfo) {
        if (const auto info = infoEntry(out, table->trailer)) out.erase(info->first, info->second);
    }
    constexpr std::string_view key = "/Size ";
    const std::size_t sizeKey = out.find(key, table->trailer);
    if (!mending.size || sizeKey == std::string::npos) return out;
    const std::size_t digits = sizeKey + key.size();
    const std::size_t digitsEnd = out.find_first_not_of("0123456789", digits);
    if (digitsEnd == std::string::npos) return out;
    const auto written = number(std::string_view(out).substr(digits, digitsEnd - digits));
    // Nothing points into the trailer, so its length may change.
    if (written && *written > table->size)
        out.replace(digits, digitsEnd - digits, std::to_string(table->size));
    return out;
}

bool latestTrailerLeavesOutInfo(std::span<const uint8_t> bytes) {
    const std::string_view file(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    // The last startxref sits in the file's last kilobyte or so; a longer search finds nothing better.
    constexpr std::size_t searched = 4096;
    const std::size_t window = file.size() > searched ? file.size() - searched : 0;
    const std::size_t marker = file.rfind("startxref");
    if (marker == std::string_view::npos || marker < window) return false;
    const std::size_t digits = file.find_first_of("0123456789", marker);
    if (digits == std::string_view::npos || digits > marker + 16) return false;
    const std::size_t digitsEnd = file.find_first_not_of("0123456789", digits);
    const auto offset =
        number(file.substr(digits, digitsEnd == std::string_view::npos ? 0 : digitsEnd - digits));
    if (!offset || *offset >= file.size()) return false;
    // A table's trailer follows it; a cross-reference stream's dictionary is its own.
    const std::string_view section = file.substr(*offset);
    std::size_t open = std::string_view::npos;
    if (section.starts_with("xref")) {
        const std::size_t trailer = section.find("trailer");
        if (trailer != std::string_view::npos) open = section.find("<<", trailer);
    } else {
        const std::size_t object = section.find("obj");
        if (object != std::string_view::npos && object < 32) open = section.find("<<", object);
    }
    if (open == std::string_view::npos) return false;
    // The dictionary up to its own end, nested dictionaries (/DecodeParms) included.
    int depth = 0;
    for (std::size_t i = open; i + 1 < section.size(); ++i) {
        if (section.compare(i, 2, "<<") == 0) {
            ++depth;
            ++i;
        } else if (section.compare(i, 2, ">>") == 0) {
            ++i;
            if (--depth == 0)
                return section.substr(open, i + 1 - open).find("/Info") == std::string_view::npos;
        }
    }
    return false;
}

namespace {

// By instance and address: a restart after a trap replaces the instance, and with it what each
// address names.
std::set<std::pair<uint32_t, Address>>& leftOut() {
    static std::set<std::pair<uint32_t, Address>> documents;
    return documents;
}

}  // namespace

void noteLeftOutInfo(FPDF_DOCUMENT document, bool leaves) {
    const std::pair<uint32_t, Address> key{module::generation(), document.address};
    if (leaves && document) {
        std::erase_if(leftOut(), [&](const auto& noted) { return noted.first != key.first; });
        leftOut().insert(key);
    } else {
        leftOut().erase(key);
    }
}

bool leavesOutInfo(FPDF_DOCUMENT document) {
    return leftOut().contains({module::generation(), document.address});
}

// Searched forward: rfind compares the whole keyword at every position of a long block, while find
// only looks closer where a line ends.
std::size_t lastTableStart(std::string_view bytes) noexcept {
    constexpr std::string_view keyword = "\nxref\r\n";
    std::size_t last = std::string_view::npos;
    for (std::size_t at = bytes.find(keyword); at != std::string_view::npos; at = bytes.find(keyword, at + 1))
        last = at;
    return last == std::string_view::npos ? last : last + 1;
}

}  // namespace kivo::pdfium::SavedTrailer
