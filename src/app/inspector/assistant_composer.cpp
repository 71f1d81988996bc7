#include "app/inspector/assistant_composer.hpp"

#include <algorithm>
#include <cmath>

#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QTextBlock>

#include "app/inspector/assistant_texts.hpp"
#include "design/appearance.hpp"
#include "design/hero_button.hpp"
#include "design/painting.hpp"
#include "design/pill_segment.hpp"
#include "design/scaled_stack.hpp"
#include "design/spinner.hpp"
#include "design/text_scale.hpp"
#include "design/themed_label.hpp"
#include "workspace/assistant_session.hpp"
#include "workspace/workspace.hpp"

namespace kivo {
namespace {

constexpr double boxRadius = 16;

// The box behind the field and its row: the field colour with a thin border.
class ComposerBox : public ScaledStack {
public:
    explicit ComposerBox(QWidget* parent) : ScaledStack(Qt::Vertical, 8, QMarginsF(10, 10, 10, 10), parent) {
        connect(&Appearance::instance(), &Appearance::schemeChanged, this, qOverload<>(&QWidget::update));
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        Painting::fillRounded(painter, QRectF(rect()), boxRadius, Theme::color(Theme::Token::field));
        Painting::strokeRoundedInside(painter, QRectF(rect()), boxRadius, 1,
                                      Theme::color(Theme::Token::border));
    }
};

}  // namespace

QuestionField::QuestionField(QWidget* parent) : QPlainTextEdit(parent) {
    setObjectName(QStringLiteral("question"));
    setPlaceholderText(QStringLiteral("Ask about this PDF"));
    setAccessibleName(QStringLiteral("Ask about this PDF"));
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // It grows instead, up to four lines; only a longer question scrolls.
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setTabChangesFocus(true);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    document()->setDocumentMargin(0);
    connect(this, &QPlainTextEdit::blockCountChanged, this, &QuestionField::followLines);
    connect(document()->documentLayout(), &QAbstractTextDocumentLayout::documentSizeChanged, this,
            &QuestionField::followLines);
    connect(&Appearance::instance(), &Appearance::schemeChanged, this, &QuestionField::applyLook);
    applyLook();
}

void QuestionField::applyLook() {
    setFont(scaledFont(ScaledTextStyle::body, QFont::Normal, TextScale::of(this), this));
    QPalette p = palette();
    for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        p.setColor(group, QPalette::Base, Qt::transparent);
        p.setColor(group, QPalette::Text, Theme::color(Theme::Token::foreground));
        p.setColor(group, QPalette::PlaceholderText, Theme::color(Theme::Token::muted));
    }
    setPalette(p);
    viewport()->setAutoFillBackground(false);
    updateGeometry();
}

int QuestionField::heightForLines(int lines) const {
    const QMargins margins = contentsMargins();
    // The editor's lines can stand a pixel taller than the font's rounded line spacing: three or four of
    // them then outgrow a field measured by the spacing, and the editor scrolls its first line away. So
    // the lines as laid out are measured once there are any. The last line's descent needs a pixel or two
    // more.
    double line = QFontMetricsF(font()).lineSpacing();
    if (const QTextLayout* laid = document()->firstBlock().layout(); laid != nullptr && laid->lineCount() > 0)
        line = std::max(line, laid->lineAt(0).height());
    return static_cast<int>(std::ceil(lines * line)) + 2 * frameWidth() + margins.top() + margins.bottom() +
           2;
}

int QuestionField::lineCount() const {
    // Wrapped lines count, not only the paragraphs typed.
    int lines = 0;
    for (QTextBlock block = document()->begin(); block.isValid(); block = block.next())
        lines += std::max(1, block.layout() != nullptr ? block.layout()->lineCount() : 1);
    return lines;
}

void QuestionField::followLines() {
    setVerticalScrollBarPolicy(lineCount() > maxLines ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff);
    updateGeometry();
    keepQuestionInView();
}

// While the field grows with its lines the whole question shows from its first line (the editor would
// stay scrolled to where the caret was while it was shorter); past four lines the caret stays in view.
void QuestionField::keepQuestionInView() {
    if (lineCount() <= maxLines) verticalScrollBar()->setValue(0);
    else ensureCursorVisible();
}

void QuestionField::resizeEvent(QResizeEvent* event) {
    QPlainTextEdit::resizeEvent(event);
    keepQuestionInView();
}

QSize QuestionField::sizeHint() const {
    return {QPlainTextEdit::sizeHint().width(), heightForLines(std::clamp(lineCount(), 1, maxLines))};
}

QSize QuestionField::minimumSizeHint() const { return {0, heightForLines(1)}; }

void QuestionField::keyPressEvent(QKeyEvent* event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && (event->modifiers() & Qt::ShiftModifier)) {
        insertPlainText(QStringLiteral("\n"));
        return;
    }
    if (enter && !(event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))) {
        emit submitted();
        return;
    }
    QPlainTextEdit::keyPressEvent(event);
}

bool QuestionField::event(QEvent* event) {
    if (event->type() == TextScale::changeEventType() || event->type() == QEvent::ParentChange) applyLook();
    return QPlainTextEdit::event(event);
}

