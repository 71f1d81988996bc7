#include "app/shell/recovery_sheet.hpp"

#include <algorithm>
#include <cmath>
#include <filesystem>

#include <QDateTime>
#include <QHBoxLayout>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

#include "app/shell/recovery_row.hpp"
#include "design/hero_button.hpp"
#include "design/literal_text.hpp"
#include "design/themed_label.hpp"
#include "workspace/recovery_checkpoints.hpp"
#include "workspace/workspace.hpp"

namespace kivo {
namespace {

constexpr int padding = 20;
constexpr int sectionSpacing = 14;
constexpr int headerSpacing = 6;
constexpr int rowSpacing = 8;
constexpr int listPadding = 2;
// The widest line of the discard question's explanation, before it wraps.
constexpr int discardTextWidth = 420;

}  // namespace

RecoverySheet::RecoverySheet(Workspace& workspace, QWidget* parent)
    : QDialog(parent), workspace_(workspace), rowsBox_(new QWidget()), rows_(new QVBoxLayout(rowsBox_)) {
    setObjectName(QStringLiteral("recoverySheet"));
    setWindowTitle(QStringLiteral("Recover unsaved work"));
    setWindowModality(Qt::WindowModal);
    setFixedSize(sheetWidth, sheetHeight);

    auto* title = new ThemedLabel(QStringLiteral("Recover unsaved work"), ScaledTextStyle::title2,
                                  QFont::DemiBold, Theme::Token::foreground, this);
    title->setHeading(true);
    const QString explained = QStringLiteral(
        "These checkpoints are stored outside the original PDF. Restoring opens a copy if the source file "
        "has "
        "changed.");
    auto* explanation =
        new ThemedLabel(explained, ScaledTextStyle::callout, QFont::Normal, Theme::Token::muted, this);
    // What a screen reader says as the sheet appears, with its title.
    setAccessibleName(windowTitle());
    setAccessibleDescription(explained);
    explanation->setWordWrap(true);
    auto* header = new QVBoxLayout();
    header->setSpacing(headerSpacing);
    header->addWidget(title);
    header->addWidget(explanation);

    // The shadows of neighbouring rows stand in the spacing between them.
    const QMarginsF shadow = RecoveryRow::shadowMargins();
    rows_->setSpacing(std::max(0, rowSpacing - static_cast<int>(std::ceil(shadow.top() + shadow.bottom()))));
    rows_->setContentsMargins(0, listPadding, 0, listPadding);
    rows_->addStretch(1);
    auto* scroll = new QScrollArea(this);
    scroll->setObjectName(QStringLiteral("recoveryList"));
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // The rows' buttons are the stops: the list around them is none, only the region they are read in.
    scroll->setFocusPolicy(Qt::NoFocus);
    scroll->setAccessibleName(QStringLiteral("Checkpoints"));
    scroll->setWidget(rowsBox_);

    auto* later =
        new HeroButton(QStringLiteral("Later"), HeroButtonVariant::tertiary, HeroButtonSize::md, this);
    later->setObjectName(QStringLiteral("recoveryLater"));
    auto* buttons = new QHBoxLayout();
    buttons->addStretch(1);
    buttons->addWidget(later);

    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(padding, padding, padding, padding);
    stack->setSpacing(sectionSpacing);
    stack->addLayout(header);
    stack->addWidget(scroll, 1);
    stack->addLayout(buttons);

    connect(later, &HeroButton::clicked, this, [this] { workspace_.checkpoints().dismiss(); });
    // Escape and the window's close button end here too.
    connect(this, &QDialog::finished, this, [this] { workspace_.checkpoints().dismiss(); });
    connect(&workspace_.checkpoints(), &RecoveryCheckpoints::recoveriesChanged, this,
            &RecoverySheet::rebuildRows);
    rebuildRows();
}

// The keyboard starts on the first checkpoint's Restore, the sheet's first action, not on the list; with its
// focus ring showing, as the sheet is there to be answered.
void RecoverySheet::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    QWidget* row = rows_->count() > 1 ? rows_->itemAt(0)->widget() : nullptr;
    if (auto* first = row ? row->findChild<QWidget*>(QStringLiteral("restoreRecovery")) : nullptr) {
        first->setFocus(Qt::TabFocusReason);
    } else if (auto* later = findChild<QWidget*>(QStringLiteral("recoveryLater"))) {
        later->setFocus(Qt::TabFocusReason);
    }
}

