// The page canvas on its own, with no workspace and no worker: what it is given (a page image at a zoom and
// pixel ratio, the page's turn, the document's annotations) decides its size, the marks it paints and the
// user-space point a click on it reports.

#include <QSignalSpy>

#include <functional>

#include "app/canvas/page_canvas.hpp"
#include "app_test_support.hpp"
#include "workspace/canvas_mapping.hpp"

using namespace kivo;

namespace {

struct Case {
    const char* name;
    PageInfo page;
    double zoom;
    double pixelRatio;
    // Where the click lands, as a fraction of the page as shown; none for a click in the margin.
    std::optional<QPointF> click;
    // The user-space point the click reports; none when the canvas takes no click.
    std::optional<PDFPoint> reported;
};

// A white page image of `page`'s shown size at `zoom`, with `pixelRatio` pixels to a point.
QImage pageImage(const PageInfo& page, double zoom, double pixelRatio) {
    QImage image(static_cast<int>(page.width * zoom * pixelRatio),
                 static_cast<int>(page.height * zoom * pixelRatio), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::white);
    image.setDevicePixelRatio(pixelRatio);
    return image;
}

// Counts the events of one type its watched objects get.
class EventCounter : public QObject {
public:
    EventCounter(QEvent::Type type, int& count) : type_(type), count_(count) {}
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == type_) ++count_;
        return false;
    }

private:
    QEvent::Type type_;
    int& count_;
};

}  // namespace

class PageCanvasTest : public QObject {
    Q_OBJECT

private slots:
    void inputsDecideSizeMarksAndTheClickedPoint() {
        const PageInfo letter{"p1", 0, 612, 792, 0};
        // Turned a quarter clockwise: the box's bottom edge is shown on the left, its left edge on top.
        const PageInfo turned{"p1", 0, 792, 612, 1};
        // Shown at a size, but its crop box has no height: nothing on it can be pointed at.
        const PageInfo flat{"p1", 0, 612, 792, 0, PDFRect{0, 0, 612, 0}};
        const Case cases[] = {
            {"letter at 100%", letter, 1.0, 1.0, QPointF(0.5, 0.25), PDFPoint{306, 594}},
            {"letter at 200%", letter, 2.0, 1.0, QPointF(0.5, 0.25), PDFPoint{306, 594}},
            {"letter at 50% on a screen of two pixels a point", letter, 0.5, 2.0, QPointF(0.25, 0.5),
             PDFPoint{153, 396}},
            {"a page turned a quarter", turned, 1.0, 1.0, QPointF(0.25, 0.5), PDFPoint{306, 198}},
            {"a click in the margin", letter, 1.0, 1.0, std::nullopt, std::nullopt},
            {"a page without area", flat, 1.0, 1.0, QPointF(0.5, 0.5), std::nullopt},
        };
        // One annotation on the page and one on another page, at places of their own.
        const AnnotationInfo onPage{"a1", "highlight", "p1", PDFRect{100, 100, 200, 200}, ""};
        const AnnotationInfo elsewhere{"a2", "highlight", "p2", PDFRect{400, 400, 500, 500}, ""};

        for (const Case& c : cases) {
            PageCanvas canvas;
            PageCanvas::Inputs inputs;
            inputs.image = pageImage(c.page, c.zoom, c.pixelRatio);
            inputs.page = c.page;
            inputs.annotations = {onPage, elsewhere};
            canvas.setInputs(inputs);
            canvas.show();
            QVERIFY2(QTest::qWaitForWindowExposed(&canvas), c.name);

            // The page at its display size, whatever the pixel ratio, inside the padding on every side.
            const QSizeF shown(c.page.width * c.zoom, c.page.height * c.zoom);
            QCOMPARE(canvas.pageRect(), QRectF(QPointF(PageCanvas::padding, PageCanvas::padding), shown));
            QCOMPARE(canvas.size(), shown.toSize() + QSize(2, 2) * PageCanvas::padding);

            // Only the page's own annotation is marked: tinted inside, while the other page's place stays
            // white.
            QCOMPARE(canvas.pageAnnotations().size(), 1u);
            QCOMPARE(canvas.pageAnnotations().front().id, onPage.id);
            if (CanvasMapping::hasArea(c.page)) {
                const QImage painted = canvas.grab().toImage();
                const auto pixel = [&](const PDFRect& rect) {
                    const QPointF at = canvas.frameOf(rect).center() * painted.devicePixelRatio();
                    return painted.pixelColor(at.toPoint());
                };
                QVERIFY2(pixel(onPage.rect) != QColor(Qt::white), c.name);
                QCOMPARE(pixel(elsewhere.rect), QColor(Qt::white));
            }

            QSignalSpy committed(&canvas, &PageCanvas::committed);
            QSignalSpy dragged(&canvas, &PageCanvas::selectionDragged);
            const QRectF page = canvas.pageRect();
            const QPoint at =
                c.click
                    ? (page.topLeft() + QPointF(c.click->x() * page.width(), c.click->y() * page.height()))
                          .toPoint()
                    : QPoint(PageCanvas::padding / 2, PageCanvas::padding / 2);
            QTest::mouseClick(&canvas, Qt::LeftButton, Qt::NoModifier, at);
            QCOMPARE(dragged.size(), 0);
            if (!c.reported) {
                QVERIFY2(committed.isEmpty(), c.name);
                continue;
            }
            QVERIFY2(committed.size() == 1, c.name);
            // A click reports the zero-size rectangle at its point (to the pixel the click landed on).
            const auto rect = committed.first().at(0).value<PDFRect>();
            const double pixel = 1 / c.zoom;
            QVERIFY2(
                std::abs(rect.left - c.reported->x) <= pixel && std::abs(rect.top - c.reported->y) <= pixel,
                qPrintable(QStringLiteral("%1: %2, %3").arg(c.name).arg(rect.left).arg(rect.top)));
            QCOMPARE(rect.right, rect.left);
            QCOMPARE(rect.bottom, rect.top);
        }
    }

