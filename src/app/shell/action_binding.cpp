#include "app/shell/action_binding.hpp"

#include <QAbstractButton>
#include <QAction>
#include <QMenu>
#include <QToolBar>

namespace kivo {

void bindButton(QAbstractButton& button, QAction& action) {
    button.addAction(&action);
    button.setEnabled(action.isEnabled());
    QObject::connect(&button, &QAbstractButton::clicked, &action, &QAction::trigger);
    QObject::connect(&action, &QAction::enabledChanged, &button, &QWidget::setEnabled);
}

QAction* addBoundItem(QMenu& menu, QAction& action, const QString& title) {
    QAction* item = menu.addAction(title);
    item->setEnabled(action.isEnabled());
    QObject::connect(item, &QAction::triggered, &action, &QAction::trigger);
    QObject::connect(&action, &QAction::enabledChanged, item, &QAction::setEnabled);
    return item;
}

void addToolBarButton(QToolBar& toolBar, QAction& action, const QIcon& icon) {
    toolBar.addAction(&action);
    QWidget* button = toolBar.widgetForAction(&action);
    auto* shown = qobject_cast<QAbstractButton*>(button);
    if (shown == nullptr) return;
    shown->setIcon(icon);
    // The button takes the action's (empty) icon again on every change of the action; this runs after.
    QObject::connect(&action, &QAction::changed, shown, [shown, icon] { shown->setIcon(icon); });
}

}  // namespace kivo
