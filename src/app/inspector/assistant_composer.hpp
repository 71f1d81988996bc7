#pragma once

// AssistantComposer: the box below the conversation that never scrolls away: the question field
// ("Ask about this PDF", 1 to 4 lines; Return asks, Shift+Return starts a new line), the scope pill
// (Selection, Page, Document), and the send button, or while a model answers a spinner and "Stop" (under
// the scope when beside them the scope would stand in more than two rows); under the box, the
// disclosure that says where the question goes. The box: `field` in a rounded rectangle
// (radius 16) with a 1 px `border`, inset 10, its rows 8 apart; the disclosure 6 below; lengths × scale.
//
// The field and the pill are two-way with the workspace's assistantQuery and assistantScope; a refresh
// never asks. Return asks even for a blank question (the workspace ignores it); the button asks only
// while a document is open and the question holds more than white space. No signals of its own.

#include <QPlainTextEdit>
#include <QWidget>

namespace kivo {

class HeroButton;
class PillSegment;
class ScaledStack;
class Spinner;
class ThemedLabel;
class Workspace;

// The question field: a frameless plain-text editor whose height follows its lines, 1 to 4.
class QuestionField : public QPlainTextEdit {
    Q_OBJECT

public:
    explicit QuestionField(QWidget* parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    static constexpr int maxLines = 4;

signals:
    void submitted();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool event(QEvent* event) override;

private:
    int heightForLines(int lines) const;
    int lineCount() const;
    void followLines();
    void keepQuestionInView();
    void applyLook();
};

class AssistantComposer : public QWidget {
    Q_OBJECT

public:
    explicit AssistantComposer(Workspace& workspace, QWidget* parent = nullptr);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void refresh();
    void placeScope();
    std::string listedModel() const;

    Workspace& workspace_;
    QWidget* box_;
    ScaledStack* row_;
    ScaledStack* buttons_;
    QuestionField* field_;
    PillSegment* scope_;
    Spinner* spinner_;
    HeroButton* stop_;
    HeroButton* send_;
    ThemedLabel* disclosure_;
};

}  // namespace kivo
