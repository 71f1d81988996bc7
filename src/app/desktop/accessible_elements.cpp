#include "app/desktop/accessible_elements.hpp"

#include <QAccessibleWidget>
#include <QPointer>
#include <QWidget>
#include <QWindow>

#include <limits>

namespace kivo {
namespace {

AccessibleElementSource* sourceOf(QObject* object) { return dynamic_cast<AccessibleElementSource*>(object); }

// One element of a source, valid while the source still shows the list it was made from.
class ElementAccessible : public QAccessibleInterface, public QAccessibleActionInterface {
public:
    ElementAccessible(QWidget* owner, std::size_t index, std::uint64_t generation)
        : owner_(owner), index_(index), generation_(generation) {}

    const AccessibleElementSource* source() const {
        const AccessibleElementSource* source = owner_ ? sourceOf(owner_.data()) : nullptr;
        if (source == nullptr || source->accessibleGeneration() != generation_ ||
            index_ >= source->accessibleElements().size())
            return nullptr;
        return source;
    }
    const AccessibleElement* element() const {
        const AccessibleElementSource* from = source();
        return from != nullptr ? &from->accessibleElements()[index_] : nullptr;
    }

    bool isValid() const override { return element() != nullptr; }
    QObject* object() const override { return nullptr; }
    QWindow* window() const override { return owner_ ? owner_->window()->windowHandle() : nullptr; }
    QAccessibleInterface* parent() const override {
        return owner_ ? QAccessible::queryAccessibleInterface(owner_.data()) : nullptr;
    }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }

    QString text(QAccessible::Text kind) const override {
        const AccessibleElement* shown = element();
        if (shown == nullptr) return {};
        if (kind == QAccessible::Name) return shown->name;
        // The desktop's accessibility bus carries no value for these roles: the description carries it.
        if (kind == QAccessible::Value || kind == QAccessible::Description) return shown->value;
        return {};
    }
    void setText(QAccessible::Text, const QString&) override {}

    QRect rect() const override {
        const AccessibleElementSource* from = source();
        if (from == nullptr) return {};
        const QRect local = from->accessibleFrame(index_).toAlignedRect();
        return {owner_->mapToGlobal(local.topLeft()), local.size()};
    }
    QAccessible::Role role() const override {
        const AccessibleElement* shown = element();
        return shown != nullptr ? shown->role : QAccessible::NoRole;
    }
    QAccessible::State state() const override {
        QAccessible::State state;
        const AccessibleElement* shown = element();
        if (shown == nullptr) {
            state.invalid = true;
            return state;
        }
        state.selectable = shown->selectable;
        state.selected = shown->selected;
        return state;
    }

    void* interface_cast(QAccessible::InterfaceType type) override {
        return type == QAccessible::ActionInterface ? static_cast<QAccessibleActionInterface*>(this)
                                                    : nullptr;
    }

    QStringList actionNames() const override {
        QStringList names;
        if (const AccessibleElement* shown = element()) {
            for (const AccessibleAction& action : shown->actions) names.append(action.name);
        }
        return names;
    }
    void doAction(const QString& name) override {
        const AccessibleElement* shown = element();
        if (shown == nullptr) return;
        for (const AccessibleAction& action : shown->actions) {
            if (action.name != name || !action.run) continue;
            // The action may change the list, and with it end this element: nothing of it is used after.
            const std::function<void()> run = action.run;
            run();
            return;
        }
    }
    QStringList keyBindingsForAction(const QString&) const override { return {}; }

private:
    QPointer<QWidget> owner_;
    std::size_t index_;
    std::uint64_t generation_;
};

// The widget itself: a container whose children are its elements, made afresh for each generation.
class ContainerAccessible : public QAccessibleWidget {
public:
    ContainerAccessible(QWidget* widget, QAccessible::Role role) : QAccessibleWidget(widget, role) {}
    ~ContainerAccessible() override { dropChildren(); }

    int childCount() const override {
        sync();
        return static_cast<int>(children_.size());
    }
    QAccessibleInterface* child(int index) const override {
        sync();
        if (index < 0 || static_cast<std::size_t>(index) >= children_.size()) return nullptr;
        return QAccessible::accessibleInterface(children_[static_cast<std::size_t>(index)]);
    }
    int indexOfChild(const QAccessibleInterface* candidate) const override {
        sync();
        for (std::size_t i = 0; i < children_.size(); ++i) {
            if (QAccessible::accessibleInterface(children_[i]) == candidate) return static_cast<int>(i);
        }
        return -1;
    }
    QAccessibleInterface* childAt(int x, int y) const override {
        sync();
        // The last element listed is the one on top.
        for (auto id = children_.rbegin(); id != children_.rend(); ++id) {
            QAccessibleInterface* element = QAccessible::accessibleInterface(*id);
            if (element != nullptr && element->rect().contains(x, y)) return element;
        }
        return nullptr;
    }

private:
    void sync() const {
        const AccessibleElementSource* source = sourceOf(widget());
        if (source == nullptr) return dropChildren();
        if (source->accessibleGeneration() == generation_) return;
        dropChildren();
        generation_ = source->accessibleGeneration();
        const std::size_t count = source->accessibleElements().size();
        for (std::size_t i = 0; i < count; ++i) {
            children_.push_back(QAccessible::registerAccessibleInterface(
                new ElementAccessible(static_cast<QWidget*>(widget()), i, generation_)));
        }
    }
    void dropChildren() const {
        for (const QAccessible::Id id : children_) QAccessible::deleteAccessibleInterface(id);
        children_.clear();
        generation_ = std::numeric_limits<std::uint64_t>::max();
    }

    mutable std::vector<QAccessible::Id> children_;
    mutable std::uint64_t generation_ = std::numeric_limits<std::uint64_t>::max();
};

}  // namespace

QAccessibleInterface* elementContainerFor(QObject* object) {
    if (object == nullptr || !object->isWidgetType()) return nullptr;
    const AccessibleElementSource* source = sourceOf(object);
    if (source == nullptr) return nullptr;
    return new ContainerAccessible(static_cast<QWidget*>(object), source->containerRole());
}

void announceElementsChanged(QWidget* widget) {
    if (!QAccessible::isActive()) return;
    QAccessibleEvent changed(widget, QAccessible::ObjectReorder);
    QAccessible::updateAccessibility(&changed);
}

}  // namespace kivo
