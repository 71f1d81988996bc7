#include "design/wrapping_row.hpp"

#include <algorithm>
#include <climits>
#include <vector>

#include "design/text_scale.hpp"

namespace kivo {

class WrappingRow::Layout : public QLayout {
public:
    explicit Layout(QWidget* parent) : QLayout(parent) { setContentsMargins(0, 0, 0, 0); }
    ~Layout() override {
        while (QLayoutItem* item = takeAt(0)) delete item;
    }

    void addItem(QLayoutItem* item) override { items_.append(item); }
    int count() const override { return static_cast<int>(items_.size()); }
    QLayoutItem* itemAt(int index) const override { return items_.value(index); }
    QLayoutItem* takeAt(int index) override {
        if (index < 0 || index >= items_.size()) return nullptr;
        if (index < trailingFrom) --trailingFrom;
        return items_.takeAt(index);
    }
    Qt::Orientations expandingDirections() const override { return {}; }
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override { return arrange(QRect(0, 0, width, 0), false).height; }

    QSize minimumSize() const override {
        QSize least(0, 0);
        for (const QLayoutItem* item : items_) {
            if (!item->isEmpty()) least = least.expandedTo(item->minimumSize());
        }
        const QMargins margins = contentsMargins();
        return least.grownBy(margins);
    }
    QSize sizeHint() const override {
        // Everything on one line.
        int width = 0;
        int height = 0;
        int shown = 0;
        for (const QLayoutItem* item : items_) {
            if (item->isEmpty()) continue;
            width += item->sizeHint().width();
            height = std::max(height, item->sizeHint().height());
            ++shown;
        }
        return QSize(width + gap * std::max(shown - 1, 0), height).grownBy(contentsMargins());
    }
    void setGeometry(const QRect& rect) override {
        QLayout::setGeometry(rect);
        arrange(rect, true);
    }

    struct Arranged {
        int height = 0;
        int lines = 0;
    };

    Arranged arrange(const QRect& rect, bool apply) const {
        const QRect area = rect.marginsRemoved(contentsMargins());
        struct Placed {
            QLayoutItem* item;
            bool trailing;
            QSize size;
        };
        // A widget gets the height it asked for, even where its vertical policy caps it at its one-line hint.
        const auto place = [](QLayoutItem* item, const QRect& where) {
            if (QWidget* widget = item->widget()) widget->setGeometry(where);
            else item->setGeometry(where);
        };
        std::vector<Placed> line;
        int lineWidth = 0;
        int y = area.top();
        Arranged result;
        const auto finishLine = [&] {
            if (line.empty()) return;
            int height = 0;
            for (const Placed& placed : line) height = std::max(height, placed.size.height());
            if (apply) {
                int x = area.left();
                int right = area.left() + area.width();
                for (const Placed& placed : line) {
                    if (placed.trailing) continue;
                    place(placed.item,
                          QRect(QPoint(x, y + (height - placed.size.height()) / 2), placed.size));
                    x += placed.size.width() + gap;
                }
                for (auto placed = line.rbegin(); placed != line.rend(); ++placed) {
                    if (!placed->trailing) continue;
                    right -= placed->size.width();
                    place(placed->item,
                          QRect(QPoint(right, y + (height - placed->size.height()) / 2), placed->size));
                    right -= gap;
                }
            }
            y += height + gap;
            ++result.lines;
            line.clear();
            lineWidth = 0;
        };
        for (int i = 0; i < items_.size(); ++i) {
            QLayoutItem* item = items_[i];
            if (item->isEmpty()) continue;
            const int width =
                std::max(std::min(item->sizeHint().width(), area.width()), item->minimumSize().width());
            const int height =
                item->hasHeightForWidth() ? item->heightForWidth(width) : item->sizeHint().height();
            if (!line.empty() && lineWidth + gap + width > area.width()) finishLine();
            lineWidth = line.empty() ? width : lineWidth + gap + width;
            line.push_back({item, i >= trailingFrom, QSize(width, height)});
        }
        finishLine();
        const QMargins margins = contentsMargins();
        result.height = (result.lines > 0 ? y - gap - area.top() : 0) + margins.top() + margins.bottom();
        return result;
    }

    QList<QLayoutItem*> items_;
    int trailingFrom = INT_MAX;
    int gap = 0;
};

WrappingRow::WrappingRow(double spacing, QWidget* parent)
    : QWidget(parent), layout_(new Layout(this)), spacing_(spacing) {
    layout_->gap = TextScale::pixels(spacing_, TextScale::of(this));
}

void WrappingRow::add(QWidget* widget) {
    widget->setParent(this);
    layout_->addWidget(widget);
}

void WrappingRow::addStretch() { layout_->trailingFrom = layout_->count(); }

int WrappingRow::lineCount() const { return layout_->arrange(rect(), false).lines; }

bool WrappingRow::event(QEvent* event) {
    if (event->type() == TextScale::changeEventType() || event->type() == QEvent::ParentChange) {
        layout_->gap = TextScale::pixels(spacing_, TextScale::of(this));
        layout_->invalidate();
    }
    return QWidget::event(event);
}

}  // namespace kivo
