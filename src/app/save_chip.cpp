#include "app/save_chip.hpp"

namespace kivo {

SaveChip::SaveChip(QWidget* parent) : Chip(QStringLiteral("Saved"), ChipTone::neutral, QString(), parent) {
    setObjectName(QStringLiteral("saveChip"));
}

void SaveChip::setState(const std::string& phase, const std::string& label) {
    const SaveChipLook chosen = look(phase);
    setTone(chosen.tone);
    setSymbol(QString::fromLatin1(chosen.symbol.data(), static_cast<qsizetype>(chosen.symbol.size())));
    setText(QString::fromStdString(label));
}

SaveChipLook SaveChip::look(const std::string& phase) noexcept {
    if (phase == "failed") return {ChipTone::danger, "exclamationmark.triangle.fill"};
    if (phase == "saving") return {ChipTone::accent, ""};
    if (phase == "unsaved") return {ChipTone::warning, ""};
    return {ChipTone::neutral, ""};
}

}  // namespace kivo