QString RecoverySheet::rowTitle(const RecoveryInfo& recovery) {
    if (!recovery.sourcePath) return QStringLiteral("Untitled");
    return QString::fromStdString(std::filesystem::path(*recovery.sourcePath).filename().string());
}

QString RecoverySheet::rowDetail(const RecoveryInfo& recovery) {
    const QString pages = recovery.pageCount == 1 ? QStringLiteral("1 page")
                                                  : QStringLiteral("%1 pages").arg(recovery.pageCount);
    // The checkpoint keeps its time in UTC; a person reads it in their own time and in the desktop's
    // words. A time that does not read as one is shown as it stands.
    const QString stored = QString::fromStdString(recovery.updatedAt);
    const QDateTime when = QDateTime::fromString(stored, Qt::ISODate);
    const QString shown =
        when.isValid() ? QLocale().toString(when.toLocalTime(), QLocale::ShortFormat) : stored;
    return QStringLiteral("Revision %1 · %2 · %3").arg(QString::number(recovery.revision), pages, shown);
}

QString RecoverySheet::discardExplanation(const RecoveryInfo& recovery) {
    return QStringLiteral("The checkpoint of “%1” (revision %2) will be deleted. This cannot be undone.")
        .arg(rowTitle(recovery), QString::number(recovery.revision));
}

void RecoverySheet::rebuildRows() {
    while (rows_->count() > 1) {
        QLayoutItem* item = rows_->takeAt(0);
        if (QWidget* row = item->widget()) row->deleteLater();
        delete item;
    }
    int place = 0;
    for (const RecoveryInfo& recovery : workspace_.checkpoints().recoveries()) {
        auto* row = new RecoveryRow(rowTitle(recovery), rowDetail(recovery), rowsBox_);
        connect(row, &RecoveryRow::restoreClicked, this,
                [this, id = recovery.recoveryId] { workspace_.restoreRecovery(id); });
        connect(row, &RecoveryRow::discardClicked, this, [this, recovery] { confirmDiscard(recovery); });
        rows_->insertWidget(place++, row);
        // Tab goes down the rows as they are read, and on to Later below them.
        QWidget::setTabOrder(row->findChild<QWidget*>(QStringLiteral("discardRecovery")),
                             findChild<QWidget*>(QStringLiteral("recoveryLater")));
    }
}

void RecoverySheet::confirmDiscard(const RecoveryInfo& recovery) {
    auto* question = new QMessageBox(QMessageBox::Warning, QStringLiteral("Discard unsaved work?"),
                                     QStringLiteral("Discard unsaved work?"), QMessageBox::NoButton, this);
    question->setObjectName(QStringLiteral("discardQuestion"));
    question->setInformativeText(discardExplanation(recovery));
    // The file name comes from the checkpoint: no label of the box may read it as markup.
    LiteralText::keepPlain(*question);
    // The box takes the width of its text (up to a comfortable line), not that of its short title.
    if (auto* detail = question->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"))) {
        const QFontMetrics metrics(detail->font());
        detail->setMinimumWidth(std::min(metrics.horizontalAdvance(detail->text()) + 1, discardTextWidth));
    }
    QPushButton* discard = question->addButton(QStringLiteral("Discard"), QMessageBox::DestructiveRole);
    QPushButton* cancel = question->addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    question->setDefaultButton(cancel);
    question->setEscapeButton(cancel);
    question->setAttribute(Qt::WA_DeleteOnClose);
    connect(question, &QMessageBox::finished, this, [this, question, discard, id = recovery.recoveryId] {
        if (question->clickedButton() == discard) workspace_.checkpoints().discard(id);
    });
    question->open();
}

}  // namespace kivo
