#pragma once

// CardRow: one fact inside a card, its label (callout, muted) at the leading edge and its value (a text, a
// chip, any widget the caller styles) at the trailing edge, always at least 8 apart; a long label wraps
// rather than pushing the value out. Where even the label's longest word and the value do not fit side by
// side, the value stands under the label, 4 below it, at the leading edge. The label is shown as given, as
// plain text. No signals. Accessibility: one static-text element that reads label and value together
// ("Revision, 12"); its parts are not exposed separately.

#include <QPointer>
#include <QWidget>

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
    static constexpr int stackGap = 4;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;

protected:
    void resizeEvent(QResizeEvent* event) override;
    bool event(QEvent* event) override;

private:
    int widestWord() const;
    QSize valueSizeFor(int width) const;
    bool sideBySide(int width) const;
    void placeParts();

    ThemedLabel* label_;
    QPointer<QWidget> value_;
};

}  // namespace kivo
