#pragma once

// The four tabs of the inspector, in the order of its tab strip, with the raw values the settings store
// ("assistant", "page", "form", "document"), their titles and their symbols. Plain values; nothing fails.

#include <array>
#include <optional>
#include <string_view>

namespace kivo {

enum class InspectorTab { assistant, page, form, document };

struct InspectorTabInfo {
    InspectorTab tab;
    std::string_view rawValue;
    const char* title;
    const char* symbol;
};

inline constexpr std::array<InspectorTabInfo, 4> inspectorTabs = {{
    {InspectorTab::assistant, "assistant", "Assistant", "sparkles"},
    {InspectorTab::page, "page", "Page", "doc.text.magnifyingglass"},
    {InspectorTab::form, "form", "Form", "list.bullet.rectangle.portrait"},
    {InspectorTab::document, "document", "Document", "info.circle"},
}};

const InspectorTabInfo& info(InspectorTab tab) noexcept;

// The tab of exactly one of the four raw values (letter case counts); nothing for any other text.
std::optional<InspectorTab> inspectorTabFromRaw(std::string_view raw) noexcept;

// The tab a stored value shows: its own, or the assistant for a value that names none.
InspectorTab shownInspectorTab(std::string_view stored) noexcept;

}  // namespace kivo
