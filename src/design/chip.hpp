#pragma once

// Chip: the editor's small capsule label (save state, page and revision, MCP sharing, provider status).
//
// Tones (ChipTone): neutral (foreground text on defaultFill) and accent, success, warning, danger (the
// tone's soft text on the tone's colour at 15 %). An optional symbol stands before the text, 3 apart;
// text in subheadline medium, padding 7 x 2.5, all times the text scale. The text is shown as given; a chip
// squeezed below its size hint elides it (down to three characters and the ellipsis).
// No signals. Accessibility: one static-text element named by the text (or accessibleName() when set);
// the symbol is not read.

#include <optional>

#include <QWidget>

#include "design/painting.hpp"

namespace kivo {

enum class ChipTone { neutral, accent, success, warning, danger };

class Chip : public QWidget {
    Q_OBJECT

public:
    explicit Chip(const QString& text, ChipTone tone = ChipTone::neutral, const QString& symbol = QString(),
                  QWidget* parent = nullptr);

    QString text() const { return text_; }
    void setText(const QString& text);
    ChipTone tone() const noexcept { return tone_; }
    void setTone(ChipTone tone);
    QString symbol() const { return symbol_; }
    void setSymbol(const QString& symbol);

    QColor textColor() const;
    QColor fillColor() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    // Paints the chip into `face` with `painter`, as it paints itself (filled with `fill` when given, for a
    // row whose own fill is the chip's): for views that draw chips in rows without a widget per row.
    void paintFace(QPainter& painter, const QRectF& face,
                   const std::optional<QColor>& fill = std::nullopt) const;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;

private:
    QFont textFont() const;
    Painting::Label content() const;

    QString text_;
    ChipTone tone_;
    QString symbol_;
};

}  // namespace kivo
