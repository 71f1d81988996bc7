#pragma once

// How the engine sorts methods: which ones edit a document as one undoable step, and which ones
// change anything at all. Dispatch, the MCP rules and the replay table all read these two lists.

#include "core/commands.hpp"

namespace kivo {

// The methods that change one open document as a single undoable step (answered by
// DocumentEngine::edit).
bool isEditMethod(CommandMethod method) noexcept;

// The methods that change a document or write a file; only these are ever replayed.
bool isMutatingMethod(CommandMethod method) noexcept;

}  // namespace kivo
