#include "session/pdf_objects.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "session/wide_string.hpp"

namespace kivo::PdfObjects {
namespace {

bool isSpace(uint8_t c) { return c == 0 || c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' '; }
bool isDelimiter(uint8_t c) { return std::strchr("()<>[]{}/%", c) != nullptr && c != 0; }
bool isRegular(uint8_t c) { return !isSpace(c) && !isDelimiter(c); }

std::optional<uint32_t> objectNumber(std::string_view text) {
    uint32_t number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return number;
}

// Reads values from one run of bytes, never past its end.
class Reader {
public:
    Reader(std::span<const uint8_t> bytes, size_t at) : bytes_(bytes), at_(at) {}
    size_t at() const { return at_; }

    void skipSpace() {
        while (at_ < bytes_.size()) {
            if (isSpace(bytes_[at_])) {
                ++at_;
            } else if (bytes_[at_] == '%') {
                while (at_ < bytes_.size() && bytes_[at_] != '\n' && bytes_[at_] != '\r') ++at_;
            } else {
                break;
            }
        }
    }

    // A run of regular characters (a number or a keyword), empty when none is next.
    std::string_view word() {
        skipSpace();
        const size_t start = at_;
        while (at_ < bytes_.size() && isRegular(bytes_[at_])) ++at_;
        return text(start, at_);
    }

    bool keyword(std::string_view expected) {
        const size_t start = at_;
        if (word() == expected) return true;
        at_ = start;
        return false;
    }

    std::optional<Value> value(int depth) {
        if (depth > maxDepth) return std::nullopt;
        skipSpace();
        if (at_ >= bytes_.size()) return std::nullopt;
        const uint8_t c = bytes_[at_];
        if (c == '<' && peek(1) == '<') return dictionary(depth);
        if (c == '[') return array(depth);
        if (c == '(') return literalString();
        if (c == '<') return hexString();
        if (c == '/') return name();
        const size_t start = at_;
        const std::string_view first = word();
        if (first.empty()) return std::nullopt;
        // Two unsigned integers and R make a reference.
        if (const auto number = objectNumber(first)) {
            const size_t afterFirst = at_;
            if (objectNumber(word()) && keyword("R")) return Value::reference(*number);
            at_ = afterFirst;
        }
        Value atom;
        atom.atom = std::string(text(start, at_));
        return atom;
    }

private:
    uint8_t peek(size_t ahead) const { return at_ + ahead < bytes_.size() ? bytes_[at_ + ahead] : 0; }
    std::string_view text(size_t from, size_t to) const {
        return {reinterpret_cast<const char*>(bytes_.data()) + from, to - from};
    }

    std::optional<Value> dictionary(int depth) {
        at_ += 2;
        Value dictionary = Value::dictionary();
        // Where each key's entry is, so a dictionary of many keys is not searched once per key.
        std::map<std::string, size_t, std::less<>> positions;
        for (;;) {
            skipSpace();
            if (at_ >= bytes_.size()) return std::nullopt;
            if (bytes_[at_] == '>' && peek(1) == '>') {
                at_ += 2;
                return dictionary;
            }
            if (bytes_[at_] != '/') return std::nullopt;
            std::optional<Value> key = name();
            std::optional<Value> entry = value(depth + 1);
            if (!entry) return std::nullopt;
            std::string name = key->atom.substr(1);
            if (const auto [at, fresh] = positions.try_emplace(name, dictionary.entries.size()); !fresh) {
                dictionary.entries[at->second].second = std::move(*entry);
            } else {
                dictionary.entries.emplace_back(std::move(name), std::move(*entry));
            }
        }
    }

    std::optional<Value> array(int depth) {
        ++at_;
        Value array = Value::array();
        for (;;) {
            skipSpace();
            if (at_ >= bytes_.size()) return std::nullopt;
            if (bytes_[at_] == ']') {
                ++at_;
                return array;
            }
            std::optional<Value> item = value(depth + 1);
            if (!item) return std::nullopt;
            array.items.push_back(std::move(*item));
        }
    }

    std::optional<Value> name() {
        const size_t start = at_++;
        while (at_ < bytes_.size() && isRegular(bytes_[at_])) ++at_;
        Value name;
        name.atom = std::string(text(start, at_));
        return name;
    }

    std::optional<Value> literalString() {
        const size_t start = at_++;
        int open = 1;
        while (at_ < bytes_.size() && open > 0) {
            const uint8_t c = bytes_[at_++];
            if (c == '\\') {
                ++at_;
            } else if (c == '(') {
                ++open;
            } else if (c == ')') {
                --open;
            }
        }
        if (open > 0 || at_ > bytes_.size()) return std::nullopt;
        Value string;
        string.atom = std::string(text(start, at_));
        return string;
    }

