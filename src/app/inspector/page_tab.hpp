#pragma once

// PageTab: what the Page tab scrolls, three cards 12 apart, inset 10 (× the text scale): "Page", with
// Rotate left, Rotate right, Extract…, Merge PDF…, Print… and Delete page (disabled while no document is
// open; each calls the workspace at once, without asking), the search results, and the annotations of
// the page shown. It changes nothing itself: every button calls the workspace, which reports. No signals.

#include <QWidget>

namespace kivo {

class AnnotationsCard;
class EditorDrafts;
class HeroButton;
class SearchResultsCard;
class Workspace;

class PageTab : public QWidget {
    Q_OBJECT

public:
    PageTab(Workspace& workspace, EditorDrafts& drafts, QWidget* parent = nullptr);

    AnnotationsCard* annotations() const { return annotations_; }

private:
    QWidget* buildPageCard(Workspace& workspace);

    SearchResultsCard* search_;
    AnnotationsCard* annotations_;
};

}  // namespace kivo
