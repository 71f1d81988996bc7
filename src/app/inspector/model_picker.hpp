#pragma once

// ModelPicker: the provider card's choice of model, a plain combo box that assistive technologies read
// as "Model" with the chosen model as its value and description (a combo box is otherwise named by its
// current text on this desktop, and the bus carries no value for it). Nothing fails.

#include <QAccessibleInterface>
#include <QComboBox>

namespace kivo {

class ModelPicker : public QComboBox {
    Q_OBJECT

public:
    explicit ModelPicker(QWidget* parent = nullptr);

    // Its interface, for the app's accessibility factory.
    static QAccessibleInterface* accessibleFor(QWidget* widget);
};

}  // namespace kivo
