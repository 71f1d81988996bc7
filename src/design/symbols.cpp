#include "design/symbols.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>

#include <QCache>
#include <QDir>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

namespace kivo::Symbols {
namespace {

const QString folder = QStringLiteral(":/kivo/symbols/");

// Tinted renders of the symbols on screen: a few dozen small images.
constexpr int tintedCacheBytes = 4 * 1024 * 1024;

// Symbol names are lower-case words joined by dots; anything else would name some other resource.
bool wellFormed(const QString& name) {
    if (name.isEmpty() || name.startsWith(QLatin1Char('.'))) return false;
    return std::all_of(name.cbegin(), name.cend(), [](QChar c) {
        return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
               (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('.');
    });
}

QSvgRenderer* renderer(const QString& name) {
    if (!wellFormed(name)) return nullptr;
    // A name that does not load is kept as null, so it is looked up only once.
    static std::map<QString, std::unique_ptr<QSvgRenderer>> renderers;
    if (const auto found = renderers.find(name); found != renderers.end()) return found->second.get();
    auto loaded = std::make_unique<QSvgRenderer>(folder + name + QStringLiteral(".svg"));
    if (!loaded->isValid()) loaded.reset();
    return renderers.emplace(name, std::move(loaded)).first->second.get();
}

QImage tinted(QSvgRenderer& svg, int side, const QColor& color, double ratio) {
    QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    svg.render(&painter, QRectF(0, 0, side, side));
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(image.rect(), color);
    painter.end();
    image.setDevicePixelRatio(ratio);
    return image;
}

}  // namespace

QStringList names() {
    QStringList result;
    for (const QString& file : QDir(folder).entryList({QStringLiteral("*.svg")}, QDir::Files, QDir::Name))
        result << file.chopped(4);
    return result;
}

bool exists(const QString& name) { return !name.isEmpty() && renderer(name) != nullptr; }

void paint(QPainter& painter, const QRectF& box, const QString& name, const QColor& color) {
    if (name.isEmpty() || box.isEmpty()) return;
    QSvgRenderer* svg = renderer(name);
    if (svg == nullptr) return;
    const double side = std::min(box.width(), box.height());
    const double ratio = painter.device() != nullptr ? painter.device()->devicePixelRatio() : 1.0;
    const int pixels = std::max(1, static_cast<int>(std::lround(side * ratio)));
    static QCache<QString, QImage> cache(tintedCacheBytes);
    const QString key =
        QStringLiteral("%1 %2 %3 %4").arg(name).arg(pixels).arg(ratio).arg(color.rgba(), 8, 16);
    const QImage* image = cache.object(key);
    if (image == nullptr) {
        auto* made = new QImage(tinted(*svg, pixels, color, ratio));
        cache.insert(key, made, made->sizeInBytes());
        image = cache.object(key);
        if (image == nullptr) return;
    }
    const QPointF origin(box.center().x() - pixels / ratio / 2, box.center().y() - pixels / ratio / 2);
    painter.drawImage(origin, *image);
}

double sideForFont(double fontPixels) noexcept { return std::round(fontPixels * 1.15 * 4) / 4; }

}  // namespace kivo::Symbols
