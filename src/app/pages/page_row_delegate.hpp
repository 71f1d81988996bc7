#pragma once

// PageRowDelegate: draws one row of the page list, left to right 9 apart (times the text scale): the
// thumbnail in a 44 × 58 box with corners of 6 and a 1-point `border` line (the workspace's image fitted on
// white, or the "doc.plaintext" symbol on `surfaceSecondary` until there is one), then "Page n" (body,
// medium), the size "612 × 792" (caption; muted, or the foreground's secondary shade on the selected row)
// and, with marks, a neutral chip "1 mark" or "3 marks". Rows are 3 apart; the selected row lies on a
// rounded `defaultFill`. It reads the thumbnail cache without touching its recency, and draws only.

#include <QFontMetricsF>
#include <QStyledItemDelegate>

#include <cstdint>

namespace kivo {

class Chip;
class Workspace;

class PageRowDelegate : public QStyledItemDelegate {
    Q_OBJECT

public:
    // `view` hosts the hidden chip the rows are drawn with.
    PageRowDelegate(Workspace& workspace, QWidget* view);

    static constexpr double thumbnailWidth = 44;
    static constexpr double thumbnailHeight = 58;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

    // The row's title in `width`: "Page 1053", or the number alone where the word does not fit too,
    // since the number is what tells one row from the next; elided only where the number itself
    // does not fit.
    static QString title(std::int64_t number, const QFontMetricsF& metrics, double width);

private:
    Workspace& workspace_;
    QWidget* view_;
    Chip* chip_;
};

}  // namespace kivo
