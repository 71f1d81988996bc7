#pragma once

// ConversationView: the one answer of the Assistant tab. While a model streams it shows the bubble with
// the text so far (or "Waiting for <model>…"); once an answer is there, its bubble (warnings, text, notes,
// what was read, usage), its citations and its proposals, 12 apart; otherwise the empty state. A new
// question replaces the previous answer. The view reads the workspace only: the streamed text updates
// the bubble in place, a new answer builds the parts anew. No signals.

#include <QPointer>
#include <QWidget>

namespace kivo {

class EmptyStateView;
class ScaledStack;
class ThemedLabel;
class Workspace;

class ConversationView : public QWidget {
    Q_OBJECT

public:
    explicit ConversationView(Workspace& workspace, QWidget* parent = nullptr);

    enum class Shown { empty, streaming, answer };
    Shown shown() const noexcept { return shown_; }

private:
    void refresh(bool answerChanged);
    void showEmpty();
    void showStreaming();
    void showAnswer();
    void refreshDraft();
    void clear();

    Workspace& workspace_;
    ScaledStack* column_;
    Shown shown_ = Shown::empty;
    bool built_ = false;
    QPointer<EmptyStateView> empty_;
    QPointer<ThemedLabel> draft_;
};

}  // namespace kivo
