#include "app/inspector/editor_drafts.hpp"

#include "workspace/workspace.hpp"

namespace kivo {
namespace {

std::optional<std::string> lookup(const std::map<std::string, std::string>& drafts, const std::string& key) {
    const auto found = drafts.find(key);
    if (found == drafts.end()) return std::nullopt;
    return found->second;
}

// Answers whether the entry changed.
bool store(std::map<std::string, std::string>& drafts, const std::string& key, const std::string& value) {
    const auto [entry, added] = drafts.try_emplace(key, value);
    if (!added && entry->second == value) return false;
    entry->second = value;
    return true;
}

}  // namespace

EditorDrafts::EditorDrafts(Workspace& workspace, QObject* parent) : QObject(parent) {
    connect(&workspace, &Workspace::documentReplaced, this, &EditorDrafts::clear);
}

std::optional<std::string> EditorDrafts::field(const std::string& name) const {
    return lookup(fields_, name);
}

void EditorDrafts::setField(const std::string& name, const std::string& value) {
    if (store(fields_, name, value)) emit fieldChanged(name);
}

std::optional<std::string> EditorDrafts::annotation(const std::string& id) const {
    return lookup(annotations_, id);
}

void EditorDrafts::setAnnotation(const std::string& id, const std::string& contents) {
    if (store(annotations_, id, contents)) emit annotationChanged(id);
}

void EditorDrafts::clear() {
    if (empty()) return;
    fields_.clear();
    annotations_.clear();
    emit cleared();
}

}  // namespace kivo
