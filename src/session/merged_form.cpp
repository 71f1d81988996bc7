#include "session/merged_form.hpp"

#include <algorithm>
#include <map>

#include "core/engine_failure.hpp"
#include "core/text.hpp"
#include "session/field_tree.hpp"
#include "session/pdf_objects.hpp"

namespace kivo::MergedForm {

using PdfObjects::File;
using PdfObjects::Value;

namespace {

// A field tree deeper than this is malformed; its upper part stays behind.
constexpr int maxFieldDepth = 64;

File indexed(std::span<const uint8_t> bytes) {
    std::optional<File> file = File::index(bytes);
    if (!file) throw notCarried();
    return std::move(*file);
}

Value atom(std::string text) {
    Value value;
    value.atom = std::move(text);
    return value;
}

// The dictionaries of one file that a step reads and changes, each read once.
class Objects {
public:
    explicit Objects(const File& file) : file_(file) {}

    // The dictionary object `number` (never a stream), or null.
    Value* dictionary(uint32_t number) {
        if (const auto found = cache_.find(number); found != cache_.end())
            return found->second ? &*found->second : nullptr;
        std::optional<Value>& slot = cache_[number];
        if (auto object = file_.object(number); object && !object->second && object->first.isDictionary()) {
            slot = std::move(object->first);
        }
        return slot ? &*slot : nullptr;
    }
    void changed(uint32_t number) { changed_.insert(number); }
    // Throws when the object was read here already: a file that gives one object two roles (a
    // catalog that is also the form's resources) is not one a merge can join, and replacing it
    // would pull the first role from under its reader.
    void add(uint32_t number, Value value) {
        if (const auto found = cache_.find(number);
            changed_.count(number) != 0 || (found != cache_.end() && found->second))
            throw notCarried();
        cache_[number] = std::move(value);
        changed_.insert(number);
    }
    std::map<uint32_t, Value> changes() const {
        std::map<uint32_t, Value> out;
        for (const uint32_t number : changed_) out.emplace(number, *cache_.at(number));
        return out;
    }

private:
    const File& file_;
    std::map<uint32_t, std::optional<Value>> cache_;
    std::set<uint32_t> changed_;
};

const Value* reference(const Value* value) {
    return value != nullptr && value->kind == Value::Kind::reference ? value : nullptr;
}

// The document's /AcroForm, resolved, or an empty dictionary.
Value acroForm(const File& file, Objects& objects) {
    const Value* root = reference(file.trailer().find("Root"));
    const Value* catalog = root ? objects.dictionary(root->number) : nullptr;
    std::optional<Value> form = catalog ? file.resolvedDictionary(catalog->find("AcroForm")) : std::nullopt;
    return form ? std::move(*form) : Value::dictionary();
}

// The first "name_N" not taken, from the N where the last search for `name` stopped: names are only
// ever added, so many fields of one name cost one step each rather than one per field before them.
std::string freeName(const std::string& name, const std::set<std::string>& taken,
                     std::map<std::string, int>& next) {
    int& suffix = next.try_emplace(name, 2).first->second;
    for (;; ++suffix) {
        std::string candidate = name + "_" + std::to_string(suffix);
        if (taken.count(candidate) == 0) return candidate;
    }
}

class Preparation {
public:
    Preparation(const File& file, const std::function<std::set<std::string>()>& takenNames)
        : file_(file), objects_(file), takenNames_(takenNames), listedBy_(FieldTree::unnamedParents(file)) {
        prepared_.carried.key = "Kivo" + newUUIDString().substr(0, 8);  // eight hex digits
    }

    std::optional<Prepared> run() {
        for (const auto& [number, offset] : file_.offsets()) {
            // Most objects are neither; their bytes say so without a parse.
            const std::string_view text = file_.span(number);
            if (text.find("/Widget") == std::string_view::npos &&
                text.find("/Popup") == std::string_view::npos)
                continue;
            const Value* annotation = objects_.dictionary(number);
            if (annotation == nullptr) continue;
            const Value* subtype = annotation->find("Subtype");
            if (subtype == nullptr) continue;
            // Marking adds entries to the annotation, which may move `subtype`: decide first.
            const bool widget = subtype->isName("Widget"), popup = subtype->isName("Popup");
            if (widget) climb(number);
            if (popup) keepParent(number);
        }
        if (roots_.empty() && !marked_) return std::nullopt;
        if (!roots_.empty()) taken_ = takenNames_();
        finishRoots();
        prepared_.bytes = file_.appended(objects_.changes());
        return std::move(prepared_);
    }

private:
    std::string key(const char* suffix) const { return prepared_.carried.key + suffix; }

