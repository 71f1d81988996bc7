#include "app/assistant_tab.hpp"

#include <QVBoxLayout>

#include "app/conversation_view.hpp"
#include "app/provider_card.hpp"
#include "app/scaled_stack.hpp"

namespace kivo {

AssistantTab::AssistantTab(Workspace& workspace, QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("assistantTab"));
    auto* column = new ScaledStack(Qt::Vertical, 12, QMarginsF(10, 10, 10, 10), this);
    auto* frame = new QVBoxLayout(this);
    frame->setContentsMargins(0, 0, 0, 0);
    frame->addWidget(column);
    provider_ = new ProviderCard(workspace, column);
    column->add(provider_);
    conversation_ = new ConversationView(workspace, column);
    column->add(conversation_);
    column->addStretch();
}

}  // namespace kivo
