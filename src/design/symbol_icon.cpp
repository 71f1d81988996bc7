#include "design/symbol_icon.hpp"

#include <QIconEngine>
#include <QPainter>

#include "design/painting.hpp"
#include "design/symbols.hpp"
#include "design/theme.hpp"

namespace kivo {
namespace {

class SymbolIconEngine : public QIconEngine {
public:
    explicit SymbolIconEngine(QString name) : name_(std::move(name)) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override {
        QColor colour = Theme::color(Theme::Token::foreground);
        if (mode == QIcon::Disabled) colour = Theme::withOpacity(colour, Painting::disabledOpacity);
        Symbols::paint(*painter, QRectF(rect), name_, colour);
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        QPixmap pixmap(size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        paint(&painter, QRect(QPoint(), size), mode, state);
        return pixmap;
    }

    QIconEngine* clone() const override { return new SymbolIconEngine(name_); }
    QString key() const override { return QStringLiteral("kivo-symbol"); }
    bool isNull() override { return !Symbols::exists(name_); }

private:
    QString name_;
};

}  // namespace

QIcon symbolIcon(const QString& name) { return QIcon(new SymbolIconEngine(name)); }

}  // namespace kivo
