#include "core/render_cache.hpp"

namespace kivo {

RenderInvalidation RenderInvalidation::after(CommandMethod method,
                                             const std::optional<std::vector<std::string>>& affectedPages) {
    switch (method) {
        // Edits that change the look of known pages only.
        case CommandMethod::addHighlight:
        case CommandMethod::addNote:
        case CommandMethod::addInk:
        case CommandMethod::addContent:
        case CommandMethod::fillForm:
        case CommandMethod::rotatePages:
        case CommandMethod::updateAnnotation:
        case CommandMethod::removeAnnotation:
            if (!affectedPages) return all();
            return pages(std::unordered_set<std::string>(affectedPages->begin(), affectedPages->end()));
        // Pages move, go or come, or the file is written, but no surviving
        // page looks different under its id.
        case CommandMethod::organizePages:
        case CommandMethod::deletePages:
        case CommandMethod::mergeDocuments:
        case CommandMethod::extractPages:
        case CommandMethod::saveDocument:
        case CommandMethod::exportDocument: return none();
        default: return all();
    }
}

}  // namespace kivo
