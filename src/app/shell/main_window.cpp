#include "app/shell/main_window.hpp"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMimeData>
#include <QPainter>
#include <QSplitter>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>

#include <utility>

#include "app/canvas/canvas_area.hpp"
#include "app/desktop/focused_text.hpp"
#include "app/inspector/editor_drafts.hpp"
#include "app/inspector/form_field_editor.hpp"
#include "app/inspector/inspector_panel.hpp"
#include "app/pages/page_list.hpp"
#include "app/pages/page_list_focus_start.hpp"
#include "app/pages/page_list_view.hpp"
#include "app/shell/action_binding.hpp"
#include "app/shell/announcer.hpp"
#include "app/shell/canvas_bar.hpp"
#include "app/shell/editor_commands.hpp"
#include "app/shell/editor_tools.hpp"
#include "app/shell/find_field.hpp"
#include "app/shell/interface_text_scale.hpp"
#include "app/shell/recovery_sheet.hpp"
#include "app/shell/status_bar.hpp"
#include "design/appearance.hpp"
#include "workspace/assistant_session.hpp"
#include "workspace/shown_page.hpp"
#include "workspace/recovery_checkpoints.hpp"
#include "design/symbol_icon.hpp"
#include "workspace/workspace.hpp"

namespace kivo {
namespace {

constexpr int pageListMinimum = 180;
constexpr int pageListInitial = 210;
constexpr int pageListMaximum = 280;
constexpr int inspectorMinimum = 300;
constexpr int inspectorInitial = 340;
constexpr int inspectorMaximum = 460;
constexpr int findFieldWidth = 160;

// Only a local file whose name ends in ".pdf", in any letter case, is a PDF to open.
bool isPdfFile(const QUrl& url) {
    return url.isLocalFile() &&
           QFileInfo(url.toLocalFile()).suffix().compare(QStringLiteral("pdf"), Qt::CaseInsensitive) == 0;
}

// The tool bar on `background` with a separator line under it, instead of the style's gradient.
class WindowToolBar : public QToolBar {
public:
    WindowToolBar(const QString& title, QWidget* parent) : QToolBar(title, parent) {
        connect(&Appearance::instance(), &Appearance::schemeChanged, this, qOverload<>(&QWidget::update));
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.fillRect(rect(), Theme::color(Theme::Token::background));
        painter.fillRect(QRect(0, height() - 1, width(), 1), Theme::color(Theme::Token::separator));
    }
};

}  // namespace

MainWindow::MainWindow(Workspace& workspace, EditorSettings& settings, Updates& updates, QWidget* parent)
    : QMainWindow(parent), workspace_(workspace), settings_(settings) {
    setObjectName(QStringLiteral("mainWindow"));
    setWindowTitle(QStringLiteral("Kivo PDF"));
    setMinimumSize(minimumWidth, minimumHeight);
    resize(initialWidth, initialHeight);
    setAcceptDrops(true);
    announcer_ = new Announcer(this);

    createActions(updates);
    createToolBar();
    createColumns();
    connectWorkspace();
    readSettings();
    connect(&settings_, &EditorSettings::changed, this, &MainWindow::readSettings);
    // The list is offered the keyboard when the window first becomes active.
    listFocusStart_ = new PageListFocusStart(pageList_);
}

QString MainWindow::pageLabel(const PageInfo& page, const OpenDocument& document) {
    return CanvasArea::pageLabel(page, document);
}

void MainWindow::saveWithTypedValues(void (Workspace::*save)()) {
    std::vector<std::pair<std::string, std::string>> typed;
    if (drafts_ != nullptr) typed = FormEditors::unapplied(workspace_.document().fields(), *drafts_);
    workspace_.fillAll(std::move(typed), [w = &workspace_, save] { (w->*save)(); });
}

void MainWindow::createActions(Updates& updates) {
    commands_ = new EditorCommands(*this, workspace_, settings_, updates);
}

void MainWindow::createToolBar() {
    toolBar_ = new WindowToolBar(QStringLiteral("Tool bar"), this);
    toolBar_->setObjectName(QStringLiteral("toolBar"));
    toolBar_->setMovable(false);
    toolBar_->setFloatable(false);
    toolBar_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    toolBar_->toggleViewAction()->setEnabled(false);
    const auto add = [this](EditorAction id, const char* symbol) {
        addToolBarButton(*toolBar_, *commands_->action(id), symbolIcon(QString::fromLatin1(symbol)));
    };
    add(EditorAction::open, "folder");
    add(EditorAction::save, "square.and.arrow.down");
    add(EditorAction::saveAs, "square.and.arrow.down.on.square");
    auto* gap = new QWidget(toolBar_);
    gap->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    toolBar_->addWidget(gap);
    findField_ = new FindField(workspace_, toolBar_);
    findField_->setFixedWidth(findFieldWidth);
    toolBar_->addWidget(findField_);
    add(EditorAction::search, "magnifyingglass");
    addToolBar(Qt::TopToolBarArea, toolBar_);
    connect(findField_, &FindField::submitted, this, &MainWindow::runSearch);
}

void MainWindow::createColumns() {
    columns_ = new QSplitter(Qt::Horizontal, this);
    columns_->setObjectName(QStringLiteral("columns"));
    columns_->setChildrenCollapsible(false);
    columns_->setHandleWidth(1);

    pageListPanel_ = new PageList(workspace_, columns_);
    pageListPanel_->setMinimumWidth(pageListMinimum);
    pageListPanel_->setMaximumWidth(pageListMaximum);
    pageList_ = pageListPanel_->view();

    auto* canvasColumn = new QWidget(columns_);
    canvasColumn->setObjectName(QStringLiteral("canvasColumn"));
    auto* stack = new QVBoxLayout(canvasColumn);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(0);
    canvasBar_ = new CanvasBar(workspace_, *commands_, canvasColumn);
    canvasArea_ = new CanvasArea(workspace_, canvasColumn);
    statusBar_ = new StatusBar(workspace_, canvasColumn);
    stack->addWidget(canvasBar_);
    stack->addWidget(canvasArea_, 1);
    stack->addWidget(statusBar_);

    drafts_ = new EditorDrafts(workspace_, this);
    drafts_->setObjectName(QStringLiteral("drafts"));
    inspector_ = new InspectorPanel(workspace_, *drafts_, columns_);
    inspector_->setMinimumWidth(inspectorMinimum);
    inspector_->setMaximumWidth(inspectorMaximum);

    columns_->addWidget(pageListPanel_);
    columns_->addWidget(canvasColumn);
    columns_->addWidget(inspector_);
    columns_->setStretchFactor(0, 0);
    columns_->setStretchFactor(1, 1);
    columns_->setStretchFactor(2, 0);
    columns_->setSizes(
        {pageListInitial, initialWidth - pageListInitial - inspectorInitial, inspectorInitial});
    setCentralWidget(columns_);

    connect(inspector_, &InspectorPanel::tabChosen, this,
            [this](InspectorTab tab) { settings_.setInspectorTab(std::string(info(tab).rawValue)); });
}

void MainWindow::connectWorkspace() {
    connect(&workspace_.shownPage(), &ShownPage::viewportChanged, this, [this] {
        if (workspace_.shownPage().fitMode() != FitMode::manual) workspace_.shownPage().scheduleFit();
    });
    connect(&workspace_.checkpoints(), &RecoveryCheckpoints::showRecoveryChanged, this,
            &MainWindow::showRecovery);
    connect(&workspace_, &WorkspaceState::statusChanged, this,
            [this] { announcer_->announce(QString::fromStdString(workspace_.status())); });
    connect(&workspace_, &WorkspaceState::errorMessageChanged, this, [this] {
        if (const auto& error = workspace_.errorMessage())
            announcer_->announce(QStringLiteral("Error: ") + QString::fromStdString(*error));
    });
    // A document just opened is what the person came for: the keyboard goes to its page (from the page list,
    // or the field that took it as the window came up), unless another window (a dialog) holds it.
    connect(&workspace_, &Workspace::documentReplaced, this, [this] {
        QWidget* focused = QApplication::focusWidget();
        if (focused != nullptr && focused->window() != this) return;
        canvasArea_->setFocus(Qt::OtherFocusReason);
        if (listFocusStart_) listFocusStart_->withdraw();
    });
    connect(&workspace_, &WorkspaceState::workerNoticeChanged, this, [this] {
        if (const auto& notice = workspace_.workerNotice())
            announcer_->announce(QString::fromStdString(notice->message));
    });
}

void MainWindow::readSettings() {
    const double scale = settings_.interfaceTextScale();
    if (scale != textScale_) {
        textScale_ = scale;
        InterfaceTextScale::apply(this, scale);
        const int icon = InterfaceTextScale::iconSide(InterfaceTextScale::controlSize(scale));
        toolBar_->setIconSize(QSize(icon, icon));
        if (recoverySheet_) InterfaceTextScale::apply(recoverySheet_, scale);
    }
    inspector_->setTab(shownInspectorTab(settings_.inspectorTab()));
}

std::string MainWindow::findQuery() const { return findField_->query(); }

void MainWindow::runSearch() {
    workspace_.search(findQuery());
    settings_.setInspectorTab(std::string(info(InspectorTab::page).rawValue));
}

void MainWindow::showRecovery() {
    if (!workspace_.checkpoints().showRecovery()) {
        if (recoverySheet_ && recoverySheet_->isVisible()) recoverySheet_->done(QDialog::Rejected);
        return;
    }
    if (!recoverySheet_) {
        recoverySheet_ = new RecoverySheet(workspace_, this);
        InterfaceTextScale::apply(recoverySheet_, textScale_);
    }
    if (recoverySheet_->isVisible()) return;
    recoverySheet_->open();
    // Said as it appears, with what it is for: the keyboard lands on its first button, which says only its
    // own.
    announcer_->announce(recoverySheet_->accessibleName() + QStringLiteral(". ") +
                         recoverySheet_->accessibleDescription());
}

void MainWindow::closeEvent(QCloseEvent* event) {
    // Quitting now would wait for the keyring's prompt with the window gone and the key's fate untold.
    if (workspace_.assistant().keyPending()) {
        event->ignore();
        if (!std::exchange(closeWhenKeyStored_, true)) {
            workspace_.setStatus("Kivo PDF quits once the keyring has answered.");
            connect(&workspace_.assistant(), &AssistantSession::keyPendingChanged, this, [this] {
                if (closeWhenKeyStored_ && !workspace_.assistant().keyPending())
                    QTimer::singleShot(0, this, &MainWindow::close);
            });
        }
        return;
    }
    QMainWindow::closeEvent(event);
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
    const bool inText = static_cast<bool>(FocusedText::of(focusWidget()));
    const bool plain = event->modifiers() == Qt::NoModifier || event->modifiers() == Qt::KeypadModifier;
    switch (plain && !inText ? event->key() : 0) {
        case Qt::Key_Up: return workspace_.nudgeSelection(0, nudgeStep, false);
        case Qt::Key_Down: return workspace_.nudgeSelection(0, -nudgeStep, false);
        case Qt::Key_Left: return workspace_.nudgeSelection(-nudgeStep, 0, false);
        case Qt::Key_Right: return workspace_.nudgeSelection(nudgeStep, 0, false);
        default: QMainWindow::keyPressEvent(event);
    }
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent* event) {
    // Only the first item counts; anything but a PDF file is ignored without a word.
    const QList<QUrl> urls = event->mimeData()->urls();
    if (!urls.isEmpty() && isPdfFile(urls.first())) workspace_.open(urls.first().toLocalFile().toStdString());
    event->acceptProposedAction();
}

}  // namespace kivo
