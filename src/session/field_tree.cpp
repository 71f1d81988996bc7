#include "session/field_tree.hpp"

#include <algorithm>
#include <charconv>
#include <optional>
#include <set>
#include <utility>

#include "session/running_command.hpp"

namespace kivo::FieldTree {
namespace {

using PdfObjects::File;
using PdfObjects::Value;

std::optional<Value> dictionaryObject(const File& file, uint32_t number) {
    auto object = file.object(number);
    if (!object || object->second || !object->first.isDictionary()) return std::nullopt;
    return std::move(object->first);
}

// As PDFium follows /Parent: to a dictionary, or nowhere.
std::optional<uint32_t> parentNamed(const File& file, const Value& node) {
    const Value* parent = node.find("Parent");
    if (parent == nullptr || parent->kind != Value::Kind::reference) return std::nullopt;
    if (!dictionaryObject(file, parent->number)) return std::nullopt;
    return parent->number;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A name's characters, each #xx written out, as PDFium hands a name over.
std::string nameText(std::string_view atom) {
    std::string out;
    for (size_t i = 1; i < atom.size(); ++i) {
        if (atom[i] == '#' && i + 2 < atom.size() && hexDigit(atom[i + 1]) >= 0 &&
            hexDigit(atom[i + 2]) >= 0) {
            out.push_back(static_cast<char>(hexDigit(atom[i + 1]) * 16 + hexDigit(atom[i + 2])));
            i += 2;
        } else {
            out.push_back(atom[i]);
        }
    }
    return out;
}

std::string text(const File& file, const Value* value) {
    if (value == nullptr) return "";
    if (value->kind == Value::Kind::reference) {
        auto object = file.object(value->number);
        if (!object || object->second || object->first.kind == Value::Kind::reference) return "";
        return text(file, &object->first);
    }
    if (value->kind == Value::Kind::array) {
        return value->items.empty() || value->items.front().kind != Value::Kind::atom
                   ? ""
                   : text(file, &value->items.front());
    }
    if (value->kind != Value::Kind::atom || value->atom.empty()) return "";
    if (value->atom[0] == '/') return nameText(value->atom);
    return PdfObjects::decodedText(*value);
}

std::int64_t integer(const Value* value) {
    if (value == nullptr || value->kind != Value::Kind::atom) return 0;
    std::int64_t number = 0;
    const std::string& atom = value->atom;
    std::from_chars(atom.data(), atom.data() + atom.size(), number);
    return number;
}

// What each entry of /Opt shows: a label alone, or the second of an export value and a label.
std::vector<std::string> optionLabels(const File& file, const Value* options) {
    std::vector<std::string> labels;
    const std::optional<Value> list = file.resolvedArray(options);
    if (!list) return labels;
    for (const Value& option : list->items) {
        if (option.kind == Value::Kind::array) {
            labels.push_back(option.items.size() >= 2 ? text(file, &option.items[1]) : "");
        } else {
            labels.push_back(text(file, &option));
        }
    }
    return labels;
}

std::string onStateOf(const File& file, const Value& widget) {
    const std::optional<Value> appearance = file.resolvedDictionary(widget.find("AP"));
    const std::optional<Value> normal =
        appearance ? file.resolvedDictionary(appearance->find("N")) : std::nullopt;
    if (!normal) return "";
    for (const auto& [state, stream] : normal->entries) {
        if (state != "Off") return nameText("/" + state);
    }
    return "";
}

}  // namespace

std::map<uint32_t, uint32_t> unnamedParents(const File& file) {
    std::map<uint32_t, uint32_t> parents;
    const Value* root = file.trailer().find("Root");
    const std::optional<Value> catalog = file.resolvedDictionary(root);
    const std::optional<Value> form =
        catalog ? file.resolvedDictionary(catalog->find("AcroForm")) : std::nullopt;
    const std::optional<Value> fields = form ? file.resolvedArray(form->find("Fields")) : std::nullopt;
    if (!fields) return parents;
    std::vector<std::pair<uint32_t, int>> pending;
    for (const Value& field : fields->items) {
        if (field.kind == Value::Kind::reference) pending.emplace_back(field.number, 0);
    }
    std::reverse(pending.begin(), pending.end());
    std::set<uint32_t> seen;
    const auto total = static_cast<std::int64_t>(file.offsets().size());
    while (!pending.empty()) {
        const auto [number, depth] = pending.back();
        pending.pop_back();
        if (depth >= maxDepth || !seen.insert(number).second) continue;
        // A long walk stops here for a cancel, and shows the command is still moving.
        if (seen.size() % 256 == 0)
            RunningCommand::step(CommandPhase::readingFields, static_cast<std::int64_t>(seen.size()), total);
        const std::optional<Value> node = dictionaryObject(file, number);
        const std::optional<Value> kids = node ? file.resolvedArray(node->find("Kids")) : std::nullopt;
        if (!kids) continue;
        for (auto kid = kids->items.rbegin(); kid != kids->items.rend(); ++kid) {
            if (kid->kind != Value::Kind::reference || kid->number == number) continue;
            const std::optional<Value> child = dictionaryObject(file, kid->number);
            if (!child) continue;
            if (!parentNamed(file, *child)) parents.try_emplace(kid->number, number);
            pending.emplace_back(kid->number, depth + 1);
        }
    }
    return parents;
}

namespace {

std::map<int, Widget> unparentedWidgets(const File& file) {
    std::map<int, Widget> widgets;
    const std::map<uint32_t, uint32_t> parents = unnamedParents(file);
    for (const auto& [number, lister] : parents) {
        const std::optional<Value> kid = dictionaryObject(file, number);
        const Value* subtype = kid ? kid->find("Subtype") : nullptr;
        if (subtype == nullptr || !subtype->isName("Widget")) continue;
        // The kid, then each field above it: through /Parent where a node names one, else the node
        // that lists it.
        std::vector<Value> chain{*kid};
        std::set<uint32_t> passed{number};
        for (std::optional<uint32_t> above = lister;
             above && chain.size() <= static_cast<size_t>(maxDepth);) {
            if (!passed.insert(*above).second) break;
            std::optional<Value> node = dictionaryObject(file, *above);
            if (!node) break;
            std::optional<uint32_t> next = parentNamed(file, *node);
            if (!next) {
                const auto listed = parents.find(*above);
                if (listed != parents.end()) next = listed->second;
            }
            chain.push_back(std::move(*node));
            above = next;
        }
        const auto inherited = [&](std::string_view key) -> const Value* {
            for (const Value& node : chain) {
                if (const Value* found = node.find(key)) return found;
            }
            return nullptr;
        };
        Widget widget;
        for (auto node = chain.rbegin(); node != chain.rend(); ++node) {
            if (const Value* title = node->find("T")) {
                const std::string piece = text(file, title);
                if (piece.empty()) continue;
                widget.name += (widget.name.empty() ? "" : ".") + piece;
            }
        }
        if (widget.name.empty()) continue;
        widget.fieldType = text(file, inherited("FT"));
        widget.flags = integer(inherited("Ff"));
        widget.value = text(file, inherited("V"));
        widget.options = optionLabels(file, inherited("Opt"));
        widget.onState = onStateOf(file, *kid);
        widget.shownState = text(file, kid->find("AS"));
        widgets.emplace(static_cast<int>(number), std::move(widget));
    }
    return widgets;
}

std::map<std::string, std::set<uint32_t>> namesakes(const File& file) {
    std::map<std::string, std::set<uint32_t>> named;
    const std::optional<Value> catalog = file.resolvedDictionary(file.trailer().find("Root"));
    const std::optional<Value> form =
        catalog ? file.resolvedDictionary(catalog->find("AcroForm")) : std::nullopt;
    const std::optional<Value> fields = form ? file.resolvedArray(form->find("Fields")) : std::nullopt;
    if (!fields) return named;
    struct Step {
        uint32_t number;
        int depth;
        std::string above;  // the full name of the fields above
        uint32_t titled;    // the nearest of them with a /T
    };
    std::vector<Step> pending;
    for (auto field = fields->items.rbegin(); field != fields->items.rend(); ++field) {
        if (field->kind == Value::Kind::reference) pending.push_back(Step{field->number, 0, "", 0});
    }
    std::set<uint32_t> seen;
    const auto total = static_cast<std::int64_t>(file.offsets().size());
    while (!pending.empty()) {
        Step step = std::move(pending.back());
        pending.pop_back();
        if (step.depth >= maxDepth || !seen.insert(step.number).second) continue;
        if (seen.size() % 256 == 0)
            RunningCommand::step(CommandPhase::findingFields, static_cast<std::int64_t>(seen.size()), total);
        const std::optional<Value> node = dictionaryObject(file, step.number);
        if (!node) continue;
        if (const std::string title = text(file, node->find("T")); !title.empty()) {
            step.above += (step.above.empty() ? "" : ".") + title;
            step.titled = step.number;
        }
        const Value* subtype = node->find("Subtype");
        if (subtype != nullptr && subtype->isName("Widget") && step.titled != 0)
            named[step.above].insert(step.titled);
        const std::optional<Value> kids = file.resolvedArray(node->find("Kids"));
        if (!kids) continue;
        for (auto kid = kids->items.rbegin(); kid != kids->items.rend(); ++kid) {
            if (kid->kind == Value::Kind::reference && kid->number != step.number)
                pending.push_back(Step{kid->number, step.depth + 1, step.above, step.titled});
        }
    }
    std::erase_if(named, [](const auto& entry) { return entry.second.size() < 2; });
    return named;
}

}  // namespace

Reading read(std::span<const uint8_t> plainFile) {
    Reading reading;
    const std::optional<File> file = File::index(plainFile);
    if (!file) return reading;
    reading.unparented = unparentedWidgets(*file);
    reading.namesakes = namesakes(*file);
    return reading;
}

}  // namespace kivo::FieldTree
