#pragma once

// Controls that stand for a command without being drawn by Qt from its action alone: a button in the
// design's own look, a menu item that reads differently from the command's menu title, and a tool bar
// button with a symbol the command's menu item must not have. Each runs the
// command's one QAction and follows its enabled state, so the command's connect and enable rule stay in
// EditorCommands. The action lists the control among its associated objects, which is how a test finds
// the button of a command. GUI thread only; nothing fails.

class QAbstractButton;
class QAction;
class QIcon;
class QMenu;
class QString;
class QToolBar;

namespace kivo {

// A click on `button` triggers `action`; the button is enabled exactly while the action is. Its look,
// text, tooltip and accessible name stay the button's own.
void bindButton(QAbstractButton& button, QAction& action);

// An item of `menu` titled `title`, without the command's access key and shortcut, that triggers
// `action` and is enabled while it is.
QAction* addBoundItem(QMenu& menu, QAction& action, const QString& title);

// Shows `action` in `toolBar` with `icon` as its button's own: a menu leaves room for the icon of any of
// its actions, even one it hides, so a command that is also a menu item carries none itself.
void addToolBarButton(QToolBar& toolBar, QAction& action, const QIcon& icon);

}  // namespace kivo
