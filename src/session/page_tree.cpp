#include "session/page_tree.hpp"

#include <map>
#include <set>

#include "session/pdf_objects.hpp"

namespace kivo::PageTree {
namespace {

using PdfObjects::File;
using PdfObjects::Value;

// As deep as a tree of a million pages with two kids to a node goes, with room to spare.
constexpr int maxDepth = 64;

std::optional<Value> dictionaryAt(const File& file, uint32_t number) {
    auto object = file.object(number);
    if (!object || object->second || !object->first.isDictionary()) return std::nullopt;
    return std::move(object->first);
}

// Where a page stands in the tree: the node listing it, and the position in that node's /Kids.
struct Place {
    uint32_t page = 0;
    uint32_t node = 0;
    size_t position = 0;
};

class Walk {
public:
    // A tree of nodes listing other nodes twice may stand for ever more pages; past `most` it is not read.
    Walk(const File& file, size_t most) : file_(file), most_(most) {}

    // Every place in page order, as PDFium counts them; nothing for a tree this does not follow.
    std::optional<std::vector<Place>> places() {
        const std::optional<Value> catalog = file_.resolvedDictionary(file_.trailer().find("Root"));
        const Value* root = catalog ? catalog->find("Pages") : nullptr;
        if (root == nullptr || root->kind != Value::Kind::reference) return std::nullopt;
        if (!visit(root->number, 0)) return std::nullopt;
        return std::move(places_);
    }

    std::optional<Value> kidsOf(const Value& node) const { return file_.resolvedArray(node.find("Kids")); }

private:
    bool visit(uint32_t number, int depth) {
        if (depth > maxDepth || !path_.insert(number).second) return false;
        const std::optional<Value> node = dictionaryAt(file_, number);
        const std::optional<Value> kids = node ? kidsOf(*node) : std::nullopt;
        if (!kids) return false;
        for (size_t k = 0; k < kids->items.size(); ++k) {
            const Value& kid = kids->items[k];
            if (kid.kind != Value::Kind::reference) return false;
            // PDFium passes over a node listing itself.
            if (kid.number == number) continue;
            const std::optional<Value> child = file_.resolvedDictionary(&kid);
            if (!child) return false;
            if (child->find("Kids") == nullptr) {
                if (places_.size() == most_) return false;
                places_.push_back(Place{kid.number, number, k});
            } else if (!visit(kid.number, depth + 1)) {
                return false;
            }
        }
        path_.erase(number);
        return true;
    }