    // Repeats the object's /Parent under this merge's key: a reference when it names a
    // dictionary, else null, which the join turns into no /Parent at all. A kid that names none
    // takes the field whose /Kids list it, as other readers take it. Answers the parent.
    uint32_t keepParent(uint32_t number) {
        Value& object = *objects_.dictionary(number);
        const Value* parent = object.find("Parent");
        const Value* target = reference(parent);
        bool usable = target != nullptr && target->number != number && objects_.dictionary(target->number);
        uint32_t parentNumber = usable ? target->number : 0;
        if (const auto listed = listedBy_.find(number); !usable && listed != listedBy_.end()) {
            usable = objects_.dictionary(listed->second) != nullptr;
            parentNumber = usable ? listed->second : 0;
        }
        if (parent == nullptr && !usable) return 0;
        objects_.dictionary(number)->set(key("P"), usable ? Value::reference(parentNumber) : atom("null"));
        objects_.changed(number);
        marked_ = true;
        return parentNumber;
    }

    // From a widget up to its top-level field, which becomes a root when it is a field at all.
    void climb(uint32_t widget) {
        uint32_t current = widget;
        for (int depth = 0; depth < maxFieldDepth; ++depth) {
            if (!climbed_.insert(current).second) return;
            const uint32_t parent = keepParent(current);
            if (parent == 0) break;
            current = parent;
        }
        const Value& top = *objects_.dictionary(current);
        if (top.find("T") || top.find("FT") || top.find("Kids")) roots_.insert(current);
    }

    void finishRoots() {
        Value form = acroForm(file_, objects_);
        const Value* needs = form.find("NeedAppearances");
        prepared_.carried.needAppearances = needs && needs->atom == "true";
        std::set<std::string> names = taken_;
        for (const uint32_t root : roots_) {
            if (const Value* title = objects_.dictionary(root)->find("T"))
                names.insert(PdfObjects::decodedText(*title));
        }
        std::map<std::string, int> nextSuffix;
        bool resourcesCarried = false;
        for (const uint32_t root : roots_) {
            Value& field = *objects_.dictionary(root);
            for (const char* inherited : {"DA", "Q"}) {
                if (!field.find(inherited) && form.find(inherited))
                    field.set(inherited, *form.find(inherited));
            }
            if (!resourcesCarried && form.find("DR")) {
                field.set(key("DR"), *form.find("DR"));
                resourcesCarried = true;
            }
            if (const Value* title = field.find("T")) {
                const std::string name = PdfObjects::decodedText(*title);
                if (!name.empty() && taken_.count(name) != 0) {
                    const std::string renamed = freeName(name, names, nextSuffix);
                    names.insert(renamed);
                    field.set("T", PdfObjects::textString(renamed));
                    prepared_.carried.renamed.emplace_back(name, renamed);
                }
            }
            field.set(key("R"), atom("true"));
            objects_.changed(root);
        }
    }

