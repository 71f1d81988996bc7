#include "app/inspector/annotations_card.hpp"

#include <QAction>
#include <QLineEdit>

#include "app/inspector/editor_drafts.hpp"
#include "design/chip.hpp"
#include "design/clamped_label.hpp"
#include "design/hero_button.hpp"
#include "design/hero_field.hpp"
#include "design/literal_text.hpp"
#include "design/row_button.hpp"
#include "design/scaled_stack.hpp"
#include "design/section_card.hpp"
#include "design/themed_label.hpp"
#include "workspace/annotation_description.hpp"
#include "workspace/workspace.hpp"

namespace kivo {
namespace {

// The modifiers of a shortcut's first key as written before its key: "Ctrl+Shift+".
std::optional<QString> modifierWords(const QKeySequence& sequence) {
    if (sequence.isEmpty()) return std::nullopt;
    const QKeyCombination combination = sequence[0];
    const QString whole = QKeySequence(combination).toString(QKeySequence::NativeText);
    const QString key = QKeySequence(combination.key()).toString(QKeySequence::NativeText);
    if (!whole.endsWith(key)) return std::nullopt;
    return whole.left(whole.size() - key.size());
}

}  // namespace

AnnotationRow::AnnotationRow(Workspace& workspace, EditorDrafts& drafts, const std::string& id,
                             QWidget* parent)
    : QWidget(parent), workspace_(workspace), drafts_(drafts), id_(id) {
    setObjectName(QStringLiteral("annotationRow"));
    auto* column = ScaledStack::filling(this, Qt::Vertical, 6, QMarginsF(0, 2, 0, 2));

    auto* line = new ScaledStack(Qt::Horizontal, 8, {}, column);
    select_ = new RowButton(false, {}, 8, Qt::AlignVCenter, line);
    select_->setObjectName(QStringLiteral("selectAnnotation"));
    kind_ = new Chip(QString(), ChipTone::neutral, QString(), select_);
    select_->add(kind_);
    contents_ = new ClampedLabel(1, ScaledTextStyle::callout, Theme::Token::muted, select_);
    select_->add(contents_, 1);
    line->add(select_, 1, Qt::AlignVCenter);
    delete_ = HeroButton::iconOnly(QStringLiteral("trash"), QString(), HeroButtonVariant::ghost,
                                   HeroButtonSize::sm, line);
    delete_->setObjectName(QStringLiteral("deleteAnnotation"));
    line->add(delete_, 0, Qt::AlignVCenter);
    column->add(line);

    auto* editor = new ScaledStack(Qt::Vertical, 6, {}, column);
    editor_ = editor;
    field_ = new HeroField(false, editor);
    field_->setObjectName(QStringLiteral("annotationContents"));
    field_->lineEdit()->setPlaceholderText(QStringLiteral("Contents"));
    editor->add(field_);
    save_ = new HeroButton(QStringLiteral("Save contents"), HeroButtonVariant::secondary, HeroButtonSize::sm,
                           editor);
    save_->setObjectName(QStringLiteral("saveContents"));
    // Aligned both ways, so a title that wraps gets the height it needs.
    editor->add(save_, 0, Qt::AlignLeft | Qt::AlignTop);
    column->add(editor);
    editor_->hide();

    connect(select_, &RowButton::clicked, this, [this] { workspace_.selectAnnotation(id_); });
    connect(delete_, &HeroButton::clicked, this, [this] { workspace_.deleteAnnotation(id_); });
    // Return saves nothing; only the button does.
    connect(field_->lineEdit(), &QLineEdit::textEdited, this,
            [this](const QString& text) { drafts_.setAnnotation(id_, text.toStdString()); });
    connect(save_, &HeroButton::clicked, this,
            [this] { workspace_.updateSelectedContents(shownContents().toStdString()); });
}

QString AnnotationRow::shownContents() const {
    return QString::fromStdString(drafts_.annotation(id_).value_or(annotation_.contents));
}

void AnnotationRow::setAnnotation(const AnnotationInfo& annotation, bool selected) {
    annotation_ = annotation;
    const QString kind = QString::fromStdString(annotation.kind);
    kind_->setText(AnnotationsCard::kindTitle(annotation.kind));
    kind_->setTone(selected ? ChipTone::accent : ChipTone::neutral);
    contents_->setFullText(QString::fromStdString(annotation.contents));
    select_->setAccessibleName(QString::fromStdString(CanvasAccessibility::describe(annotation)));
    select_->setSelected(selected);
    LiteralText::setToolTip(*delete_, QStringLiteral("Delete this ") + kind);
    delete_->setAccessibleName(QStringLiteral("Delete ") + kind + QStringLiteral(" annotation"));
    field_->lineEdit()->setAccessibleName(QStringLiteral("Contents of the ") + kind +
                                          QStringLiteral(" annotation"));
    editor_->setVisible(selected);
    refreshDraft();
}

void AnnotationRow::refreshDraft() {
    QLineEdit* edit = field_->lineEdit();
    // The text under the cursor is the draft already; rewriting it would move the cursor.
    if (edit->hasFocus() && drafts_.annotation(id_)) return;
    const QString shown = shownContents();
    if (edit->text() != shown) edit->setText(shown);
}

AnnotationsCard::AnnotationsCard(Workspace& workspace, EditorDrafts& drafts, QWidget* parent)
    : QWidget(parent), workspace_(workspace), drafts_(drafts) {
    setObjectName(QStringLiteral("annotations"));
    card_ = new SectionCard(QStringLiteral("Annotations"), std::nullopt, this);
    fill(this, card_);
    empty_ = new ThemedLabel(
        QStringLiteral("Drag on the page, or use the Annotate menu, to add a highlight, note, "
                       "text overlay, ink, image, or visual signature. Overlays never redact."),
        ScaledTextStyle::callout, QFont::Normal, Theme::Token::muted, card_);
    wrapInWidth(empty_);
    card_->contentLayout()->addWidget(empty_);
    list_ = new ScaledStack(Qt::Vertical, 8, {}, card_);
    card_->contentLayout()->addWidget(list_);
    hint_ = new ThemedLabel(QString(), ScaledTextStyle::caption, QFont::Normal, Theme::Token::muted, list_);
    hint_->setObjectName(QStringLiteral("annotationKeyHint"));
    wrapInWidth(hint_);
    list_->add(hint_);

    for (const auto changed : {&WorkspaceState::inspectChanged, &WorkspaceState::selectedPageIdChanged,
                               &WorkspaceState::selectedAnnotationIdChanged})
        connect(&workspace_, changed, this, &AnnotationsCard::refresh);
    connect(&drafts_, &EditorDrafts::annotationChanged, this, [this](const std::string& id) {
        if (AnnotationRow* shown = row(id)) shown->refreshDraft();
    });
    connect(&drafts_, &EditorDrafts::cleared, this, [this] {
        for (const auto& [id, shown] : rows_) shown->refreshDraft();
    });
    refresh();
}

QString AnnotationsCard::kindTitle(const std::string& kind) {
    QString title = QString::fromStdString(kind);
    if (!title.isEmpty()) title.replace(0, 1, title.at(0).toUpper());
    return title;
}

QString AnnotationsCard::keyHint(const QKeySequence& move, const QKeySequence& resize) {
    const auto moving = modifierWords(move);
    const auto resizing = modifierWords(resize);
    if (!moving || !resizing) return {};
    return *moving + QStringLiteral("arrow moves the selected annotation, and ") + *resizing +
           QStringLiteral("arrow resizes it. The Annotate menu lists these, and Delete Annotation.");
}

void AnnotationsCard::setKeyActions(QAction* move, QAction* resize) {
    for (QAction* old : {move_.data(), resize_.data()}) {
        if (old != nullptr) disconnect(old, nullptr, this, nullptr);
    }
    move_ = move;
    resize_ = resize;
    for (QAction* action : {move, resize}) {
        if (action != nullptr) connect(action, &QAction::changed, this, &AnnotationsCard::refreshHint);
    }
    refresh();
}

AnnotationRow* AnnotationsCard::row(const std::string& id) const {
    const auto found = rows_.find(id);
    return found == rows_.end() ? nullptr : found->second;
}

void AnnotationsCard::refreshHint() {
    const QString text = move_ && resize_ ? keyHint(move_->shortcut(), resize_->shortcut()) : QString();
    hint_->setText(text);
    hint_->setVisible(!text.isEmpty() && !rows_.empty());
}

void AnnotationsCard::refresh() {
    const auto& page = workspace_.selectedPageId();
    const std::vector<AnnotationInfo> shown =
        page ? workspace_.document().annotationsOn(*page) : std::vector<AnnotationInfo>{};
    std::map<std::string, AnnotationRow*> kept;
    const auto& selected = workspace_.selectedAnnotationId();
    for (const auto& [id, existing] : rows_) list_->box()->removeWidget(existing);
    int place = 0;
    for (const AnnotationInfo& annotation : shown) {
        if (kept.count(annotation.id) != 0) continue;
        AnnotationRow* existing = row(annotation.id);
        if (existing == nullptr) {
            existing = new AnnotationRow(workspace_, drafts_, annotation.id, list_);
        } else {
            rows_.erase(annotation.id);
        }
        kept[annotation.id] = existing;
        // In the document's order, the hint after them all.
        list_->box()->insertWidget(place++, existing);
        existing->setAnnotation(annotation, selected && *selected == annotation.id);
        existing->setVisible(true);
    }
    for (const auto& [id, gone] : rows_) {
        gone->hide();
        gone->deleteLater();
    }
    rows_ = std::move(kept);

    empty_->setVisible(shown.empty());
    list_->setVisible(!shown.empty());
    if (shown.empty()) {
        card_->setAccessory(nullptr);
    } else {
        auto* count = qobject_cast<Chip*>(card_->accessory());
        if (count == nullptr) {
            count = new Chip(QString(), ChipTone::neutral, QString(), card_);
            count->setObjectName(QStringLiteral("annotationCount"));
            card_->setAccessory(count);
        }
        count->setText(QString::number(shown.size()));
        count->setAccessibleName(QString::number(shown.size()) + QStringLiteral(" annotations on this page"));
    }
    refreshHint();
}

}  // namespace kivo
