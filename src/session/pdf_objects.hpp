#pragma once

// The object level of the files PDFium itself writes: a full save lists every object once, as
// `N 0 obj ... endobj`, behind a classic cross-reference table. PDFium offers no call that edits a
// dictionary, so the few repairs it cannot make (a merge's form fields, see merged_form.hpp) read
// such a file here and append their changed objects as an incremental update.
//
// Values keep their tokens as written (numbers, names, strings), so what is not changed is
// written back byte for byte. Every read is bounded by the bytes given; nesting deeper than
// `maxDepth` and anything that is not what PDFium writes make the read answer nothing.

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kivo::PdfObjects {

inline constexpr int maxDepth = 32;
// The highest object number a file may use; numbers stay far from overflowing when one is added.
inline constexpr uint32_t maxObjectNumber = 8388607;

struct Value {
    enum class Kind { atom, array, dictionary, reference };
    Kind kind = Kind::atom;
    std::string atom = "null";  // a number, /Name, (string), <hex string>, true, false or null, as written
    std::vector<Value> items;
    std::vector<std::pair<std::string, Value>> entries;  // keys as written, without the slash
    uint32_t number = 0;                                 // of a reference

    static Value reference(uint32_t objectNumber);
    static Value name(std::string_view name);
    static Value dictionary() { return Value{Kind::dictionary, {}, {}, {}, 0}; }
    static Value array() { return Value{Kind::array, {}, {}, {}, 0}; }

    bool isDictionary() const { return kind == Kind::dictionary; }
    bool isName(std::string_view name) const {
        return kind == Kind::atom && atom.size() == name.size() + 1 && atom[0] == '/' &&
               std::string_view(atom).substr(1) == name;
    }
    // The entry `key` of a dictionary, or null.
    const Value* find(std::string_view key) const;
    Value* find(std::string_view key);
    void set(std::string_view key, Value value);
    void erase(std::string_view key);
};

// The text of a value as it goes into a file.
std::string serialise(const Value& value);
// A string token's bytes as text: UTF-16 with its byte order mark, else PDFDocEncoding.
std::string decodedText(const Value& value);
// A string token holding `utf8` as UTF-16 with a byte order mark.
Value textString(std::string_view utf8);

// One file PDFium wrote: where each object starts, and the trailer.
class File {
public:
    // Empty when the bytes do not end in one classic cross-reference table and trailer, or when
    // that table lists an object number above `maxObjectNumber` or two objects at one offset.
    static std::optional<File> index(std::span<const uint8_t> bytes);
    // The revision PDFium appended at `appendedAt` to earlier ones: its table may point back to theirs,
    // and only the objects it wrote itself are read. Empty as `index` is.
    static std::optional<File> lastRevision(std::span<const uint8_t> bytes, size_t appendedAt);

    const Value& trailer() const { return trailer_; }
    const std::map<uint32_t, size_t>& offsets() const { return offsets_; }
    // The object `number`'s value (for a stream, its dictionary) and whether it is a stream;
    // empty when absent or unreadable.
    std::optional<std::pair<Value, bool>> object(uint32_t number) const;
    // The bytes from the object's start to the next object's (or the table's) start.
    std::string_view span(uint32_t number) const;
    // The dictionary `value` names, following one reference; null when it is none.
    std::optional<Value> resolvedDictionary(const Value* value) const;
    // The array `value` is, written in place or as an object of its own; empty when it is none.
    std::optional<Value> resolvedArray(const Value* value) const;
    uint32_t size() const;
    // Whether every object the table lists is reached from the trailer through references; false
    // as well when one of those reached does not read, as nothing then tells what it refers to.
    // Stream data is not read: a stream of a classic table's file refers to no object.
    bool everyObjectReferenced() const;

    // The file's bytes followed by an incremental update that replaces or adds `objects` (none
    // of them streams).
    std::string appended(const std::map<uint32_t, Value>& objects) const;

private:
    static std::optional<File> indexFrom(std::span<const uint8_t> bytes, size_t revisionStart);

    std::span<const uint8_t> bytes_;
    std::map<uint32_t, size_t> offsets_;
    std::vector<size_t> starts_;  // the offsets, in file order
    size_t tableOffset_ = 0;
    Value trailer_;
};

}  // namespace kivo::PdfObjects
