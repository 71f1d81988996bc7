#include "app/inspector/inspector_tab.hpp"

namespace kivo {

const InspectorTabInfo& info(InspectorTab tab) noexcept {
    return inspectorTabs[static_cast<std::size_t>(tab)];
}

std::optional<InspectorTab> inspectorTabFromRaw(std::string_view raw) noexcept {
    for (const InspectorTabInfo& entry : inspectorTabs) {
        if (entry.rawValue == raw) return entry.tab;
    }
    return std::nullopt;
}

InspectorTab shownInspectorTab(std::string_view stored) noexcept {
    return inspectorTabFromRaw(stored).value_or(InspectorTab::assistant);
}

}  // namespace kivo
