#include "app/shell/canvas_bar.hpp"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QPainter>
#include <QSignalBlocker>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <string_view>

#include "app/shell/action_binding.hpp"
#include "app/shell/editor_commands.hpp"
#include "app/shell/editor_tools.hpp"
#include "design/appearance.hpp"
#include "design/hero_button.hpp"
#include "design/hero_field.hpp"
#include "design/pill_segment.hpp"
#include "design/text_scale.hpp"
#include "workspace/shown_page.hpp"
#include "workspace/workspace.hpp"

namespace kivo {
namespace {

// A page position as typed: an optional "+" or "-", then ASCII digits and nothing else, within 64 bits;
// no trimming, so "07" and "+7" name page 7 and " 7" names none.
std::optional<std::int64_t> readPosition(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    std::uint64_t magnitude = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    constexpr auto largest = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (magnitude > largest + (negative ? 1 : 0)) return std::nullopt;
    if (!negative) return static_cast<std::int64_t>(magnitude);
    return magnitude == largest + 1 ? std::numeric_limits<std::int64_t>::min()
                                    : -static_cast<std::int64_t>(magnitude);
}

// The zoom button is read as a menu button named "Zoom" whose value is the percentage in words.
class ZoomMenuAccessible : public QAccessibleWidget {
public:
    explicit ZoomMenuAccessible(QWidget* widget) : QAccessibleWidget(widget, QAccessible::ButtonMenu) {}

    QString text(QAccessible::Text kind) const override {
        if (kind == QAccessible::Name) return QStringLiteral("Zoom");
        // The desktop's accessibility bus carries no value for a menu button: the description carries it.
        if (kind == QAccessible::Value || kind == QAccessible::Description)
            return static_cast<const ZoomMenuButton*>(widget())->spokenValue();
        return QAccessibleWidget::text(kind);
    }
    QStringList actionNames() const override { return {showMenuAction()}; }
    void doAction(const QString& action) override {
        if (action == showMenuAction()) static_cast<ZoomMenuButton*>(widget())->showMenu();
    }
};

// The tool pill with its segments, made before the bar's other controls so that Tab reaches the tools
// first, in the order the bar is drawn.
PillSegment* makeToolPicker(QWidget* parent) {
    auto* pill = new PillSegment(QStringLiteral("Tool"), HeroButtonSize::sm, parent);
    QList<SegmentItem> items;
    for (const EditorToolItem& item : editorTools)
        items.append(SegmentItem{QVariant::fromValue(static_cast<int>(item.tool)),
                                 QString::fromUtf8(info(toolAction(item.tool)).title),
                                 QString::fromLatin1(item.symbol), true});
    pill->setItems(items);
    return pill;
}

QFont zoomFont(const QWidget* widget) {
    return scaledFont(ScaledTextStyle::callout, QFont::Medium, TextScale::of(widget), widget);
}

QFont countFont(const QWidget* widget) {
    return scaledFont(ScaledTextStyle::callout, QFont::Normal, TextScale::of(widget), widget);
}

}  // namespace

// ---- The zoom menu's button

QAccessibleInterface* ZoomMenuButton::accessibleFor(QWidget* widget) {
    return new ZoomMenuAccessible(widget);
}

ZoomMenuButton::ZoomMenuButton(QWidget* parent) : QToolButton(parent) {
    setObjectName(QStringLiteral("zoomMenu"));
    setAutoRaise(true);
    setPopupMode(QToolButton::InstantPopup);
    setFocusPolicy(Qt::TabFocus);
    setText(CanvasBar::zoomText(zoom_));
    connect(&Appearance::instance(), &Appearance::schemeChanged, this, qOverload<>(&QWidget::update));
}

void ZoomMenuButton::showZoom(double zoom) {
    const bool changed = zoom != zoom_;
    zoom_ = zoom;
    setText(CanvasBar::zoomText(zoom));
    if (changed && QAccessible::isActive()) {
        QAccessibleEvent described(this, QAccessible::DescriptionChanged);
        QAccessible::updateAccessibility(&described);
    }
    updateGeometry();
    update();
}

QString ZoomMenuButton::spokenValue() const {
    return QString::number(std::lround(zoom_ * 100)) + QStringLiteral(" percent");
}

QSize ZoomMenuButton::sizeHint() const {
    const QFontMetricsF metrics(zoomFont(this));
    const double scale = TextScale::of(this);
    // The title, a little room either side and the menu's indicator.
    const double width = metrics.horizontalAdvance(text()) + 18 * scale;
    return {static_cast<int>(std::ceil(width)), static_cast<int>(std::ceil(metrics.height() + 8 * scale))};
}

void ZoomMenuButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const double scale = TextScale::of(this);
    if (isDown() || underMouse())
        Painting::fillRounded(painter, QRectF(rect()), 6 * scale, Theme::color(Theme::Token::defaultFill));
    const QColor ink = Theme::color(Theme::Token::foreground);
    painter.setFont(zoomFont(this));
    painter.setPen(ink);
    const QRectF title(4 * scale, 0, width() - 14 * scale, height());
    painter.drawText(title, Qt::AlignCenter, text());
    // A small chevron pointing down: the button opens a menu.
    const double side = 3 * scale;
    const QPointF tip(width() - 6 * scale, height() / 2.0 + side / 2);
    QPen pen(ink, 1.2);
    pen.setCapStyle(Qt::RoundCap);
    painter.setPen(pen);
    painter.drawPolyline(QPolygonF{tip + QPointF(-side, -side), tip, tip + QPointF(side, -side)});
    if (Painting::showsFocusRing(*this)) Painting::focusRing(painter, QRectF(rect()), 6 * scale);
}