    std::optional<Value> hexString() {
        const size_t start = at_++;
        while (at_ < bytes_.size() && bytes_[at_] != '>') ++at_;
        if (at_ >= bytes_.size()) return std::nullopt;
        ++at_;
        Value string;
        string.atom = std::string(text(start, at_));
        return string;
    }

    std::span<const uint8_t> bytes_;
    size_t at_;
};

// The bytes a string token stands for.
std::string stringBytes(std::string_view token) {
    std::string out;
    if (token.size() >= 2 && token.front() == '<') {
        int high = -1;
        for (const char c : token.substr(1, token.size() - 2)) {
            int digit = -1;
            if (c >= '0' && c <= '9') digit = c - '0';
            if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
            if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
            if (digit < 0) continue;
            if (high < 0) {
                high = digit;
            } else {
                out.push_back(static_cast<char>(high * 16 + digit));
                high = -1;
            }
        }
        if (high >= 0) out.push_back(static_cast<char>(high * 16));
        return out;
    }
    if (token.size() < 2 || token.front() != '(') return out;
    const std::string_view body = token.substr(1, token.size() - 2);
    for (size_t i = 0; i < body.size(); ++i) {
        if (body[i] != '\\' || i + 1 >= body.size()) {
            out.push_back(body[i]);
            continue;
        }
        const char e = body[++i];
        switch (e) {
            case 'n': out.push_back('\n'); break;
            case 'r': out.push_back('\r'); break;
            case 't': out.push_back('\t'); break;
            case 'b': out.push_back('\b'); break;
            case 'f': out.push_back('\f'); break;
            case '\r':
                if (i + 1 < body.size() && body[i + 1] == '\n') ++i;
                break;
            case '\n': break;
            default:
                if (e >= '0' && e <= '7') {
                    int code = e - '0';
                    for (int k = 0; k < 2 && i + 1 < body.size() && body[i + 1] >= '0' && body[i + 1] <= '7';
                         ++k)
                        code = code * 8 + (body[++i] - '0');
                    out.push_back(static_cast<char>(code & 0xFF));
                } else {
                    out.push_back(e);
                }
        }
    }
    return out;
}

// PDFDocEncoding, the one-byte encoding of text strings: Latin-1 but for a few accents below the space
// and typographic marks where Latin-1 has its second row of controls; a byte it leaves undefined is U+FFFD.
uint32_t fromDocEncoding(uint8_t byte) {
    static constexpr uint16_t low[8] = {0x02D8, 0x02C7, 0x02C6, 0x02D9, 0x02DD, 0x02DB, 0x02DA, 0x02DC};
    static constexpr uint16_t high[33] = {
        0x2022, 0x2020, 0x2021, 0x2026, 0x2014, 0x2013, 0x0192, 0x2044, 0x2039, 0x203A, 0x2212,
        0x2030, 0x201E, 0x201C, 0x201D, 0x2018, 0x2019, 0x201A, 0x2122, 0xFB01, 0xFB02, 0x0141,
        0x0152, 0x0160, 0x0178, 0x017D, 0x0131, 0x0142, 0x0153, 0x0161, 0x017E, 0xFFFD, 0x20AC};
    if (byte >= 0x18 && byte <= 0x1F) return low[byte - 0x18];
    if (byte >= 0x80 && byte <= 0xA0) return high[byte - 0x80];
    if (byte == 0x7F || byte == 0xAD) return 0xFFFD;
    return byte;
}

void serialiseInto(std::string& out, const Value& value) {
    switch (value.kind) {
        case Value::Kind::atom: out += value.atom; break;
        case Value::Kind::reference: out += std::to_string(value.number) + " 0 R"; break;
        case Value::Kind::array:
            out += '[';
            for (const Value& item : value.items) {
                serialiseInto(out, item);
                out += ' ';
            }
            out += ']';
            break;
        case Value::Kind::dictionary:
            out += "<<";
            for (const auto& [key, entry] : value.entries) {
                out += '/';
                out += key;
                out += ' ';
                serialiseInto(out, entry);
                out += ' ';
            }
            out += ">>";
            break;
    }
}

}  // namespace

Value Value::reference(uint32_t objectNumber) {
    Value value;
    value.kind = Kind::reference;
    value.number = objectNumber;
    return value;
}

Value Value::name(std::string_view name) {
    Value value;
    value.atom = "/" + std::string(name);
    return value;
}

const Value* Value::find(std::string_view key) const {
    for (const auto& [name, entry] : entries) {
        if (name == key) return &entry;
    }
    return nullptr;
}

Value* Value::find(std::string_view key) { return const_cast<Value*>(std::as_const(*this).find(key)); }

void Value::set(std::string_view key, Value value) {
    if (Value* existing = find(key)) {
        *existing = std::move(value);
    } else {
        entries.emplace_back(std::string(key), std::move(value));
    }
}

void Value::erase(std::string_view key) {
    std::erase_if(entries, [&](const auto& entry) { return entry.first == key; });
}

std::string serialise(const Value& value) {
    std::string out;
    serialiseInto(out, value);
    return out;
}

std::string decodedText(const Value& value) {
    if (value.kind != Value::Kind::atom || value.atom.empty()) return {};
    const std::string bytes = stringBytes(value.atom);
    if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFE &&
        static_cast<uint8_t>(bytes[1]) == 0xFF) {
        std::vector<uint16_t> units;
        for (size_t i = 2; i + 1 < bytes.size(); i += 2)
            units.push_back(static_cast<uint16_t>(static_cast<uint8_t>(bytes[i]) << 8 |
                                                  static_cast<uint8_t>(bytes[i + 1])));
        return WideString::decode(units);
    }
    std::string out;
    for (const char c : bytes) WideString::appendUtf8(out, fromDocEncoding(static_cast<uint8_t>(c)));
    return out;
}

