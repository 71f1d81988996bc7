#pragma once

// SearchResultsCard: the "Search results" card of the Page tab. With no hits it says where to search;
// otherwise it lists every hit of the last search in the workspace's order, each a row with the page the
// hit is on ("Page 3", its place in the open document) or "Gone" when that page is no longer there, and
// the hit's preview cut after 2 lines (under the page when the row is too narrow for the two side by side
// without breaking a word); a count chip stands in the title line. Pressing a row shows the
// hit's page and selects its first box; a "Gone" row is disabled. No signals.

#include <optional>
#include <vector>

#include <QWidget>

#include "core/commands.hpp"
#include "workspace/open_document.hpp"

namespace kivo {

class Chip;
class ClampedLabel;
class RowButton;
class ScaledStack;
class SectionCard;
class ThemedLabel;
class Workspace;

class SearchResultsCard : public QWidget {
    Q_OBJECT

public:
    explicit SearchResultsCard(Workspace& workspace, QWidget* parent = nullptr);

    // "Page N" for the hit's page at its 1-based place in the document's pages; nothing when the
    // document, its pages, or the page is missing.
    static std::optional<QString> matchPlace(const SearchHit& hit, const OpenDocument& document);

    QList<RowButton*> rows() const { return rows_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void rebuild();
    void refreshPlaces();
    void arrange(int row);

    Workspace& workspace_;
    SectionCard* card_;
    ThemedLabel* empty_;
    ScaledStack* list_;
    QList<RowButton*> rows_;
    QList<Chip*> places_;
    QList<ClampedLabel*> previews_;
};

}  // namespace kivo
