#include "app/inspector/model_picker.hpp"

#include <QAccessibleWidget>

namespace kivo {
namespace {

class ModelPickerAccessible : public QAccessibleWidget {
public:
    explicit ModelPickerAccessible(QWidget* widget) : QAccessibleWidget(widget, QAccessible::ComboBox) {}

    QComboBox* picker() const { return static_cast<QComboBox*>(widget()); }

    QString text(QAccessible::Text kind) const override {
        if (kind == QAccessible::Name) return QStringLiteral("Model");
        if (kind == QAccessible::Value || kind == QAccessible::Description) return picker()->currentText();
        return QAccessibleWidget::text(kind);
    }
    QStringList actionNames() const override { return {showMenuAction()}; }
    void doAction(const QString& action) override {
        if (action == showMenuAction() && widget()->isEnabled()) picker()->showPopup();
    }
};

}  // namespace

QAccessibleInterface* ModelPicker::accessibleFor(QWidget* widget) {
    return new ModelPickerAccessible(widget);
}

ModelPicker::ModelPicker(QWidget* parent) : QComboBox(parent) {
    setAccessibleName(QStringLiteral("Model"));
    connect(this, &QComboBox::currentIndexChanged, this, [this] {
        if (!QAccessible::isActive()) return;
        QAccessibleEvent described(this, QAccessible::DescriptionChanged);
        QAccessible::updateAccessibility(&described);
    });
}

}  // namespace kivo
