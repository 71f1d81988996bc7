#include "app/inspector/page_tab.hpp"

#include "app/inspector/annotations_card.hpp"
#include "app/inspector/search_results_card.hpp"
#include "design/hero_button.hpp"
#include "design/scaled_stack.hpp"
#include "design/section_card.hpp"
#include "design/wrapping_row.hpp"
#include "workspace/workspace.hpp"

namespace kivo {

PageTab::PageTab(Workspace& workspace, EditorDrafts& drafts, QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("pageTab"));
    auto* column = ScaledStack::filling(this, Qt::Vertical, 12, QMarginsF(10, 10, 10, 10));
    column->add(buildPageCard(workspace));
    search_ = new SearchResultsCard(workspace, column);
    column->add(search_);
    annotations_ = new AnnotationsCard(workspace, drafts, column);
    column->add(annotations_);
    column->addStretch();
}

QWidget* PageTab::buildPageCard(Workspace& workspace) {
    auto* card = new SectionCard(QStringLiteral("Page"), std::nullopt, this);
    card->setObjectName(QStringLiteral("pageCard"));
    auto* rows = new ScaledStack(Qt::Vertical, 8, {}, card);
    card->contentLayout()->addWidget(rows);

    struct Button {
        const char* title;
        const char* name;
        HeroButtonVariant variant;
        void (*act)(Workspace&);
    };
    // Each acts on the page shown, or on the whole document, and reports in the status line.
    const Button buttons[] = {
        {"Rotate left", "rotateLeft", HeroButtonVariant::tertiary,
         [](Workspace& w) { w.rotateSelected(-90); }},
        {"Rotate right", "rotateRight", HeroButtonVariant::tertiary,
         [](Workspace& w) { w.rotateSelected(90); }},
        {"Extract…", "extractPage", HeroButtonVariant::tertiary, [](Workspace& w) { w.extractPanel(); }},
        {"Merge PDF…", "mergePdf", HeroButtonVariant::tertiary, [](Workspace& w) { w.mergePanel(); }},
        {"Print…", "printDocument", HeroButtonVariant::tertiary, [](Workspace& w) { w.printDocument(); }},
        {"Delete page", "deletePage", HeroButtonVariant::dangerSoft,
         [](Workspace& w) { w.deleteSelectedPage(); }},
    };
    // Rows of two; a pair that does not fit side by side stands one above the other.
    WrappingRow* line = nullptr;
    for (std::size_t i = 0; i < std::size(buttons); ++i) {
        if (i % 2 == 0) {
            line = new WrappingRow(8, rows);
            rows->add(line);
        }
        const Button& entry = buttons[i];
        auto* button =
            new HeroButton(QString::fromUtf8(entry.title), entry.variant, HeroButtonSize::md, line);
        button->setObjectName(QString::fromLatin1(entry.name));
        line->add(button);
        connect(button, &HeroButton::clicked, &workspace, [&workspace, act = entry.act] { act(workspace); });
    }
    const auto follow = [rows, &workspace] { rows->setEnabled(workspace.sessionId().has_value()); };
    connect(&workspace, &WorkspaceState::sessionIdChanged, rows, follow);
    follow();
    return card;
}

}  // namespace kivo
