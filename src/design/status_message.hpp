#pragma once

// StatusMessage: the warning or error banner of the inspector (the workspace's error, the worker notice,
// warnings inside its tabs). A symbol ("exclamationmark.triangle.fill" in warningSoftText, or
// "xmark.octagon.fill" in dangerSoftText) beside the message in the caller's text role and foreground,
// 6 apart; inset 8 left and right and 6 top and bottom; all times the text scale. The message wraps
// onto as many lines as it needs, is plain text and can be selected. The banner takes the whole width
// it is offered, on a rounded rectangle (radius 12) of warning or danger at 15 %.
// No signals. Accessibility: one static-text element, "Warning: " or "Error: " and the message; the
// symbol and the label are not offered apart.

#include <QWidget>

#include "design/text_scale.hpp"

class QHBoxLayout;

namespace kivo {

class ThemedLabel;

class StatusMessage : public QWidget {
    Q_OBJECT

public:
    enum class Kind { warning, error };

    StatusMessage(Kind kind, const QString& text, ScaledTextStyle style, QWidget* parent = nullptr);

    Kind kind() const noexcept { return kind_; }
    void setKind(Kind kind);
    QString text() const;
    void setText(const QString& text);

    // What assistive technologies read.
    QString spokenText() const;
    ThemedLabel* label() const { return label_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;

private:
    void applyMetrics();

    Kind kind_;
    QHBoxLayout* row_;
    QWidget* icon_;
    ThemedLabel* label_;
};

}  // namespace kivo