bool ZoomMenuButton::event(QEvent* event) {
    if (event->type() == TextScale::changeEventType()) {
        updateGeometry();
        update();
    }
    return QToolButton::event(event);
}

// ---- The bar

struct CanvasBar::Metrics {
    int padX = 0;
    int padY = 0;
    int groupGap = 0;
    int innerGap = 0;
    int pageGap = 0;
    int rowGap = 0;
    int fieldWidth = 0;
    QSize history;
    QSize zoom;
    QSize page;
    int countWidth = 0;
    int oneRowWidth = 0;
    int twoRowWidth = 0;
    int oneRowHeight = 0;
    int twoRowHeight = 0;
};

CanvasBar::CanvasBar(Workspace& workspace, const EditorCommands& commands, QWidget* parent)
    : FilledPanel(Theme::Token::background, parent),
      workspace_(workspace),
      tools_(makeToolPicker(this)),
      undo_(HeroButton::iconOnly(QStringLiteral("arrow.uturn.backward"), QStringLiteral("Undo"),
                                 HeroButtonVariant::ghost, HeroButtonSize::sm, this)),
      redo_(HeroButton::iconOnly(QStringLiteral("arrow.uturn.forward"), QStringLiteral("Redo"),
                                 HeroButtonVariant::ghost, HeroButtonSize::sm, this)),
      zoomOut_(HeroButton::iconOnly(QStringLiteral("minus"), QStringLiteral("Zoom out"),
                                    HeroButtonVariant::ghost, HeroButtonSize::sm, this)),
      zoomMenu_(new ZoomMenuButton(this)),
      zoomIn_(HeroButton::iconOnly(QStringLiteral("plus"), QStringLiteral("Zoom in"),
                                   HeroButtonVariant::ghost, HeroButtonSize::sm, this)),
      page_(new HeroField(false, this)),
      menu_(new QMenu(this)) {
    setObjectName(QStringLiteral("canvasBar"));
    setSeparatorEdges(Qt::BottomEdge);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    tools_->setObjectName(QStringLiteral("toolPicker"));
    undo_->setObjectName(QStringLiteral("undoButton"));
    redo_->setObjectName(QStringLiteral("redoButton"));
    zoomOut_->setObjectName(QStringLiteral("zoomOut"));
    zoomIn_->setObjectName(QStringLiteral("zoomIn"));
    page_->setObjectName(QStringLiteral("pageField"));
    page_->lineEdit()->setPlaceholderText(QStringLiteral("Page"));
    page_->lineEdit()->setAccessibleName(QStringLiteral("Page number"));
    menu_->setObjectName(QStringLiteral("zoomPresets"));
    zoomMenu_->setMenu(menu_);

    bindCommands(commands);
    connect(page_->lineEdit(), &QLineEdit::returnPressed, this, &CanvasBar::jumpToTypedPage);
    connect(&workspace_, &WorkspaceState::pageJumpChanged, this, &CanvasBar::showPageJump);
    for (const auto changed : {&WorkspaceState::toolChanged, &WorkspaceState::inspectChanged})
        connect(&workspace_, changed, this, &CanvasBar::refresh);
    connect(&workspace_.shownPage(), &ShownPage::zoomChanged, this, &CanvasBar::refresh);
    showPageJump();
    refresh();
}