AssistantComposer::AssistantComposer(Workspace& workspace, QWidget* parent)
    : QWidget(parent), workspace_(workspace) {
    setObjectName(QStringLiteral("composer"));
    auto* column = ScaledStack::filling(this, Qt::Vertical, 6);

    auto* box = new ComposerBox(column);
    box_ = box;
    field_ = new QuestionField(box);
    box->add(field_);
    auto* row = new ScaledStack(Qt::Horizontal, 8, {}, box);
    scope_ = new PillSegment(QStringLiteral("Scope"), HeroButtonSize::sm, row);
    scope_->setObjectName(QStringLiteral("scope"));
    QList<SegmentItem> scopes;
    for (const auto& entry : assistantScopes)
        scopes.append({QString::fromLatin1(entry.rawValue), QString::fromLatin1(entry.title), QString()});
    scope_->setItems(scopes);
    row->add(scope_, 0, Qt::AlignVCenter);
    row->addStretch();
    buttons_ = new ScaledStack(Qt::Horizontal, 8, {}, row);
    spinner_ = new Spinner(buttons_);
    spinner_->setAccessibleName(QStringLiteral("The model is answering"));
    buttons_->add(spinner_, 0, Qt::AlignVCenter);
    stop_ = new HeroButton(QStringLiteral("Stop"), HeroButtonVariant::tertiary, HeroButtonSize::sm, buttons_);
    stop_->setObjectName(QStringLiteral("stopAssistant"));
    buttons_->add(stop_, 0, Qt::AlignVCenter);
    send_ = HeroButton::iconOnly(QStringLiteral("arrow.up"), QStringLiteral("Ask"),
                                 HeroButtonVariant::primary, HeroButtonSize::sm, buttons_);
    send_->setObjectName(QStringLiteral("ask"));
    buttons_->add(send_, 0, Qt::AlignVCenter);
    row->add(buttons_, 0, Qt::AlignVCenter);
    row_ = row;
    row->installEventFilter(this);
    box->add(row);
    column->add(box);

    disclosure_ =
        new ThemedLabel(QString(), ScaledTextStyle::caption, QFont::Normal, Theme::Token::muted, column);
    disclosure_->setObjectName(QStringLiteral("disclosure"));
    wrapInWidth(disclosure_);
    column->add(disclosure_);

    connect(field_, &QPlainTextEdit::textChanged, this,
            [this] { workspace_.assistant().setAssistantQuery(field_->toPlainText().toStdString()); });
    connect(field_, &QuestionField::submitted, &workspace_.assistant(), &AssistantSession::askAssistant);
    connect(scope_, &PillSegment::activated, this, [this](const QVariant& value) {
        if (const auto scope = assistantScopeFromRaw(value.toString().toStdString()))
            workspace_.assistant().setAssistantScope(*scope);
    });
    connect(send_, &HeroButton::clicked, &workspace_.assistant(), &AssistantSession::askAssistant);
    connect(stop_, &HeroButton::clicked, &workspace_.assistant(), &AssistantSession::stopAssistant);
    for (const auto changed :
         {&AssistantSession::assistantQueryChanged, &AssistantSession::assistantScopeChanged,
          &AssistantSession::assistantRunningChanged, &AssistantSession::assistantProviderChanged,
          &AssistantSession::assistantModelChanged, &AssistantSession::providerStatusChanged})
        connect(&workspace_.assistant(), changed, this, &AssistantComposer::refresh);
    connect(&workspace_, &WorkspaceState::sessionIdChanged, this, &AssistantComposer::refresh);
    refresh();
}

bool AssistantComposer::eventFilter(QObject* watched, QEvent* event) {
    if (watched == row_ && (event->type() == QEvent::Resize || event->type() == QEvent::LayoutRequest))
        placeScope();
    return QWidget::eventFilter(watched, event);
}

// The scope stands beside the buttons while two rows hold its words whole there; where it would take
// more, it has the row to itself and the buttons go under it, at the trailing edge.
void AssistantComposer::placeScope() {
    QBoxLayout* layout = row_->box();
    const int beside = row_->contentsRect().width() - buttons_->sizeHint().width() - layout->spacing();
    const bool stacked = scope_->rowCountFor(beside) > 2;
    const auto direction = stacked ? QBoxLayout::TopToBottom : QBoxLayout::LeftToRight;
    if (layout->direction() == direction) return;
    layout->setDirection(direction);
    layout->setAlignment(scope_, stacked ? Qt::Alignment() : Qt::AlignVCenter);
    layout->setAlignment(buttons_, stacked ? Qt::AlignRight : Qt::AlignVCenter);
}

// The chosen model while the provider shown lists it; until then (just after a switch the choice is still
// the other provider's) none, so the disclosure says "the chosen model" rather than a wrong name.
std::string AssistantComposer::listedModel() const {
    const auto& status = workspace_.assistant().providerStatus();
    const std::string& chosen = workspace_.assistant().assistantModel();
    if (!status || !status->ready) return {};
    const bool listed = std::any_of(status->models.begin(), status->models.end(),
                                    [&](const ModelInfo& model) { return model.name == chosen; });
    return listed ? chosen : std::string();
}

void AssistantComposer::refresh() {
    const QString query = QString::fromStdString(workspace_.assistant().assistantQuery());
    if (field_->toPlainText() != query) {
        const QSignalBlocker quiet(field_);
        field_->setPlainText(query);
        field_->moveCursor(QTextCursor::End);
    }
    scope_->setSelection(QString::fromLatin1(rawValue(workspace_.assistant().assistantScope())));
    const bool running = workspace_.assistant().assistantRunning();
    spinner_->setVisible(running);
    stop_->setVisible(running);
    send_->setVisible(!running);
    placeScope();
    send_->setEnabled(
        AssistantTexts::canSend(workspace_.sessionId().has_value(), workspace_.assistant().assistantQuery()));
    disclosure_->setText(
        AssistantTexts::disclosure(workspace_.assistant().assistantProvider(), listedModel()));
}

}  // namespace kivo
