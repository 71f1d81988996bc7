#include "app/shell/app_accessibility.hpp"

#include <QAccessible>
#include <QAccessibleWidget>

#include "app/desktop/accessible_elements.hpp"
#include "app/inspector/model_picker.hpp"
#include "app/shell/announcer.hpp"
#include "app/shell/canvas_bar.hpp"
#include "design/accessibility.hpp"

namespace kivo {
namespace {

// The announcer is named by the last text it announced.
class AnnouncerAccessible : public WholeAccessible {
public:
    explicit AnnouncerAccessible(QWidget* widget) : WholeAccessible(widget, QAccessible::StatusBar) {}

    QString text(QAccessible::Text kind) const override {
        if (kind == QAccessible::Name) return static_cast<const Announcer*>(widget())->lastText();
        return WholeAccessible::text(kind);
    }
};

QAccessibleInterface* appFactory(const QString& className, QObject* object) {
    if (object == nullptr || !object->isWidgetType()) return nullptr;
    auto* widget = static_cast<QWidget*>(object);
    if (QAccessibleInterface* container = elementContainerFor(object)) return container;
    if (className == QLatin1String("kivo::ZoomMenuButton")) return ZoomMenuButton::accessibleFor(widget);
    if (className == QLatin1String("kivo::ModelPicker")) return ModelPicker::accessibleFor(widget);
    if (className == QLatin1String("kivo::Announcer")) return new AnnouncerAccessible(widget);
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