QString CanvasBar::zoomText(double zoom) {
    return QString::number(std::lround(zoom * 100)) + QLatin1Char('%');
}

void CanvasBar::bindCommands(const EditorCommands& commands) {
    connect(tools_, &PillSegment::activated, this, [&commands](const QVariant& value) {
        commands.action(toolAction(static_cast<EditorTool>(value.toInt())))->trigger();
    });
    bindButton(*undo_, *commands.action(EditorAction::undoDocument));
    bindButton(*redo_, *commands.action(EditorAction::redoDocument));
    bindButton(*zoomOut_, *commands.action(EditorAction::zoomOut));
    bindButton(*zoomIn_, *commands.action(EditorAction::zoomIn));
    addBoundItem(*menu_, *commands.action(EditorAction::fitPage), QStringLiteral("Fit Page"));
    addBoundItem(*menu_, *commands.action(EditorAction::fitWidth), QStringLiteral("Fit Width"));
    menu_->addSeparator();
    for (const double preset : presets) {
        QAction* action = menu_->addAction(zoomText(preset));
        connect(action, &QAction::triggered, this, [this, preset] { workspace_.shownPage().zoomTo(preset); });
    }
}

void CanvasBar::showPageJump() {
    const QString jump = QString::fromStdString(workspace_.pageJump());
    if (page_->lineEdit()->text() != jump) {
        const QSignalBlocker quiet(page_->lineEdit());
        page_->lineEdit()->setText(jump);
    }
}

void CanvasBar::jumpToTypedPage() {
    const std::optional<std::int64_t> position = readPosition(page_->lineEdit()->text().toStdString());
    if (position && workspace_.jumpToPage(*position)) showPageJump();
}

void CanvasBar::refresh() {
    tools_->setSelection(QVariant::fromValue(static_cast<int>(workspace_.tool())), isVisible());
    zoomMenu_->showZoom(workspace_.shownPage().zoom());
    const std::size_t count = workspace_.document().pageCount();
    const QString text = QStringLiteral("of ") + QLocale().toString(static_cast<qulonglong>(count));
    if (text != pageCount_) {
        pageCount_ = text;
        updateGeometry();
        arrange();
        update();
    }
}

CanvasBar::Metrics CanvasBar::metrics() const {
    const double s = TextScale::of(this);
    Metrics m;
    m.padX = TextScale::pixels(12, s);
    m.padY = TextScale::pixels(8, s);
    m.groupGap = TextScale::pixels(10, s);
    m.innerGap = TextScale::pixels(4, s);
    m.pageGap = TextScale::pixels(6, s);
    m.rowGap = TextScale::pixels(8, s);
    m.fieldWidth = TextScale::pixels(52, s);
    const auto row = [](std::initializer_list<QSize> parts, int gap) {
        QSize size(0, 0);
        for (const QSize& part : parts)
            size = QSize(size.width() + part.width(), std::max(size.height(), part.height()));
        return QSize(size.width() + gap * (static_cast<int>(parts.size()) - 1), size.height());
    };
    m.history = row({undo_->sizeHint(), redo_->sizeHint()}, m.innerGap);
    m.zoom = row({zoomOut_->sizeHint(), zoomMenu_->sizeHint(), zoomIn_->sizeHint()}, m.innerGap);
    m.countWidth = static_cast<int>(std::ceil(QFontMetricsF(countFont(this)).horizontalAdvance(pageCount_)));
    m.page = row({QSize(m.fieldWidth, page_->sizeHint().height()), QSize(m.countWidth, 1)}, m.pageGap);
    const QSize tools = tools_->sizeHint();
    m.oneRowWidth =
        2 * m.padX + tools.width() + m.history.width() + 8 + m.zoom.width() + m.page.width() + 4 * m.groupGap;
    m.twoRowWidth = 2 * m.padX + std::max(tools.width() + m.history.width() + 4 + 2 * m.groupGap,
                                          m.zoom.width() + 4 + m.page.width() + 2 * m.groupGap);
    const int top = std::max(tools.height(), m.history.height());
    const int bottom = std::max(m.zoom.height(), m.page.height());
    m.oneRowHeight = 2 * m.padY + std::max(top, bottom);
    m.twoRowHeight = 2 * m.padY + top + m.rowGap + bottom;
    return m;
}

