#include "app/inspector/form_field_editor.hpp"

#include <algorithm>

#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSignalBlocker>

#include "app/inspector/editor_drafts.hpp"
#include "design/chip.hpp"
#include "design/hero_button.hpp"
#include "design/hero_checkbox.hpp"
#include "design/hero_field.hpp"
#include "design/scaled_stack.hpp"
#include "design/text_scale.hpp"
#include "design/themed_label.hpp"
#include "design/wrapping_row.hpp"
#include "workspace/workspace.hpp"

namespace kivo {
namespace FormEditors {

FormEditorKind kind(const FormFieldInfo& field) {
    if (field.type == "button") return FormEditorKind::button;
    if (field.type == "checkbox") return FormEditorKind::checkbox;
    if (field.type == "radio") return FormEditorKind::radio;
    if (field.type == "combo" || field.type == "list") return FormEditorKind::choice;
    return field.multiline ? FormEditorKind::multilineText : FormEditorKind::text;
}

bool shownChecked(const FormFieldInfo& field) {
    if (field.checked) return *field.checked;
    return QString::fromStdString(field.value).toLower() == QStringLiteral("yes");
}

std::string shownValue(const FormFieldInfo& field, const std::optional<std::string>& draft) {
    return draft.value_or(field.value);
}

std::vector<std::pair<std::string, std::string>> unapplied(std::span<const FormFieldInfo> fields,
                                                           const EditorDrafts& drafts) {
    std::vector<std::pair<std::string, std::string>> typed;
    for (const FormFieldInfo& field : fields) {
        // Only text and choice fields take a typed value: a draft under any other name (a push button's,
        // left from a window that offered it a text box) would stop the save that follows.
        const bool typedValue = field.type == "text" || field.type == "combo" || field.type == "list";
        if (field.readOnly || !typedValue) continue;
        const std::optional<std::string> draft = drafts.field(field.name);
        const bool listed = std::any_of(typed.begin(), typed.end(),
                                        [&](const auto& entry) { return entry.first == field.name; });
        if (draft && *draft != field.value && !listed) typed.emplace_back(field.name, *draft);
    }
    return typed;
}

}  // namespace FormEditors

namespace {

// What the worker reports as a push button's value is the field's value, never what the button
// says, so the line names the kind alone.
const QString buttonLine = QStringLiteral("Push button, no value to fill");

QString buttonAccessibleName(const FormFieldInfo& field) {
    return QString::fromStdString(field.name) + QStringLiteral(", push button");
}

// The multi-line editor keeps Tab for itself; the note under it says how to move on.
const QString tabNote = QStringLiteral("Tab types a tab here; Ctrl+Tab moves on.");
const QString tabHint = QStringLiteral("Tab types a tab. Ctrl+Tab moves to the next control.");

}  // namespace

FormFieldEditor::FormFieldEditor(Workspace& workspace, EditorDrafts& drafts, const FormFieldInfo& field,
                                 QWidget* parent)
    : QWidget(parent),
      workspace_(workspace),
      drafts_(drafts),
      field_(field),
      kind_(FormEditors::kind(field)) {
    setObjectName(QStringLiteral("formField"));
    auto* column = ScaledStack::filling(this, Qt::Vertical, 6);

    auto* header = new WrappingRow(6, column);
    auto* name = new ThemedLabel(QString::fromStdString(field.name), ScaledTextStyle::callout,
                                 QFont::DemiBold, Theme::Token::foreground, header);
    name->setObjectName(QStringLiteral("fieldName"));
    name->setWordWrap(true);
    header->add(name);
    readOnly_ = new Chip(QStringLiteral("Read-only"), ChipTone::warning, QString(), header);
    readOnly_->setObjectName(QStringLiteral("readOnlyChip"));
    header->add(readOnly_);
    column->add(header);

    buildControl(column);
    control_->setObjectName(QStringLiteral("fieldControl"));
    applyMetrics();
    setField(field);
}

void FormFieldEditor::buildControl(ScaledStack* column) {
    const QString name = QString::fromStdString(field_.name);
    switch (kind_) {
        case FormEditorKind::checkbox:
            checkbox_ = new HeroCheckbox(QStringLiteral("Checked"), column);
            checkbox_->setAccessibleName(name);
            control_ = checkbox_;
            column->add(checkbox_, 0, Qt::AlignLeft | Qt::AlignTop);
            connect(checkbox_, &HeroCheckbox::clicked, this, [this](bool on) {
                // The box goes on showing the worker's state until the fill comes back.
                {
                    const QSignalBlocker quiet(checkbox_);
                    checkbox_->setChecked(FormEditors::shownChecked(field_));
                }
                workspace_.fill(field_.name, on ? "Yes" : "Off");
            });
            return;
        case FormEditorKind::button: {
            // A push button acts, it holds no value: it is named with its caption, never offered a text box.
            auto* what =
                new ThemedLabel(QString(), ScaledTextStyle::body, QFont::Normal, Theme::Token::muted, column);
            what->setTextFormat(Qt::PlainText);
            wrapInWidth(what);
            button_ = what;
            control_ = what;
            column->add(what);
            return;
        }
        case FormEditorKind::radio:
        case FormEditorKind::choice:
            picker_ = new QComboBox(column);
            picker_->setAccessibleName(name);
            picker_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
            picker_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
            // A field whose value is none of its options says so, rather than showing an empty box.
            picker_->setPlaceholderText(QStringLiteral("None chosen"));
            control_ = picker_;
            column->add(picker_);
            connect(picker_, &QComboBox::activated, this, &FormFieldEditor::pickerChosen);
            break;
        case FormEditorKind::multilineText:
            text_ = new HeroField(true, column);
            text_->textEdit()->setAccessibleName(name);
            text_->textEdit()->setAccessibleDescription(tabHint);
            text_->textEdit()->installEventFilter(this);
            control_ = text_;
            column->add(text_);
            connect(text_->textEdit(), &QPlainTextEdit::textChanged, this, [this] {
                drafts_.setField(field_.name, text_->textEdit()->toPlainText().toStdString());
            });
            {
                auto* note = new ThemedLabel(tabNote, ScaledTextStyle::caption, QFont::Normal,
                                             Theme::Token::muted, column);
                wrapInWidth(note);
                column->add(note);
            }
            break;
        case FormEditorKind::text:
            text_ = new HeroField(false, column);
            text_->lineEdit()->setPlaceholderText(QStringLiteral("Value"));
            text_->lineEdit()->setAccessibleName(name);
            control_ = text_;
            column->add(text_);
            connect(text_->lineEdit(), &QLineEdit::textEdited, this,
                    [this](const QString& text) { drafts_.setField(field_.name, text.toStdString()); });
            // Return in the one-line field applies it, as "Apply" does.
            connect(text_->lineEdit(), &QLineEdit::returnPressed, this, [this] {
                if (!field_.readOnly) apply();
            });
            break;
    }
    if (kind_ == FormEditorKind::radio) return;
    apply_ =
        new HeroButton(QStringLiteral("Apply"), HeroButtonVariant::secondary, HeroButtonSize::sm, column);
    apply_->setObjectName(QStringLiteral("applyField"));
    apply_->setAccessibleName(QStringLiteral("Apply ") + name);
    column->add(apply_, 0, Qt::AlignLeft | Qt::AlignTop);
    connect(apply_, &HeroButton::clicked, this, &FormFieldEditor::apply);
}

void FormFieldEditor::applyMetrics() {
    if (kind_ == FormEditorKind::multilineText)
        text_->setMinimumHeight(ScaledStack::scaled(this, minimumEditorHeight));
}

bool FormFieldEditor::event(QEvent* event) {
    if (event->type() == TextScale::changeEventType() || event->type() == QEvent::ParentChange)
        applyMetrics();
    return QWidget::event(event);
}

void FormFieldEditor::setField(const FormFieldInfo& field) {
    field_ = field;
    readOnly_->setVisible(field.readOnly);
    control_->setEnabled(!field.readOnly && !(kind_ == FormEditorKind::radio && field.options.empty()));
    if (apply_ != nullptr) apply_->setEnabled(!field.readOnly);
    if (button_ != nullptr) {
        button_->setText(buttonLine);
        button_->setAccessibleName(buttonAccessibleName(field));
    }
    if (checkbox_ != nullptr) {
        const QSignalBlocker quiet(checkbox_);
        checkbox_->setChecked(FormEditors::shownChecked(field));
    }
    refreshDraft();
}

void FormFieldEditor::refreshDraft() {
    const QString shown = QString::fromStdString(FormEditors::shownValue(field_, drafts_.field(field_.name)));
    if (picker_ != nullptr) return refreshPicker();
    if (text_ == nullptr) return;
    // What the focused editor holds is what the user is typing: it is not rewritten under the cursor.
    if (text_->editor()->hasFocus() && drafts_.field(field_.name)) return;
    const QSignalBlocker quiet(text_->editor());
    if (QLineEdit* line = text_->lineEdit(); line != nullptr && line->text() != shown) line->setText(shown);
    if (QPlainTextEdit* lines = text_->textEdit(); lines != nullptr && lines->toPlainText() != shown)
        lines->setPlainText(shown);
}

void FormFieldEditor::refreshPicker() {
    const QSignalBlocker quiet(picker_);
    QStringList options;
    for (const std::string& option : field_.options) options << QString::fromStdString(option);
    QStringList listed;
    for (int i = 0; i < picker_->count(); ++i) listed << picker_->itemText(i);
    if (listed != options) {
        picker_->clear();
        picker_->addItems(options);
    }
    // A value that is none of the options selects nothing.
    const QString shown = QString::fromStdString(FormEditors::shownValue(field_, drafts_.field(field_.name)));
    picker_->setCurrentIndex(static_cast<int>(options.indexOf(shown)));
}

void FormFieldEditor::pickerChosen(int index) {
    if (index < 0 || index >= static_cast<int>(field_.options.size())) return;
    const std::string& option = field_.options[static_cast<std::size_t>(index)];
    if (option == FormEditors::shownValue(field_, drafts_.field(field_.name))) return;
    drafts_.setField(field_.name, option);
    if (kind_ == FormEditorKind::radio) workspace_.fill(field_.name, option);
}

void FormFieldEditor::apply() {
    workspace_.fill(field_.name, FormEditors::shownValue(field_, drafts_.field(field_.name)));
}

bool FormFieldEditor::eventFilter(QObject* watched, QEvent* event) {
    // Tab types a tab into the multi-line editor; Ctrl+Tab (and Ctrl+Shift+Tab) move on from it.
    if (text_ != nullptr && watched == text_->textEdit() && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const bool tab = key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab;
        if (tab && (key->modifiers() & Qt::ControlModifier)) {
            const bool back = key->key() == Qt::Key_Backtab || (key->modifiers() & Qt::ShiftModifier);
            QWidget* next =
                back ? text_->textEdit()->previousInFocusChain() : text_->textEdit()->nextInFocusChain();
            while (next != nullptr && next != text_->textEdit() &&
                   (!(next->focusPolicy() & Qt::TabFocus) || !next->isVisible() || !next->isEnabled()))
                next = back ? next->previousInFocusChain() : next->nextInFocusChain();
            if (next != nullptr && next != text_->textEdit())
                next->setFocus(back ? Qt::BacktabFocusReason : Qt::TabFocusReason);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

}  // namespace kivo
