#pragma once

// PageListModel: the rows of the page list, one per page of the adopted document in its order, each with
// its page id (PageIdRole), "Page n" (the display and accessible text), its size in whole points and the
// number of annotations on it. It follows the workspace alone: a new page order or a new document resets
// it, a change of marks only redraws the rows. It never changes the document: a dragged row stays where it
// was until the worker's answer brings the new order.

#include <QAbstractListModel>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/commands.hpp"
#include "workspace/open_document.hpp"

namespace kivo {

class Workspace;

struct PageRow {
    std::string id;
    std::int64_t number = 0;
    std::int64_t width = 0;   // truncated toward zero
    std::int64_t height = 0;  // truncated toward zero
    std::int64_t marks = 0;

    bool operator==(const PageRow&) const = default;

    // "612 × 792".
    QString sizeText() const;
    // "1 mark", "3 marks"; empty without marks.
    QString marksText() const;
    // "612 by 792 points", then ", 3 annotations" with marks.
    QString spokenValue() const;
};

class PageListModel : public QAbstractListModel {
    Q_OBJECT

public:
    enum Role { PageIdRole = Qt::UserRole + 1 };

    explicit PageListModel(Workspace& workspace, QObject* parent = nullptr);

    // The rows of a document's pages; none without pages.
    static std::vector<PageRow> rowsOf(const OpenDocument& document);

    const std::vector<PageRow>& rows() const { return rows_; }
    // The row of a page; -1 when it has none.
    int rowOf(const std::string& pageId) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    void refresh();

    Workspace& workspace_;
    std::vector<PageRow> rows_;
};

}  // namespace kivo
