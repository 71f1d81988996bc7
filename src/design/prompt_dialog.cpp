#include "design/prompt_dialog.hpp"

#include <QHBoxLayout>
#include <QLineEdit>
#include <QVBoxLayout>

#include "design/hero_button.hpp"
#include "design/hero_field.hpp"
#include "design/themed_label.hpp"

namespace kivo {
namespace {

constexpr int padding = 20;
constexpr int spacing = 12;
constexpr int promptWidth = 380;

}  // namespace

PromptDialog::PromptDialog(const QString& title, const QString& detail, const QString& initialText,
                           const QString& button, Echo echo, QWidget* parent)
    : QDialog(parent) {
    setObjectName(QStringLiteral("promptDialog"));
    setWindowTitle(title);
    setMinimumWidth(promptWidth);

    auto* heading =
        new ThemedLabel(title, ScaledTextStyle::body, QFont::DemiBold, Theme::Token::foreground, this);
    heading->setHeading(true);
    auto* explanation =
        new ThemedLabel(detail, ScaledTextStyle::callout, QFont::Normal, Theme::Token::muted, this);
    explanation->setWordWrap(true);
    auto* chrome = new HeroField(false, this);
    field_ = chrome->lineEdit();
    field_->setText(initialText);
    field_->setAccessibleName(title);
    if (echo == Echo::masked) field_->setEchoMode(QLineEdit::Password);

    auto* cancel =
        new HeroButton(QStringLiteral("Cancel"), HeroButtonVariant::tertiary, HeroButtonSize::md, this);
    confirm_ = new HeroButton(button, HeroButtonVariant::primary, HeroButtonSize::md, this);
    auto* buttons = new QHBoxLayout();
    buttons->addStretch(1);
    buttons->addWidget(cancel);
    buttons->addWidget(confirm_);

    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(padding, padding, padding, padding);
    stack->setSpacing(spacing);
    stack->addWidget(heading);
    if (!detail.isEmpty()) stack->addWidget(explanation);
    stack->addWidget(chrome);
    stack->addLayout(buttons);
    if (detail.isEmpty()) explanation->hide();

    connect(cancel, &HeroButton::clicked, this, &QDialog::reject);
    connect(confirm_, &HeroButton::clicked, this, &QDialog::accept);
    connect(field_, &QLineEdit::returnPressed, this, &QDialog::accept);
    field_->setFocus();
    field_->selectAll();
}

QString PromptDialog::text() const { return field_->text(); }

}  // namespace kivo
