#include "app/inspector/search_results_card.hpp"

#include <QEvent>
#include <QRegularExpression>

#include "design/chip.hpp"
#include "design/clamped_label.hpp"
#include "design/row_button.hpp"
#include "design/scaled_stack.hpp"
#include "design/section_card.hpp"
#include "design/themed_label.hpp"
#include "workspace/hit_previews.hpp"
#include "workspace/workspace.hpp"

namespace kivo {
namespace {

constexpr int previewLines = 2;

}  // namespace

SearchResultsCard::SearchResultsCard(Workspace& workspace, QWidget* parent)
    : QWidget(parent), workspace_(workspace) {
    setObjectName(QStringLiteral("searchResults"));
    card_ = new SectionCard(QStringLiteral("Search results"), std::nullopt, this);
    fill(this, card_);
    empty_ = new ThemedLabel(QStringLiteral("Find text in the toolbar, then jump from the match list."),
                             ScaledTextStyle::callout, QFont::Normal, Theme::Token::muted, card_);
    wrapInWidth(empty_);
    card_->contentLayout()->addWidget(empty_);
    list_ = new ScaledStack(Qt::Vertical, 6, {}, card_);
    card_->contentLayout()->addWidget(list_);
    connect(&workspace_, &WorkspaceState::searchHitsChanged, this, &SearchResultsCard::rebuild);
    connect(&workspace_, &WorkspaceState::inspectChanged, this, &SearchResultsCard::refreshPlaces);
    connect(&workspace_.hitPreviews(), &HitPreviews::previewsChanged, this,
            &SearchResultsCard::refreshPlaces);
    rebuild();
}

std::optional<QString> SearchResultsCard::matchPlace(const SearchHit& hit, const OpenDocument& document) {
    const std::optional<std::size_t> position = document.position(hit.pageId);
    if (!position) return std::nullopt;
    return QStringLiteral("Page ") + QString::number(*position + 1);
}

void SearchResultsCard::rebuild() {
    for (RowButton* row : rows_) {
        row->hide();
        row->deleteLater();
    }
    rows_.clear();
    places_.clear();
    previews_.clear();
    const auto& hits = workspace_.searchHits();
    empty_->setVisible(hits.empty());
    list_->setVisible(!hits.empty());
    if (hits.empty()) {
        card_->setAccessory(nullptr);
    } else {
        const QString count = QString::number(hits.size());
        auto* chip = new Chip(count, ChipTone::accent, QString(), card_);
        chip->setObjectName(QStringLiteral("matchCount"));
        chip->setAccessibleName(count + QStringLiteral(" matches"));
        card_->setAccessory(chip);
    }
    for (std::size_t i = 0; i < hits.size(); ++i) {
        auto* row = new RowButton(false, QMarginsF(0, 3, 0, 3), 8, Qt::AlignTop, list_);
        row->setObjectName(QStringLiteral("match"));
        auto* place = new Chip(QString(), ChipTone::neutral, QString(), row);
        row->add(place);
        row->row()->box()->setAlignment(place, Qt::AlignLeft | Qt::AlignTop);
        auto* preview =
            new ClampedLabel(previewLines, ScaledTextStyle::callout, Theme::Token::foreground, row);
        preview->setFullText(QString::fromStdString(hits[i].preview));
        row->add(preview, 1);
        list_->add(row);
        rows_.append(row);
        places_.append(place);
        previews_.append(preview);
        row->row()->installEventFilter(this);
        // Rows stand for positions: a new search replaces them all.
        connect(row, &RowButton::clicked, this, [this, i] {
            if (i >= workspace_.searchHits().size()) return;
            const SearchHit hit = workspace_.searchHits()[i];
            workspace_.select(hit.pageId);
            workspace_.selectArea(hit.rects.empty() ? std::nullopt : std::optional(hit.rects.front()));
        });
    }
    refreshPlaces();
}

bool SearchResultsCard::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Resize || event->type() == QEvent::LayoutRequest) {
        for (int i = 0; i < rows_.size(); ++i) {
            if (rows_[i]->row() == watched) arrange(i);
        }
    }
    return QWidget::eventFilter(watched, event);
}

// A preview beside its page chip must still have room for its longest word; otherwise the word would be
// broken in two, so the preview goes under the chip and takes the row's whole width.
void SearchResultsCard::arrange(int row) {
    ScaledStack* stack = rows_[row]->row();
    const ClampedLabel* preview = previews_[row];
    int longestWord = 0;
    static const QRegularExpression space(QStringLiteral("\\s+"));
    for (const QString& word : preview->fullText().split(space, Qt::SkipEmptyParts))
        longestWord = std::max(longestWord, preview->fontMetrics().horizontalAdvance(word));
    const int beside = places_[row]->sizeHint().width() + stack->box()->spacing() + longestWord;
    const auto direction = beside > stack->width() ? QBoxLayout::TopToBottom : QBoxLayout::LeftToRight;
    if (stack->box()->direction() == direction) return;
    stack->box()->setDirection(direction);
    // The row's height for its width changes with the direction. Said now, up through the list: the
    // layouts above keep the height they last asked for until told, and a row left at its side-by-side
    // height squeezes the chip and the preview stacked in it.
    stack->updateGeometry();
    rows_[row]->updateGeometry();
}

void SearchResultsCard::refreshPlaces() {
    const auto& hits = workspace_.searchHits();
    for (int i = 0; i < rows_.size() && i < static_cast<int>(hits.size()); ++i) {
        const SearchHit& hit = hits[static_cast<std::size_t>(i)];
        const std::optional<QString> place = matchPlace(hit, workspace_.document());
        places_[i]->setText(place.value_or(QStringLiteral("Gone")));
        places_[i]->setTone(place ? ChipTone::neutral : ChipTone::warning);
        rows_[i]->setEnabled(place.has_value());
        // Two hits on one page differ only in the words around them, which is what a listener needs.
        const std::string words =
            workspace_.hitPreviews().around(hit.pageId, hit.index, hit.count).value_or(hit.preview);
        rows_[i]->setAccessibleName(QString::fromStdString(words) + QStringLiteral(", ") +
                                    place.value_or(QStringLiteral("page no longer in the document")));
    }
}

}  // namespace kivo
