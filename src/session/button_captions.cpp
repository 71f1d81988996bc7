#include "session/button_captions.hpp"

#include <optional>

#include "core/text.hpp"
#include "session/pdf_objects.hpp"
#include "session/running_command.hpp"
#include "session/wide_string.hpp"

namespace kivo::ButtonCaptions {
namespace {

using PdfObjects::File;
using PdfObjects::Value;

// The next code point of valid UTF-8 at `at`, which moves past it.
char32_t nextCodePoint(std::string_view text, std::size_t& at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    const int length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    char32_t code = length == 1 ? lead : lead & (0x7F >> length);
    for (int k = 1; k < length && at + static_cast<std::size_t>(k) < text.size(); ++k)
        code = code << 6 | (static_cast<unsigned char>(text[at + static_cast<std::size_t>(k)]) & 0x3F);
    at += static_cast<std::size_t>(length);
    return code;
}

// Marks that turn the direction of the text around them: a caption could show other words than it holds.
bool isDirectionControl(char32_t code) {
    return code == 0x061C || code == 0x200E || code == 0x200F || (code >= 0x202A && code <= 0x202E) ||
           (code >= 0x2066 && code <= 0x2069);
}

// What one pass over a file may look at. Widgets may share one caption string of any size, and a
// file may hold many large ones: each string object is read once, and every byte parsed counts.
struct Budget {
    std::size_t bytes = mostLookedAtBytes;
    std::size_t widgets = mostLookedAtWidgets;
    std::map<std::uint32_t, std::optional<std::string>> strings;  // read once each, by object number

    bool spend(std::size_t count) {
        if (count > bytes) {
            bytes = 0;
            return false;
        }
        bytes -= count;
        return true;
    }
};

std::optional<std::string> literalText(const Value* value) {
    if (value == nullptr || value->kind != Value::Kind::atom || value->atom.empty() ||
        (value->atom[0] != '(' && value->atom[0] != '<'))
        return std::nullopt;
    std::optional<std::string> text = PdfObjects::decodedText(*value);
    // Only so much of a caption is ever shown; the rest need not be cleaned.
    if (text && text->size() > 4 * mostCaptionBytes) text->resize(4 * mostCaptionBytes);
    return text;
}

// The text of a string, following one reference to a string object; nothing for any other value,
// and nothing once the budget is spent.
std::optional<std::string> stringText(const File& file, const Value* value, Budget& budget) {
    if (value == nullptr || value->kind != Value::Kind::reference) return literalText(value);
    if (const auto known = budget.strings.find(value->number); known != budget.strings.end())
        return known->second;
    std::optional<std::string> text;
    if (budget.spend(file.span(value->number).size())) {
        if (auto object = file.object(value->number); object && !object->second)
            text = literalText(&object->first);
    }
    budget.strings.emplace(value->number, text);
    return text;
}

}  // namespace

std::string plainLine(std::string_view text) {
    std::string repaired;
    appendRepairedUTF8(repaired, text);
    std::string line;
    bool blank = false, cut = false;
    for (std::size_t at = 0; at < repaired.size();) {
        if (line.size() >= mostCaptionBytes) {
            cut = true;
            break;
        }
        const char32_t code = nextCodePoint(repaired, at);
        if (isDirectionControl(code)) continue;
        const bool control = code < 0x20 || (code >= 0x7F && code <= 0x9F);
        if (control || isWhitespaceOrNewline(static_cast<std::int32_t>(code))) {
            blank = !line.empty();
            continue;
        }
        if (blank) line.push_back(' ');
        blank = false;
        WideString::appendUtf8(line, code);
    }
    const GraphemePrefix kept = graphemePrefix(line, longestCaption);
    if (cut || kept.bytes < line.size()) {
        line.resize(kept.bytes);
        line += "\u2026";
    }
    return line;
}

std::map<int, std::string> read(std::span<const uint8_t> plainFile) {
    std::map<int, std::string> captions;
    const std::optional<File> file = File::index(plainFile);
    if (!file) return captions;
    std::size_t kept = 0;
    Budget budget;
    std::int64_t seen = 0;
    const auto total = static_cast<std::int64_t>(file->offsets().size());
    for (const auto& [number, offset] : file->offsets()) {
        if (kept >= mostKeptBytes || budget.bytes == 0 || budget.widgets == 0) break;
        // A long read stops here for a cancel, and shows the command is still moving.
        if (++seen % 256 == 0) RunningCommand::step(CommandPhase::readingFields, seen, total);
        // Most objects are no widget with an appearance dictionary; their bytes say so without a parse.
        const std::string_view text = file->span(number);
        if (text.find("/Widget") == std::string_view::npos || text.find("/MK") == std::string_view::npos)
            continue;
        --budget.widgets;
        if (!budget.spend(text.size())) break;
        const auto object = file->object(number);
        if (!object || object->second || !object->first.isDictionary()) continue;
        const Value* subtype = object->first.find("Subtype");
        if (subtype == nullptr || !subtype->isName("Widget")) continue;
        const std::optional<Value> appearance = file->resolvedDictionary(object->first.find("MK"));
        if (!appearance) continue;
        const std::optional<std::string> caption = stringText(*file, appearance->find("CA"), budget);
        if (!caption) continue;
        std::string line = plainLine(*caption);
        kept += line.size();
        if (!line.empty()) captions.emplace(static_cast<int>(number), std::move(line));
    }
    return captions;
}

}  // namespace kivo::ButtonCaptions