    const File& file_;
    const size_t most_;
    std::vector<Place> places_;
    std::set<uint32_t> path_;
};

bool holdsString(const Value& value) {
    if (value.kind == Value::Kind::atom)
        return !value.atom.empty() && (value.atom[0] == '(' || value.atom[0] == '<');
    for (const Value& item : value.items) {
        if (holdsString(item)) return true;
    }
    for (const auto& [key, entry] : value.entries) {
        if (holdsString(entry)) return true;
    }
    return false;
}

}  // namespace

std::optional<std::string> withOwnPageObject(std::span<const uint8_t> written,
                                             const std::vector<int>& objects, int index) {
    const std::optional<File> file = File::index(written);
    if (!file || index < 0 || static_cast<size_t>(index) >= objects.size()) return std::nullopt;
    Walk walk(*file, objects.size());
    const std::optional<std::vector<Place>> places = walk.places();
    if (!places || places->size() != objects.size()) return std::nullopt;
    for (size_t i = 0; i < objects.size(); ++i) {
        if (static_cast<int>((*places)[i].page) != objects[i]) return std::nullopt;
    }
    const Place& place = (*places)[static_cast<size_t>(index)];
    const std::optional<Value> page = dictionaryAt(*file, place.page);
    if (!page) return std::nullopt;
    if (file->trailer().find("Encrypt") != nullptr && holdsString(*page)) return std::nullopt;

    // PDFium reads what a page inherits through its own /Parent; the copy stands where the tree lists
    // it, so it keeps what it showed whichever node that is.
    Value copy = *page;
    Value held;
    const Value* parent = page->find("Parent");
    const bool sameParent =
        parent != nullptr && parent->kind == Value::Kind::reference && parent->number == place.node;
    if (!sameParent) {
        for (const char* key : {"Resources", "MediaBox", "CropBox", "Rotate"}) {
            if (copy.find(key) != nullptr) continue;
            std::set<uint32_t> passed;
            for (const Value* above = parent; above != nullptr && above->kind == Value::Kind::reference;) {
                if (!passed.insert(above->number).second || passed.size() > maxDepth) break;
                const std::optional<Value> node = dictionaryAt(*file, above->number);
                if (!node) break;
                if (const Value* found = node->find(key)) {
                    copy.set(key, *found);
                    break;
                }
                // The node goes at the end of this round: keep what names the next one.
                const Value* next = node->find("Parent");
                held = next != nullptr ? *next : Value{};
                above = next != nullptr ? &held : nullptr;
            }
        }
    }
    copy.set("Parent", Value::reference(place.node));

    const uint32_t copyNumber = file->size();
    std::map<uint32_t, Value> changes;
    changes.emplace(copyNumber, std::move(copy));
    std::optional<Value> node = dictionaryAt(*file, place.node);
    if (!node) return std::nullopt;
    std::optional<Value> kids = walk.kidsOf(*node);
    if (!kids || place.position >= kids->items.size()) return std::nullopt;
    kids->items[place.position] = Value::reference(copyNumber);
    if (const Value* entry = node->find("Kids"); entry->kind == Value::Kind::reference) {
        changes.emplace(entry->number, std::move(*kids));
    } else {
        node->set("Kids", std::move(*kids));
        changes.emplace(place.node, std::move(*node));
    }
    return file->appended(changes);
}

std::optional<std::string> withoutLoops(std::span<const uint8_t> written) {
    const std::optional<File> file = File::index(written);
    if (!file) return std::nullopt;
    const std::optional<Value> catalog = file->resolvedDictionary(file->trailer().find("Root"));
    const Value* root = catalog ? catalog->find("Pages") : nullptr;
    if (root == nullptr || root->kind != Value::Kind::reference) return std::nullopt;
    const Walk walk(*file, 0);
    std::map<uint32_t, Value> changes;
    std::set<uint32_t> path;
    // A node reached again by another way is not walked again: a tree listing nodes twice stands for
    // ever more paths.
    std::set<uint32_t> walked;
    const auto cut = [&](const auto& self, uint32_t number, int depth) -> void {
        if (depth > maxDepth || !walked.insert(number).second) return;
        std::optional<Value> node = dictionaryAt(*file, number);
        std::optional<Value> kids = node ? walk.kidsOf(*node) : std::nullopt;
        if (!kids) return;
        path.insert(number);
        Value kept = Value::array();
        for (const Value& kid : kids->items) {
            if (kid.kind == Value::Kind::reference && path.count(kid.number) != 0) continue;
            kept.items.push_back(kid);
            if (kid.kind != Value::Kind::reference) continue;
            const std::optional<Value> child = file->resolvedDictionary(&kid);
            if (child && child->find("Kids") != nullptr) self(self, kid.number, depth + 1);
        }
        path.erase(number);
        if (kept.items.size() == kids->items.size()) return;
        if (const Value* entry = node->find("Kids"); entry->kind == Value::Kind::reference) {
            changes.insert_or_assign(entry->number, std::move(kept));
        } else {
            node->set("Kids", std::move(kept));
            changes.insert_or_assign(number, std::move(*node));
        }
    };
    cut(cut, root->number, 0);
    if (changes.empty()) return std::nullopt;
    return file->appended(changes);
}

}  // namespace kivo::PageTree