QSize CanvasBar::sizeHint() const {
    // As high as the rows it shows now: a fixed height that follows the width through arrange().
    const Metrics m = metrics();
    return {m.oneRowWidth, twoRows_ ? m.twoRowHeight : m.oneRowHeight};
}

QSize CanvasBar::minimumSizeHint() const {
    const Metrics m = metrics();
    return {m.twoRowWidth, m.oneRowHeight};
}

int CanvasBar::heightForWidth(int width) const {
    const Metrics m = metrics();
    return width >= m.oneRowWidth ? m.oneRowHeight : m.twoRowHeight;
}

void CanvasBar::arrange() {
    const Metrics m = metrics();
    const bool two = width() < m.oneRowWidth;
    if (two != twoRows_) {
        twoRows_ = two;
        updateGeometry();
    }
    const auto place = [](QWidget* widget, int x, int rowTop, int rowHeight, QSize size) {
        widget->setGeometry(x, rowTop + (rowHeight - size.height()) / 2, size.width(), size.height());
    };
    const auto placeRow = [&](std::initializer_list<QWidget*> widgets, int x, int rowTop, int rowHeight) {
        for (QWidget* widget : widgets) {
            place(widget, x, rowTop, rowHeight, widget->sizeHint());
            x += widget->sizeHint().width() + m.innerGap;
        }
    };
    const QSize tools = tools_->sizeHint();
    const int topHeight = two ? std::max(tools.height(), m.history.height()) : m.oneRowHeight - 2 * m.padY;
    const int bottomTop = two ? m.padY + topHeight + m.rowGap : m.padY;
    const int bottomHeight = two ? std::max(m.zoom.height(), m.page.height()) : topHeight;
    place(tools_, m.padX, m.padY, topHeight, tools);
    placeRow({undo_, redo_}, m.padX + tools.width() + m.groupGap, m.padY, topHeight);
    // The page group keeps to the trailing edge; the zoom group stands before it, or leads the second row.
    const int pageX = width() - m.padX - m.page.width();
    const int zoomX = two ? m.padX : pageX - m.groupGap - m.zoom.width();
    placeRow({zoomOut_, zoomMenu_, zoomIn_}, zoomX, bottomTop, bottomHeight);
    place(page_, pageX, bottomTop, bottomHeight, QSize(m.fieldWidth, page_->sizeHint().height()));
    pageCountRect_ = QRectF(pageX + m.fieldWidth + m.pageGap, bottomTop, m.countWidth, bottomHeight);
}

void CanvasBar::paintEvent(QPaintEvent* event) {
    FilledPanel::paintEvent(event);
    // Drawn, not a label: the field's own name already says what the count belongs to.
    QPainter painter(this);
    painter.setFont(countFont(this));
    painter.setPen(Theme::color(Theme::Token::muted));
    painter.drawText(pageCountRect_, Qt::AlignLeft | Qt::AlignVCenter, pageCount_);
}

void CanvasBar::resizeEvent(QResizeEvent* event) {
    FilledPanel::resizeEvent(event);
    arrange();
}

bool CanvasBar::event(QEvent* event) {
    const bool handled = FilledPanel::event(event);
    if (event->type() == TextScale::changeEventType() || event->type() == QEvent::LayoutRequest) {
        updateGeometry();
        arrange();
        update();
    }
    return handled;
}

}  // namespace kivo
