#include "app/inspector/form_tab.hpp"

#include "app/inspector/editor_drafts.hpp"
#include "app/inspector/form_field_editor.hpp"
#include "design/chip.hpp"
#include "design/scaled_stack.hpp"
#include "design/section_card.hpp"
#include "design/themed_label.hpp"
#include "workspace/workspace.hpp"

namespace kivo {

FormTab::FormTab(Workspace& workspace, EditorDrafts& drafts, QWidget* parent)
    : QWidget(parent), workspace_(workspace), drafts_(drafts) {
    setObjectName(QStringLiteral("formTab"));
    auto* column = ScaledStack::filling(this, Qt::Vertical, 12, QMarginsF(10, 10, 10, 10));
    card_ = new SectionCard(QStringLiteral("Form fields"), std::nullopt, column);
    card_->setObjectName(QStringLiteral("formFields"));
    column->add(card_);
    column->addStretch();
    empty_ = new ThemedLabel(QStringLiteral("No AcroForm fields on this document."), ScaledTextStyle::callout,
                             QFont::Normal, Theme::Token::muted, card_);
    wrapInWidth(empty_);
    card_->contentLayout()->addWidget(empty_);
    list_ = new ScaledStack(Qt::Vertical, 12, {}, card_);
    card_->contentLayout()->addWidget(list_);

    connect(&workspace_, &WorkspaceState::inspectChanged, this, &FormTab::refresh);
    connect(&drafts_, &EditorDrafts::fieldChanged, this, [this](const std::string& name) {
        for (FormFieldEditor* editor : editors_) {
            if (editor->field().name == name) editor->refreshDraft();
        }
    });
    connect(&drafts_, &EditorDrafts::cleared, this, [this] {
        for (FormFieldEditor* editor : editors_) editor->refreshDraft();
    });
    refresh();
}

void FormTab::refresh() {
    const OpenDocument document = workspace_.document();
    const std::span<const FormFieldInfo> fields = document.fields();

    // An editor stays with the first field after it of the same name and kind.
    std::vector<FormFieldEditor*> pool = std::move(editors_);
    editors_.clear();
    for (FormFieldEditor* editor : pool) list_->box()->removeWidget(editor);
    for (const FormFieldInfo& field : fields) {
        const FormEditorKind kind = FormEditors::kind(field);
        const auto reused = std::find_if(pool.begin(), pool.end(), [&](const FormFieldEditor* editor) {
            return editor != nullptr && editor->field().name == field.name && editor->kind() == kind;
        });
        FormFieldEditor* editor = nullptr;
        if (reused != pool.end()) {
            editor = std::exchange(*reused, nullptr);
            editor->setField(field);
        } else {
            editor = new FormFieldEditor(workspace_, drafts_, field, list_);
        }
        list_->add(editor);
        editor->setVisible(true);
        editors_.push_back(editor);
    }
    for (FormFieldEditor* gone : pool) {
        if (gone == nullptr) continue;
        gone->hide();
        gone->deleteLater();
    }

    empty_->setVisible(fields.empty());
    list_->setVisible(!fields.empty());
    if (fields.empty()) {
        card_->setAccessory(nullptr);
        return;
    }
    const std::optional<std::string> formType = document.formType();
    const QString type = formType ? QString::fromStdString(*formType) : QStringLiteral("AcroForm");
    auto* chip = qobject_cast<Chip*>(card_->accessory());
    if (chip == nullptr) {
        chip = new Chip(type, ChipTone::neutral, QString(), card_);
        chip->setObjectName(QStringLiteral("formType"));
        card_->setAccessory(chip);
    }
    chip->setText(type);
}

}  // namespace kivo
