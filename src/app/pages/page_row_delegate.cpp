#include "app/pages/page_row_delegate.hpp"

#include <QAbstractScrollArea>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

#include "app/pages/page_list_model.hpp"
#include "design/chip.hpp"
#include "design/painting.hpp"
#include "design/symbols.hpp"
#include "design/text_scale.hpp"
#include "design/theme.hpp"
#include "workspace/thumbnail_queue.hpp"
#include "workspace/workspace.hpp"

namespace kivo {
namespace {

constexpr double rowPadding = 3;
constexpr double leading = 8;
constexpr double thumbnailRadius = 6;
constexpr double lineGap = 3;
constexpr double symbolSide = 18;
// The foreground's secondary shade on the selected row.
constexpr double secondaryOpacity = 0.7;

struct RowFonts {
    QFont title;
    QFont size;
};

RowFonts fontsFor(const QWidget* view) {
    const double scale = TextScale::of(view);
    return {scaledFont(ScaledTextStyle::body, QFont::Medium, scale, view),
            scaledFont(ScaledTextStyle::caption, QFont::Normal, scale, view)};
}

}  // namespace

PageRowDelegate::PageRowDelegate(Workspace& workspace, QWidget* view)
    : QStyledItemDelegate(view),
      workspace_(workspace),
      view_(view),
      chip_(new Chip(QString(), ChipTone::neutral)) {
    chip_->setParent(view);
    chip_->hide();
}

QSize PageRowDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const {
    const RowFonts fonts = fontsFor(view_);
    chip_->setText(QStringLiteral("8 marks"));
    // Every row is as high as one with a chip, so rows keep one height.
    const double text = QFontMetricsF(fonts.title).height() + lineGap + QFontMetricsF(fonts.size).height() +
                        lineGap + chip_->sizeHint().height();
    const double height = std::max(thumbnailHeight, text) + 2 * rowPadding;
    // As wide as the list's visible part, so a vertical bar narrows the rows rather than adding a horizontal
    // bar.
    const auto* list = qobject_cast<const QAbstractScrollArea*>(view_);
    const int width = list != nullptr ? list->viewport()->width() : option.rect.width();
    return {std::max(width, 1), static_cast<int>(std::ceil(height))};
}

void PageRowDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                            const QModelIndex& index) const {
    const auto* model = qobject_cast<const PageListModel*>(index.model());
    if (model == nullptr || index.row() < 0 || static_cast<std::size_t>(index.row()) >= model->rows().size())
        return;
    const PageRow& row = model->rows()[static_cast<std::size_t>(index.row())];
    const bool selected = option.state.testFlag(QStyle::State_Selected);
    const double scale = TextScale::of(view_);
    const QRectF area(option.rect);

    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    if (selected)
        Painting::fillRounded(*painter, area.adjusted(4, 1, -4, -1), thumbnailRadius,
                              Theme::color(Theme::Token::defaultFill));

    const QRectF box(area.left() + leading, area.center().y() - thumbnailHeight / 2, thumbnailWidth,
                     thumbnailHeight);
    QPainterPath shape;
    shape.addRoundedRect(box, thumbnailRadius, thumbnailRadius);
    painter->save();
    painter->setClipPath(shape);
    const QImage thumbnail = workspace_.thumbnails().thumbnail(row.id);
    if (!thumbnail.isNull()) {
        painter->fillRect(box, Qt::white);
        const QSizeF fitted = thumbnail.deviceIndependentSize().scaled(box.size(), Qt::KeepAspectRatio);
        painter->setRenderHint(QPainter::SmoothPixmapTransform);
        Painting::drawStretched(
            *painter, QRectF(box.center() - QPointF(fitted.width() / 2, fitted.height() / 2), fitted),
            thumbnail);
    } else {
        painter->fillRect(box, Theme::color(Theme::Token::surfaceSecondary));
        Symbols::paint(
            *painter,
            QRectF(box.center() - QPointF(symbolSide / 2, symbolSide / 2), QSizeF(symbolSide, symbolSide)),
            QStringLiteral("doc.plaintext"), Theme::color(Theme::Token::muted));
    }
    painter->restore();
    Painting::strokeRoundedInside(*painter, box, thumbnailRadius, 1, Theme::color(Theme::Token::border));

    const RowFonts fonts = fontsFor(view_);
    const QFontMetricsF titleMetrics(fonts.title);
    const QFontMetricsF sizeMetrics(fonts.size);
    const QString marks = row.marksText();
    chip_->setText(marks);
    const QSize chip = chip_->sizeHint();
    const double column = titleMetrics.height() + lineGap + sizeMetrics.height() +
                          (marks.isEmpty() ? 0 : lineGap + chip.height());
    const double x = box.right() + 9 * scale;
    const double width = std::max(area.right() - x - leading, 0.0);
    double y = area.center().y() - column / 2;
    painter->setFont(fonts.title);
    painter->setPen(Theme::color(Theme::Token::foreground));
    painter->drawText(QRectF(x, y, width, titleMetrics.height()), Qt::AlignLeft | Qt::AlignVCenter,
                      title(row.number, titleMetrics, width));
    y += titleMetrics.height() + lineGap;
    painter->setFont(fonts.size);
    painter->setPen(selected ? Theme::withOpacity(Theme::color(Theme::Token::foreground), secondaryOpacity)
                             : Theme::color(Theme::Token::muted));
    painter->drawText(QRectF(x, y, width, sizeMetrics.height()), Qt::AlignLeft | Qt::AlignVCenter,
                      sizeMetrics.elidedText(row.sizeText(), Qt::ElideRight, width));
    y += sizeMetrics.height() + lineGap;
    // On the selected row, whose fill is the neutral chip's own, the capsule takes the surface colour.
    if (!marks.isEmpty())
        chip_->paintFace(*painter, QRectF(QPointF(x, y), QSizeF(chip)),
                         selected ? std::optional(Theme::color(Theme::Token::surface)) : std::nullopt);
    painter->restore();
}

QString PageRowDelegate::title(std::int64_t number, const QFontMetricsF& metrics, double width) {
    const QString digits = QString::number(number);
    const QString whole = QStringLiteral("Page ") + digits;
    if (metrics.horizontalAdvance(whole) <= width) return whole;
    return metrics.elidedText(digits, Qt::ElideRight, width);
}

}  // namespace kivo
