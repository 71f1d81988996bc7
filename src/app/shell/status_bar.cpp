#include "app/shell/status_bar.hpp"

#include <cmath>

#include <QHBoxLayout>
#include <QResizeEvent>

#include "app/inspector/save_chip.hpp"
#include "design/chip.hpp"
#include "workspace/mcp_sharing.hpp"
#include "design/eliding_label.hpp"

namespace kivo {

StatusBar::StatusBar(Workspace& workspace, QWidget* parent)
    : FilledPanel(Theme::Token::background, parent),
      workspace_(workspace),
      row_(new QHBoxLayout(this)),
      status_(new ElidingLabel(ScaledTextStyle::caption, QFont::Normal, Theme::Token::muted, this)),
      page_(new Chip(QString(), ChipTone::neutral, QString(), this)),
      revision_(new Chip(QString(), ChipTone::neutral, QString(), this)),
      mcp_(new Chip(QStringLiteral("MCP on"), ChipTone::accent, QString(), this)),
      save_(new SaveChip(this)) {
    setObjectName(QStringLiteral("statusBar"));
    setSeparatorEdges(Qt::TopEdge);
    status_->setObjectName(QStringLiteral("statusText"));
    status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    page_->setObjectName(QStringLiteral("pageChip"));
    revision_->setObjectName(QStringLiteral("revisionChip"));
    mcp_->setObjectName(QStringLiteral("mcpChip"));
    row_->addWidget(status_, 1);
    row_->addSpacing(8);
    for (QWidget* chip : {static_cast<QWidget*>(page_), static_cast<QWidget*>(revision_),
                          static_cast<QWidget*>(mcp_), static_cast<QWidget*>(save_)})
        row_->addWidget(chip, 0, Qt::AlignVCenter);
    applyMetrics();

    for (const auto changed : {&WorkspaceState::statusChanged, &WorkspaceState::selectedPageIdChanged,
                               &WorkspaceState::inspectChanged, &WorkspaceState::savePhaseChanged})
        connect(&workspace_, changed, this, &StatusBar::refresh);
    connect(&workspace_.sharing(), &McpSharing::mcpAccessGrantedChanged, this, &StatusBar::refresh);
    refresh();
}

std::optional<QString> StatusBar::pageChipText(const std::optional<PageInfo>& current,
                                               const OpenDocument& document, const QLocale& locale) {
    const std::optional<std::size_t> position = current ? document.position(current->id) : std::nullopt;
    if (!position) return std::nullopt;
    return QStringLiteral("Page %1 of %2")
        .arg(locale.toString(static_cast<qulonglong>(*position + 1)),
             locale.toString(static_cast<qulonglong>(document.pageCount())));
}

void StatusBar::refresh() {
    status_->setFullText(QString::fromStdString(workspace_.status()));

    const std::optional<QString> page =
        pageChipText(workspace_.currentPage(), workspace_.document(), QLocale());
    page_->setVisible(page.has_value());
    if (page) page_->setText(*page);

    const std::optional<std::int64_t> revision = workspace_.document().revision();
    revision_->setVisible(revision.has_value());
    if (revision) {
        revision_->setText(QStringLiteral("Rev %1").arg(*revision));
        revision_->setAccessibleName(QStringLiteral("Revision %1").arg(*revision));
    }
    mcp_->setVisible(workspace_.sharing().mcpAccessGranted());
    save_->setState(workspace_.savePhase(), workspace_.saveLabel());
}

void StatusBar::applyMetrics() {
    const double s = TextScale::of(this);
    row_->setSpacing(static_cast<int>(std::lround(8 * s)));
    const int horizontal = static_cast<int>(std::lround(12 * s));
    const int vertical = static_cast<int>(std::lround(6 * s));
    // The separator line takes the top pixel.
    row_->setContentsMargins(horizontal, vertical + 1, horizontal, vertical);
}

bool StatusBar::event(QEvent* event) {
    if (event->type() == TextScale::changeEventType() || event->type() == QEvent::ParentChange)
        applyMetrics();
    return FilledPanel::event(event);
}

}  // namespace kivo
