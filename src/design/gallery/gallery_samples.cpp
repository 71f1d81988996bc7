#include "gallery/gallery_samples.hpp"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QEnterEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "design/appearance.hpp"
#include "design/card_row.hpp"
#include "design/chip.hpp"
#include "design/empty_state_view.hpp"
#include "design/hero_button.hpp"
#include "design/hero_checkbox.hpp"
#include "design/hero_field.hpp"
#include "design/hero_switch.hpp"
#include "design/painting.hpp"
#include "design/pill_segment.hpp"
#include "design/section_card.hpp"
#include "design/shadow.hpp"
#include "design/symbols.hpp"
#include "design/text_scale.hpp"
#include "design/themed_label.hpp"

namespace kivo::Gallery {
namespace {

ThemedLabel* caption(const QString& text) {
    return new ThemedLabel(text, ScaledTextStyle::caption, QFont::Normal, Theme::Token::muted);
}

ThemedLabel* body(const QString& text) {
    return new ThemedLabel(text, ScaledTextStyle::body, QFont::Normal, Theme::Token::foreground);
}

// The pointer stays over a sample meant to show the hover state; the gallery has no real pointer there.
void showHovered(QWidget* widget) {
    QEnterEvent enter(QPointF(1, 1), QPointF(1, 1), QPointF(1, 1));
    QCoreApplication::sendEvent(widget, &enter);
}

QWidget* row(std::initializer_list<QWidget*> widgets, int spacing = 8) {
    auto* line = new QWidget();
    auto* layout = new QHBoxLayout(line);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(spacing);
    for (QWidget* w : widgets) layout->addWidget(w);
    layout->addStretch(1);
    return line;
}

SectionCard* card(const QString& title, const QString& subtitle) { return new SectionCard(title, subtitle); }

// A raised sample in one of the two elevations.
class ShadowSample : public QWidget {
public:
    ShadowSample(QString name, bool overlay) : name_(std::move(name)), overlay_(overlay) {
        const QMarginsF room = reach();
        setFixedSize(static_cast<int>(shapeSize.width() + room.left() + room.right()),
                     static_cast<int>(shapeSize.height() + room.top() + room.bottom()));
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const ColorScheme scheme = Appearance::currentScheme();
        const auto layers = overlay_ ? Shadows::overlay(scheme) : Shadows::surface(scheme);
        const QMarginsF room = reach();
        const QRectF shape(QPointF(room.left(), room.top()), shapeSize);
        Shadows::paint(painter, shape, 14, layers);
        const auto fill = overlay_ ? Theme::Token::overlay : Theme::Token::surface;
        Painting::fillRounded(painter, shape, 14, Theme::color(fill));
        painter.setPen(Theme::color(Theme::Token::muted));
        painter.setFont(scaledFont(ScaledTextStyle::caption, QFont::Normal, TextScale::of(this), this));
        painter.drawText(shape, Qt::AlignCenter, name_);
    }

private:
    static constexpr QSizeF shapeSize{120, 64};

    // Room for the larger of the two appearances' shadows.
    QMarginsF reach() const {
        const auto light = Shadows::reach(overlay_ ? Shadows::overlay(ColorScheme::light)
                                                   : Shadows::surface(ColorScheme::light));
        const auto dark = Shadows::reach(overlay_ ? Shadows::overlay(ColorScheme::dark)
                                                  : Shadows::surface(ColorScheme::dark));
        return {std::max(light.left(), dark.left()), std::max(light.top(), dark.top()),
                std::max(light.right(), dark.right()), std::max(light.bottom(), dark.bottom())};
    }

