#pragma once

// InspectorPanel: the right-hand column of the window. From the top: the tab strip (a pill of the four
// tabs, titled with symbols while they fit, symbols alone when they do not), the alerts (the workspace's
// error, then the worker notice with "Restart Worker" or "Dismiss"; there only while one of them is, and
// scrolling within their height), a separator line, and the body of the selected tab. All on `background`;
// lengths times the text scale.
//
// The tab shown belongs to the window, which stores it: the panel shows what setTab() says and reports a
// user's pick with tabChosen(), even of the tab already shown. Restart calls Workspace::restartWorker() at
// once; Dismiss clears a notice that offers no restart. Each tab body is a scroll area holding its tab
// (AssistantTab, PageTab, FormTab, DocumentTab); the Assistant tab's composer stands below its scroll
// area and never scrolls away. The conversation keeps at least half of the column below the tab strip at
// every text size and width, whatever banners show: the banners and the composer share the other half
// (see shareColumn()), each scrolling within what it gets. The scroll areas are no Tab stops; the controls
// in them are. The drafts the Page and Form tabs edit are the window's, handed in.

#include <array>

#include "app/inspector/inspector_tab.hpp"
#include "design/filled_panel.hpp"

class QPushButton;
class QScrollArea;
class QStackedWidget;
class QVBoxLayout;

namespace kivo {

class AssistantComposer;
class AssistantTab;
class DocumentTab;
class EditorDrafts;
class FormTab;
class HeroButton;
class InspectorTabStrip;
class PageTab;
class StatusMessage;
class Workspace;

class InspectorPanel : public FilledPanel {
    Q_OBJECT

public:
    InspectorPanel(Workspace& workspace, EditorDrafts& drafts, QWidget* parent = nullptr);

    InspectorTab tab() const noexcept { return tab_; }
    void setTab(InspectorTab tab);

    QScrollArea* scrollArea(InspectorTab tab) const { return scrolls_[static_cast<std::size_t>(tab)]; }
    PageTab* pageTab() const { return page_; }

signals:
    void tabChosen(kivo::InspectorTab tab);

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The banners' and the composer's heights, out of half the column below the tab strip: what each needs
    // when both fit; else each keeps at least half of that, or less when it needs less, the other the rest.
    void shareColumn();
    QWidget* buildAlerts();
    void refreshAlerts();
    void applyMetrics();
    void buildTabs(EditorDrafts& drafts);

    Workspace& workspace_;
    InspectorTab tab_ = InspectorTab::assistant;
    QVBoxLayout* column_;
    InspectorTabStrip* strip_;
    QWidget* alerts_;
    QScrollArea* alertsScroll_;
    QWidget* divider_;
    QVBoxLayout* alertsLayout_;
    StatusMessage* error_;
    StatusMessage* notice_;
    HeroButton* restart_;
    HeroButton* dismiss_;
    QStackedWidget* bodies_;
    std::array<QScrollArea*, 4> scrolls_{};
    QWidget* composer_;
    QVBoxLayout* composerLayout_;
    QScrollArea* composerScroll_ = nullptr;
    AssistantTab* assistant_ = nullptr;
    AssistantComposer* composerBox_ = nullptr;
    PageTab* page_ = nullptr;
    FormTab* form_ = nullptr;
    DocumentTab* document_ = nullptr;
};

}  // namespace kivo
