#pragma once

// What the canvas bar, the menus and the window's keys share, so a tool or a step is named once:
// the seven tools in the order they are offered (the Tools menu numbers them Alt+1 to Alt+7), one
// zoom step and one nudge step in points.

#include <array>

#include "workspace/workspace_types.hpp"

namespace kivo {

struct EditorToolItem {
    EditorTool tool;
    const char* title;
    const char* symbol;
};

inline constexpr std::array<EditorToolItem, 7> editorTools = {{
    {EditorTool::select, "Select", "cursorarrow"},
    {EditorTool::highlight, "Highlight", "highlighter"},
    {EditorTool::note, "Note", "note.text"},
    {EditorTool::text, "Text", "textformat"},
    {EditorTool::ink, "Ink", "pencil.tip"},
    {EditorTool::image, "Image", "photo"},
    {EditorTool::signature, "Signature", "signature"},
}};

inline constexpr double zoomStep = 0.15;
inline constexpr double nudgeStep = 4;

}  // namespace kivo
