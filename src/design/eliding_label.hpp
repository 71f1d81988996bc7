#pragma once

// ElidingLabel: a one-line ThemedLabel that cuts its text short with an ellipsis instead of growing its
// container (the status line, the activity card's title and detail). Assistive technologies and the
// tooltip get the whole text. Plain text, like every ThemedLabel. No signals.

#include "design/themed_label.hpp"

namespace kivo {

class ElidingLabel : public ThemedLabel {
    Q_OBJECT

public:
    ElidingLabel(ScaledTextStyle style, QFont::Weight weight, Theme::Token colour, QWidget* parent = nullptr);

    QString fullText() const { return full_; }
    void setFullText(const QString& text);

protected:
    bool event(QEvent* event) override;

private:
    void elide();

    QString full_;
};

}  // namespace kivo
