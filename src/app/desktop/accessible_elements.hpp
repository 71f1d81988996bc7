#pragma once

// Accessible elements that are not widgets: parts of one painted widget (the lines and marks of the page
// canvas, the rows of the page list) offered to assistive technologies one by one, each over its own
// rectangle, with a label, a value, a role and named actions. The widget keeps the list and raises its
// generation whenever the list changes; its accessible interface then drops the elements it handed out and
// makes new ones, so an element never outlives the words it speaks.
//
// A widget class takes part by deriving from AccessibleElementSource; once the program has installed the
// app's accessibility factory (installAppAccessibility), its interface is a container of `containerRole`
// whose children are the elements, in list order. GUI thread only; nothing here fails.

#include <QAccessible>
#include <QRectF>
#include <QString>

#include <cstdint>
#include <functional>
#include <vector>

namespace kivo {

struct AccessibleAction {
    QString name;  // QAccessibleActionInterface::pressAction() for the element's default action
    std::function<void()> run;
};

struct AccessibleElement {
    QAccessible::Role role = QAccessible::StaticText;
    QString name;
    QString value;
    QRectF frame;  // in the widget's own coordinates
    bool selectable = false;
    bool selected = false;
    std::vector<AccessibleAction> actions;
};

class AccessibleElementSource {
public:
    virtual ~AccessibleElementSource() = default;
    virtual const std::vector<AccessibleElement>& accessibleElements() const = 0;
    // Raised by one whenever accessibleElements() changes.
    virtual std::uint64_t accessibleGeneration() const = 0;
    virtual QAccessible::Role containerRole() const = 0;
    // Where element `index` is now, in the widget's coordinates: its frame, unless the widget knows better
    // (rows of a list that scrolls move without the list changing).
    virtual QRectF accessibleFrame(std::size_t index) const { return accessibleElements().at(index).frame; }
};

// The container interface of an AccessibleElementSource widget; null for any other object. The app's
// accessibility factory (installAppAccessibility) hands it out.
QAccessibleInterface* elementContainerFor(QObject* object);

// Tells assistive technologies that `widget`'s elements changed; nothing while none listens.
void announceElementsChanged(QWidget* widget);

}  // namespace kivo