    QString name_;
    bool overlay_;
};

// One token's colour in the current appearance, outlined so white on white still shows.
class Swatch : public QWidget {
public:
    explicit Swatch(Theme::Token token) : token_(token) { setFixedSize(28, 16); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        Painting::fillRounded(painter, QRectF(rect()), 4, Theme::color(token_));
        Painting::strokeRoundedInside(painter, QRectF(rect()), 4, 1, Theme::color(Theme::Token::border));
    }

private:
    Theme::Token token_;
};

}  // namespace

QWidget* buttons() {
    auto* c = card(QStringLiteral("Buttons"), QStringLiteral("Rest, hover, pressed and disabled; sm and md"));
    auto* grid = new QGridLayout();
    grid->setHorizontalSpacing(10);
    grid->setVerticalSpacing(8);
    const QStringList states{QStringLiteral("rest"), QStringLiteral("hover"), QStringLiteral("pressed"),
                             QStringLiteral("disabled")};
    int column = 1;
    for (const auto size : {HeroButtonSize::sm, HeroButtonSize::md}) {
        for (const QString& state : states)
            grid->addWidget(
                caption((size == HeroButtonSize::sm ? QStringLiteral("sm ") : QStringLiteral("md ")) + state),
                0, column++);
    }
    grid->addWidget(caption(QStringLiteral("icon only")), 0, column);
    const std::pair<HeroButtonVariant, QString> variants[] = {
        {HeroButtonVariant::primary, QStringLiteral("primary")},
        {HeroButtonVariant::secondary, QStringLiteral("secondary")},
        {HeroButtonVariant::tertiary, QStringLiteral("tertiary")},
        {HeroButtonVariant::ghost, QStringLiteral("ghost")},
        {HeroButtonVariant::danger, QStringLiteral("danger")},
        {HeroButtonVariant::dangerSoft, QStringLiteral("dangerSoft")}};
    int line = 1;
    for (const auto& [variant, name] : variants) {
        grid->addWidget(caption(name), line, 0);
        column = 1;
        for (const auto size : {HeroButtonSize::sm, HeroButtonSize::md}) {
            for (int state = 0; state < 4; ++state) {
                auto* button = new HeroButton(QStringLiteral("Apply"), variant, size);
                if (state == 1) showHovered(button);
                if (state == 2) button->setDown(true);
                if (state == 3) button->setEnabled(false);
                grid->addWidget(button, line, column++, Qt::AlignLeft | Qt::AlignVCenter);
            }
        }
        auto* icons = row({HeroButton::iconOnly(QStringLiteral("trash"), QStringLiteral("Delete"), variant,
                                                HeroButtonSize::sm),
                           HeroButton::iconOnly(QStringLiteral("arrow.up"), QStringLiteral("Ask"), variant,
                                                HeroButtonSize::md)},
                          6);
        grid->addWidget(icons, line, column);
        ++line;
    }
    auto* labelled =
        new HeroButton(QStringLiteral("Open a PDF\u2026"), HeroButtonVariant::primary, HeroButtonSize::md);
    labelled->setSymbol(QStringLiteral("folder"));
    grid->addWidget(caption(QStringLiteral("with symbol")), line, 0);
    grid->addWidget(labelled, line, 1, 1, 3, Qt::AlignLeft);
    c->contentLayout()->addLayout(grid);
    return c;
}

QWidget* chips() {
    auto* c = card(QStringLiteral("Chips"), QStringLiteral("Five tones, with and without a symbol"));
    c->contentLayout()->addWidget(
        row({new Chip(QStringLiteral("Saved")), new Chip(QStringLiteral("Saving"), ChipTone::accent),
             new Chip(QStringLiteral("MCP on"), ChipTone::success),
             new Chip(QStringLiteral("Unsaved"), ChipTone::warning),
             new Chip(QStringLiteral("Gone"), ChipTone::danger)}));
    c->contentLayout()->addWidget(
        row({new Chip(QStringLiteral("3 marks"), ChipTone::neutral, QStringLiteral("note.text")),
             new Chip(QStringLiteral("p. 4"), ChipTone::accent, QStringLiteral("quote.opening")),
             new Chip(QStringLiteral("Key stored"), ChipTone::success, QStringLiteral("key.fill")),
             new Chip(QStringLiteral("Read-only"), ChipTone::warning,
                      QStringLiteral("exclamationmark.triangle.fill")),
             new Chip(QStringLiteral("Failed"), ChipTone::danger, QStringLiteral("xmark.octagon.fill"))}));
    return c;
}

QWidget* segments() {
    auto* c =
        card(QStringLiteral("Segmented control"), QStringLiteral("Symbols only, symbols and titles, titles"));
    auto* tools = new PillSegment(QStringLiteral("Tool"), HeroButtonSize::sm);
    const std::pair<QString, QString> toolItems[] = {
        {QStringLiteral("Select"), QStringLiteral("cursorarrow")},
        {QStringLiteral("Highlight"), QStringLiteral("highlighter")},
        {QStringLiteral("Note"), QStringLiteral("note.text")},
        {QStringLiteral("Text"), QStringLiteral("textformat")},
        {QStringLiteral("Ink"), QStringLiteral("pencil.tip")},
        {QStringLiteral("Image"), QStringLiteral("photo")},
        {QStringLiteral("Signature"), QStringLiteral("signature")}};
    QList<SegmentItem> items;
    for (const auto& [title, symbol] : toolItems) items.append({title, title, symbol, true});
    tools->setItems(items);
    tools->setSelection(QStringLiteral("Highlight"));
    c->contentLayout()->addWidget(row({tools}));

    auto* tabs = new PillSegment(QStringLiteral("Inspector"), HeroButtonSize::md);
    tabs->setItems(
        {{QStringLiteral("assistant"), QStringLiteral("Assistant"), QStringLiteral("sparkles"), false},
         {QStringLiteral("page"), QStringLiteral("Page"), QStringLiteral("doc.text.magnifyingglass"), false},
         {QStringLiteral("form"), QStringLiteral("Form"), QStringLiteral("list.bullet.rectangle.portrait"),
          false},
         {QStringLiteral("document"), QStringLiteral("Document"), QStringLiteral("info.circle"), false}});
    tabs->setSelection(QStringLiteral("page"));
    c->contentLayout()->addWidget(tabs);

    const QList<SegmentItem> scope{{QStringLiteral("selection"), QStringLiteral("Selection"), {}, false},
                                   {QStringLiteral("page"), QStringLiteral("Page"), {}, false},
                                   {QStringLiteral("document"), QStringLiteral("Document"), {}, false}};
    auto* scopePicker = new PillSegment(QStringLiteral("Scope"), HeroButtonSize::sm);
    scopePicker->setItems(scope);
    scopePicker->setSelection(QStringLiteral("document"));
    auto* unmatched = new PillSegment(QStringLiteral("No match"), HeroButtonSize::sm);
    unmatched->setItems(scope);
    unmatched->setSelection(QStringLiteral("nothing"));
    auto* disabled = new PillSegment(QStringLiteral("Disabled"), HeroButtonSize::sm);
    disabled->setItems(scope);
    disabled->setSelection(QStringLiteral("page"));
    disabled->setEnabled(false);
    auto* empty = new PillSegment(QStringLiteral("Empty"), HeroButtonSize::sm);
    c->contentLayout()->addWidget(row({scopePicker, unmatched}));
    c->contentLayout()->addWidget(
        row({disabled, caption(QStringLiteral("disabled")), empty, caption(QStringLiteral("empty"))}));
    return c;
}

QWidget* toggles() {
    auto* c = card(QStringLiteral("Switch and checkbox"), QStringLiteral("Off, on, disabled"));
    auto* grid = new QGridLayout();
    grid->setHorizontalSpacing(16);
    grid->setVerticalSpacing(8);
    for (int i = 0; i < 4; ++i) {
        const bool on = i % 2 == 1;
        const bool enabled = i < 2;
        const QString name =
            QString(on ? "On" : "Off") + (enabled ? QString() : QStringLiteral(", disabled"));
        auto* sw = new HeroSwitch(name);
        sw->setChecked(on);
        sw->setEnabled(enabled);
        auto* box = new HeroCheckbox(name);
        box->setChecked(on);
        box->setEnabled(enabled);
        grid->addWidget(sw, i, 0);
        grid->addWidget(box, i, 1);
    }
    c->contentLayout()->addLayout(grid);
    return c;
}

QList<QWidget*> cards() {
    auto* facts =
        new SectionCard(QStringLiteral("Document"), QStringLiteral("Title, subtitle, accessory and rows"));
    facts->setAccessory(new Chip(QStringLiteral("Saved")));
    facts->contentLayout()->addWidget(new CardRow(QStringLiteral("Revision"), body(QStringLiteral("12"))));
    facts->contentLayout()->addWidget(new CardRow(QStringLiteral("Pages"), body(QStringLiteral("1,500"))));
    facts->contentLayout()->addWidget(
        new CardRow(QStringLiteral("Save state"), new Chip(QStringLiteral("Unsaved"), ChipTone::warning)));
    facts->contentLayout()->addWidget(
        new CardRow(QStringLiteral("A long label that wraps rather than pushing its value out of the row"),
                    body(QStringLiteral("Off"))));

    auto* subtitleOnly = new SectionCard(std::nullopt, QStringLiteral("Only a subtitle, with an accessory"));
    subtitleOnly->setAccessory(HeroButton::iconOnly(QStringLiteral("arrow.clockwise"),
                                                    QStringLiteral("Refresh"), HeroButtonVariant::ghost,
                                                    HeroButtonSize::sm));
    subtitleOnly->contentLayout()->addWidget(
        body(QStringLiteral("100% literal: %1 {title} <b>not bold</b>")));

    auto* bare = new SectionCard(std::nullopt, std::nullopt);
    bare->setAccessory(new Chip(QStringLiteral("never shown")));
    bare->contentLayout()->addWidget(body(QStringLiteral("No header: the content starts at the inset.")));
    return {facts, subtitleOnly, bare};
}

QWidget* emptyStates() {
    auto* holder = new QWidget();
    auto* layout = new QHBoxLayout(holder);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* open =
        new HeroButton(QStringLiteral("Open a PDF\u2026"), HeroButtonVariant::primary, HeroButtonSize::md);
    layout->addWidget(
        new EmptyStateView(QStringLiteral("doc.richtext"), QStringLiteral("Drop a PDF here"),
                           QStringLiteral("Local files only. The same commands drive the canvas, the "
                                          "CLI, and MCP."),
                           open));
    layout->addWidget(
        new EmptyStateView(QStringLiteral("sparkles"), QStringLiteral("No answer yet"),
                           QStringLiteral("Answers quote the pages in the scope you choose below.")));
    return holder;
}

QWidget* fields(QWidget** focusField) {
    auto* c = card(QStringLiteral("Fields"), QStringLiteral("Rest, focused, secure, multi-line, disabled"));
    auto* rest = new HeroField(false);
    rest->lineEdit()->setPlaceholderText(QStringLiteral("Page"));
    auto* focused = new HeroField(false);
    focused->lineEdit()->setText(QStringLiteral("Focused field"));
    *focusField = focused->editor();
    auto* secure = new HeroField(false);
    secure->lineEdit()->setEchoMode(QLineEdit::Password);
    secure->lineEdit()->setText(QStringLiteral("sk-secret"));
    auto* multi = new HeroField(true);
    multi->textEdit()->setPlainText(QStringLiteral("A multi-line note\nwith a second line"));
    auto* disabled = new HeroField(false);
    disabled->lineEdit()->setText(QStringLiteral("Read-only value"));
    disabled->setEnabled(false);
    for (QWidget* w :
         {static_cast<QWidget*>(rest), static_cast<QWidget*>(focused), static_cast<QWidget*>(secure),
          static_cast<QWidget*>(multi), static_cast<QWidget*>(disabled)})
        c->contentLayout()->addWidget(w);
    return c;
}

QWidget* symbols() {
    auto* c = card(QStringLiteral("Symbols"), QStringLiteral("Our own, by the names the design uses"));
    auto* grid = new QGridLayout();
    grid->setHorizontalSpacing(12);
    grid->setVerticalSpacing(6);
    const QStringList names = Symbols::names();
    constexpr int columns = 3;
    for (int i = 0; i < names.size(); ++i) {
        auto* chip = new Chip(names[i], ChipTone::neutral, names[i]);
        grid->addWidget(chip, i / columns, i % columns, Qt::AlignLeft);
    }
    c->contentLayout()->addLayout(grid);
    return c;
}

QWidget* tokens() {
    auto* c = card(QStringLiteral("Colour tokens"), QStringLiteral("The current appearance's 25"));
    auto* grid = new QGridLayout();
    grid->setHorizontalSpacing(10);
    grid->setVerticalSpacing(4);
    const auto& table = Theme::tokenTable();
    for (int i = 0; i < Theme::tokenCount; ++i) {
        const QString name = QString::fromUtf8(table[i].name.data(), static_cast<int>(table[i].name.size()));
        grid->addWidget(row({new Swatch(static_cast<Theme::Token>(i)), caption(name)}, 6), i % 13, i / 13);
    }
    c->contentLayout()->addLayout(grid);
    return c;
}

QWidget* shadows() {
    auto* c = card(QStringLiteral("Shadows"), QStringLiteral("Surface and overlay elevations"));
    c->contentLayout()->addWidget(row({new ShadowSample(QStringLiteral("surface"), false),
                                       new ShadowSample(QStringLiteral("overlay"), true)}));
    return c;
}

QWidget* standardButtons() {
    auto* c = card(QStringLiteral("Standard buttons"),
                   QStringLiteral("Stray push buttons through the proxy style"));
    auto* box =
        new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Help);
    box->button(QDialogButtonBox::Help)->setEnabled(false);
    c->contentLayout()->addWidget(box);
    return c;
}

}  // namespace kivo::Gallery
