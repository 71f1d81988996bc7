#pragma once

// The spoken words for what the canvas shows: the workspace says them in the status line when the
// user steps to an annotation, and the window gives them to assistive technologies. Never fails.

#include <string>

#include "core/document_records.hpp"

namespace kivo::CanvasAccessibility {

// The kind with its first letter in upper case and " annotation", then ": " and the contents
// trimmed, unless they are empty or only repeat the kind: "Note annotation: Check the total".
std::string describe(const AnnotationInfo& annotation);

}  // namespace kivo::CanvasAccessibility
