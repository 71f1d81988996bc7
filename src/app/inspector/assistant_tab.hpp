#pragma once

// AssistantTab: what the Assistant tab scrolls: the "Answers from" card over the conversation, 12 apart,
// inset 10, lengths × the text scale. The composer stands outside it, below the scroll area, and is made
// with it. No signals.

#include <QWidget>

namespace kivo {

class AssistantComposer;
class ConversationView;
class ProviderCard;
class Workspace;

class AssistantTab : public QWidget {
    Q_OBJECT

public:
    explicit AssistantTab(Workspace& workspace, QWidget* parent = nullptr);

private:
    ProviderCard* provider_;
    ConversationView* conversation_;
};

}  // namespace kivo
