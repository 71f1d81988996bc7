#include "app/shell/recovery_row.hpp"

#include <cmath>

#include <QHBoxLayout>
#include <QPainter>
#include <QVBoxLayout>

#include "design/appearance.hpp"
#include "design/eliding_label.hpp"
#include "design/hero_button.hpp"
#include "design/painting.hpp"
#include "design/shadow.hpp"

namespace kivo {
namespace {

constexpr double cornerRadius = 16;
constexpr int inset = 10;

QMargins whole(const QMarginsF& margins) {
    return {static_cast<int>(std::ceil(margins.left())), static_cast<int>(std::ceil(margins.top())),
            static_cast<int>(std::ceil(margins.right())), static_cast<int>(std::ceil(margins.bottom()))};
}

}  // namespace

RecoveryRow::RecoveryRow(const QString& title, const QString& detail, QWidget* parent)
    : QWidget(parent),
      restore_(
          new HeroButton(QStringLiteral("Restore"), HeroButtonVariant::primary, HeroButtonSize::sm, this)),
      discard_(new HeroButton(QStringLiteral("Discard"), HeroButtonVariant::dangerSoft, HeroButtonSize::sm,
                              this)) {
    setObjectName(QStringLiteral("recoveryRow"));
    restore_->setObjectName(QStringLiteral("restoreRecovery"));
    discard_->setObjectName(QStringLiteral("discardRecovery"));
    // Every row has its two buttons: a screen reader says which checkpoint each one is for.
    restore_->setAccessibleName(QStringLiteral("Restore ") + title);
    discard_->setAccessibleName(QStringLiteral("Discard ") + title);
    auto* texts = new QVBoxLayout();
    texts->setSpacing(3);
    // A long file name is cut short rather than pushing the buttons out of the sheet.
    auto* titleLabel = new ElidingLabel(ScaledTextStyle::body, QFont::Medium, Theme::Token::foreground, this);
    titleLabel->setObjectName(QStringLiteral("recoveryTitle"));
    titleLabel->setFullText(title);
    auto* detailLabel = new ElidingLabel(ScaledTextStyle::caption, QFont::Normal, Theme::Token::muted, this);
    detailLabel->setObjectName(QStringLiteral("recoveryDetail"));
    detailLabel->setFullText(detail);
    texts->addWidget(titleLabel);
    texts->addWidget(detailLabel);

    auto* row = new QHBoxLayout(this);
    row->setSpacing(inset);
    row->setContentsMargins(whole(shadowMargins()) + QMargins(inset, inset, inset, inset));
    row->addLayout(texts, 1);
    row->addWidget(restore_, 0, Qt::AlignVCenter);
    row->addWidget(discard_, 0, Qt::AlignVCenter);
    connect(restore_, &HeroButton::clicked, this, &RecoveryRow::restoreClicked);
    connect(discard_, &HeroButton::clicked, this, &RecoveryRow::discardClicked);
    connect(&Appearance::instance(), &Appearance::schemeChanged, this, qOverload<>(&QWidget::update));
}

QMarginsF RecoveryRow::shadowMargins() { return Shadows::reach(Shadows::surface(ColorScheme::light)); }

void RecoveryRow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF surface = QRectF(rect()).marginsRemoved(QMarginsF(whole(shadowMargins())));
    Shadows::paint(painter, surface, cornerRadius, Shadows::surface(Appearance::currentScheme()));
    Painting::fillRounded(painter, surface, cornerRadius, Theme::color(Theme::Token::surface));
}

}  // namespace kivo
