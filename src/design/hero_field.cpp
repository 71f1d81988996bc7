#include "design/hero_field.hpp"

#include <cmath>

#include <QHBoxLayout>
#include <QLineEdit>
#include <QPainter>
#include <QPlainTextEdit>

#include "design/appearance.hpp"
#include "design/painting.hpp"
#include "design/text_scale.hpp"
#include "design/theme.hpp"

namespace kivo {
namespace {

// QLineEdit keeps 2 px beside and 1 px above its text; the chrome's insets count from the text itself.
constexpr int lineEditInnerHorizontal = 2;
constexpr int lineEditInnerVertical = 1;

int px(double length) { return static_cast<int>(std::lround(length)); }

// The chrome shows through: the editor paints no base of its own, and its text takes the tokens even where
// the application palette is not ours.
void applyEditorColors(QWidget* widget) {
    using Theme::Token;
    QPalette palette = widget->palette();
    for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        palette.setColor(group, QPalette::Base, Qt::transparent);
        palette.setColor(group, QPalette::Text, Theme::color(Token::foreground));
        palette.setColor(group, QPalette::PlaceholderText, Theme::color(Token::muted));
        palette.setColor(group, QPalette::Highlight, Theme::color(Token::accent));
        palette.setColor(group, QPalette::HighlightedText, Theme::color(Token::accentForeground));
    }
    widget->setPalette(palette);
    widget->setAutoFillBackground(false);
}

}  // namespace

HeroField::HeroField(bool multiline, QWidget* parent) : QWidget(parent) {
    layout_ = new QHBoxLayout(this);
    layout_->setSpacing(0);
    QWidget* editor = nullptr;
    if (multiline) {
        textEdit_ = new QPlainTextEdit(this);
        textEdit_->setFrameShape(QFrame::NoFrame);
        textEdit_->document()->setDocumentMargin(0);
        setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
        editor = textEdit_;
    } else {
        lineEdit_ = new QLineEdit(this);
        lineEdit_->setFrame(false);
        setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
        editor = lineEdit_;
    }
    editor->installEventFilter(this);
    applyColors();
    connect(&Appearance::instance(), &Appearance::schemeChanged, this, &HeroField::applyColors);
    layout_->addWidget(editor);
    setFocusProxy(editor);
    applyMetrics();
}

QWidget* HeroField::editor() const {
    if (lineEdit_ != nullptr) return lineEdit_;
    return textEdit_;
}

bool HeroField::isFocused() const { return editor()->hasFocus(); }

QMarginsF HeroField::insets() const {
    const double s = TextScale::of(this);
    const double vertical = (isMultiline() ? 7 : 5) * s;
    return {9 * s, vertical, 9 * s, vertical};
}

void HeroField::applyMetrics() {
    const QMarginsF in = insets();
    const int innerH = lineEdit_ != nullptr ? lineEditInnerHorizontal : 0;
    const int innerV = lineEdit_ != nullptr ? lineEditInnerVertical : 0;
    layout_->setContentsMargins(px(in.left()) - innerH, px(in.top()) - innerV, px(in.right()) - innerH,
                                px(in.bottom()) - innerV);
    editor()->setFont(scaledFont(ScaledTextStyle::body, QFont::Normal, TextScale::of(this), this));
    updateGeometry();
}

QSize HeroField::sizeHint() const {
    QSize hint = QWidget::sizeHint();
    if (textEdit_ != nullptr) {
        constexpr int lines = 3;
        const QMarginsF in = insets();
        hint.setHeight(static_cast<int>(
            std::ceil(in.top() + in.bottom() + lines * textEdit_->fontMetrics().lineSpacing())));
    }
    return hint;
}

void HeroField::applyColors() {
    applyEditorColors(editor());
    if (textEdit_ != nullptr) applyEditorColors(textEdit_->viewport());
}

void HeroField::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (!isEnabled()) painter.setOpacity(Painting::disabledOpacity);
    const QRectF face = QRectF(rect());
    Painting::fillRounded(painter, face, cornerRadius, Theme::color(Theme::Token::field));
    if (isFocused()) {
        Painting::strokeRoundedInside(painter, face, cornerRadius, 2, Theme::focus());
    } else {
        Painting::strokeRoundedInside(painter, face, cornerRadius, 1, Theme::color(Theme::Token::border));
    }
}

bool HeroField::event(QEvent* event) {
    if (event->type() == TextScale::changeEventType()) applyMetrics();
    return QWidget::event(event);
}

bool HeroField::eventFilter(QObject* watched, QEvent* event) {
    if (watched == editor() && (event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut))
        update();
    return QWidget::eventFilter(watched, event);
}

}  // namespace kivo
