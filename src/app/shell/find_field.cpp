#include "app/shell/find_field.hpp"

#include <QLineEdit>
#include <QSignalBlocker>
#include <QTimer>

#include "workspace/workspace.hpp"

namespace kivo {

FindField::FindField(Workspace& workspace, QWidget* parent)
    : HeroField(false, parent), workspace_(workspace) {
    setObjectName(QStringLiteral("findField"));
    lineEdit()->setPlaceholderText(QStringLiteral("Find"));
    lineEdit()->setAccessibleName(QStringLiteral("Find in document"));
    connect(lineEdit(), &QLineEdit::returnPressed, this, &FindField::submitted);
    connect(&workspace_, &WorkspaceState::searchQueryChanged, this, &FindField::showQuery);
    connect(&workspace_, &Workspace::findRequested, this, &FindField::focusOnRequest);
    showQuery();
}

std::string FindField::query() const { return lineEdit()->text().toStdString(); }

void FindField::showQuery() {
    const QString query = QString::fromStdString(workspace_.searchQuery());
    if (lineEdit()->text() == query) return;
    const QSignalBlocker blocker(lineEdit());
    lineEdit()->setText(query);
}

void FindField::focusOnRequest() {
    QTimer::singleShot(0, this, [this] {
        if (!window()->isVisible() || !lineEdit()->isEnabled()) return;
        lineEdit()->setFocus(Qt::ShortcutFocusReason);
        if (lineEdit()->hasFocus() || window()->focusWidget() == lineEdit()) lineEdit()->selectAll();
    });
}

}  // namespace kivo
