#pragma once

// AnswerBubble: the frame shared by the streaming answer and the finished one: a round avatar (26 across,
// `accent` at 15 % with the "sparkles" symbol in accentSoftText, hidden from assistive technologies) at
// the top, and beside it, 9 apart, the content, which takes the rest of the width; lengths × the text
// scale. No signals.

#include <QWidget>

namespace kivo {

class ScaledStack;

class AnswerBubble : public QWidget {
    Q_OBJECT

public:
    explicit AnswerBubble(QWidget* parent = nullptr);

    // The column the content goes into, leading-aligned, `spacing` points apart.
    ScaledStack* content() const { return content_; }

    static constexpr double avatarSide = 26;

private:
    ScaledStack* content_;
};

}  // namespace kivo
