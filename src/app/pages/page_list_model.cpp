#include "app/pages/page_list_model.hpp"

#include <algorithm>
#include <cmath>
#include <unordered_map>

#include "workspace/workspace.hpp"

namespace kivo {
namespace {

std::int64_t whole(double points) {
    return std::isfinite(points) ? static_cast<std::int64_t>(std::trunc(points)) : 0;
}

}  // namespace

QString PageRow::sizeText() const {
    return QString::number(width) + QStringLiteral(" × ") + QString::number(height);
}

QString PageRow::marksText() const {
    if (marks < 1) return {};
    return marks == 1 ? QStringLiteral("1 mark") : QString::number(marks) + QStringLiteral(" marks");
}

QString PageRow::spokenValue() const {
    QString value =
        QString::number(width) + QStringLiteral(" by ") + QString::number(height) + QStringLiteral(" points");
    if (marks == 1) value += QStringLiteral(", 1 annotation");
    if (marks > 1) value += QStringLiteral(", ") + QString::number(marks) + QStringLiteral(" annotations");
    return value;
}

PageListModel::PageListModel(Workspace& workspace, QObject* parent)
    : QAbstractListModel(parent), workspace_(workspace) {
    connect(&workspace_, &WorkspaceState::inspectChanged, this, &PageListModel::refresh);
    rows_ = rowsOf(workspace_.document());
}

std::vector<PageRow> PageListModel::rowsOf(const OpenDocument& document) {
    std::vector<PageRow> rows;
    std::unordered_map<std::string, std::int64_t> marks;
    for (const AnnotationInfo& annotation : document.annotations()) ++marks[annotation.pageId];
    for (const PageInfo& page : document.pages()) {
        const auto found = marks.find(page.id);
        rows.push_back(PageRow{page.id, page.index + 1, whole(page.width), whole(page.height),
                               found != marks.end() ? found->second : 0});
    }
    return rows;
}

int PageListModel::rowOf(const std::string& pageId) const {
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        if (rows_[i].id == pageId) return static_cast<int>(i);
    }
    return -1;
}

void PageListModel::refresh() {
    std::vector<PageRow> rows = rowsOf(workspace_.document());
    const bool sameOrder = std::equal(rows.begin(), rows.end(), rows_.begin(), rows_.end(),
                                      [](const PageRow& a, const PageRow& b) { return a.id == b.id; });
    if (!sameOrder) {
        beginResetModel();
        rows_ = std::move(rows);
        endResetModel();
        return;
    }
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (rows[i] == rows_[i]) continue;
        rows_[i] = rows[i];
        const QModelIndex changed = index(static_cast<int>(i));
        emit dataChanged(changed, changed);
    }
}

int PageListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

QVariant PageListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() < 0 || static_cast<std::size_t>(index.row()) >= rows_.size())
        return {};
    const PageRow& row = rows_[static_cast<std::size_t>(index.row())];
    switch (role) {
        case Qt::DisplayRole:
        case Qt::AccessibleTextRole: return QStringLiteral("Page ") + QString::number(row.number);
        case Qt::AccessibleDescriptionRole: return row.spokenValue();
        case PageIdRole: return QString::fromStdString(row.id);
        default: return {};
    }
}

Qt::ItemFlags PageListModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled;
}

}  // namespace kivo
