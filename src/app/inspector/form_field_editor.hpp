#pragma once

// FormFieldEditor: the rows of one form field on the Form tab: its name (with a "Read-only" chip when the
// field is read-only; hidden from assistive technologies, which hear the name on the control), then the
// editor its type calls for: a line naming a push button and saying it holds no value;
// a checkbox, sent at once as "Yes" or "Off"; a radio picker, whose choice is kept as the draft and sent at
// once; a choice-list picker, or a one-line or multi-line text editor, kept as the draft and sent with
// "Apply" (the draft, or the unchanged value when there is none). A read-only field disables its control
// and "Apply"; a radio group without options disables its picker.
//
// The window's drafts are keyed by field name: two fields of one name share a draft, and a draft wins
// over the document's value from its first change on. The editor keeps no state of its own; it shows the
// result the workspace last took in, and setField() updates it in place, never under a cursor that is
// typing a draft. No signals: every change goes to the workspace's fill() or to the drafts.

#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <QWidget>

#include "core/commands.hpp"

class QComboBox;
class QLabel;
class QPlainTextEdit;

namespace kivo {

class EditorDrafts;
class HeroButton;
class HeroCheckbox;
class HeroField;
class ScaledStack;
class Workspace;

enum class FormEditorKind { button, checkbox, radio, choice, multilineText, text };

namespace FormEditors {

// By exact comparison of the type: "button", "checkbox", "radio", "combo" or "list"; any other type is text.
FormEditorKind kind(const FormFieldInfo& field);
// A checkbox is on by `checked` when the worker says, else when its value is "yes" in any letter case.
bool shownChecked(const FormFieldInfo& field);
// Pickers and text editors show the draft when there is one, else the value.
std::string shownValue(const FormFieldInfo& field, const std::optional<std::string>& draft);
// The drafts of text and choice fields (by their type, whatever editor showed them) that differ from the
// document's value and that "Apply" (or Return) would send, as field name and value, in the fields' order;
// read-only fields are left out.
std::vector<std::pair<std::string, std::string>> unapplied(std::span<const FormFieldInfo> fields,
                                                           const EditorDrafts& drafts);

}  // namespace FormEditors

class FormFieldEditor : public QWidget {
    Q_OBJECT

public:
    FormFieldEditor(Workspace& workspace, EditorDrafts& drafts, const FormFieldInfo& field,
                    QWidget* parent = nullptr);

    FormEditorKind kind() const noexcept { return kind_; }
    const FormFieldInfo& field() const { return field_; }
    // Shows `field` (of the same name and kind) as the workspace now reports it.
    void setField(const FormFieldInfo& field);
    // Shows the draft of the field's name again, unless the control showing it is being typed in.
    void refreshDraft();

    static constexpr double minimumEditorHeight = 72;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    bool event(QEvent* event) override;

private:
    void applyMetrics();
    void buildControl(ScaledStack* column);
    void refreshPicker();
    void pickerChosen(int index);
    void apply();

    Workspace& workspace_;
    EditorDrafts& drafts_;
    FormFieldInfo field_;
    FormEditorKind kind_;
    QWidget* readOnly_ = nullptr;
    QWidget* control_ = nullptr;
    HeroCheckbox* checkbox_ = nullptr;
    QLabel* button_ = nullptr;
    QComboBox* picker_ = nullptr;
    HeroField* text_ = nullptr;
    HeroButton* apply_ = nullptr;
};

}  // namespace kivo
