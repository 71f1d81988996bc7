#include "design/accessibility.hpp"

#include <QAbstractButton>
#include <QAccessible>
#include <QAccessibleWidget>

#include "design/card_row.hpp"
#include "design/chip.hpp"
#include "design/row_button.hpp"
#include "design/status_message.hpp"
#include "design/themed_label.hpp"

namespace kivo {
namespace {

// Buttons, segments, switches and check boxes: named by the accessible name, the text or the tooltip,
// pressed through the press (or toggle) action.
class ButtonAccessible : public QAccessibleWidget {
public:
    ButtonAccessible(QWidget* widget, QAccessible::Role role) : QAccessibleWidget(widget, role) {}

    QAbstractButton* button() const { return static_cast<QAbstractButton*>(widget()); }

    QString text(QAccessible::Text kind) const override {
        if (kind == QAccessible::Name) {
            if (!button()->accessibleName().isEmpty()) return button()->accessibleName();
            if (!button()->text().isEmpty()) return button()->text();
            return button()->toolTip();
        }
        if (kind == QAccessible::Description && button()->accessibleDescription().isEmpty() &&
            button()->toolTip() != text(QAccessible::Name))
            return button()->toolTip();
        return QAccessibleWidget::text(kind);
    }

    QAccessible::State state() const override {
        QAccessible::State st = QAccessibleWidget::state();
        st.pressed = button()->isDown();
        if (button()->isCheckable()) {
            st.checkable = true;
            st.checked = button()->isChecked();
        }
        return st;
    }

    QStringList actionNames() const override {
        return QStringList{button()->isCheckable() && role() == QAccessible::CheckBox ? toggleAction()
                                                                                      : pressAction()} +
               QAccessibleWidget::actionNames();
    }

    void doAction(const QString& action) override {
        if (!widget()->isEnabled()) return;
        if (action == pressAction() || action == toggleAction()) {
            button()->click();
            return;
        }
        QAccessibleWidget::doAction(action);
    }
};

// Chips and themed labels: static text (or a heading) read as their text.
class TextAccessible : public QAccessibleWidget {
public:
    TextAccessible(QWidget* widget, QAccessible::Role role) : QAccessibleWidget(widget, role) {}

    QAccessible::Role role() const override {
        // A label may become a heading after Qt cached this interface.
        if (const auto* label = qobject_cast<const ThemedLabel*>(widget());
            label != nullptr && label->isHeading())
            return QAccessible::Heading;
        return QAccessibleWidget::role();
    }

    QString text(QAccessible::Text kind) const override {
        if (kind == QAccessible::Name && widget()->accessibleName().isEmpty()) {
            if (const auto* chip = qobject_cast<const Chip*>(widget())) return chip->text();
            if (const auto* label = qobject_cast<const ThemedLabel*>(widget())) return label->text();
        }
        // A label's tooltip repeats its whole text, escaped as markup where the text looked like markup:
        // not a description to read out.
        if (kind == QAccessible::Description) return widget()->accessibleDescription();
        return QAccessibleWidget::text(kind);
    }
};

// A card row is one element: its parts are read together and not offered one by one.
class CardRowAccessible : public WholeAccessible {
public:
    explicit CardRowAccessible(QWidget* widget) : WholeAccessible(widget, QAccessible::StaticText) {}

    QString text(QAccessible::Text kind) const override {
        if (kind == QAccessible::Name && widget()->accessibleName().isEmpty())
            return static_cast<const CardRow*>(widget())->spokenText();
        return WholeAccessible::text(kind);
    }
};

// A status message is read as its kind and its message.
class StatusMessageAccessible : public WholeAccessible {
public:
    explicit StatusMessageAccessible(QWidget* widget) : WholeAccessible(widget, QAccessible::StaticText) {}

    QString text(QAccessible::Text kind) const override {
        if (kind == QAccessible::Name) return static_cast<const StatusMessage*>(widget())->spokenText();
        return WholeAccessible::text(kind);
    }
};

// A row that is one button: read by the name its maker gave it, pressed as a whole.
class RowButtonAccessible : public WholeAccessible {
public:
    explicit RowButtonAccessible(QWidget* widget) : WholeAccessible(widget, QAccessible::Button) {}

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

QAccessibleInterface* designFactory(const QString& className, QObject* object) {
    if (object == nullptr || !object->isWidgetType()) return nullptr;
    auto* widget = static_cast<QWidget*>(object);
    if (className == QLatin1String("kivo::HeroButton") ||
        className == QLatin1String("kivo::PillSegmentButton"))
        return new ButtonAccessible(widget, QAccessible::Button);
    if (className == QLatin1String("kivo::HeroSwitch") || className == QLatin1String("kivo::HeroCheckbox"))
        return new ButtonAccessible(widget, QAccessible::CheckBox);
    if (className == QLatin1String("kivo::Chip")) return new TextAccessible(widget, QAccessible::StaticText);
    if (className == QLatin1String("kivo::ThemedLabel"))
        return new TextAccessible(widget, QAccessible::StaticText);
    if (className == QLatin1String("kivo::CardRow")) return new CardRowAccessible(widget);
    if (className == QLatin1String("kivo::StatusMessage")) return new StatusMessageAccessible(widget);
    if (className == QLatin1String("kivo::RowButton")) return new RowButtonAccessible(widget);
    if (className == QLatin1String("kivo::PillSegment") || className == QLatin1String("kivo::SectionCard") ||
        className == QLatin1String("kivo::EmptyStateView") || className == QLatin1String("kivo::HeroField"))
        return new QAccessibleWidget(widget, QAccessible::Grouping);
    return nullptr;
}

}  // namespace

void installAccessibility() {
    static const bool installed = [] {
        QAccessible::installFactory(designFactory);
        return true;
    }();
    Q_UNUSED(installed);
}

}  // namespace kivo
