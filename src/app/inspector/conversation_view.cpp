#include "app/inspector/conversation_view.hpp"

#include <QTimer>

#include <algorithm>

#include "app/inspector/answer_bubble.hpp"
#include "app/inspector/answer_parts.hpp"
#include "app/inspector/assistant_texts.hpp"
#include "design/empty_state_view.hpp"
#include "design/scaled_stack.hpp"
#include "design/status_message.hpp"
#include "design/themed_label.hpp"
#include "workspace/assistant_session.hpp"
#include "workspace/workspace.hpp"

namespace kivo {
namespace {

// A settled answer may hold tens of thousands of characters. Laid out in one label, each layout of the
// column would wrap all of it on the GUI thread at once; in pieces of this size, added one a turn, the
// window answers between them.
constexpr qsizetype pieceCharacters = 2000;

// A piece of an answer's text, which never changes: its height for a width is wrapped once, not again for
// every piece added below it.
class AnswerPiece : public ThemedLabel {
public:
    using ThemedLabel::ThemedLabel;

    int heightForWidth(int width) const override {
        if (width != width_) {
            width_ = width;
            height_ = ThemedLabel::heightForWidth(width);
        }
        return height_;
    }

protected:
    void changeEvent(QEvent* event) override {
        if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) width_ = -1;
        ThemedLabel::changeEvent(event);
    }

private:
    mutable int width_ = -1;
    mutable int height_ = 0;
};

// `text` cut into pieces of at most pieceCharacters, each ending after a line break or a space where one
// is near, never inside a character.
QStringList answerPieces(const QString& text) {
    QStringList pieces;
    qsizetype start = 0;
    while (text.size() - start > pieceCharacters) {
        qsizetype end = start + pieceCharacters;
        const qsizetype line = text.lastIndexOf(QLatin1Char('\n'), end - 1);
        const qsizetype space = text.lastIndexOf(QLatin1Char(' '), end - 1);
        const qsizetype cut = std::max(line, space);
        if (cut > start + pieceCharacters / 2) end = cut + 1;
        if (text.at(end - 1).isHighSurrogate()) --end;
        pieces << text.mid(start, end - start);
        start = end;
    }
    pieces << text.mid(start);
    return pieces;
}

AnswerPiece* answerPiece(const QString& text, QWidget* parent) {
    auto* label =
        new AnswerPiece(text, ScaledTextStyle::callout, QFont::Normal, Theme::Token::foreground, parent);
    wrapInWidth(label);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

// Adds the next piece to `column` on a later turn, then the one after it; ends with the column.
void appendPieces(ScaledStack* column, QStringList rest) {
    if (rest.isEmpty()) return;
    QTimer::singleShot(0, column, [column, rest = std::move(rest)]() mutable {
        column->add(answerPiece(rest.takeFirst(), column));
        appendPieces(column, std::move(rest));
    });
}

ThemedLabel* answerText(const QString& text, ScaledTextStyle style, Theme::Token colour, QWidget* parent) {
    auto* label = new ThemedLabel(text, style, QFont::Normal, colour, parent);
    wrapInWidth(label);
    return label;
}

}  // namespace

ConversationView::ConversationView(Workspace& workspace, QWidget* parent)
    : QWidget(parent), workspace_(workspace), column_(new ScaledStack(Qt::Vertical, 12, {}, this)) {
    setObjectName(QStringLiteral("conversation"));
    fill(this, column_);
    connect(&workspace_.assistant(), &AssistantSession::assistantAnswerChanged, this,
            [this] { refresh(true); });
    connect(&workspace_.assistant(), &AssistantSession::assistantDraftChanged, this,
            [this] { refresh(false); });
    connect(&workspace_, &WorkspaceState::sessionIdChanged, this, [this] { refresh(false); });
    connect(&workspace_.assistant(), &AssistantSession::assistantModelChanged, this,
            &ConversationView::refreshDraft);
    refresh(false);
}

void ConversationView::refresh(bool answerChanged) {
    const Shown next = workspace_.assistant().assistantDraft() && !workspace_.assistant().assistantAnswer()
                           ? Shown::streaming
                       : workspace_.assistant().assistantAnswer() ? Shown::answer
                                                                  : Shown::empty;
    if (built_ && next == shown_) {
        // The draft and the session change the shown parts in place; only a changed answer rebuilds them.
        if (next == Shown::streaming) return refreshDraft();
        if (next == Shown::empty) return showEmpty();
        if (!answerChanged) return;
    }
    clear();
    shown_ = next;
    built_ = true;
    switch (next) {
        case Shown::empty: showEmpty(); break;
        case Shown::streaming: showStreaming(); break;
        case Shown::answer: showAnswer(); break;
    }
}

void ConversationView::clear() {
    // Parts may be in the middle of their own click (Cancel on a proposal): they go once it returns.
    QLayoutItem* item;
    while ((item = column_->box()->takeAt(0)) != nullptr) {
        if (QWidget* widget = item->widget()) {
            widget->hide();
            widget->deleteLater();
        }
        delete item;
    }
    empty_ = nullptr;
    draft_ = nullptr;
}

void ConversationView::showEmpty() {
    const QString message = workspace_.sessionId()
                                ? QStringLiteral("Answers quote the pages in the scope you choose below.")
                                : QStringLiteral("Open a document first.");
    if (empty_ != nullptr) {
        empty_->setMessage(message);
        return;
    }
    empty_ = new EmptyStateView(QStringLiteral("sparkles"), QStringLiteral("No answer yet"), message, nullptr,
                                column_);
    empty_->setObjectName(QStringLiteral("noAnswer"));
    column_->add(empty_);
}

void ConversationView::showStreaming() {
    auto* bubble = new AnswerBubble(column_);
    bubble->setObjectName(QStringLiteral("streamingBubble"));
    draft_ = answerText(QString(), ScaledTextStyle::callout, Theme::Token::foreground, bubble->content());
    draft_->setObjectName(QStringLiteral("draftText"));
    draft_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    bubble->content()->add(draft_);
    column_->add(bubble);
    refreshDraft();
}

void ConversationView::refreshDraft() {
    if (shown_ != Shown::streaming || draft_ == nullptr) return;
    const auto line = AssistantTexts::draftLine(workspace_.assistant().assistantDraft().value_or(""),
                                                workspace_.assistant().assistantModel());
    // The muted waiting line and the answer text are two looks of one label.
    if (line.waiting != (draft_->colorToken() == Theme::Token::muted)) {
        auto* replacement =
            answerText(line.text, ScaledTextStyle::callout,
                       line.waiting ? Theme::Token::muted : Theme::Token::foreground, draft_->parentWidget());
        replacement->setObjectName(QStringLiteral("draftText"));
        replacement->setTextInteractionFlags(Qt::TextSelectableByMouse);
        // The layout hands back the old label's item, which is ours to delete.
        delete draft_->parentWidget()->layout()->replaceWidget(draft_, replacement);
        draft_->setObjectName(QString());
        draft_->hide();
        draft_->deleteLater();
        draft_ = replacement;
    }
    draft_->setText(line.text);
    draft_->setAccessibleName(line.spoken);
}

void ConversationView::showAnswer() {
    const AssistantAnswer& answer = *workspace_.assistant().assistantAnswer();
    auto* bubble = new AnswerBubble(column_);
    bubble->setObjectName(QStringLiteral("answerCard"));
    ScaledStack* content = bubble->content();
    if (answer.scan) {
        content->add(
            new StatusMessage(StatusMessage::Kind::warning,
                              QStringLiteral("This looks like a scan. OCR is not available in alpha."),
                              ScaledTextStyle::caption, content));
    }
    if (answer.incomplete) {
        content->add(new StatusMessage(StatusMessage::Kind::warning,
                                       AssistantTexts::incompleteNote(*answer.incomplete),
                                       ScaledTextStyle::caption, content));
    }
    QStringList pieces = answerPieces(QString::fromStdString(answer.text));
    auto* textColumn = new ScaledStack(Qt::Vertical, 0, {}, content);
    auto* text = answerPiece(pieces.takeFirst(), textColumn);
    text->setObjectName(QStringLiteral("answerText"));
    textColumn->add(text);
    content->add(textColumn);
    appendPieces(textColumn, std::move(pieces));
    for (const std::string& note : answer.notes.value_or(std::vector<std::string>{}))
        content->add(
            answerText(QString::fromStdString(note), ScaledTextStyle::caption, Theme::Token::muted, content));
    if (answer.read)
        content->add(answerText(QString::fromStdString(*answer.read), ScaledTextStyle::caption,
                                Theme::Token::muted, content));
    if (answer.usage && answer.model) {
        auto* usage = answerText(AssistantTexts::usageText(*answer.model, *answer.usage, QLocale()),
                                 ScaledTextStyle::caption, Theme::Token::muted, content);
        usage->setObjectName(QStringLiteral("answerUsage"));
        content->add(usage);
    }
    column_->add(bubble);
    for (const Citation& citation : answer.citations)
        column_->add(new CitationRow(workspace_, citation, column_));
    for (const ProposedEdit& proposal : answer.proposals)
        column_->add(new ProposalCard(workspace_, proposal, column_));
}

}  // namespace kivo
