#pragma once

// What the canvas bar, the menus and the window's keys share, so a tool or a step is named once:
// the seven tools in the order they are offered (the Tools menu numbers them Alt+1 to Alt+7) with the
// symbols the tool pill draws (their titles are their commands', toolAction() in editor_actions.hpp),
// one zoom step and one nudge step in points.

#include <array>

#include "workspace/workspace_types.hpp"

namespace kivo {

struct EditorToolItem {
    EditorTool tool;
    const char* symbol;
};

inline constexpr std::array<EditorToolItem, 7> editorTools = {{
    {EditorTool::select, "cursorarrow"},
    {EditorTool::highlight, "highlighter"},
    {EditorTool::note, "note.text"},
    {EditorTool::text, "textformat"},
    {EditorTool::ink, "pencil.tip"},
    {EditorTool::image, "photo"},
    {EditorTool::signature, "signature"},
}};

inline constexpr double zoomStep = 0.15;
inline constexpr double nudgeStep = 4;

}  // namespace kivo
