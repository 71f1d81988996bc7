#include "gallery/gallery_samples.hpp"

#include <QHBoxLayout>
#include <QToolButton>

#include "design/chip.hpp"
#include "design/clamped_label.hpp"
#include "design/eliding_label.hpp"
#include "design/filled_panel.hpp"
#include "design/hero_button.hpp"
#include "design/inline_code_label.hpp"
#include "design/prompt_dialog.hpp"
#include "design/row_button.hpp"
#include "design/scaled_stack.hpp"
#include "design/section_card.hpp"
#include "design/spinner.hpp"
#include "design/status_message.hpp"
#include "design/symbol_icon.hpp"
#include "design/themed_label.hpp"

// The editor's building blocks that are not controls of their own: labels that cut or clamp, banners,
// rows that act as one button, panels, the spinner, tool bar icons and the one-line prompt.

namespace kivo::Gallery {
namespace {

const QString longText = QStringLiteral(
    "The quarterly figures on page 4 do not add up to the total given in the summary on the first page, "
    "which the reviewer asked to be checked before the report goes out.");

ThemedLabel* caption(const QString& text) {
    return new ThemedLabel(text, ScaledTextStyle::caption, QFont::Normal, Theme::Token::muted);
}

QToolButton* toolButton(const QString& symbol, bool enabled) {
    auto* button = new QToolButton();
    button->setIcon(symbolIcon(symbol));
    button->setAutoRaise(true);
    button->setEnabled(enabled);
    return button;
}

}  // namespace

QWidget* labels() {
    auto* c =
        new SectionCard(QStringLiteral("Labels and banners"), QStringLiteral("Cut, clamped, code, status"));
    auto* eliding = new ElidingLabel(ScaledTextStyle::body, QFont::Normal, Theme::Token::foreground);
    eliding->setFullText(longText);
    eliding->setMaximumWidth(260);
    auto* clamped = new ClampedLabel(2, ScaledTextStyle::callout, Theme::Token::foreground);
    clamped->setFullText(longText);
    auto* code = new InlineCodeLabel();
    code->setText(QStringLiteral("Run `kivo-pdf-mcp --help` to see what the connector offers."));
    for (QWidget* w :
         {static_cast<QWidget*>(caption(QStringLiteral("One line, elided"))), static_cast<QWidget*>(eliding),
          static_cast<QWidget*>(caption(QStringLiteral("Two lines at most"))), static_cast<QWidget*>(clamped),
          static_cast<QWidget*>(code)})
        c->contentLayout()->addWidget(w);
    c->contentLayout()->addWidget(new StatusMessage(StatusMessage::Kind::warning,
                                                    QStringLiteral("The document changed on disk."),
                                                    ScaledTextStyle::callout));
    c->contentLayout()->addWidget(new StatusMessage(StatusMessage::Kind::error,
                                                    QStringLiteral("The worker stopped unexpectedly."),
                                                    ScaledTextStyle::callout));
    return c;
}

QWidget* rowsAndPanels() {
    auto* c =
        new SectionCard(QStringLiteral("Rows and panels"), QStringLiteral("Row buttons, fills, waiting"));
    for (const bool framed : {false, true}) {
        auto* row = new RowButton(framed, QMarginsF(9, 9, 9, 9), 8, Qt::AlignVCenter);
        row->add(new Chip(QStringLiteral("p. 4"), ChipTone::accent, QStringLiteral("quote.opening")));
        auto* label = new ThemedLabel(framed ? QStringLiteral("Framed row") : QStringLiteral("Plain row"),
                                      ScaledTextStyle::body, QFont::Normal, Theme::Token::foreground);
        // As in the inspector: a row takes its height from a part that wraps.
        wrapInWidth(label);
        row->add(label, 1);
        c->contentLayout()->addWidget(row);
    }

    auto* panels = new ScaledStack(Qt::Horizontal, 8);
    for (const Theme::Token fill : {Theme::Token::background, Theme::Token::canvas}) {
        auto* panel = new FilledPanel(fill);
        panel->setSeparatorEdges(Qt::TopEdge | Qt::BottomEdge);
        auto* inside = ScaledStack::filling(panel, Qt::Horizontal, 6, QMarginsF(8, 10, 8, 10));
        if (fill == Theme::Token::canvas) inside->add(new Spinner(), 0, Qt::AlignVCenter);
        inside->add(caption(fill == Theme::Token::canvas ? QStringLiteral("canvas, waiting")
                                                         : QStringLiteral("background")),
                    1, Qt::AlignVCenter);
        panels->add(panel, 1);
    }
    c->contentLayout()->addWidget(panels);

    auto* tools = new ScaledStack(Qt::Horizontal, 4);
    tools->add(toolButton(QStringLiteral("folder"), true));
    tools->add(toolButton(QStringLiteral("square.and.arrow.down"), true));
    tools->add(toolButton(QStringLiteral("square.and.arrow.down.on.square"), false));
    auto* ask = new HeroButton(QStringLiteral("Ask for a password\u2026"), HeroButtonVariant::tertiary,
                               HeroButtonSize::sm);
    QObject::connect(ask, &QAbstractButton::clicked, ask, [ask] {
        PromptDialog prompt(QStringLiteral("Password required"),
                            QStringLiteral("\"report.pdf\" is protected. Enter its password to open it."),
                            QString(), QStringLiteral("Open"), PromptDialog::Echo::masked, ask->window());
        prompt.exec();
    });
    tools->add(ask);
    tools->addStretch();
    c->contentLayout()->addWidget(tools);
    return c;
}

}  // namespace kivo::Gallery
