#pragma once

// FormTab: what the Form tab scrolls: the card "Form fields" (inset 10, × the text scale) with the form
// type as a chip ("AcroForm" when the worker names none) and one editor per field of the open document,
// in the worker's order, 12 apart; "No AcroForm fields on this document." while there are none.
//
// It follows every result the workspace takes in. Editors are kept for fields that keep their name and
// kind and are updated in place, so an editor being typed in is never rebuilt under the cursor; fields
// that appear get new editors and those that go take theirs with them. No signals.

#include <vector>

#include <QWidget>

namespace kivo {

class EditorDrafts;
class FormFieldEditor;
class ScaledStack;
class SectionCard;
class ThemedLabel;
class Workspace;

class FormTab : public QWidget {
    Q_OBJECT

public:
    FormTab(Workspace& workspace, EditorDrafts& drafts, QWidget* parent = nullptr);

    // The editors in the order of the fields.
    const std::vector<FormFieldEditor*>& editors() const { return editors_; }

private:
    void refresh();

    Workspace& workspace_;
    EditorDrafts& drafts_;
    SectionCard* card_;
    ThemedLabel* empty_;
    ScaledStack* list_;
    std::vector<FormFieldEditor*> editors_;
};

}  // namespace kivo
