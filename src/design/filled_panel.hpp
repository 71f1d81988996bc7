#pragma once

// FilledPanel: an area of the window painted in one colour token (the inspector and the status bar on
// `background`, the canvas area on `canvas`), with 1 px `separator` lines along the edges asked for.
// The colours follow the appearance when it changes. No signals.

#include <QWidget>

#include "design/theme.hpp"

namespace kivo {

class FilledPanel : public QWidget {
    Q_OBJECT

public:
    explicit FilledPanel(Theme::Token fill, QWidget* parent = nullptr);

    Theme::Token fill() const noexcept { return fill_; }
    void setSeparatorEdges(Qt::Edges edges);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Theme::Token fill_;
    Qt::Edges separators_;
};

}  // namespace kivo