Value textString(std::string_view utf8) {
    static const char digits[] = "0123456789ABCDEF";
    std::string hex = "<FEFF";
    const auto unit = [&](uint32_t u) {
        for (int shift = 12; shift >= 0; shift -= 4) hex.push_back(digits[(u >> shift) & 0xF]);
    };
    for (size_t i = 0; i < utf8.size();) {
        const auto c = static_cast<uint8_t>(utf8[i]);
        const int length = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        uint32_t code = length == 1 ? c : c & (0x7F >> length);
        for (int k = 1; k < length && i + k < utf8.size(); ++k) code = code << 6 | (utf8[i + k] & 0x3F);
        i += static_cast<size_t>(length);
        if (code >= 0x10000) {
            code -= 0x10000;
            unit(0xD800 | (code >> 10));
            unit(0xDC00 | (code & 0x3FF));
        } else {
            unit(code);
        }
    }
    Value value;
    value.atom = hex + ">";
    return value;
}

std::optional<File> File::index(std::span<const uint8_t> bytes) { return indexFrom(bytes, 0); }

std::optional<File> File::lastRevision(std::span<const uint8_t> bytes, size_t appendedAt) {
    if (appendedAt == 0 || appendedAt >= bytes.size()) return std::nullopt;
    return indexFrom(bytes, appendedAt);
}

std::optional<File> File::indexFrom(std::span<const uint8_t> bytes, size_t revisionStart) {
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    const size_t start = text.rfind("startxref", text.size());
    if (start == std::string_view::npos || text.size() - start > 1024) return std::nullopt;
    Reader tail(bytes, start + 9);
    size_t tableOffset = 0;
    const std::string_view offsetText = tail.word();
    const auto [end, error] =
        std::from_chars(offsetText.data(), offsetText.data() + offsetText.size(), tableOffset);
    if (error != std::errc() || tableOffset < revisionStart || tableOffset >= bytes.size())
        return std::nullopt;

    File file;
    file.bytes_ = bytes;
    file.tableOffset_ = tableOffset;
    Reader table(bytes, tableOffset);
    if (!table.keyword("xref")) return std::nullopt;
    while (!table.keyword("trailer")) {
        const auto first = objectNumber(table.word());
        const auto count = objectNumber(table.word());
        if (!first || !count || *count > bytes.size() / 18 || *first > maxObjectNumber ||
            *count > maxObjectNumber - *first + 1) {
            return std::nullopt;
        }
        for (uint32_t i = 0; i < *count; ++i) {
            const std::string_view offset = table.word();
            const std::string_view generation = table.word();
            const std::string_view kind = table.word();
            const auto at = objectNumber(offset);
            if (!at || generation.empty() || (kind != "n" && kind != "f")) return std::nullopt;
            if (kind == "n" && *at >= revisionStart && *at < tableOffset) file.offsets_[*first + i] = *at;
        }
    }
    std::optional<Value> trailer = table.value(0);
    if (!trailer || !trailer->isDictionary() || (revisionStart == 0 && trailer->find("Prev")) ||
        trailer->find("XRefStm"))
        return std::nullopt;
    if (const Value* size = trailer->find("Size"); size && objectNumber(size->atom) > maxObjectNumber + 1) {
        return std::nullopt;
    }
    file.trailer_ = std::move(*trailer);
    for (const auto& [number, offset] : file.offsets_) file.starts_.push_back(offset);
    std::sort(file.starts_.begin(), file.starts_.end());
    // Objects sharing a start would each span the rest of the file, and reading them all would take
    // time growing with the square of its size.
    if (std::adjacent_find(file.starts_.begin(), file.starts_.end()) != file.starts_.end())
        return std::nullopt;
    return file;
}

