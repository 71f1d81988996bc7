#include "session/form_dictionary.hpp"

#include <cstring>
#include <map>
#include <string_view>

#include "session/pdf_objects.hpp"

namespace kivo::FormDictionary {

using PdfObjects::File;
using PdfObjects::Value;

namespace {

constexpr std::string_view shownKey = "/NeedAppearances";
// Of the same length, so that no offset in the file moves; no other reader knows it.
constexpr std::string_view hiddenKey = "/KivoAppearances";
static_assert(shownKey.size() == hiddenKey.size());

bool isSpace(uint8_t c) { return c == 0 || c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' '; }

// Where `key` stands as a whole name whose value is `true`: only then does PDFium rebuild anything.
template <class Visit>
void forEachTrueKey(std::span<const uint8_t> bytes, std::string_view key, Visit&& visit) {
    const auto* const begin = reinterpret_cast<const char*>(bytes.data());
    const char* const end = begin + bytes.size();
    for (const char* at = begin; at < end;) {
        const void* found = ::memmem(at, static_cast<size_t>(end - at), key.data(), key.size());
        if (found == nullptr) return;
        const auto* place = static_cast<const char*>(found);
        const char* value = place + key.size();
        while (value < end && isSpace(static_cast<uint8_t>(*value))) ++value;
        if (std::string_view(value, static_cast<size_t>(end - value)).starts_with("true")) {
            visit(static_cast<size_t>(place - begin));
        }
        at = place + key.size();
    }
}

// `bytes` with every `from` set to true renamed `to`, or nothing when there is none.
std::optional<std::string> renamed(std::span<const uint8_t> bytes, std::string_view from,
                                   std::string_view to) {
    std::optional<std::string> out;
    forEachTrueKey(bytes, from, [&](size_t at) {
        if (!out) out.emplace(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        out->replace(at, to.size(), to);
    });
    return out;
}

const Value* reference(const Value* value) {
    return value != nullptr && value->kind == Value::Kind::reference ? value : nullptr;
}

// The catalog's /AcroForm given a /Fields array where it has none, as one changed object.
std::optional<std::string> withFields(std::span<const uint8_t> written) {
    std::optional<File> file = File::index(written);
    if (!file) return std::nullopt;
    const Value* root = reference(file->trailer().find("Root"));
    std::optional<Value> catalog = root ? file->resolvedDictionary(root) : std::nullopt;
    const Value* entry = catalog ? catalog->find("AcroForm") : nullptr;
    std::optional<Value> form = file->resolvedDictionary(entry);
    if (!form || form->find("Fields")) return std::nullopt;
    form->set("Fields", Value::array());
    // The form keeps its object: in an encrypted file its strings are encrypted for that number.
    if (reference(entry)) return file->appended({{entry->number, std::move(*form)}});
    catalog->set("AcroForm", std::move(*form));
    return file->appended({{root->number, std::move(*catalog)}});
}

}  // namespace

std::optional<std::string> withAppearancesKept(std::span<const uint8_t> bytes) {
    return renamed(bytes, shownKey, hiddenKey);
}

std::optional<std::string> withAppearancesShown(std::span<const uint8_t> written) {
    return renamed(written, hiddenKey, shownKey);
}

bool hidesAppearances(std::span<const uint8_t> written) {
    bool found = false;
    forEachTrueKey(written, hiddenKey, [&](size_t) { found = true; });
    return found;
}

std::optional<std::string> soundForOtherReaders(std::span<const uint8_t> written) {
    const std::optional<std::string> restored = withAppearancesShown(written);
    const std::span<const uint8_t> current =
        restored ? std::span(reinterpret_cast<const uint8_t*>(restored->data()), restored->size()) : written;
    const std::string_view text(reinterpret_cast<const char*>(current.data()), current.size());
    if (text.find("/AcroForm") == std::string_view::npos) return restored;
    if (std::optional<std::string> whole = withFields(current)) return whole;
    return restored;
}

}  // namespace kivo::FormDictionary
