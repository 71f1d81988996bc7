#include "design/spinner.hpp"

#include <QPainter>
#include <QTimer>

#include "design/appearance.hpp"

namespace kivo {
namespace {

constexpr int stepMilliseconds = 60;
constexpr int stepDegrees = 30;
constexpr double strokeWidth = 2.5;

}  // namespace

Spinner::Spinner(QWidget* parent) : QWidget(parent), turn_(new QTimer(this)) {
    setFixedSize(side, side);
    turn_->setInterval(stepMilliseconds);
    connect(turn_, &QTimer::timeout, this, [this] {
        angle_ = (angle_ + stepDegrees) % 360;
        update();
    });
}

void Spinner::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!Appearance::motionReduced()) turn_->start();
}

void Spinner::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    turn_->stop();
}

void Spinner::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPen pen(Theme::color(Theme::Token::muted), strokeWidth, Qt::SolidLine, Qt::RoundCap);
    painter.setPen(pen);
    const QRectF ring = QRectF(rect()).adjusted(strokeWidth, strokeWidth, -strokeWidth, -strokeWidth);
    // Qt counts angles in sixteenths of a degree, counter-clockwise; the arc turns clockwise.
    painter.drawArc(ring, -angle_ * 16, 270 * 16);
}

}  // namespace kivo
