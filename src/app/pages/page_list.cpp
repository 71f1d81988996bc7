#include "app/pages/page_list.hpp"

#include <QPainter>
#include <QVBoxLayout>

#include "app/pages/page_list_model.hpp"
#include "app/pages/page_list_view.hpp"
#include "design/themed_label.hpp"
#include "workspace/workspace.hpp"

namespace kivo {
namespace {

// "Pages" with the count drawn at the trailing edge; one element for assistive technologies.
class PageListHeader : public ThemedLabel {
public:
    explicit PageListHeader(QWidget* parent)
        : ThemedLabel(QStringLiteral("Pages"), ScaledTextStyle::subheadline, QFont::DemiBold,
                      Theme::Token::muted, parent) {}

    void setCount(std::size_t count) {
        count_ = count;
        setAccessibleName(count > 0 ? QStringLiteral("Pages, ") + QString::number(count) : QString());
        update();
    }

protected:
    void paintEvent(QPaintEvent* event) override {
        ThemedLabel::paintEvent(event);
        if (count_ == 0) return;
        QPainter painter(this);
        painter.setFont(scaledFont(ScaledTextStyle::subheadline, QFont::Normal, TextScale::of(this), this));
        painter.setPen(Theme::color(Theme::Token::muted));
        painter.drawText(contentsRect(), Qt::AlignRight | Qt::AlignVCenter, QString::number(count_));
    }

private:
    std::size_t count_ = 0;
};

}  // namespace

PageList::PageList(Workspace& workspace, QWidget* parent)
    : FilledPanel(Theme::Token::background, parent),
      workspace_(workspace),
      header_(new PageListHeader(this)),
      view_(new PageListView(workspace, this)),
      empty_(new ThemedLabel(QStringLiteral("No document"), ScaledTextStyle::callout, QFont::Normal,
                             Theme::Token::muted, this)) {
    setObjectName(QStringLiteral("pageListPanel"));
    header_->setObjectName(QStringLiteral("pageListHeader"));
    header_->setContentsMargins(14, 10, 14, 4);
    empty_->setObjectName(QStringLiteral("pageListEmpty"));
    empty_->setAlignment(Qt::AlignCenter);
    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(0);
    stack->addWidget(header_);
    stack->addWidget(view_, 1);
    empty_->raise();
    connect(&workspace_, &WorkspaceState::inspectChanged, this, &PageList::refresh);
    refresh();
}

QString PageList::headerText() const {
    return header_->accessibleName().isEmpty() ? header_->text() : header_->accessibleName();
}

void PageList::refresh() {
    const std::size_t count = view_->pageModel()->rows().size();
    static_cast<PageListHeader*>(header_)->setCount(count);
    empty_->setVisible(count == 0);
}

void PageList::resizeEvent(QResizeEvent* event) {
    FilledPanel::resizeEvent(event);
    empty_->setGeometry(view_->geometry());
}

}  // namespace kivo
