#pragma once

// ProviderCard: the "Answers from" card at the top of the Assistant tab. The provider pill (Built-in,
// Ollama, Anthropic), and under it what the chosen provider needs: for Ollama its state ("Checking
// Ollama…", its warning with "Check Ollama again", the empty-list warning, or the model picker with the
// capability and version chips); for Anthropic the key entry (secure field, "Save key", "Cancel" while
// replacing a stored key, the notice) or the stored-key row ("Replace", "Remove") over the key's state
// and the model picker. Lengths are points × the text scale; rows as the design lays them out.
//
// The card keeps the two pieces of state that are the inspector's own: the typed key (only in the
// field; cleared after saving, cancelling, removing and when the provider changes) and whether a stored
// key is being replaced. It asks the workspace for the provider's models exactly when it comes to show
// "Checking…" and no fetch is already on its way, never because it was painted or rebuilt, so the
// answer it gets can never ask again. Every other control writes the workspace or calls it on a user
// signal; refreshes run under signal blockers. No signals of its own.

#include <QWidget>

#include "assistant/model_provider.hpp"
#include "workspace/assistant_choices.hpp"

class QComboBox;
class QLineEdit;

namespace kivo {

class Chip;
class HeroButton;
class HeroField;
class PillSegment;
class ScaledStack;
class SectionCard;
class StatusMessage;
class ThemedLabel;
class Workspace;

class ProviderCard : public QWidget {
    Q_OBJECT

public:
    explicit ProviderCard(Workspace& workspace, QWidget* parent = nullptr);

    // What the card shows under the pill.
    enum class Shown {
        builtIn,
        ollamaChecking,
        ollamaUnavailable,
        ollamaEmpty,
        ollamaModels,
        keyEntry,
        keyChecking,
        keyUnavailable,
        keyModels,
    };
    Shown shown() const noexcept { return shown_; }
    // What the card shows for this state of the workspace and of its own key editor.
    static Shown shownFor(AssistantProvider provider, const std::optional<ProviderStatus>& status,
                          bool keyStored, bool editingKey);

private:
    void build();
    void buildKeyEntry(ScaledStack* column);
    void buildKeyRow(ScaledStack* column);
    void refresh();
    void refreshModels(const ProviderStatus& status, const QString& refreshLabel);
    void checkWhenShown();
    void saveKey();
    void forgetTypedKey();

    Workspace& workspace_;
    Shown shown_ = Shown::builtIn;
    bool editingKey_ = false;
    std::string shownProvider_;

    SectionCard* card_;
    PillSegment* provider_;
    ThemedLabel* checking_;
    StatusMessage* warning_;
    HeroButton* retry_;
    QWidget* pickerRow_;
    QComboBox* picker_;
    HeroButton* refreshList_;
    QWidget* chips_;
    Chip* capability_;
    Chip* version_;
    QWidget* keyEntry_;
    HeroField* key_;
    HeroButton* saveKey_;
    HeroButton* cancelKey_;
    QWidget* keyRow_;
    Chip* keyChip_;
    ThemedLabel* notice_;
    // Where the last key the card saw was kept.
    bool keyInFile_ = false;
};

}  // namespace kivo
