#include "design/filled_panel.hpp"

#include <QPainter>

#include "design/appearance.hpp"

namespace kivo {

FilledPanel::FilledPanel(Theme::Token fill, QWidget* parent) : QWidget(parent), fill_(fill) {
    connect(&Appearance::instance(), &Appearance::schemeChanged, this, qOverload<>(&QWidget::update));
}

void FilledPanel::setSeparatorEdges(Qt::Edges edges) {
    separators_ = edges;
    update();
}

void FilledPanel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Theme::color(fill_));
    const QColor line = Theme::color(Theme::Token::separator);
    if (separators_.testFlag(Qt::TopEdge)) painter.fillRect(QRect(0, 0, width(), 1), line);
    if (separators_.testFlag(Qt::BottomEdge)) painter.fillRect(QRect(0, height() - 1, width(), 1), line);
}

}  // namespace kivo
