#include "app/inspector/assistant_tab.hpp"

#include "app/inspector/conversation_view.hpp"
#include "app/inspector/provider_card.hpp"
#include "design/scaled_stack.hpp"

namespace kivo {

AssistantTab::AssistantTab(Workspace& workspace, QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("assistantTab"));
    auto* column = ScaledStack::filling(this, Qt::Vertical, 12, QMarginsF(10, 10, 10, 10));
    provider_ = new ProviderCard(workspace, column);
    column->add(provider_);
    conversation_ = new ConversationView(workspace, column);
    column->add(conversation_);
    column->addStretch();
}

}  // namespace kivo
