#pragma once

// EmptyStateView: the placeholder of a pane with nothing to show yet ("Drop a PDF here", "No answer yet").
// A centred column, 10 apart: a round defaultFill badge 44 across holding the symbol (18, foreground), the
// title (title2 semibold, foreground), the message (callout, muted, centred lines, wrapped and never cut)
// and the action (normally a button; none when null); inset 20 left and right and 16 top and bottom;
// lengths times the text scale. It fills the width it is given. Texts are shown as given, as plain text.
// No signals of its own (connect to the action's). Accessibility: a grouping named by the title; the
// badge is not exposed, the title and message are static text, the action is itself.

#include <QPointer>
#include <QWidget>

class QSpacerItem;
class QVBoxLayout;

namespace kivo {

class ThemedLabel;

class EmptyStateView : public QWidget {
    Q_OBJECT

public:
    // Takes `action` (the view owns it); null for none.
    EmptyStateView(const QString& symbol, const QString& title, const QString& message,
                   QWidget* action = nullptr, QWidget* parent = nullptr);

    QString symbol() const { return symbol_; }
    QString title() const;
    QString message() const;
    void setMessage(const QString& message);
    QWidget* action() const { return action_; }

    ThemedLabel* titleLabel() const { return title_; }
    ThemedLabel* messageLabel() const { return message_; }
    // Where the badge is drawn.
    QRectF badgeRect() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;

private:
    void applyMetrics();

    QString symbol_;
    QVBoxLayout* column_;
    QSpacerItem* badge_;
    QSpacerItem* badgeGap_;
    ThemedLabel* title_;
    ThemedLabel* message_;
    QPointer<QWidget> action_;
};

}  // namespace kivo