    const File& file_;
    Objects objects_;
    const std::function<std::set<std::string>()>& takenNames_;
    std::set<std::string> taken_;
    std::set<uint32_t> climbed_;
    std::set<uint32_t> roots_;
    // The field listing each kid whose /Parent names none.
    std::map<uint32_t, uint32_t> listedBy_;
    bool marked_ = false;
    Prepared prepared_;
};

// `into` with the entries of `from` it lacks; the font dictionaries joined the same way.
Value joinedResources(const File& file, Value into, const Value& from) {
    for (const auto& [name, entry] : from.entries) {
        if (name == "Font") {
            std::optional<Value> fonts = file.resolvedDictionary(into.find("Font"));
            std::optional<Value> added = file.resolvedDictionary(&entry);
            if (!fonts || !added) {
                if (!into.find("Font")) into.set("Font", entry);
                continue;
            }
            for (const auto& [font, value] : added->entries) {
                if (!fonts->find(font)) fonts->set(font, value);
            }
            into.set("Font", std::move(*fonts));
        } else if (!into.find(name)) {
            into.set(name, entry);
        }
    }
    return into;
}

}  // namespace

std::optional<Prepared> prepare(std::span<const uint8_t> appended,
                                const std::function<std::set<std::string>()>& takenNames) {
    const File file = indexed(appended);
    return Preparation(file, takenNames).run();
}

std::string join(std::span<const uint8_t> merged, const Carried& carried) {
    const File file = indexed(merged);
    Objects objects(file);
    const std::string parentKey = carried.key + "P", rootKey = carried.key + "R",
                      resourcesKey = carried.key + "DR";
    std::vector<uint32_t> roots;
    std::optional<Value> resources;
    for (const auto& [number, offset] : file.offsets()) {
        if (file.span(number).find("/" + carried.key) == std::string_view::npos) continue;
        Value* object = objects.dictionary(number);
        if (object == nullptr) continue;
        if (const Value* parent = object->find(parentKey)) {
            if (parent->kind == Value::Kind::reference) {
                object->set("Parent", *parent);
            } else {
                object->erase("Parent");
            }
        }
        if (object->find(rootKey)) roots.push_back(number);
        if (const Value* carriedResources = object->find(resourcesKey); carriedResources && !resources) {
            resources = file.resolvedDictionary(carriedResources);
        }
        for (const std::string& key : {parentKey, rootKey, resourcesKey}) object->erase(key);
        objects.changed(number);
    }

    const Value* root = reference(file.trailer().find("Root"));
    Value* catalog = root ? objects.dictionary(root->number) : nullptr;
    if (catalog == nullptr) throw notCarried();
    const Value* formEntry = catalog->find("AcroForm");
    Value form = acroForm(file, objects);
    uint32_t formNumber = reference(formEntry) ? formEntry->number : 0;

    Value fields = Value::array();
    uint32_t fieldsNumber = 0;
    if (const Value* entry = form.find("Fields"); reference(entry)) {
        if (auto object = file.object(entry->number);
            object && !object->second && object->first.kind == Value::Kind::array) {
            fields = std::move(object->first);
            fieldsNumber = entry->number;
        }
    } else if (entry && entry->kind == Value::Kind::array) {
        fields = *entry;
    }
    for (const uint32_t number : roots) fields.items.push_back(Value::reference(number));
    if (fieldsNumber != 0) {
        objects.add(fieldsNumber, std::move(fields));
    } else {
        form.set("Fields", std::move(fields));
    }
    if (resources) {
        // Where the target keeps its resources in an object of their own, they stay there.
        const Value* ownEntry = form.find("DR");
        std::optional<Value> own = file.resolvedDictionary(ownEntry);
        const bool ownObject = own && reference(ownEntry);
        Value joined = own ? joinedResources(file, std::move(*own), *resources) : std::move(*resources);
        if (ownObject) {
            objects.add(ownEntry->number, std::move(joined));
        } else {
            form.set("DR", std::move(joined));
        }
    }
    if (carried.needAppearances) form.set("NeedAppearances", atom("true"));

    // The form stays where it was: its strings are encrypted for that object in an encrypted file.
    if (formNumber != 0) {
        objects.add(formNumber, std::move(form));
    } else if (formEntry != nullptr && formEntry->isDictionary()) {
        catalog->set("AcroForm", std::move(form));
        objects.changed(root->number);
    } else {
        catalog->set("AcroForm", Value::reference(file.size()));
        objects.changed(root->number);
        objects.add(file.size(), std::move(form));
    }
    return file.appended(objects.changes());
}

EngineFailure notCarried() {
    return EngineFailure(FailureCode::mergeFailed,
                         "The form fields of the merged file could not be carried over.");
}

std::string renamedSentence(const std::vector<std::pair<std::string, std::string>>& renamed) {
    std::string list;
    for (const auto& [from, to] : renamed) list += (list.empty() ? "" : ", ") + from + " is now " + to;
    return "Fields of the merged document took names the document already had, so each was renamed with a "
           "number after its top-level name: " +
           list + ".";
}

}  // namespace kivo::MergedForm
