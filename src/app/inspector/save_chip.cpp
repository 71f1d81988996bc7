#include "app/inspector/save_chip.hpp"

namespace kivo {

SaveChip::SaveChip(QWidget* parent) : Chip(QStringLiteral("Saved"), ChipTone::neutral, QString(), parent) {
    setObjectName(QStringLiteral("saveChip"));
}

void SaveChip::setState(SavePhase phase, const std::string& label) {
    const SaveChipLook chosen = look(phase);
    setTone(chosen.tone);
    setSymbol(QString::fromLatin1(chosen.symbol.data(), static_cast<qsizetype>(chosen.symbol.size())));
    setText(QString::fromStdString(label));
}

SaveChipLook SaveChip::look(SavePhase phase) noexcept {
    switch (phase) {
        case SavePhase::failed: return {ChipTone::danger, "exclamationmark.triangle.fill"};
        case SavePhase::saving: return {ChipTone::accent, ""};
        case SavePhase::unsaved: return {ChipTone::warning, ""};
        case SavePhase::saved: break;
    }
    return {ChipTone::neutral, ""};
}

}  // namespace kivo
