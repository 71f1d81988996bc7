#include "app/inspector/document_tab.hpp"

#include <QMenu>
#include <QSignalBlocker>

#include "app/inspector/save_chip.hpp"
#include "design/card_row.hpp"
#include "design/chip.hpp"
#include "design/hero_button.hpp"
#include "design/hero_switch.hpp"
#include "design/inline_code_label.hpp"
#include "design/scaled_stack.hpp"
#include "design/section_card.hpp"
#include "design/status_message.hpp"
#include "design/themed_label.hpp"
#include "workspace/mcp_sharing.hpp"
#include "design/wrapping_row.hpp"
#include "workspace/workspace.hpp"

namespace kivo {
namespace {

const QString sharingNote = QStringLiteral(
    "A connected MCP client can send tool results to its own model provider. Only granted documents and "
    "approved "
    "paths are visible. Remote MCP is off.");

ThemedLabel* factText(QWidget* parent) {
    return new ThemedLabel(QString(), ScaledTextStyle::callout, QFont::Normal, Theme::Token::foreground,
                           parent);
}

}  // namespace

const QString DocumentTab::workerRunningText = QStringLiteral(
    "Worker is running. Paste the config into Claude Desktop or Cursor, or use `claude mcp add` for Claude "
    "Code. "
    "Client edits appear here.");
const QString DocumentTab::workerStoppedText = QStringLiteral("Worker is not connected.");

DocumentTab::DocumentTab(Workspace& workspace, QWidget* parent) : QWidget(parent), workspace_(workspace) {
    setObjectName(QStringLiteral("documentTab"));
    auto* column = ScaledStack::filling(this, Qt::Vertical, 12, QMarginsF(10, 10, 10, 10));
    column->add(buildFacts(column));
    column->add(buildSharing(column));
    column->addStretch();

    for (const auto changed : {&WorkspaceState::inspectChanged, &WorkspaceState::savePhaseChanged,
                               &WorkspaceState::sessionIdChanged})
        connect(&workspace_, changed, this, &DocumentTab::refresh);
    for (const auto changed : {&McpSharing::mcpAccessGrantedChanged, &McpSharing::mcpEnabledChanged})
        connect(&workspace_.sharing(), changed, this, &DocumentTab::refresh);
    refresh();
}

QWidget* DocumentTab::buildFacts(QWidget* parent) {
    auto* card = new SectionCard(QStringLiteral("Document"), std::nullopt, parent);
    card->setObjectName(QStringLiteral("documentCard"));
    auto* rows = new ScaledStack(Qt::Vertical, 8, {}, card);
    card->contentLayout()->addWidget(rows);
    revision_ = new Chip(QString(), ChipTone::neutral, QString(), rows);
    revision_->setObjectName(QStringLiteral("documentRevision"));
    pages_ = factText(rows);
    pages_->setObjectName(QStringLiteral("documentPages"));
    form_ = factText(rows);
    form_->setObjectName(QStringLiteral("documentForm"));
    readOnly_ = new Chip(QString(), ChipTone::neutral, QString(), rows);
    readOnly_->setObjectName(QStringLiteral("documentReadOnly"));
    save_ = new SaveChip(rows);
    save_->setObjectName(QStringLiteral("documentSave"));
    mcp_ = new Chip(QString(), ChipTone::neutral, QString(), rows);
    mcp_->setObjectName(QStringLiteral("documentMcp"));
    const std::pair<const char*, QWidget*> facts[] = {
        {"Revision", revision_},  {"Pages", pages_}, {"Form", form_},
        {"Read-only", readOnly_}, {"Save", save_},   {"MCP", mcp_},
    };
    for (const auto& [label, value] : facts) rows->add(new CardRow(QString::fromLatin1(label), value, rows));
    warnings_ = new ScaledStack(Qt::Vertical, 8, {}, rows);
    rows->add(warnings_);
    return card;
}

QWidget* DocumentTab::buildSharing(QWidget* parent) {
    auto* card = new SectionCard(QStringLiteral("MCP"), std::nullopt, parent);
    card->setObjectName(QStringLiteral("mcpCard"));
    auto* column = new ScaledStack(Qt::Vertical, 10, {}, card);
    card->contentLayout()->addWidget(column);

    switch_ = new HeroSwitch(QStringLiteral("Allow MCP on this document"), column);
    switch_->setObjectName(QStringLiteral("allowMcp"));
    column->add(switch_, 0, Qt::AlignLeft | Qt::AlignTop);
    auto* note =
        new ThemedLabel(sharingNote, ScaledTextStyle::caption, QFont::Normal, Theme::Token::muted, column);
    wrapInWidth(note);
    column->add(note);

    auto* buttons = new WrappingRow(8, column);
    approve_ = new HeroButton(QStringLiteral("Approve path…"), HeroButtonVariant::secondary,
                              HeroButtonSize::sm, buttons);
    approve_->setObjectName(QStringLiteral("approvePath"));
    copy_ = new HeroButton(QStringLiteral("Copy MCP config"), HeroButtonVariant::tertiary, HeroButtonSize::sm,
                           buttons);
    copy_->setObjectName(QStringLiteral("copyMcpConfig"));
    buttons->add(approve_);
    buttons->add(copy_);
    column->add(buttons);

    // The desktop's panels choose files or folders, never both at once: the button asks which first.
    approveMenu_ = new QMenu(approve_);
    approveMenu_->setObjectName(QStringLiteral("approveMenu"));
    QAction* files = approveMenu_->addAction(QStringLiteral("Files…"));
    QAction* folders = approveMenu_->addAction(QStringLiteral("Folders…"));
    connect(files, &QAction::triggered, &workspace_,
            [this] { workspace_.sharing().approveMcpPath(FileDialogs::PathKind::files); });
    connect(folders, &QAction::triggered, &workspace_,
            [this] { workspace_.sharing().approveMcpPath(FileDialogs::PathKind::folders); });
    connect(approve_, &HeroButton::clicked, this,
            [this] { approveMenu_->popup(approve_->mapToGlobal(QPoint(0, approve_->height()))); });
    connect(copy_, &HeroButton::clicked, &workspace_.sharing(), &McpSharing::copyMcpSetup);
    connect(switch_, &HeroSwitch::clicked, &workspace_.sharing(), &McpSharing::setMcpAccess);

    workerState_ = new InlineCodeLabel(column);
    workerState_->setObjectName(QStringLiteral("workerState"));
    column->add(workerState_);
    return card;
}

void DocumentTab::refresh() {
    const OpenDocument document = workspace_.document();
    const std::optional<std::string> formType = document.formType();
    revision_->setText(QString::number(document.revision().value_or(0)));
    pages_->setText(QString::number(document.pageCount()));
    form_->setText(formType ? QString::fromStdString(*formType) : QStringLiteral("—"));
    const bool readOnly = document.readOnly();
    readOnly_->setText(readOnly ? QStringLiteral("Yes") : QStringLiteral("No"));
    readOnly_->setTone(readOnly ? ChipTone::warning : ChipTone::neutral);
    save_->setState(workspace_.savePhase(), workspace_.saveLabel());
    const bool granted = workspace_.sharing().mcpAccessGranted();
    mcp_->setText(granted ? QStringLiteral("Document granted") : QStringLiteral("Off"));
    mcp_->setTone(granted ? ChipTone::accent : ChipTone::neutral);
    refreshWarnings();

    {
        const QSignalBlocker quiet(switch_);
        switch_->setChecked(granted);
    }
    switch_->setEnabled(workspace_.sessionId().has_value());
    approve_->setEnabled(workspace_.sharing().mcpEnabled());
    workerState_->setText(workspace_.sharing().mcpEnabled() ? workerRunningText : workerStoppedText);
}

void DocumentTab::refreshWarnings() {
    QLayoutItem* item;
    while ((item = warnings_->box()->takeAt(0)) != nullptr) {
        delete item->widget();
        delete item;
    }
    const OpenDocument document = workspace_.document();
    std::vector<std::string> shown;
    if (document.sourceChanged())
        shown.emplace_back("The file on disk has changed. Save As, or save with overwrite.");
    shown.insert(shown.end(), document.warnings().begin(), document.warnings().end());
    for (const std::string& warning : shown) {
        auto* message = new StatusMessage(StatusMessage::Kind::warning, QString::fromStdString(warning),
                                          ScaledTextStyle::caption, warnings_);
        message->setObjectName(QStringLiteral("documentWarning"));
        warnings_->add(message);
    }
    warnings_->setVisible(!shown.empty());
}

}  // namespace kivo
