#include "workspace/annotation_description.hpp"

#include <unicode/uchar.h>

#include "core/text_match.hpp"

namespace kivo::CanvasAccessibility {

std::string describe(const AnnotationInfo& annotation) {
    icu::UnicodeString kind = TextMatch::utf16(annotation.kind);
    if (!kind.isEmpty()) {
        const UChar32 first = kind.char32At(0);
        kind.replace(0, U16_LENGTH(first), icu::UnicodeString(u_toupper(first)));
    }
    std::string description = TextMatch::utf8(kind) + " annotation";
    const std::string contents = TextMatch::trimmed(annotation.contents);
    if (!contents.empty() && !TextMatch::equalsIgnoringCase(contents, annotation.kind)) {
        description += ": " + contents;
    }
    return description;
}

}  // namespace kivo::CanvasAccessibility
