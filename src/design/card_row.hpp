#pragma once

// CardRow: one fact inside a card, its label (callout, muted) at the leading edge and its value (a text, a
// chip, any widget the caller styles) at the trailing edge, always at least 8 apart; a long label wraps
// rather than pushing the value out. The label is shown as given, as plain text.
// No signals. Accessibility: one static-text element that reads label and value together
// ("Revision, 12"); its parts are not exposed separately.

#include <QPointer>
#include <QWidget>

class QHBoxLayout;

namespace kivo {

class ThemedLabel;

class CardRow : public QWidget {
    Q_OBJECT

public:
    // Takes `value` (the row owns it); it may be null and set later.
    CardRow(const QString& label, QWidget* value, QWidget* parent = nullptr);

    QString label() const;
    void setLabel(const QString& label);
    QWidget* value() const { return value_; }
    // Replaces the value widget; the previous one is deleted.
    void setValue(QWidget* value);

    // What assistive technologies read: the label, ", " and the value's own text.
    QString spokenText() const;

    static constexpr int minimumGap = 8;

private:
    QHBoxLayout* line_;
    ThemedLabel* label_;
    QPointer<QWidget> value_;
};

}  // namespace kivo
