#include "design/pill_segment.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include <QPainter>

#include "design/appearance.hpp"
#include "design/painting.hpp"
#include "design/shadow.hpp"
#include "design/text_scale.hpp"
#include "design/theme.hpp"
#include "design/tween.hpp"

namespace kivo {
namespace {

QRectF lerp(const QRectF& from, const QRectF& to, double t) {
    const auto mix = [t](double a, double b) { return a + (b - a) * t; };
    return {mix(from.x(), to.x()), mix(from.y(), to.y()), mix(from.width(), to.width()),
            mix(from.height(), to.height())};
}

}  // namespace

PillSegment::PillSegment(const QString& label, HeroButtonSize size, QWidget* parent)
    : QWidget(parent), label_(label), size_(size), glide_(new Tween(this, Tween::Curve::fluid, 1)) {
    setAccessibleName(label);
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
}

void PillSegment::setItems(const QList<SegmentItem>& items) {
    qDeleteAll(segments_);
    segments_.clear();
    for (int i = 0; i < items.size(); ++i) {
        auto* segment = new PillSegmentButton(items[i], size_, this);
        connect(segment, &QAbstractButton::clicked, this, [this, i] { onSegmentClicked(i); });
        segment->show();
        segments_.append(segment);
    }
    selectedIndex_ = -2;  // forces setSelection to place the indicator afresh
    layoutSegments();
    setSelection(selection_, false);
    updateGeometry();
}

QList<SegmentItem> PillSegment::items() const {
    QList<SegmentItem> result;
    for (const PillSegmentButton* segment : segments_) result.append(segment->item());
    return result;
}

void PillSegment::setSelection(const QVariant& value, bool animated) {
    selection_ = value;
    int index = -1;
    for (int i = 0; i < segments_.size(); ++i) {
        if (segments_[i]->item().value == value) {
            index = i;
            break;
        }
    }
    for (int i = 0; i < segments_.size(); ++i) segments_[i]->setChecked(i == index);
    if (index == selectedIndex_) return;
    const QRectF current = indicatorRect();
    const bool glides = animated && selectedIndex_ >= 0 && index >= 0;
    selectedIndex_ = index;
    indicatorTo_ = index >= 0 ? segmentRect(index) : QRectF();
    if (glides) {
        indicatorFrom_ = current;
        glide_->jumpTo(0);
        glide_->animateTo(1);
    } else {
        indicatorFrom_ = indicatorTo_;
        glide_->jumpTo(1);
    }
    update();
}

QRectF PillSegment::indicatorRect() const {
    if (selectedIndex_ < 0) return {};
    return lerp(indicatorFrom_, indicatorTo_, glide_->value());
}

double PillSegment::padding() const { return 3 * TextScale::of(this); }

double PillSegment::cornerRadius() const { return 4 * TextScale::of(this) + 16; }

QRectF PillSegment::segmentRect(int index) const {
    if (index < 0 || index >= segments_.size()) return {};
    return QRectF(segments_[index]->geometry());
}

int PillSegment::rowHeight() const {
    int tallest = 0;
    for (const PillSegmentButton* segment : segments_)
        tallest = std::max(tallest, segment->sizeHint().height());
    return tallest;
}

QList<QList<double>> PillSegment::rowsFor(int width) const {
    const auto count = static_cast<int>(segments_.size());
    const double inner = width - 2 * padding();
    QList<int> least;
    for (const PillSegmentButton* segment : segments_) least.append(segment->minimumSizeHint().width());
    const int widest = least.isEmpty() ? 0 : *std::max_element(least.begin(), least.end());
    int columns = std::max(count, 1);
    while (columns > 1 && inner / columns < widest) --columns;
    QList<QList<double>> grid;
    for (int i = 0; i < count; ++i) {
        if (i % columns == 0) grid.append(QList<double>());
        grid.last().append(inner / columns);
    }
    // Too narrow for equal widths in few rows, the titles flow as words do, each segment its title's
    // width and an equal share of what its row has left.
    QList<QList<double>> flow;
    double used = 0;
    for (int i = 0; i < count; ++i) {
        if (flow.isEmpty() || used + least[i] > inner) {
            flow.append(QList<double>());
            used = 0;
        }
        flow.last().append(least[i]);
        used += least[i];
    }
    if (flow.size() >= grid.size()) return grid;
    for (QList<double>& row : flow) {
        const double spare = std::max(0.0, inner - std::accumulate(row.begin(), row.end(), 0.0)) /
                             static_cast<double>(row.size());
        for (double& segment : row) segment += spare;
    }
    return flow;
}

int PillSegment::rowCountFor(int width) const { return std::max(1, static_cast<int>(rowsFor(width).size())); }

int PillSegment::heightForWidth(int width) const {
    return rowCountFor(width) * rowHeight() + static_cast<int>(std::ceil(2 * padding()));
}

void PillSegment::layoutSegments() {
    if (segments_.isEmpty()) return;
    const double pad = padding();
    const QRectF track = QRectF(rect()).adjusted(pad, pad, -pad, -pad);
    const QList<QList<double>> rows = rowsFor(width());
    const double height = track.height() / static_cast<double>(rows.size());
    int index = 0;
    for (int row = 0; row < rows.size(); ++row) {
        const int top = static_cast<int>(std::lround(track.top() + height * row));
        const int bottom = static_cast<int>(std::lround(track.top() + height * (row + 1)));
        double x = track.left();
        for (const double segmentWidth : rows[row]) {
            const int left = static_cast<int>(std::lround(x));
            x += segmentWidth;
            segments_[index++]->setGeometry(left, top, static_cast<int>(std::lround(x)) - left, bottom - top);
        }
    }
}

QSize PillSegment::sizeHint() const {
    const double pad = padding();
    int widest = 0;
    int tallest = 0;
    for (const PillSegmentButton* segment : segments_) {
        const QSize hint = segment->sizeHint();
        widest = std::max(widest, hint.width());
        tallest = std::max(tallest, hint.height());
    }
    const auto edge = static_cast<int>(std::ceil(2 * pad));
    return {widest * static_cast<int>(segments_.size()) + edge, tallest + edge};
}

QSize PillSegment::minimumSizeHint() const {
    // One segment a row, each title whole.
    int least = 0;
    for (const PillSegmentButton* segment : segments_)
        least = std::max(least, segment->minimumSizeHint().width());
    const auto edge = static_cast<int>(std::ceil(2 * padding()));
    return {least + edge, rowHeight() + edge};
}

void PillSegment::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (!isEnabled()) painter.setOpacity(Painting::disabledOpacity);
    const QRectF track = QRectF(rect());
    Painting::fillRounded(painter, track, cornerRadius(), Theme::color(Theme::Token::defaultFill));
    const QRectF indicator = indicatorRect();
    if (indicator.isEmpty()) return;
    const double radius = indicator.height() / 2;
    Shadows::paint(painter, indicator, radius, Shadows::surface(Appearance::currentScheme()));
    Painting::fillRounded(painter, indicator, radius, Theme::color(Theme::Token::segment));
}

void PillSegment::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    layoutSegments();
    indicatorTo_ = segmentRect(selectedIndex_);
    indicatorFrom_ = indicatorTo_;
    glide_->jumpTo(1);
}

bool PillSegment::event(QEvent* event) {
    TextScale::remeasureOn(*this, *event);
    return QWidget::event(event);
}

void PillSegment::onSegmentClicked(int index) {
    if (index < 0 || index >= segments_.size()) return;
    const QVariant value = segments_[index]->item().value;
    setSelection(value, true);
    emit activated(value);
}

}  // namespace kivo
