#include "app/app_accessibility.hpp"

#include <QAccessible>
#include <QAccessibleWidget>

#include "app/accessible_elements.hpp"
#include "app/announcer.hpp"
#include "app/canvas_bar.hpp"
#include "app/model_picker.hpp"
#include "app/row_button.hpp"
#include "app/status_message.hpp"

namespace kivo {
namespace {

// One element read as a whole: its parts are not offered one by one.
class WholeAccessible : public QAccessibleWidget {
public:
    WholeAccessible(QWidget* widget, QAccessible::Role role) : QAccessibleWidget(widget, role) {}

    QString text(QAccessible::Text kind) const override {
        if (kind != QAccessible::Name) return QAccessibleWidget::text(kind);
        if (const auto* message = qobject_cast<const StatusMessage*>(widget())) return message->spokenText();
        if (const auto* announcer = qobject_cast<const Announcer*>(widget())) return announcer->lastText();
        return QAccessibleWidget::text(kind);
    }
    int childCount() const override { return 0; }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
};

// A row that is one button: read by the name its maker gave it, pressed as a whole.
class RowAccessible : public WholeAccessible {
public:
    explicit RowAccessible(QWidget* widget) : WholeAccessible(widget, QAccessible::Button) {}

    QAccessible::State state() const override {
        QAccessible::State st = WholeAccessible::state();
        st.selectable = true;
        st.selected = static_cast<const RowButton*>(widget())->isSelected();
        return st;
    }
    QStringList actionNames() const override { return QStringList{pressAction()}; }
    void doAction(const QString& action) override {
        if (action == pressAction() && widget()->isEnabled()) static_cast<RowButton*>(widget())->click();
    }
};

QAccessibleInterface* appFactory(const QString& className, QObject* object) {
    if (object == nullptr || !object->isWidgetType()) return nullptr;
    auto* widget = static_cast<QWidget*>(object);
    if (QAccessibleInterface* container = elementContainerFor(object)) return container;
    if (className == QLatin1String("kivo::ZoomMenuButton")) return ZoomMenuButton::accessibleFor(widget);
    if (className == QLatin1String("kivo::ModelPicker")) return ModelPicker::accessibleFor(widget);
    if (className == QLatin1String("kivo::StatusMessage")) return new WholeAccessible(widget, QAccessible::StaticText);
    if (className == QLatin1String("kivo::Announcer")) return new WholeAccessible(widget, QAccessible::StatusBar);
    if (className == QLatin1String("kivo::RowButton")) return new RowAccessible(widget);
    return nullptr;
}

}  // namespace

void installAppAccessibility() {
    static const bool installed = [] {
        QAccessible::installFactory(appFactory);
        return true;
    }();
    Q_UNUSED(installed);
}

}  // namespace kivo
