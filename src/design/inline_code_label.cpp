#include "design/inline_code_label.hpp"

#include <QAbstractTextDocumentLayout>
#include <QFontDatabase>
#include <QPainter>
#include <QTextCursor>

#include "design/appearance.hpp"
#include "design/text_scale.hpp"
#include "design/theme.hpp"

namespace kivo {

InlineCodeLabel::InlineCodeLabel(QWidget* parent) : QWidget(parent) {
    QSizePolicy policy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
    document_.setDocumentMargin(0);
    connect(&Appearance::instance(), &Appearance::schemeChanged, this, &InlineCodeLabel::rebuild);
}

void InlineCodeLabel::setText(const QString& text) {
    if (text == text_) return;
    text_ = text;
    rebuild();
}

void InlineCodeLabel::rebuild() {
    const QFont font = scaledFont(ScaledTextStyle::caption, QFont::Normal, TextScale::of(this), this);
    QFont code = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    code.setPointSizeF(font.pointSizeF());
    QTextCharFormat plain;
    plain.setFont(font);
    plain.setForeground(Theme::color(Theme::Token::muted));
    QTextCharFormat coded = plain;
    coded.setFont(code);
    document_.clear();
    document_.setDefaultFont(font);
    QTextCursor cursor(&document_);
    // Every other part between backticks is code; inserted as text, so nothing in it is markup.
    const QStringList parts = text_.split(QLatin1Char('`'));
    for (qsizetype i = 0; i < parts.size(); ++i) cursor.insertText(parts[i], i % 2 == 1 ? coded : plain);
    setAccessibleName(document_.toPlainText());
    updateGeometry();
    update();
}

int InlineCodeLabel::heightForWidth(int width) const {
    document_.setTextWidth(std::max(1, width));
    return static_cast<int>(std::ceil(document_.size().height()));
}

QSize InlineCodeLabel::sizeHint() const {
    const int width = std::max(1, this->width() > 1 ? this->width() : 280);
    return {width, heightForWidth(width)};
}

QSize InlineCodeLabel::minimumSizeHint() const { return {0, QFontMetrics(document_.defaultFont()).height()}; }

void InlineCodeLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    document_.setTextWidth(width());
    document_.drawContents(&painter, QRectF(rect()));
}

bool InlineCodeLabel::event(QEvent* event) {
    if (event->type() == TextScale::changeEventType() || event->type() == QEvent::ParentChange) rebuild();
    return QWidget::event(event);
}

}  // namespace kivo
