#include "design/card_row.hpp"

#include <QAccessible>
#include <QHBoxLayout>

#include "design/accessibility.hpp"
#include "design/themed_label.hpp"

namespace kivo {
namespace {

// The readable text of a widget: its accessible name, else its descendants' names joined.
QString spokenName(QObject* object) {
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(object);
    if (iface == nullptr) return {};
    QString name = iface->text(QAccessible::Name);
    if (!name.isEmpty()) return name;
    QStringList parts;
    for (int i = 0; i < iface->childCount(); ++i) {
        QAccessibleInterface* child = iface->child(i);
        if (child != nullptr && child->object() != nullptr) {
            const QString part = spokenName(child->object());
            if (!part.isEmpty()) parts << part;
        }
    }
    return parts.join(QStringLiteral(", "));
}

}  // namespace

CardRow::CardRow(const QString& label, QWidget* value, QWidget* parent) : QWidget(parent) {
    installAccessibility();
    line_ = new QHBoxLayout(this);
    line_->setContentsMargins(0, 0, 0, 0);
    line_->setSpacing(0);
    label_ = new ThemedLabel(label, ScaledTextStyle::callout, QFont::Normal, Theme::Token::muted, this);
    label_->setWordWrap(true);
    label_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    line_->addWidget(label_, 1);
    line_->addSpacing(minimumGap);
    setValue(value);
}

QString CardRow::label() const { return label_->text(); }

void CardRow::setLabel(const QString& label) {
    label_->setText(label);
    QAccessibleEvent event(this, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&event);
}

void CardRow::setValue(QWidget* value) {
    if (value_ != nullptr && value_ != value) value_->deleteLater();
    value_ = value;
    if (value != nullptr) {
        value->setParent(this);
        line_->addWidget(value, 0, Qt::AlignRight | Qt::AlignVCenter);
        value->show();
    }
}

QString CardRow::spokenText() const {
    const QString value = value_ != nullptr ? spokenName(value_) : QString();
    if (value.isEmpty()) return label();
    return label() + QStringLiteral(", ") + value;
}

}  // namespace kivo
