#pragma once

// SaveChip: the chip that shows whether the open document is saved, in the status bar and on the
// Document tab. Its text is the workspace's save label; tone and symbol follow the save phase: failed
// is danger with the warning triangle, saving accent, unsaved warning, saved neutral. No signals; read by
// assistive technologies as its text.

#include <string>
#include <string_view>

#include "design/chip.hpp"
#include "workspace/workspace_types.hpp"

namespace kivo {

struct SaveChipLook {
    ChipTone tone;
    // Compared by its characters: the same literal need not have one address in every file.
    std::string_view symbol;  // empty for none

    bool operator==(const SaveChipLook&) const = default;
};

class SaveChip : public Chip {
    Q_OBJECT

public:
    explicit SaveChip(QWidget* parent = nullptr);

    void setState(SavePhase phase, const std::string& label);

    static SaveChipLook look(SavePhase phase) noexcept;
};

}  // namespace kivo
