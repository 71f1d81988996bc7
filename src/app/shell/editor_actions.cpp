#include "app/shell/editor_actions.hpp"

namespace kivo {

const EditorActionInfo& info(EditorAction action) noexcept {
    return editorActions[static_cast<std::size_t>(action)];
}

std::optional<EditorAction> editorActionFromRaw(std::string_view raw) noexcept {
    for (const EditorActionInfo& entry : editorActions) {
        if (entry.rawValue == raw) return entry.action;
    }
    return std::nullopt;
}

EditorAction toolAction(EditorTool tool) noexcept {
    return static_cast<EditorAction>(static_cast<int>(EditorAction::toolSelect) + static_cast<int>(tool));
}

}  // namespace kivo
