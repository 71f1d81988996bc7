#include "app/inspector/provider_card.hpp"

#include <QComboBox>
#include <QLineEdit>
#include <QSignalBlocker>
#include <QTimer>

#include "app/inspector/assistant_texts.hpp"
#include "app/inspector/model_picker.hpp"
#include "core/text.hpp"
#include "design/chip.hpp"
#include "design/hero_button.hpp"
#include "design/hero_field.hpp"
#include "design/literal_text.hpp"
#include "design/pill_segment.hpp"
#include "design/scaled_stack.hpp"
#include "design/section_card.hpp"
#include "design/status_message.hpp"
#include "design/themed_label.hpp"
#include "workspace/assistant_session.hpp"
#include "design/wrapping_row.hpp"
#include "workspace/workspace.hpp"

namespace kivo {
namespace {

// Where the key goes: the keyring, or the owner-only file where the key store keeps it without one.
QString keyNotice(bool file) {
    return (file ? QStringLiteral("The key goes into a file only you can read.")
                 : QStringLiteral("The key goes into your keyring.")) +
           QStringLiteral(
               " It is never written to a document, a recovery file, or a log, and answers are billed to "
               "your own Anthropic account.");
}

bool isChecking(ProviderCard::Shown shown) {
    return shown == ProviderCard::Shown::ollamaChecking || shown == ProviderCard::Shown::keyChecking;
}

ScaledStack* row(double spacing, QWidget* parent) {
    return new ScaledStack(Qt::Horizontal, spacing, {}, parent);
}

}  // namespace

ProviderCard::ProviderCard(Workspace& workspace, QWidget* parent) : QWidget(parent), workspace_(workspace) {
    setObjectName(QStringLiteral("providerCard"));
    build();
    connect(provider_, &PillSegment::activated, this, [this](const QVariant& value) {
        if (const auto provider = assistantProviderFromRaw(value.toString().toStdString()))
            workspace_.assistant().setAssistantProvider(*provider);
    });
    connect(&workspace_.assistant(), &AssistantSession::assistantProviderChanged, this, [this] {
        // A key typed for one provider is never kept for another.
        forgetTypedKey();
        refresh();
    });
    for (const auto changed :
         {&AssistantSession::providerStatusChanged, &AssistantSession::assistantModelChanged,
          &AssistantSession::assistantKeyStoredChanged, &AssistantSession::keyPendingChanged})
        connect(&workspace_.assistant(), changed, this, &ProviderCard::refresh);
    refresh();
}

void ProviderCard::build() {
    card_ = new SectionCard(QStringLiteral("Answers from"), std::nullopt, this);
    fill(this, card_);
    auto* column = new ScaledStack(Qt::Vertical, 10, {}, card_);
    card_->contentLayout()->addWidget(column);

    provider_ = new PillSegment(QStringLiteral("Answers from"), HeroButtonSize::sm, column);
    provider_->setObjectName(QStringLiteral("providerPill"));
    QList<SegmentItem> providers;
    for (const auto& entry : assistantProviders)
        providers.append({QString::fromLatin1(entry.rawValue), QString::fromLatin1(entry.title), QString()});
    provider_->setItems(providers);
    column->add(provider_);

    buildKeyEntry(column);
    buildKeyRow(column);

    checking_ =
        new ThemedLabel(QString(), ScaledTextStyle::callout, QFont::Normal, Theme::Token::muted, column);
    checking_->setObjectName(QStringLiteral("providerChecking"));
    column->add(checking_);
    warning_ = new StatusMessage(StatusMessage::Kind::warning, QString(), ScaledTextStyle::caption, column);
    warning_->setObjectName(QStringLiteral("providerWarning"));
    column->add(warning_);
    retry_ = new HeroButton(QString(), HeroButtonVariant::tertiary, HeroButtonSize::sm, column);
    retry_->setObjectName(QStringLiteral("providerRetry"));
    column->add(retry_, 0, Qt::AlignLeft | Qt::AlignTop);
    connect(retry_, &HeroButton::clicked, &workspace_.assistant(), &AssistantSession::refreshModels);

    auto* pickerRow = row(8, column);
    pickerRow_ = pickerRow;
    picker_ = new ModelPicker(pickerRow);
    picker_->setObjectName(QStringLiteral("modelPicker"));
    picker_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    picker_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    pickerRow->add(picker_, 1, Qt::AlignVCenter);
    refreshList_ = HeroButton::iconOnly(QStringLiteral("arrow.clockwise"), QString(),
                                        HeroButtonVariant::ghost, HeroButtonSize::sm, pickerRow);
    refreshList_->setObjectName(QStringLiteral("refreshModels"));
    pickerRow->add(refreshList_, 0, Qt::AlignVCenter);
    column->add(pickerRow);
    connect(picker_, &QComboBox::activated, this, [this](int index) {
        workspace_.assistant().setAssistantModel(picker_->itemData(index).toString().toStdString());
    });
    connect(refreshList_, &HeroButton::clicked, &workspace_.assistant(), &AssistantSession::refreshModels);

    auto* chips = new WrappingRow(6, column);
    chips_ = chips;
    capability_ = new Chip(QString(), ChipTone::neutral, QString(), chips);
    capability_->setObjectName(QStringLiteral("capabilityChip"));
    version_ = new Chip(QString(), ChipTone::neutral, QString(), chips);
    version_->setObjectName(QStringLiteral("versionChip"));
    chips->add(capability_);
    chips->add(version_);
    column->add(chips);
}

void ProviderCard::buildKeyEntry(ScaledStack* column) {
    auto* entry = new ScaledStack(Qt::Vertical, 10, {}, column);
    keyEntry_ = entry;
    key_ = new HeroField(false, entry);
    key_->setObjectName(QStringLiteral("keyField"));
    key_->lineEdit()->setEchoMode(QLineEdit::Password);
    key_->lineEdit()->setPlaceholderText(QStringLiteral("Anthropic API key"));
    key_->lineEdit()->setAccessibleName(QStringLiteral("Anthropic API key"));
    entry->add(key_);
    auto* buttons = new WrappingRow(8, entry);
    saveKey_ =
        new HeroButton(QStringLiteral("Save key"), HeroButtonVariant::primary, HeroButtonSize::sm, buttons);
    saveKey_->setObjectName(QStringLiteral("saveKey"));
    cancelKey_ =
        new HeroButton(QStringLiteral("Cancel"), HeroButtonVariant::tertiary, HeroButtonSize::sm, buttons);
    cancelKey_->setObjectName(QStringLiteral("cancelKey"));
    buttons->add(saveKey_);
    buttons->add(cancelKey_);
    entry->add(buttons);
    notice_ = new ThemedLabel(keyNotice(false), ScaledTextStyle::caption, QFont::Normal, Theme::Token::muted,
                              entry);
    notice_->setObjectName(QStringLiteral("keyNotice"));
    wrapInWidth(notice_);
    entry->add(notice_);
    column->add(entry);

    // Return in the field saves nothing: the key is saved only with the button.
    connect(key_->lineEdit(), &QLineEdit::textEdited, this, [this] {
        saveKey_->setEnabled(!trimWhitespaceAndNewlines(key_->lineEdit()->text().toStdString()).empty());
    });
    connect(saveKey_, &HeroButton::clicked, this, &ProviderCard::saveKey);
    connect(cancelKey_, &HeroButton::clicked, this, [this] {
        forgetTypedKey();
        refresh();
    });
}

void ProviderCard::buildKeyRow(ScaledStack* column) {
    // The chip and the two buttons go to two lines, or the chip elides, before the row outgrows the card.
    auto* keyRow = new WrappingRow(8, column);
    keyRow_ = keyRow;
    keyChip_ = new Chip(QString(), ChipTone::success, QStringLiteral("key.fill"), keyRow);
    keyChip_->setObjectName(QStringLiteral("keyChip"));
    keyRow->add(keyChip_);
    keyRow->addStretch();
    auto* replace =
        new HeroButton(QStringLiteral("Replace"), HeroButtonVariant::tertiary, HeroButtonSize::sm, keyRow);
    replace->setObjectName(QStringLiteral("replaceKey"));
    auto* remove =
        new HeroButton(QStringLiteral("Remove"), HeroButtonVariant::dangerSoft, HeroButtonSize::sm, keyRow);
    remove->setObjectName(QStringLiteral("removeKey"));
    remove->setAccessibleName(QStringLiteral("Remove the Anthropic key"));
    keyRow->add(replace);
    keyRow->add(remove);
    column->add(keyRow);

    connect(replace, &HeroButton::clicked, this, [this] {
        editingKey_ = true;
        refresh();
    });
    connect(remove, &HeroButton::clicked, this, [this] {
        workspace_.assistant().removeAssistantKey();
        // Only the typed key goes; a replacement under way stays one.
        key_->lineEdit()->clear();
        refresh();
    });
}

ProviderCard::Shown ProviderCard::shownFor(AssistantProvider provider,
                                           const std::optional<ProviderStatus>& status, bool keyStored,
                                           bool editingKey) {
    if (provider == AssistantProvider::ollama) {
        if (!status) return Shown::ollamaChecking;
        if (!status->ready) return Shown::ollamaUnavailable;
        return status->models.empty() ? Shown::ollamaEmpty : Shown::ollamaModels;
    }
    if (provider != AssistantProvider::anthropic) return Shown::builtIn;
    if (!keyStored || editingKey) return Shown::keyEntry;
    if (!status) return Shown::keyChecking;
    return status->ready ? Shown::keyModels : Shown::keyUnavailable;
}

void ProviderCard::refresh() {
    const auto& status = workspace_.assistant().providerStatus();
    const Shown previous = shown_;
    shown_ = shownFor(workspace_.assistant().assistantProvider(), status,
                      workspace_.assistant().assistantKeyStored(), editingKey_);
    provider_->setSelection(QString::fromLatin1(rawValue(workspace_.assistant().assistantProvider())));

    // While the key store works (the keyring may wait on its own prompt) the card says so, and offers
    // neither the emptied field nor a second save.
    const bool keyPending = workspace_.assistant().keyPending() && shown_ != Shown::builtIn &&
                            workspace_.assistant().assistantProvider() == AssistantProvider::anthropic;
    const bool keyEntry = shown_ == Shown::keyEntry && !keyPending;
    const bool keyStoredRow =
        shown_ == Shown::keyChecking || shown_ == Shown::keyUnavailable || shown_ == Shown::keyModels;
    keyEntry_->setVisible(keyEntry);
    cancelKey_->setVisible(keyEntry && workspace_.assistant().assistantKeyStored());
    saveKey_->setEnabled(!trimWhitespaceAndNewlines(key_->lineEdit()->text().toStdString()).empty());
    keyRow_->setVisible(keyStoredRow);
    if (const auto place = workspace_.assistant().assistantKeyPlace())
        keyInFile_ = *place == KeychainKey::Place::file;
    keyChip_->setText(keyInFile_ ? QStringLiteral("Key in a file only you can read")
                                 : QStringLiteral("Key in your keyring"));
    // A key replaced, or saved again after it was removed, goes where the last one was kept.
    notice_->setText(keyNotice(keyInFile_));

    checking_->setVisible(isChecking(shown_) || keyPending);
    checking_->setText(keyPending                        ? QStringLiteral("Waiting for the keyring…")
                       : shown_ == Shown::ollamaChecking ? QStringLiteral("Checking Ollama…")
                                                         : QStringLiteral("Checking the key…"));
    const bool unavailable = shown_ == Shown::ollamaUnavailable || shown_ == Shown::keyUnavailable;
    warning_->setVisible(unavailable || shown_ == Shown::ollamaEmpty);
    retry_->setVisible(unavailable);
    retry_->setText(shown_ == Shown::ollamaUnavailable ? QStringLiteral("Check Ollama again")
                                                       : QStringLiteral("Try again"));
    if (unavailable) warning_->setText(QString::fromStdString(status->reason));
    if (shown_ == Shown::ollamaEmpty) {
        warning_->setText(
            QStringLiteral("Ollama %1 has no models yet. Install one in a terminal, for example: "
                           "ollama pull gemma4")
                .arg(QString::fromStdString(status->version)));
    }

    const bool models = shown_ == Shown::ollamaModels || shown_ == Shown::keyModels;
    pickerRow_->setVisible(models);
    chips_->setVisible(false);
    if (models) {
        refreshModels(*status, shown_ == Shown::ollamaModels ? QStringLiteral("Check Ollama again")
                                                             : QStringLiteral("List the models again"));
    }
    if (isChecking(shown_) && shown_ != previous) checkWhenShown();
}

void ProviderCard::refreshModels(const ProviderStatus& status, const QString& refreshLabel) {
    LiteralText::setToolTip(*refreshList_, refreshLabel);
    refreshList_->setAccessibleName(refreshLabel);
    const std::string& chosen = workspace_.assistant().assistantModel();
    {
        const QSignalBlocker quiet(picker_);
        picker_->clear();
        for (const ModelInfo& model : status.models)
            picker_->addItem(AssistantTexts::modelLabel(model), QString::fromStdString(model.name));
        // A chosen model the list does not hold selects nothing.
        picker_->setCurrentIndex(picker_->findData(QString::fromStdString(chosen)));
    }
    if (shown_ != Shown::ollamaModels) return;
    const auto match = std::find_if(status.models.begin(), status.models.end(),
                                    [&](const ModelInfo& model) { return model.name == chosen; });
    if (match == status.models.end() || !match->capabilities) return;
    const bool tools = match->canCallTools();
    capability_->setText(tools ? QStringLiteral("Can propose edits") : QStringLiteral("Answers only"));
    capability_->setTone(tools ? ChipTone::accent : ChipTone::neutral);
    version_->setText(QStringLiteral("Ollama ") + QString::fromStdString(status.version));
    chips_->setVisible(true);
}

// The workspace fetches the list itself when the provider changes or a key is saved; the card asks
// only when it came to "Checking…" with no fetch under way (at start, with a provider chosen before).
// Asked on the next turn, so a fetch that the same change starts is seen first.
void ProviderCard::checkWhenShown() {
    QTimer::singleShot(0, this, [this] {
        if (isChecking(shown_) && !workspace_.assistant().modelsPending())
            workspace_.assistant().refreshModels();
    });
}

void ProviderCard::saveKey() {
    const std::string typed = key_->lineEdit()->text().toStdString();
    forgetTypedKey();
    workspace_.assistant().saveAssistantKey(typed);
    refresh();
}

void ProviderCard::forgetTypedKey() {
    key_->lineEdit()->clear();
    editingKey_ = false;
}

}  // namespace kivo
