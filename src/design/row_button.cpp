#include "design/row_button.hpp"

#include <QAccessible>
#include <QPainter>
#include <QVBoxLayout>

#include "design/painting.hpp"
#include "design/scaled_stack.hpp"
#include "design/theme.hpp"

namespace kivo {

RowButton::RowButton(bool framed, QMarginsF padding, double spacing, Qt::Alignment alignment, QWidget* parent)
    : QAbstractButton(parent),
      framed_(framed),
      row_(new ScaledStack(Qt::Horizontal, spacing, padding, this)),
      alignment_(alignment) {
    setFocusPolicy(Qt::StrongFocus);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    fill(this, row_);
    row_->setAttribute(Qt::WA_TransparentForMouseEvents);
}

void RowButton::add(QWidget* part, int stretch) {
    part->setParent(row_);
    part->setAttribute(Qt::WA_TransparentForMouseEvents);
    part->setFocusPolicy(Qt::NoFocus);
    row_->add(part, stretch, alignment_);
}

void RowButton::setSelected(bool selected) {
    if (selected == selected_) return;
    selected_ = selected;
    QAccessible::State changed;
    changed.selected = true;
    QAccessibleStateChangeEvent event(this, changed);
    QAccessible::updateAccessibility(&event);
}

QSize RowButton::sizeHint() const { return layout()->sizeHint(); }

QSize RowButton::minimumSizeHint() const { return layout()->minimumSize(); }

int RowButton::heightForWidth(int width) const { return layout()->totalHeightForWidth(width); }

void RowButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF face = QRectF(rect());
    if (framed_) {
        Painting::fillRounded(painter, face, cornerRadius, Theme::color(Theme::Token::surface));
        Painting::strokeRoundedInside(painter, face, cornerRadius, 1, Theme::color(Theme::Token::border));
    }
    if (Painting::showsFocusRing(*this)) Painting::focusRing(painter, face, cornerRadius);
}

}  // namespace kivo
