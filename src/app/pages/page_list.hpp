#pragma once

// PageList: the window's sidebar on `background`. A header row ("Pages" in subheadline semibold and, with
// pages, their count at the trailing edge, both muted; read as one element, "Pages, 3") over the list of
// pages (PageListView). Without pages the list is empty and "No document" (callout, muted) stands in the
// middle of it. Everything comes from the workspace; the list's rows say what they do.

#include "design/filled_panel.hpp"

namespace kivo {

class PageListView;
class ThemedLabel;
class Workspace;

class PageList : public FilledPanel {
    Q_OBJECT

public:
    PageList(Workspace& workspace, QWidget* parent = nullptr);

    PageListView* view() const { return view_; }
    // "Pages" and the count, as spoken.
    QString headerText() const;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void refresh();

    Workspace& workspace_;
    ThemedLabel* header_;
    PageListView* view_;
    ThemedLabel* empty_;
};

}  // namespace kivo
