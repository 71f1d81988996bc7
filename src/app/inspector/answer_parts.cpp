#include "app/inspector/answer_parts.hpp"

#include "design/chip.hpp"
#include "design/clamped_label.hpp"
#include "design/hero_button.hpp"
#include "design/row_button.hpp"
#include "design/scaled_stack.hpp"
#include "design/section_card.hpp"
#include "workspace/assistant_session.hpp"
#include "design/status_message.hpp"
#include "workspace/hit_previews.hpp"
#include "workspace/workspace.hpp"

namespace kivo {
namespace {

constexpr int quoteLines = 3;

}  // namespace

CitationRow::CitationRow(Workspace& workspace, const Citation& citation, QWidget* parent)
    : QWidget(parent), workspace_(workspace), citation_(citation) {
    auto* stack = new ScaledStack(Qt::Vertical, 4, {}, this);
    // In line with the surfaces of the cards around it, which keep room for their shadows.
    const QMarginsF shadow = SectionCard::shadowMargins();
    fill(this, stack);
    layout()->setContentsMargins(qRound(shadow.left()), 0, qRound(shadow.right()), 0);
    auto* button = new RowButton(true, QMarginsF(9, 9, 9, 9), 8, Qt::AlignVCenter, stack);
    button->setObjectName(QStringLiteral("citation"));
    button->add(new Chip(QStringLiteral("p. %1").arg(citation.pageIndex + 1), ChipTone::accent,
                         QStringLiteral("quote.opening"), button));
    auto* quote = new ClampedLabel(quoteLines, ScaledTextStyle::caption, Theme::Token::muted, button);
    quote->setFullText(QString::fromStdString(citation.preview));
    button->add(quote, 1);
    stack->add(button);
    button_ = button;

    stale_ = new StatusMessage(StatusMessage::Kind::warning,
                               QStringLiteral("From revision %1. The document has changed since this answer.")
                                   .arg(citation.revision),
                               ScaledTextStyle::caption, stack);
    stale_->setObjectName(QStringLiteral("staleCitation"));
    stack->add(stale_);

    connect(button, &RowButton::clicked, this, [this] {
        workspace_.revealCitation(citation_.pageId, citation_.rects.empty()
                                                        ? std::nullopt
                                                        : std::optional(citation_.rects.front()));
    });
    connect(&workspace_, &WorkspaceState::inspectChanged, this, &CitationRow::refreshStale);
    connect(&workspace_.hitPreviews(), &HitPreviews::previewsChanged, this, &CitationRow::refreshName);
    refreshStale();
    refreshName();
}

// Two quotes of one page may be the same few words; the words around them tell them apart.
void CitationRow::refreshName() {
    const std::optional<std::string> words =
        citation_.rects.empty()
            ? std::nullopt
            : workspace_.hitPreviews().under(citation_.pageId, citation_.revision, citation_.rects.front());
    button_->setAccessibleName(
        spokenText(citation_) +
        (words ? QStringLiteral(", in: ") + QString::fromStdString(*words) : QString()));
}

QString CitationRow::spokenText(const Citation& citation) {
    return QStringLiteral("Citation, page %1, revision %2: ")
               .arg(QString::number(citation.pageIndex + 1), QString::number(citation.revision)) +
           QString::fromStdString(citation.preview);
}

bool CitationRow::isStale(const Citation& citation, const OpenDocument& document) {
    const std::optional<std::int64_t> revision = document.revision();
    return revision && *revision != citation.revision;
}

void CitationRow::refreshStale() { stale_->setVisible(isStale(citation_, workspace_.document())); }

ProposalCard::ProposalCard(Workspace& workspace, const ProposedEdit& proposal, QWidget* parent)
    : QWidget(parent) {
    setObjectName(QStringLiteral("proposal"));
    auto* card = new SectionCard(std::nullopt, std::nullopt, this);
    fill(this, card);
    auto* stack = new ScaledStack(Qt::Vertical, 8, {}, card);
    card->contentLayout()->addWidget(stack);

    auto* head = new ScaledStack(Qt::Horizontal, 8, {}, stack);
    head->add(
        new Chip(QStringLiteral("Proposed edit"), ChipTone::accent, QStringLiteral("wand.and.stars"), head));
    head->addStretch();
    stack->add(head);

    const QString summary = QString::fromStdString(proposal.summary);
    auto* text =
        new ThemedLabel(summary, ScaledTextStyle::callout, QFont::Medium, Theme::Token::foreground, stack);
    wrapInWidth(text);
    stack->add(text);

    if (proposal.limitation) {
        auto* limitation =
            new StatusMessage(StatusMessage::Kind::warning, QString::fromStdString(*proposal.limitation),
                              ScaledTextStyle::caption, stack);
        limitation->setObjectName(QStringLiteral("proposalLimitation"));
        stack->add(limitation);
        return;
    }
    auto* buttons = new ScaledStack(Qt::Horizontal, 8, {}, stack);
    auto* apply =
        new HeroButton(QStringLiteral("Apply"), HeroButtonVariant::primary, HeroButtonSize::sm, buttons);
    apply->setObjectName(QStringLiteral("applyProposal"));
    apply->setAccessibleName(QStringLiteral("Apply: ") + summary);
    auto* cancel =
        new HeroButton(QStringLiteral("Cancel"), HeroButtonVariant::tertiary, HeroButtonSize::sm, buttons);
    cancel->setObjectName(QStringLiteral("cancelProposal"));
    cancel->setAccessibleName(QStringLiteral("Cancel: ") + summary);
    buttons->add(apply, 0, Qt::AlignVCenter);
    buttons->add(cancel, 0, Qt::AlignVCenter);
    buttons->addStretch();
    stack->add(buttons);
    // The workspace removes the proposal once it is applied or cancelled, and this card with it.
    connect(apply, &HeroButton::clicked, &workspace,
            [&workspace, proposal] { workspace.assistant().applyProposal(proposal); });
    connect(cancel, &HeroButton::clicked, &workspace,
            [&workspace, id = proposal.operationId] { workspace.assistant().cancelProposal(id); });
}

}  // namespace kivo
