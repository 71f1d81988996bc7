#include "engine/method_kinds.hpp"

namespace kivo {

bool isEditMethod(CommandMethod method) noexcept {
    switch (method) {
        case CommandMethod::addHighlight:
        case CommandMethod::addNote:
        case CommandMethod::addInk:
        case CommandMethod::addContent:
        case CommandMethod::updateAnnotation:
        case CommandMethod::removeAnnotation:
        case CommandMethod::fillForm:
        case CommandMethod::organizePages:
        case CommandMethod::rotatePages:
        case CommandMethod::deletePages:
        case CommandMethod::mergeDocuments: return true;
        default: return false;
    }
}

bool isMutatingMethod(CommandMethod method) noexcept {
    if (isEditMethod(method)) return true;
    switch (method) {
        case CommandMethod::extractPages:
        case CommandMethod::saveDocument:
        case CommandMethod::exportDocument:
        case CommandMethod::undo:
        case CommandMethod::redo: return true;
        default: return false;
    }
}

}  // namespace kivo
