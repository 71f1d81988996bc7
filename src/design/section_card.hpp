#pragma once

// SectionCard: a titled surface that groups related controls (the inspector's provider settings, page
// tools, search results, form fields, document facts, MCP sharing).
//
// From the inside out: an optional header line (title in body semibold foreground, read as a heading;
// subtitle in callout muted, 2 below it; an optional accessory at the trailing end, at least 6 away), then
// the content, 10 apart; inset 12 on every side; a `surface` fill with corner radius 16; the surface shadow
// (none in dark); an accessory that does not fit beside the title goes under it, at the trailing edge.
// Lengths but the radius and the 2 and 6 follow the text scale. A card with neither title
// nor subtitle has no header, and so shows no accessory. Texts are shown as given, as plain text.
//
// A widget cannot paint outside its rectangle, so the card keeps the shadow's reach (shadowMargins())
// around its surface in both appearances; windows count it in their spacing.
// No signals. Accessibility: a grouping named by the title; the title label is a heading.

#include <optional>

#include <QPointer>
#include <QWidget>

class QHBoxLayout;
class QVBoxLayout;

namespace kivo {

class ThemedLabel;
class WrappingRow;

class SectionCard : public QWidget {
    Q_OBJECT

public:
    SectionCard(std::optional<QString> title, std::optional<QString> subtitle, QWidget* parent = nullptr);

    std::optional<QString> title() const { return title_; }
    void setTitle(std::optional<QString> title);
    std::optional<QString> subtitle() const { return subtitle_; }
    void setSubtitle(std::optional<QString> subtitle);

    // Takes `accessory` (the card owns it); a previous one is deleted; nullptr leaves none.
    void setAccessory(QWidget* accessory);
    QWidget* accessory() const { return accessory_; }

    // The card's body: add the card's controls here; they are 10 x scale apart.
    QVBoxLayout* contentLayout() const { return content_; }

    ThemedLabel* titleLabel() const { return titleLabel_; }
    ThemedLabel* subtitleLabel() const { return subtitleLabel_; }

    // The painted surface, inside the shadow margins.
    QRectF surfaceRect() const;
    static QMarginsF shadowMargins();
    static constexpr double cornerRadius = 16;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;

private:
    void applyMetrics();
    void updateHeader();
    void alignHeader();

    std::optional<QString> title_;
    std::optional<QString> subtitle_;
    QVBoxLayout* outer_;
    WrappingRow* header_;
    QVBoxLayout* titles_;
    QWidget* accessoryFrame_;
    QVBoxLayout* accessoryBox_;
    QVBoxLayout* content_;
    ThemedLabel* titleLabel_;
    ThemedLabel* subtitleLabel_;
    QPointer<QWidget> accessory_;
};

}  // namespace kivo
