#include "design/card_row.hpp"

#include <algorithm>

#include <QAccessible>
#include <QEvent>

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
    label_ = new ThemedLabel(label, ScaledTextStyle::callout, QFont::Normal, Theme::Token::muted, this);
    label_->setWordWrap(true);
    label_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
    setValue(value);
}

int CardRow::widestWord() const {
    const QFontMetrics metrics(label_->font());
    int widest = 0;
    for (const QString& word : label_->text().split(QLatin1Char(' '), Qt::SkipEmptyParts))
        widest = std::max(widest, metrics.horizontalAdvance(word));
    return widest + 1;
}

QSize CardRow::valueSizeFor(int width) const {
    if (value_ == nullptr || value_->isHidden()) return {0, 0};
    const QSize hint = value_->sizeHint();
    const int wide = std::max(std::min(hint.width(), width), value_->minimumSizeHint().width());
    return {wide, value_->hasHeightForWidth() ? value_->heightForWidth(wide) : hint.height()};
}

bool CardRow::sideBySide(int width) const {
    return value_ == nullptr || widestWord() + minimumGap + valueSizeFor(width).width() <= width;
}

QSize CardRow::sizeHint() const {
    const QSize label = label_->sizeHint();
    const QSize value = valueSizeFor(QWIDGETSIZE_MAX);
    return {label.width() + minimumGap + value.width(), std::max(label.height(), value.height())};
}

QSize CardRow::minimumSizeHint() const {
    const int value = value_ != nullptr ? value_->minimumSizeHint().width() : 0;
    return {std::max(widestWord(), value), label_->fontMetrics().height()};
}

int CardRow::heightForWidth(int width) const {
    const QSize value = valueSizeFor(width);
    if (sideBySide(width))
        return std::max(label_->heightForWidth(width - minimumGap - value.width()), value.height());
    return label_->heightForWidth(width) + stackGap + value.height();
}

void CardRow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    placeParts();
}

bool CardRow::event(QEvent* event) {
    if (event->type() == QEvent::LayoutRequest) {
        updateGeometry();
        placeParts();
    }
    return QWidget::event(event);
}

// Side by side, the value at the trailing edge; where the two do not fit, the value under the label.
void CardRow::placeParts() {
    const int width = this->width();
    const QSize value = valueSizeFor(width);
    if (sideBySide(width)) {
        const int labelWidth = std::max(0, width - minimumGap - value.width());
        label_->setGeometry(0, 0, labelWidth, height());
        if (value_ != nullptr)
            value_->setGeometry(QRect(QPoint(width - value.width(), (height() - value.height()) / 2), value));
        return;
    }
    const int labelHeight = label_->heightForWidth(width);
    label_->setGeometry(0, 0, width, labelHeight);
    if (value_ != nullptr) value_->setGeometry(QRect(QPoint(0, labelHeight + stackGap), value));
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
        value->show();
    }
    updateGeometry();
    placeParts();
}

QString CardRow::spokenText() const {
    const QString value = value_ != nullptr ? spokenName(value_) : QString();
    if (value.isEmpty()) return label();
    return label() + QStringLiteral(", ") + value;
}

}  // namespace kivo