    // A turn gives the canvas its inputs several times over; only a change to what it draws repaints it, and
    // every such change does, or the screen would keep showing the page as it was.
    void repaintsForWhatItDrawsOnly() {
        const PageInfo letter{"p1", 0, 612, 792, 0};
        const AnnotationInfo mark{"a1", "highlight", "p1", PDFRect{100, 100, 200, 200}, ""};
        const AnnotationInfo elsewhere{"a2", "highlight", "p2", PDFRect{400, 400, 500, 500}, ""};
        PageCanvas::Inputs shown;
        shown.image = pageImage(letter, 1.0, 1.0);
        shown.page = letter;
        shown.annotations = {mark};
        const struct {
            const char* name;
            std::function<void(PageCanvas::Inputs&)> change;
            bool repaints;
        } cases[] = {
            {"the same inputs again", [](PageCanvas::Inputs&) {}, false},
            {"the page's text lines", [](PageCanvas::Inputs& in) { in.lines = {TextLine{}}; }, false},
            {"the selected text", [](PageCanvas::Inputs& in) { in.selectedText = "word"; }, false},
            {"another page's annotation",
             [&](PageCanvas::Inputs& in) { in.annotations.push_back(elsewhere); }, false},
            {"another image of the same size",
             [&](PageCanvas::Inputs& in) { in.image = pageImage(letter, 1.0, 1.0); }, true},
            {"the size the image is shown at",
             [](PageCanvas::Inputs& in) { in.imageSize = QSizeF(306, 396); }, true},
            {"another page", [](PageCanvas::Inputs& in) { in.page.id = "p2"; }, true},
            {"a tile",
             [&](PageCanvas::Inputs& in) {
                 in.tiles = {PageTile{"t", in.image, QRectF(0, 0, 8, 8)}};
             },
             true},
            {"the selection",
             [](PageCanvas::Inputs& in) {
                 in.selection = PDFRect{10, 10, 50, 50};
             },
             true},
            {"a search hit",
             [](PageCanvas::Inputs& in) {
                 in.searchRects = {PDFRect{10, 10, 50, 50}};
             },
             true},
            {"the selected annotation", [&](PageCanvas::Inputs& in) { in.selectedAnnotationId = mark.id; },
             true},
            {"an annotation moved",
             [](PageCanvas::Inputs& in) {
                 in.annotations.front().rect = PDFRect{300, 300, 400, 400};
             },
             true},
        };
        for (const auto& c : cases) {
            PageCanvas canvas;
            canvas.setInputs(shown);
            canvas.show();
            QVERIFY2(QTest::qWaitForWindowExposed(&canvas), c.name);
            int paints = 0;
            EventCounter counter(QEvent::Paint, paints);
            canvas.installEventFilter(&counter);
            QCoreApplication::sendPostedEvents();
            QCoreApplication::processEvents();
            paints = 0;

            PageCanvas::Inputs changed = shown;
            c.change(changed);
            canvas.setInputs(changed);
            QCoreApplication::sendPostedEvents();
            QCoreApplication::processEvents();
            QVERIFY2((paints > 0) == c.repaints, c.name);
        }
    }
};

KIVO_APP_TEST_MAIN(PageCanvasTest)
#include "page_canvas_test.moc"
