#pragma once

// AnnotationsCard: the "Annotations" card of the Page tab, over the annotations of the page shown on the
// canvas, in the document's order, with their number in the title line. Each row has the kind as a chip
// (accent while selected) and the contents cut to one line, which selects the annotation when pressed,
// and a trash button that deletes it at once. The selected row also shows its contents field and "Save
// contents". Under the rows stands the hint that names the keys that move and resize an annotation.
//
// The contents field shows the window's draft for the annotation when there is one, else its contents,
// and writes the draft on every edit; "Save contents" sends the draft (or the unchanged contents) and
// keeps it. Rows follow the workspace by annotation id, so a row, and a field being typed in, survive
// every result the workspace takes in while their annotation stays listed. No signals.

#include <map>
#include <string>

#include <QKeySequence>
#include <QPointer>
#include <QWidget>

#include "core/commands.hpp"

class QAction;

namespace kivo {

class Chip;
class ClampedLabel;
class EditorDrafts;
class HeroButton;
class HeroField;
class RowButton;
class ScaledStack;
class SectionCard;
class ThemedLabel;
class Workspace;

class AnnotationRow : public QWidget {
    Q_OBJECT

public:
    AnnotationRow(Workspace& workspace, EditorDrafts& drafts, const std::string& id,
                  QWidget* parent = nullptr);

    // Shows `annotation`, selected or not; a field being typed in keeps its text.
    void setAnnotation(const AnnotationInfo& annotation, bool selected);
    // The draft changed elsewhere (another row of the same annotation, or cleared).
    void refreshDraft();

private:
    QString shownContents() const;

    Workspace& workspace_;
    EditorDrafts& drafts_;
    std::string id_;
    AnnotationInfo annotation_;
    RowButton* select_;
    Chip* kind_;
    ClampedLabel* contents_;
    HeroButton* delete_;
    QWidget* editor_;
    HeroField* field_;
    HeroButton* save_;
};

class AnnotationsCard : public QWidget {
    Q_OBJECT

public:
    AnnotationsCard(Workspace& workspace, EditorDrafts& drafts, QWidget* parent = nullptr);

    // The kind as the chip shows it: its first character in upper case, the rest unchanged.
    static QString kindTitle(const std::string& kind);
    // "Ctrl+Shift+arrow moves the selected annotation, and Shift+arrow resizes it. …", from the keys of
    // the two actions (their modifiers; the arrow is the rest); empty when either has no key.
    static QString keyHint(const QKeySequence& move, const QKeySequence& resize);

    // The Annotate menu's actions that move and resize the selected annotation, whose keys the hint
    // names and follows. Until the window hands them in, no hint is shown: a hint not read from the
    // actions could name keys that do nothing.
    void setKeyActions(QAction* move, QAction* resize);

    AnnotationRow* row(const std::string& id) const;

private:
    void refresh();
    void refreshHint();

    Workspace& workspace_;
    EditorDrafts& drafts_;
    SectionCard* card_;
    ThemedLabel* empty_;
    ScaledStack* list_;
    ThemedLabel* hint_;
    std::map<std::string, AnnotationRow*> rows_;
    QPointer<QAction> move_;
    QPointer<QAction> resize_;
};

}  // namespace kivo
