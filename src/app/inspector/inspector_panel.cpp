#include "app/inspector/inspector_panel.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include <QHBoxLayout>
#include <QScrollArea>
#include <QStackedWidget>
#include <QVBoxLayout>

#include "app/inspector/assistant_composer.hpp"
#include "app/inspector/assistant_tab.hpp"
#include "app/inspector/document_tab.hpp"
#include "app/inspector/form_tab.hpp"
#include "app/inspector/inspector_tab_strip.hpp"
#include "app/inspector/page_tab.hpp"
#include "design/hero_button.hpp"
#include "design/status_message.hpp"
#include "design/text_scale.hpp"
#include "workspace/workspace.hpp"

namespace kivo {
namespace {

// A scroll area is no stop of its own: Tab goes to the controls it holds, which a screen reader can
// name, and the area scrolls to the one that takes the keyboard.
QScrollArea* makeScroll(QWidget* parent) {
    auto* scroll = new QScrollArea(parent);
    scroll->setFocusPolicy(Qt::NoFocus);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    return scroll;
}

// The height `widget` needs at `width`.
int neededHeight(const QWidget& widget, int width) {
    const int needed = widget.hasHeightForWidth() ? widget.heightForWidth(width) : -1;
    return needed >= 0 ? needed : widget.sizeHint().height();
}

// The banners' and the composer's heights within `share`: what each needs when both fit. When they do not,
// the composer, where the person types and chooses the scope, stays whole as long as the banners keep a
// quarter of the share to scroll in; the banners take the rest.
std::pair<int, int> splitShare(int share, int banners, int composer) {
    if (banners + composer <= share) return {banners, composer};
    const int shownComposer = std::min(composer, share - std::min(banners, share / 4));
    return {std::min(banners, share - shownComposer), shownComposer};
}

}  // namespace

InspectorPanel::InspectorPanel(Workspace& workspace, EditorDrafts& drafts, QWidget* parent)
    : FilledPanel(Theme::Token::background, parent),
      workspace_(workspace),
      column_(new QVBoxLayout(this)),
      strip_(new InspectorTabStrip(this)),
      alerts_(buildAlerts()),
      alertsScroll_(makeScroll(this)),
      divider_(new FilledPanel(Theme::Token::separator, this)),
      bodies_(new QStackedWidget(this)),
      composer_(new FilledPanel(Theme::Token::background, this)),
      composerLayout_(new QVBoxLayout(composer_)) {
    setObjectName(QStringLiteral("inspector"));
    column_->setContentsMargins(0, 0, 0, 0);
    column_->setSpacing(0);
    column_->addWidget(strip_);
    // Long banners at a large text size scroll within their part of the column.
    alertsScroll_->setObjectName(QStringLiteral("inspectorAlertsScroll"));
    alertsScroll_->setWidget(alerts_);
    column_->addWidget(alertsScroll_);
    divider_->setFixedHeight(1);
    column_->addWidget(divider_);
    column_->addWidget(bodies_, 1);

    for (const InspectorTabInfo& entry : inspectorTabs) {
        QScrollArea* scroll = makeScroll(bodies_);
        scroll->setObjectName(QStringLiteral("inspectorBody-") + QString::fromLatin1(entry.rawValue));
        scrolls_[static_cast<std::size_t>(entry.tab)] = scroll;
        if (entry.tab != InspectorTab::assistant) {
            bodies_->addWidget(scroll);
            continue;
        }
        // The composer stays below the conversation, however long it grows.
        auto* assistant = new QWidget(bodies_);
        auto* stack = new QVBoxLayout(assistant);
        stack->setContentsMargins(0, 0, 0, 0);
        stack->setSpacing(0);
        scroll->setParent(assistant);
        stack->addWidget(scroll, 1);
        composerScroll_ = makeScroll(assistant);
        composerScroll_->setObjectName(QStringLiteral("inspectorComposerScroll"));
        composer_->setObjectName(QStringLiteral("inspectorComposer"));
        composerScroll_->setWidget(composer_);
        stack->addWidget(composerScroll_);
        bodies_->addWidget(assistant);
        composer_->installEventFilter(this);
    }
    strip_->installEventFilter(this);
    alerts_->installEventFilter(this);

    buildTabs(drafts);
    connect(strip_, &InspectorTabStrip::activated, this, &InspectorPanel::tabChosen);
    connect(&workspace_, &WorkspaceState::errorMessageChanged, this, &InspectorPanel::refreshAlerts);
    connect(&workspace_, &WorkspaceState::workerNoticeChanged, this, &InspectorPanel::refreshAlerts);
    applyMetrics();
    setTab(InspectorTab::assistant);
    refreshAlerts();
}

QWidget* InspectorPanel::buildAlerts() {
    auto* alerts = new QWidget(this);
    alerts->setObjectName(QStringLiteral("inspectorAlerts"));
    alertsLayout_ = new QVBoxLayout(alerts);
    error_ = new StatusMessage(StatusMessage::Kind::error, QString(), ScaledTextStyle::callout, alerts);
    error_->setObjectName(QStringLiteral("errorMessage"));
    notice_ = new StatusMessage(StatusMessage::Kind::warning, QString(), ScaledTextStyle::callout, alerts);
    notice_->setObjectName(QStringLiteral("workerNotice"));
    restart_ = new HeroButton(QStringLiteral("Restart Worker"), HeroButtonVariant::primary,
                              HeroButtonSize::sm, alerts);
    restart_->setObjectName(QStringLiteral("restartWorker"));
    dismiss_ =
        new HeroButton(QStringLiteral("Dismiss"), HeroButtonVariant::tertiary, HeroButtonSize::sm, alerts);
    dismiss_->setObjectName(QStringLiteral("dismissNotice"));
    dismiss_->setAccessibleName(QStringLiteral("Dismiss worker notice"));
    auto* buttons = new QHBoxLayout();
    buttons->setContentsMargins(0, 0, 0, 0);
    buttons->addWidget(restart_);
    buttons->addWidget(dismiss_);
    buttons->addStretch(1);
    alertsLayout_->addWidget(error_);
    alertsLayout_->addWidget(notice_);
    alertsLayout_->addLayout(buttons);
    connect(restart_, &HeroButton::clicked, &workspace_, &Workspace::restartWorker);
    connect(dismiss_, &HeroButton::clicked, &workspace_, &Workspace::dismissWorkerNotice);
    return alerts;
}

void InspectorPanel::buildTabs(EditorDrafts& drafts) {
    assistant_ = new AssistantTab(workspace_, scrollArea(InspectorTab::assistant));
    scrollArea(InspectorTab::assistant)->setWidget(assistant_);
    composerBox_ = new AssistantComposer(workspace_, composer_);
    composerLayout_->addWidget(composerBox_);
    page_ = new PageTab(workspace_, drafts, scrollArea(InspectorTab::page));
    scrollArea(InspectorTab::page)->setWidget(page_);
    form_ = new FormTab(workspace_, drafts, scrollArea(InspectorTab::form));
    scrollArea(InspectorTab::form)->setWidget(form_);
    document_ = new DocumentTab(workspace_, scrollArea(InspectorTab::document));
    scrollArea(InspectorTab::document)->setWidget(document_);
}

void InspectorPanel::setTab(InspectorTab tab) {
    tab_ = tab;
    strip_->setTab(tab);
    bodies_->setCurrentIndex(static_cast<int>(tab));
}

void InspectorPanel::refreshAlerts() {
    const auto& error = workspace_.errorMessage();
    const auto& notice = workspace_.workerNotice();
    error_->setVisible(error.has_value());
    if (error) error_->setText(QString::fromStdString(*error));
    notice_->setVisible(notice.has_value());
    restart_->setVisible(notice && notice->offersRestart);
    dismiss_->setVisible(notice && !notice->offersRestart);
    if (notice) {
        notice_->setKind(notice->offersRestart ? StatusMessage::Kind::error : StatusMessage::Kind::warning);
        notice_->setText(QString::fromStdString(notice->message));
    }
    alertsScroll_->setVisible(error || notice);
    shareColumn();
}

void InspectorPanel::applyMetrics() {
    const double s = TextScale::of(this);
    alertsLayout_->setSpacing(TextScale::pixels(8, s));
    alertsLayout_->setContentsMargins(TextScale::pixels(10, s), 0, TextScale::pixels(10, s),
                                      TextScale::pixels(10, s));
    composerLayout_->setSpacing(TextScale::pixels(6, s));
    const int inset = TextScale::pixels(10, s);
    composerLayout_->setContentsMargins(inset, inset, inset, inset);
}

bool InspectorPanel::eventFilter(QObject* watched, QEvent* event) {
    const bool resized = event->type() == QEvent::Resize && watched == strip_;
    const bool relaid =
        event->type() == QEvent::LayoutRequest && (watched == composer_ || watched == alerts_);
    if (resized || relaid) shareColumn();
    return FilledPanel::eventFilter(watched, event);
}

void InspectorPanel::shareColumn() {
    // Counted from the panel's own height, not from what the banners now take, so that it settles at once.
    const int below = height() - strip_->height() - divider_->height();
    const int banners = alertsScroll_->isVisibleTo(this) ? neededHeight(*alerts_, width()) : 0;
    const int composer = neededHeight(*composer_, composerScroll_->parentWidget()->width());
    const auto [bannersHeight, composerHeight] = splitShare(std::max(below, 0) / 2, banners, composer);
    if (alertsScroll_->isVisibleTo(this) && alertsScroll_->maximumHeight() != bannersHeight)
        alertsScroll_->setFixedHeight(bannersHeight);
    if (composerScroll_->height() != composerHeight || composerScroll_->minimumHeight() != composerHeight)
        composerScroll_->setFixedHeight(composerHeight);
}

bool InspectorPanel::event(QEvent* event) {
    if (event->type() == TextScale::changeEventType() || event->type() == QEvent::ParentChange)
        applyMetrics();
    const bool handled = FilledPanel::event(event);
    if (event->type() == QEvent::Resize) shareColumn();
    return handled;
}

}  // namespace kivo
