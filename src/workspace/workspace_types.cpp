#include "workspace/workspace_types.hpp"

#include <QLocale>

namespace kivo {
namespace {

struct PhaseText {
    const char* text;
    bool counts;  // the counts follow the text once the worker knows a total
};

// Indexed by CommandPhase, in its listing order.
constexpr std::array<PhaseText, 11> phaseTexts = {{
    {"Waiting for another command to finish", false},
    {"Working…", false},
    {"Loading pages", true},
    {"Checking for scripts", true},
    {"Reading annotations", true},
    {"Reading form fields", true},
    {"Searching pages", true},
    {"Checking form fields", true},
    {"Measuring pages", true},
    {"Finding the field", true},
    {"Reading page text", true},
}};

}  // namespace

std::string_view rawValue(EditorTool tool) noexcept {
    constexpr std::array<std::string_view, 7> names = {"select", "highlight", "note",     "text",
                                                       "ink",    "image",     "signature"};
    return names[static_cast<std::size_t>(tool)];
}

std::string_view rawValue(FitMode mode) noexcept {
    constexpr std::array<std::string_view, 3> names = {"manual", "page", "width"};
    return names[static_cast<std::size_t>(mode)];
}

namespace {

constexpr std::array<std::string_view, 4> savePhaseNames = {"saved", "unsaved", "saving", "failed"};

}  // namespace

std::string_view rawValue(SavePhase phase) noexcept {
    return savePhaseNames[static_cast<std::size_t>(phase)];
}

template <>
std::optional<SavePhase> fromRawValue<SavePhase>(std::string_view rawName) noexcept {
    for (std::size_t i = 0; i < savePhaseNames.size(); ++i) {
        if (savePhaseNames[i] == rawName) return static_cast<SavePhase>(i);
    }
    return std::nullopt;
}

std::string_view rawValue(OverlayKind kind) noexcept {
    constexpr std::array<std::string_view, 3> names = {"text", "image", "signature"};
    return names[static_cast<std::size_t>(kind)];
}

std::string CommandActivity::detail() const {
    const PhaseText& entry = phaseTexts[static_cast<std::size_t>(phase)];
    std::string text = entry.text;
    if (!entry.counts || total < 1) return text;
    const QLocale locale;
    text += ": " + locale.toString(static_cast<qlonglong>(completed)).toStdString() + " of " +
            locale.toString(static_cast<qlonglong>(total)).toStdString();
    return text;
}

}  // namespace kivo
