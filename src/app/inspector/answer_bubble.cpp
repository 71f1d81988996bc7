#include "app/inspector/answer_bubble.hpp"

#include <QPainter>

#include "design/scaled_stack.hpp"
#include "design/section_card.hpp"
#include "design/symbols.hpp"
#include "design/text_scale.hpp"
#include "design/theme.hpp"

namespace kivo {
namespace {

constexpr double avatarOpacity = 0.15;

class Avatar : public QWidget {
public:
    explicit Avatar(QWidget* parent) : QWidget(parent) {
        setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    }

    QSize sizeHint() const override {
        const int side = ScaledStack::scaled(this, AnswerBubble::avatarSide);
        return {side, side};
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF circle(0, 0, width(), height());
        painter.setPen(Qt::NoPen);
        painter.setBrush(Theme::withOpacity(Theme::color(Theme::Token::accent), avatarOpacity));
        painter.drawEllipse(circle);
        const double side = Symbols::sideForFont(basePoints(ScaledTextStyle::callout) * TextScale::of(this));
        Symbols::paint(painter, QRectF(circle.center() - QPointF(side / 2, side / 2), QSizeF(side, side)),
                       QStringLiteral("sparkles"), Theme::color(Theme::Token::accentSoftText));
    }

    bool event(QEvent* event) override {
        TextScale::remeasureOn(*this, *event);
        return QWidget::event(event);
    }
};

}  // namespace

AnswerBubble::AnswerBubble(QWidget* parent) : QWidget(parent) {
    auto* line = new ScaledStack(Qt::Horizontal, 9, {}, this);
    fill(this, line);
    // In line with the surfaces of the cards around it, which keep room for their shadows.
    const QMarginsF shadow = SectionCard::shadowMargins();
    layout()->setContentsMargins(qRound(shadow.left()), 0, qRound(shadow.right()), 0);
    auto* avatar = new Avatar(line);
    line->add(avatar, 0, Qt::AlignTop);
    content_ = new ScaledStack(Qt::Vertical, 10, {}, line);
    line->add(content_, 1);
}

}  // namespace kivo
