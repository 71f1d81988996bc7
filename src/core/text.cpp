#include "core/text.hpp"

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include <sys/random.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <system_error>

namespace kivo {
namespace {

constexpr std::int32_t kMaxICULength = INT32_MAX;

}  // namespace

bool isValidUTF8(std::string_view bytes) noexcept {
    const auto* s = reinterpret_cast<const std::uint8_t*>(bytes.data());
    const std::size_t length = bytes.size();
    std::size_t i = 0;
    while (i < length) {
        // Plain ASCII needs no decoding; it is the bulk of every message.
        if (s[i] < 0x80) {
            ++i;
            // Eight bytes at a time while none has its high bit set.
            std::uint64_t word = 0;
            while (i + sizeof word <= length &&
                   (std::memcpy(&word, s + i, sizeof word), (word & 0x8080808080808080ULL) == 0)) {
                i += sizeof word;
            }
            continue;
        }
        // ICU's macros index with int32_t; walk long inputs in windows that
        // always start on a character boundary.
        const std::size_t window = std::min<std::size_t>(length - i, kMaxICULength);
        const std::uint8_t* base = s + i;
        std::int32_t offset = 0;
        UChar32 c = 0;
        U8_NEXT(base, offset, static_cast<std::int32_t>(window), c);
        if (c < 0) return false;
        i += static_cast<std::size_t>(offset);
    }
    return true;
}

void appendRepairedUTF8(std::string& out, std::string_view bytes) {
    const auto* s = reinterpret_cast<const std::uint8_t*>(bytes.data());
    const std::size_t length = bytes.size();
    std::size_t i = 0;
    std::size_t runStart = 0;
    while (i < length) {
        if (s[i] < 0x80) {
            ++i;
            continue;
        }
        const std::size_t window = std::min<std::size_t>(length - i, kMaxICULength);
        const std::uint8_t* base = s + i;
        std::int32_t offset = 0;
        UChar32 c = 0;
        U8_NEXT(base, offset, static_cast<std::int32_t>(window), c);
        if (c < 0) {
            out.append(bytes.substr(runStart, i - runStart));
            out.append("\xEF\xBF\xBD");
            i += static_cast<std::size_t>(offset);
            runStart = i;
        } else {
            i += static_cast<std::size_t>(offset);
        }
    }
    out.append(bytes.substr(runStart));
}

bool isWhitespaceOrNewline(std::int32_t c) noexcept {
    if (c < 0) return false;
    if ((c >= 0x09 && c <= 0x0D) || c == 0x85) return true;
    const auto type = u_charType(c);
    return type == U_SPACE_SEPARATOR || type == U_LINE_SEPARATOR || type == U_PARAGRAPH_SEPARATOR;
}

std::string controlsAsSpaces(std::string_view utf8) {
    std::string out(utf8);
    for (std::size_t at = 0; at < out.size(); ++at) {
        const auto byte = static_cast<unsigned char>(out[at]);
        // C1 controls are U+0080 to U+009F, written C2 80 to C2 9F; a lone byte is left as it is.
        if (byte == 0xC2 && at + 1 < out.size() && static_cast<unsigned char>(out[at + 1]) <= 0x9F &&
            static_cast<unsigned char>(out[at + 1]) >= 0x80) {
            out.replace(at, 2, " ");
        } else if (byte < 0x20 || byte == 0x7F) {
            out[at] = ' ';
        }
    }
    return out;
}

namespace {

template <class Predicate>
std::string_view trimmedWhere(std::string_view text, Predicate remove) noexcept {
    const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
    if (text.size() > static_cast<std::size_t>(kMaxICULength)) return text;
    const auto length = static_cast<std::int32_t>(text.size());
    std::int32_t start = 0;
    while (start < length) {
        std::int32_t next = start;
        UChar32 c = 0;
        U8_NEXT(s, next, length, c);
        if (!remove(c)) break;
        start = next;
    }
    std::int32_t end = length;
    while (end > start) {
        std::int32_t previous = end;
        UChar32 c = 0;
        U8_PREV(s, start, previous, c);
        if (!remove(c)) break;
        end = previous;
    }
    return text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start));
}

}  // namespace

std::string_view trimWhitespaceAndNewlines(std::string_view text) noexcept {
    return trimmedWhere(text, isWhitespaceOrNewline);
}

std::string_view trimBlanks(std::string_view text) noexcept {
    return trimmedWhere(
        text, [](UChar32 c) { return c == 0x09 || (c >= 0 && u_charType(c) == U_SPACE_SEPARATOR); });
}

GraphemePrefix graphemePrefix(std::string_view utf8, std::int64_t limit) {
    if (utf8.empty()) return {};
    // A character break iterator is costly to build; keep one per thread. It walks the UTF-8
    // bytes directly, so its boundaries are byte offsets into `utf8`.
    thread_local std::unique_ptr<icu::BreakIterator> iterator;
    UErrorCode status = U_ZERO_ERROR;
    if (!iterator) {
        iterator.reset(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        if (U_FAILURE(status) || !iterator) {
            iterator.reset();
            throw std::runtime_error("The text boundary rules are not available.");
        }
    }
    UText text = UTEXT_INITIALIZER;
    utext_openUTF8(&text, utf8.data(), static_cast<std::int64_t>(utf8.size()), &status);
    if (U_FAILURE(status)) throw std::runtime_error("The text could not be measured.");
    iterator->setText(&text, status);
    GraphemePrefix prefix;
    if (U_SUCCESS(status)) {
        iterator->first();
        while (prefix.characters < limit) {
            const std::int32_t next = iterator->next();
            if (next == icu::BreakIterator::DONE) break;
            prefix.bytes = static_cast<std::size_t>(next);
            ++prefix.characters;
        }
    }
    // Detach the iterator from the stack UText before it goes away.
    UErrorCode resetStatus = U_ZERO_ERROR;
    UText empty = UTEXT_INITIALIZER;
    utext_openUTF8(&empty, "", 0, &resetStatus);
    iterator->setText(&empty, resetStatus);
    utext_close(&empty);
    utext_close(&text);
    if (U_FAILURE(status)) throw std::runtime_error("The text could not be measured.");
    return prefix;
}

std::int64_t graphemeCount(std::string_view utf8) {
    return graphemePrefix(utf8, std::numeric_limits<std::int64_t>::max()).characters;
}

std::string groupedDigits(std::int64_t value) {
    const std::string digits =
        std::to_string(value < 0 ? -(value + 1) + std::uint64_t{1} : std::uint64_t(value));
    std::string out = value < 0 ? "-" : "";
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i != 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

std::string newUUIDString() {
    std::array<std::uint8_t, 16> bytes{};
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const ssize_t n = getrandom(bytes.data() + filled, bytes.size() - filled, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category(), "getrandom");
        }
        filled += static_cast<std::size_t>(n);
    }
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(36);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
        out.push_back(kHex[bytes[i] >> 4]);
        out.push_back(kHex[bytes[i] & 0x0F]);
    }
    return out;
}

}  // namespace kivo