std::string_view File::span(uint32_t number) const {
    const auto found = offsets_.find(number);
    if (found == offsets_.end()) return {};
    // Offsets need not rise with the numbers; the next start in the file, or the table, ends it.
    const auto next = std::upper_bound(starts_.begin(), starts_.end(), found->second);
    const size_t end = next == starts_.end() ? tableOffset_ : *next;
    return {reinterpret_cast<const char*>(bytes_.data()) + found->second, end - found->second};
}

std::optional<std::pair<Value, bool>> File::object(uint32_t number) const {
    const std::string_view text = span(number);
    if (text.empty()) return std::nullopt;
    const std::span<const uint8_t> window(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    Reader reader(window, 0);
    if (objectNumber(reader.word()) != number || !objectNumber(reader.word()) || !reader.keyword("obj")) {
        return std::nullopt;
    }
    std::optional<Value> value = reader.value(0);
    if (!value) return std::nullopt;
    const bool stream = reader.keyword("stream");
    return std::make_pair(std::move(*value), stream);
}

std::optional<Value> File::resolvedDictionary(const Value* value) const {
    if (value == nullptr) return std::nullopt;
    if (value->isDictionary()) return *value;
    if (value->kind != Value::Kind::reference) return std::nullopt;
    auto object = this->object(value->number);
    if (!object || object->second || !object->first.isDictionary()) return std::nullopt;
    return std::move(object->first);
}

std::optional<Value> File::resolvedArray(const Value* value) const {
    if (value == nullptr) return std::nullopt;
    if (value->kind == Value::Kind::array) return *value;
    if (value->kind != Value::Kind::reference) return std::nullopt;
    auto object = this->object(value->number);
    if (!object || object->second || object->first.kind != Value::Kind::array) return std::nullopt;
    return std::move(object->first);
}

uint32_t File::size() const {
    uint32_t size = offsets_.empty() ? 1 : offsets_.rbegin()->first + 1;
    if (const Value* declared = trailer_.find("Size")) {
        if (const auto number = objectNumber(declared->atom)) size = std::max(size, *number);
    }
    return size;
}

namespace {

void collectReferences(const Value& value, std::vector<uint32_t>& into) {
    if (value.kind == Value::Kind::reference) into.push_back(value.number);
    for (const Value& item : value.items) collectReferences(item, into);
    for (const auto& [key, entry] : value.entries) collectReferences(entry, into);
}

}  // namespace

bool File::everyObjectReferenced() const {
    std::vector<uint32_t> pending;
    collectReferences(trailer_, pending);
    std::vector<bool> reached(size(), false);
    size_t count = 0;
    while (!pending.empty()) {
        const uint32_t number = pending.back();
        pending.pop_back();
        if (number >= reached.size() || reached[number] || !offsets_.contains(number)) continue;
        reached[number] = true;
        ++count;
        const std::optional<std::pair<Value, bool>> object = this->object(number);
        if (!object) return false;
        collectReferences(object->first, pending);
    }
    return count == offsets_.size();
}

std::string File::appended(const std::map<uint32_t, Value>& objects) const {
    std::string out(reinterpret_cast<const char*>(bytes_.data()), bytes_.size());
    out += "\n";
    std::map<uint32_t, size_t> written;
    for (const auto& [number, value] : objects) {
        written[number] = out.size();
        out += std::to_string(number) + " 0 obj\n" + serialise(value) + "\nendobj\n";
    }
    const size_t table = out.size();
    out += "xref\n";
    char entry[24];
    for (const auto& [number, offset] : written) {
        std::snprintf(entry, sizeof entry, "%010zu 00000 n\r\n", offset);
        out += std::to_string(number) + " 1\n" + entry;
    }
    Value trailer = trailer_;
    const uint32_t newSize = std::max(size(), objects.empty() ? 0 : objects.rbegin()->first + 1);
    trailer.set("Size", Value{Value::Kind::atom, std::to_string(newSize), {}, {}, 0});
    trailer.set("Prev", Value{Value::Kind::atom, std::to_string(tableOffset_), {}, {}, 0});
    out += "trailer\n" + serialise(trailer) + "\nstartxref\n" + std::to_string(table) + "\n%%EOF\n";
    return out;
}

}  // namespace kivo::PdfObjects
