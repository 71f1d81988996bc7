#include "gallery/gallery_page.hpp"

#include <QHBoxLayout>
#include <QPainter>
#include <QVBoxLayout>

#include "design/appearance.hpp"
#include "design/hero_switch.hpp"
#include "design/pill_segment.hpp"
#include "design/section_card.hpp"
#include "design/text_scale.hpp"
#include "design/themed_label.hpp"
#include "gallery/gallery_samples.hpp"

namespace kivo {
namespace {

QVBoxLayout* column(QHBoxLayout* columns) {
    auto* layout = new QVBoxLayout();
    layout->setSpacing(8);
    columns->addLayout(layout, 1);
    return layout;
}

QVariant schemeValue(ColorScheme scheme) {
    return scheme == ColorScheme::dark ? QStringLiteral("dark") : QStringLiteral("light");
}

}  // namespace

GalleryPage::GalleryPage(QWidget* parent) : QWidget(parent) {
    auto* page = new QVBoxLayout(this);
    page->setContentsMargins(20, 16, 20, 20);
    page->setSpacing(8);
    page->addWidget(makeBar());
    page->addWidget(Gallery::buttons());

    auto* columns = new QHBoxLayout();
    columns->setSpacing(8);
    QVBoxLayout* first = column(columns);
    first->addWidget(Gallery::chips());
    first->addWidget(Gallery::segments());
    first->addWidget(Gallery::toggles());
    first->addWidget(Gallery::fields(&focusField_));
    first->addWidget(Gallery::labels());
    first->addStretch(1);
    QVBoxLayout* second = column(columns);
    for (QWidget* card : Gallery::cards()) second->addWidget(card);
    auto* empty =
        new SectionCard(QStringLiteral("Empty states"), QStringLiteral("With and without an action"));
    empty->contentLayout()->addWidget(Gallery::emptyStates());
    second->addWidget(empty);
    second->addWidget(Gallery::shadows());
    second->addStretch(1);
    QVBoxLayout* third = column(columns);
    third->addWidget(Gallery::symbols());
    third->addWidget(Gallery::tokens());
    third->addWidget(Gallery::standardButtons());
    third->addWidget(Gallery::rowsAndPanels());
    third->addStretch(1);
    page->addLayout(columns);
}

QWidget* GalleryPage::makeBar() {
    auto* bar = new QWidget(this);
    auto* line = new QHBoxLayout(bar);
    line->setContentsMargins(8, 0, 8, 0);
    line->setSpacing(12);
    line->addWidget(new ThemedLabel(QStringLiteral("Design gallery"), ScaledTextStyle::title2,
                                    QFont::DemiBold, Theme::Token::foreground));
    line->addStretch(1);

    appearancePicker_ = new PillSegment(QStringLiteral("Appearance"), HeroButtonSize::sm);
    appearancePicker_->setItems({{QStringLiteral("light"), QStringLiteral("Light"), {}, false},
                                 {QStringLiteral("dark"), QStringLiteral("Dark"), {}, false}});
    appearancePicker_->setSelection(schemeValue(Appearance::instance().scheme()));
    connect(appearancePicker_, &PillSegment::activated, this, [](const QVariant& value) {
        Appearance::instance().overrideScheme(value.toString() == QLatin1String("dark") ? ColorScheme::dark
                                                                                        : ColorScheme::light);
    });
    connect(&Appearance::instance(), &Appearance::schemeChanged, this,
            [this](ColorScheme scheme) { appearancePicker_->setSelection(schemeValue(scheme), true); });
    line->addWidget(appearancePicker_);

    scalePicker_ = new PillSegment(QStringLiteral("Text size"), HeroButtonSize::sm);
    scalePicker_->setItems({{1.0, QStringLiteral("1\u00d7"), {}, false},
                            {1.5, QStringLiteral("1.5\u00d7"), {}, false},
                            {2.0, QStringLiteral("2\u00d7"), {}, false}});
    scalePicker_->setSelection(1.0);
    connect(scalePicker_, &PillSegment::activated, this,
            [this](const QVariant& value) { applyScale(value.toDouble()); });
    line->addWidget(scalePicker_);

    motionSwitch_ = new HeroSwitch(QStringLiteral("Reduce motion"));
    motionSwitch_->setChecked(Appearance::instance().reduceMotion());
    connect(motionSwitch_, &QAbstractButton::clicked, this,
            [](bool reduced) { Appearance::instance().overrideReduceMotion(reduced); });
    line->addWidget(motionSwitch_);
    return bar;
}

void GalleryPage::showCase(ColorScheme scheme, double scale) {
    Appearance::instance().overrideScheme(scheme);
    appearancePicker_->setSelection(schemeValue(scheme));
    scalePicker_->setSelection(scale);
    applyScale(scale);
}

void GalleryPage::applyScale(double scale) {
    // As the window does: standard widgets take the body size times the scale as their default font.
    setFont(scaledFont(ScaledTextStyle::body, QFont::Normal, scale, this));
    TextScale::apply(this, scale);
}

void GalleryPage::fitToContents() {
    // adjustSize() would measure wrapped labels at a width the layout does not give them.
    const int width = sizeHint().width();
    const int height = heightForWidth(width);
    resize(width, height > 0 ? height : sizeHint().height());
}

void GalleryPage::focusSampleField() {
    if (focusField_ != nullptr) focusField_->setFocus(Qt::OtherFocusReason);
}

void GalleryPage::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Theme::color(Theme::Token::background));
}

}  // namespace kivo
