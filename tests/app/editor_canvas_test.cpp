// The canvas column, the page list and the canvas's accessible elements, in the editor against the real
// worker: every tool's drag lands under the pointer on plain, turned and cropped pages (checked against
// the pixels the worker renders), clicks, ink strokes, zoom and the page field, a held next-page key,
// tiles, thumbnails, row drags, the row menu and the elements assistive technologies read. Screenshots of
// each.

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QContextMenuEvent>
#include <QFileDialog>
#include <QGuiApplication>
#include <QScreen>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QScrollArea>
#include <QScrollBar>
#include <QSplitter>
#include <QTimer>
#include <QApplication>
#include <QWheelEvent>
#include <QWindow>

#include <algorithm>
#include <cmath>
#include <set>

#include "workspace/shown_page.hpp"
#include "workspace/worker_link.hpp"
#include "app/canvas/canvas_area.hpp"
#include "app/canvas/page_canvas.hpp"
#include "app/inspector/inspector_panel.hpp"
#include "app/pages/page_list.hpp"
#include "app/pages/page_list_model.hpp"
#include "app/pages/page_list_view.hpp"
#include "app/pages/page_row_delegate.hpp"
#include "app/shell/canvas_bar.hpp"
#include "app/shell/find_field.hpp"
#include "app/shell/main_window.hpp"
#include "app_test_support.hpp"
#include "design/hero_button.hpp"
#include "design/hero_field.hpp"
#include "design/pill_segment.hpp"
#include "design/prompt_dialog.hpp"
#include "design/row_button.hpp"
#include "design/theme.hpp"
#include "design/themed_label.hpp"
#include "test_pdfs.hpp"
#include "workspace/canvas_mapping.hpp"

using namespace kivo;
using namespace kivo::testing;

Q_DECLARE_METATYPE(kivo::testing::TestPage)

namespace {

// Some rows are on screen, and each has its thumbnail.
bool rowsOnScreenHaveThumbnails(const PageListView& list, const Workspace& workspace) {
    return !list.rowsOnScreen().empty() &&
           std::all_of(list.rowsOnScreen().begin(), list.rowsOnScreen().end(),
                       [&](const std::string& id) { return !workspace.thumbnails().thumbnail(id).isNull(); });
}

TestPage blankPage(int rotation = 0, std::vector<double> crop = {}) {
    TestPage page;
    page.blackBox = false;
    page.rotation = rotation;
    page.cropBox = std::move(crop);
    return page;
}

// The editor on one document, its page shown on the canvas at zoom 1.
struct CanvasFixture {
    Scratch scratch;
    std::unique_ptr<RunningEditor> editor;

    bool start(const std::vector<TestPage>& pages, double zoom = 1.0) {
        const auto pdf = scratch.docs() / "pages.pdf";
        writeFile(pdf, makePdf(pages));
        editor = startEditor(scratch, {pdf.string()});
        if (!editor || !waitUntil([&] { return area().shown() == CanvasArea::Shown::page; })) return false;
        if (std::abs(workspace().shownPage().zoom() - zoom) > 1e-9) workspace().shownPage().stepZoom(zoom);
        return settled();
    }

    Workspace& workspace() { return editor->workspace(); }
    MainWindow& window() { return editor->window(); }
    CanvasArea& area() { return *named<CanvasArea>(window(), "canvasArea"); }
    PageCanvas& canvas() { return *named<PageCanvas>(area(), "pageCanvas"); }

    // The shown page is rendered at the zoom (not a stretched preview) and on the canvas.
    bool settled() {
        return waitUntil([&] {
            const auto page = workspace().currentPage();
            const QImage& image = workspace().shownPage().pageImage();
            const double backing = QGuiApplication::primaryScreen()->devicePixelRatio();
            return page &&
                   std::abs(image.deviceIndependentSize().width() -
                            page->width * workspace().shownPage().zoom()) < 1 &&
                   image.devicePixelRatio() == backing && canvas().image().cacheKey() == image.cacheKey() &&
                   !workspace().link().activity();
        });
    }

    // A point of the shown page, as fractions of its width and height, in the canvas widget.
    QPoint at(double x, double y) {
        const QRectF page = canvas().pageRect();
        return QPointF(page.left() + x * page.width(), page.top() + y * page.height()).toPoint();
    }

    // The page's rectangle between two such points, in the page's own points from its top left corner.
    QRectF onPage(QPoint from, QPoint to) {
        return QRectF(QPointF(from), QPointF(to)).normalized().translated(-canvas().pageRect().topLeft());
    }

    void drag(const QVector<QPoint>& path) {
        QTest::mousePress(&canvas(), Qt::LeftButton, Qt::NoModifier, path.front());
        for (qsizetype i = 1; i < path.size(); ++i) QTest::mouseMove(&canvas(), path[i]);
        QTest::mouseRelease(&canvas(), Qt::LeftButton, Qt::NoModifier, path.back());
    }

    // Waits for the edit's status and the page rendered after it; answers the new page image.
    std::optional<QImage> renderedAfter(const std::string& status, qint64 before) {
        const bool done = waitUntil([&] {
            return workspace().status() == status &&
                   workspace().shownPage().pageImage().cacheKey() != before && settled();
        });
        if (!done) return std::nullopt;
        return workspace().shownPage().pageImage();
    }
};

// Where two renders of the same size differ, in points from the page's top left corner.
QRectF changedPart(const QImage& before, const QImage& after) {
    const QImage a = before.convertToFormat(QImage::Format_ARGB32);
    const QImage b = after.convertToFormat(QImage::Format_ARGB32);
    if (a.size() != b.size()) return {};
    int left = a.width(), top = a.height(), right = -1, bottom = -1;
    for (int y = 0; y < a.height(); ++y) {
        const auto* p = reinterpret_cast<const QRgb*>(a.constScanLine(y));
        const auto* q = reinterpret_cast<const QRgb*>(b.constScanLine(y));
        for (int x = 0; x < a.width(); ++x) {
            const int difference = std::abs(qRed(p[x]) - qRed(q[x])) + std::abs(qGreen(p[x]) - qGreen(q[x])) +
                                   std::abs(qBlue(p[x]) - qBlue(q[x]));
            if (difference < 48) continue;
            left = std::min(left, x), right = std::max(right, x), top = std::min(top, y),
            bottom = std::max(bottom, y);
        }
    }
    if (right < 0) return {};
    const double ratio = after.devicePixelRatio();
    return QRectF(left / ratio, top / ratio, (right - left + 1) / ratio, (bottom - top + 1) / ratio);
}

double overlap(const QRectF& a, const QRectF& b) {
    const QRectF both = a.intersected(b);
    const double joined = a.width() * a.height() + b.width() * b.height() - both.width() * both.height();
    return joined > 0 ? both.width() * both.height() / joined : 0;
}

// Counts the frames the canvas paints, and those of them that `wrong` finds wrong.
class FramesBeforeTheirPage : public QObject {
public:
    FramesBeforeTheirPage(PageCanvas& canvas, std::function<bool()> wrongNow)
        : canvas_(canvas), wrongNow_(std::move(wrongNow)) {
        canvas.installEventFilter(this);
    }
    int painted = 0;
    int wrong = 0;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == &canvas_ && event->type() == QEvent::Paint) {
            ++painted;
            if (wrongNow_()) ++wrong;
        }
        return false;
    }

private:
    PageCanvas& canvas_;
    std::function<bool()> wrongNow_;
};

// Answers the text prompt and the image panel whenever one is open, as a person would.
class Answers : public QObject {
public:
    Answers(MainWindow& window, QString text, QString image) : window_(window), text_(text), image_(image) {
        connect(&timer_, &QTimer::timeout, this, &Answers::answer);
        timer_.start(50);
    }

private:
    void answer() {
        if (auto* files = window_.findChild<QFileDialog*>(); files != nullptr && files->isVisible()) {
            // Typed into the name field, as a person would: selectFile() leaves a focused field alone.
            files->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(image_);
            QMetaObject::invokeMethod(files, "accept");
            return;
        }
        auto* prompt = window_.findChild<PromptDialog*>();
        if (prompt == nullptr || !prompt->isVisible()) return;
        prompt->field()->setText(text_);
        QTest::keyClick(prompt->field(), Qt::Key_Return);
    }

    MainWindow& window_;
    QString text_;
    QString image_;
    QTimer timer_;
};

const AnnotationInfo* newest(Workspace& workspace) {
    const auto& all = workspace.inspect()->annotations;
    return all && !all->empty() ? &all->back() : nullptr;
}

QAccessibleInterface* element(QWidget* widget, int index) {
    return QAccessible::queryAccessibleInterface(widget)->child(index);
}

QStringList actionsOf(QAccessibleInterface* element) { return element->actionInterface()->actionNames(); }

}  // namespace

class EditorCanvasTest : public QObject {
    Q_OBJECT

private slots:
    void everyToolsDragLandsUnderThePointer_data() {
        QTest::addColumn<TestPage>("page");
        QTest::addColumn<QString>("shot");
        QTest::newRow("upright") << blankPage() << "editor-canvas-highlight";
        QTest::newRow("turned 90") << blankPage(90) << "editor-canvas-rotated-highlight";
        QTest::newRow("turned 180") << blankPage(180) << "";
        QTest::newRow("turned 270") << blankPage(270) << "";
        QTest::newRow("cropped away from the origin")
            << blankPage(0, {90, 120, 520, 700}) << "editor-canvas-cropped";
    }
    void everyToolsDragLandsUnderThePointer() {
        QFETCH(TestPage, page);
        QFETCH(QString, shot);
        CanvasFixture f;
        QVERIFY(f.start({page}));
        const QString stamp = QString::fromStdString((f.scratch.docs() / "stamp.png").string());
        QImage red(40, 30, QImage::Format_RGB32);
        red.fill(Qt::red);
        QVERIFY(red.save(stamp));
        Answers answers(f.window(), QStringLiteral("Overlay words"), stamp);

        struct Stroke {
            EditorTool tool;
            std::string status;
            QVector<QPoint> path;
        };
        const std::vector<Stroke> strokes = {
            {EditorTool::highlight,
             "Highlight added",
             {f.at(0.10, 0.08), f.at(0.30, 0.11), f.at(0.45, 0.14)}},
            {EditorTool::note, "Note added", {f.at(0.62, 0.08), f.at(0.75, 0.16)}},
            {EditorTool::text, "Text overlay added", {f.at(0.10, 0.30), f.at(0.50, 0.36)}},
            {EditorTool::ink,
             "Ink added",
             {f.at(0.10, 0.50), f.at(0.15, 0.56), f.at(0.22, 0.50), f.at(0.30, 0.56), f.at(0.38, 0.52)}},
            {EditorTool::image, "Image overlay added", {f.at(0.60, 0.30), f.at(0.80, 0.42)}},
            {EditorTool::signature, "Visual signature added", {f.at(0.55, 0.60), f.at(0.85, 0.70)}},
        };
        for (const Stroke& stroke : strokes) {
            SCOPED_TRACE(rawValue(stroke.tool).data());
            f.workspace().chooseTool(stroke.tool);
            const QImage before = f.workspace().shownPage().pageImage();
            const std::size_t count = f.workspace().inspect()->annotations->size();
            f.drag(stroke.path);
            const auto after = f.renderedAfter(stroke.status, before.cacheKey());
            QVERIFY2(after, qPrintable(QString::fromStdString(f.workspace().status() + " " +
                                                              f.workspace().errorMessage().value_or(""))));
            QCOMPARE(f.workspace().inspect()->annotations->size(), count + 1);

            // What the worker drew lies under the pointer's path.
            QRectF swept = f.onPage(stroke.path.front(), stroke.path.back());
            for (const QPoint& point : stroke.path) {
                const QPointF on = f.onPage(point, point).topLeft();
                swept.setCoords(std::min(swept.left(), on.x()), std::min(swept.top(), on.y()),
                                std::max(swept.right(), on.x()), std::max(swept.bottom(), on.y()));
            }
            const QRectF drawn = changedPart(before, *after);
            QVERIFY2(!drawn.isEmpty(), "the worker drew the annotation");
            QVERIFY2(swept.adjusted(-4, -4, 4, 4).contains(drawn),
                     qPrintable(QStringLiteral("drawn %1,%2 %3x%4 outside the drag %5,%6 %7x%8")
                                    .arg(drawn.x())
                                    .arg(drawn.y())
                                    .arg(drawn.width())
                                    .arg(drawn.height())
                                    .arg(swept.x())
                                    .arg(swept.y())
                                    .arg(swept.width())
                                    .arg(swept.height())));
            // The canvas's own mark sits on it.
            const QRectF mark = f.canvas()
                                    .frameOf(newest(f.workspace())->rect)
                                    .normalized()
                                    .translated(-f.canvas().pageRect().topLeft());
            QVERIFY2(mark.intersects(drawn), "the mark covers what the worker drew");
            if (stroke.tool == EditorTool::highlight) {
                QVERIFY2(overlap(drawn, swept) > 0.8, qPrintable(QString::number(overlap(drawn, swept))));
                QVERIFY2(overlap(mark, drawn) > 0.8, qPrintable(QString::number(overlap(mark, drawn))));
            }
        }
        // The highlight was the last selection made; it shows as the dashed rectangle over the page.
        f.workspace().selectAnnotation(f.workspace().inspect()->annotations->front().id);
        if (!shot.isEmpty()) screenshot(f.window(), shot);
    }

    void aNewlyShownPageStartsAtItsTop() {
        CanvasFixture f;
        QVERIFY(f.start({blankPage(), blankPage(), blankPage()}, 2.0));
        auto* scroll = f.area().findChild<QScrollArea*>("pageScroll");
        QScrollBar* bar = scroll->verticalScrollBar();
        QVERIFY(bar->maximum() > 0);
        QVERIFY(QTest::qWaitForWindowActive(&f.window()));
        const auto rows = named<PageListView>(f.window(), "pageList")->pageModel()->rows();
        // Down to the foot of the first page with the wheel, then the next page by its key, and back.
        for (const auto& [key, shown] : {std::pair{Qt::Key_Down, 1}, std::pair{Qt::Key_Up, 0}}) {
            const QPoint middle = scroll->viewport()->rect().center();
            for (int i = 0; i < 100 && bar->value() < bar->maximum(); ++i) {
                QWheelEvent wheel(middle, scroll->viewport()->mapToGlobal(middle), QPoint(), QPoint(0, -120),
                                  Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
                QApplication::sendEvent(scroll->viewport(), &wheel);
            }
            QCOMPARE(bar->value(), bar->maximum());
            QTest::keyClick(&f.window(), key, Qt::ControlModifier);
            QVERIFY(waitUntil([&] { return f.workspace().selectedPageId() == rows[std::size_t(shown)].id; }));
            QVERIFY(f.settled());
            QCOMPARE(bar->value(), bar->minimum());
        }
    }

    // A held next-page key: every press shows its page on the canvas at once from the image at hand (the page
    // rendered ahead, or its row's thumbnail stretched to the page's size), before any render is back; the
    // last page ends sharp.
    void aHeldNextPageKeyShowsEveryPageAtOnceAndEndsSharp() {
        CanvasFixture f;
        QVERIFY(f.start(std::vector<TestPage>(5, blankPage())));
        ShownPage& renderer = f.workspace().shownPage();
        const auto rows = named<PageListView>(f.window(), "pageList")->pageModel()->rows();
        QVERIFY(waitUntil([&] {
            return std::all_of(rows.begin(), rows.end(), [&](const auto& row) {
                return !f.workspace().thumbnails().thumbnail(row.id).isNull();
            });
        }));
        const QRectF page = f.canvas().pageRect();
        for (std::size_t i = 1; i < rows.size(); ++i) {
            QTest::keyClick(&f.window(), Qt::Key_Down, Qt::ControlModifier);
            QCOMPARE(f.workspace().selectedPageId(), std::optional(rows[i].id));
            // The page rendered ahead when it is in, else the row's thumbnail: never the page left behind.
            const uchar* shown = f.canvas().image().constBits();
            QVERIFY(shown == f.workspace().thumbnails().thumbnail(rows[i].id).constBits() ||
                    (shown == renderer.pageImage().constBits() && !renderer.pageImage().isNull()));
            // At the page's own size, which the thumbnail's rounded pixels miss: nothing is laid out again.
            QCOMPARE(f.canvas().pageRect(), page);
        }
        QVERIFY(f.settled());
        QCOMPARE(f.workspace().selectedPageId(), std::optional(rows.back().id));
        QCOMPARE(f.canvas().pageRect(), page);
    }

    void clicksPlaceNotesAndChooseAnnotations() {
        CanvasFixture f;
        QVERIFY(f.start({blankPage(90)}));
        Workspace& workspace = f.workspace();
        workspace.chooseTool(EditorTool::note);
        const QPoint spot = f.at(0.5, 0.5);
        QTest::mouseClick(&f.canvas(), Qt::LeftButton, Qt::NoModifier, spot);
        QVERIFY(waitUntil([&] { return workspace.status() == "Note added"; }));
        const AnnotationInfo note = *newest(workspace);
        // The note lies where the click was.
        const PDFPoint clicked = f.canvas().pdfPoint(QPointF(spot));
        QVERIFY(note.rect.left - 1 <= clicked.x && clicked.x <= note.rect.right + 1);
        QVERIFY(note.rect.bottom - 1 <= clicked.y && clicked.y <= note.rect.top + 1);

        workspace.chooseTool(EditorTool::select);
        const QRectF mark = f.canvas().frameOf(note.rect).normalized();
        QTest::mouseClick(&f.canvas(), Qt::LeftButton, Qt::NoModifier, mark.center().toPoint());
        QCOMPARE(workspace.selectedAnnotationId(), std::optional(note.id));
        QTest::mouseClick(&f.canvas(), Qt::LeftButton, Qt::NoModifier, f.at(0.1, 0.9));
        QVERIFY(!workspace.selectedAnnotationId());
        QVERIFY(!workspace.selection());
        // A press outside the page is no gesture: the selection stays.
        QTest::mouseClick(&f.canvas(), Qt::LeftButton, Qt::NoModifier, mark.center().toPoint());
        QTest::mouseClick(&f.canvas(), Qt::LeftButton, Qt::NoModifier, QPoint(2, 2));
        QCOMPARE(workspace.selectedAnnotationId(), std::optional(note.id));
    }

    void aNewInkStrokeStartsEmpty() {
        CanvasFixture f;
        QVERIFY(f.start({blankPage()}));
        Workspace& workspace = f.workspace();
        workspace.chooseTool(EditorTool::ink);
        // A stroke of one point is not sent, and its point stays behind.
        f.drag({f.at(0.9, 0.9), f.at(0.91, 0.91)});
        QCOMPARE(workspace.inkPoints().size(), 1u);
        const QVector<QPoint> stroke = {f.at(0.1, 0.1), f.at(0.2, 0.15), f.at(0.3, 0.1)};
        f.drag(stroke);
        QVERIFY(waitUntil([&] { return workspace.status() == "Ink added"; }));
        QVERIFY(workspace.inkPoints().empty());
        const PDFRect sent = newest(workspace)->rect;
        const PDFRect wanted = CanvasMapping::normalized(f.canvas().pdfPoint(QPointF(stroke[1])),
                                                         f.canvas().pdfPoint(QPointF(stroke[2])));
        // The rectangle around the stroke (2 points of margin) holds only this stroke's points.
        QVERIFY(std::abs(sent.left - (wanted.left - 2)) < 1 && std::abs(sent.right - (wanted.right + 2)) < 1);
        QVERIFY(std::abs(sent.bottom - (wanted.bottom - 2)) < 1 && std::abs(sent.top - (wanted.top + 2)) < 1);
    }

    void aPageWithoutAreaShowsItsImageOnly() {
        PageCanvas canvas;
        QImage image(100, 100, QImage::Format_RGB32);
        image.fill(Qt::white);
        PageCanvas::Inputs inputs;
        inputs.image = image;
        inputs.page = PageInfo{"p", 0, 0, 792, 0};
        inputs.lines = {TextLine{"Words", {10, 10, 50, 20}}};
        inputs.annotations = {AnnotationInfo{"a", "note", "p", {1, 1, 5, 5}, ""}};
        inputs.selection = PDFRect{1, 1, 2, 2};
        inputs.pageLabel = QStringLiteral("Page 1 of 1");
        canvas.setInputs(inputs);
        canvas.show();
        int reported = 0;
        connect(&canvas, &PageCanvas::selectionDragged, [&] { ++reported; });
        connect(&canvas, &PageCanvas::committed, [&] { ++reported; });
        QTest::mousePress(&canvas, Qt::LeftButton, Qt::NoModifier, QPoint(50, 50));
        QTest::mouseMove(&canvas, QPoint(80, 80));
        QTest::mouseRelease(&canvas, Qt::LeftButton, Qt::NoModifier, QPoint(80, 80));
        QCOMPARE(reported, 0);
        QCOMPARE(QAccessible::queryAccessibleInterface(&canvas)->childCount(), 1);
        QCOMPARE(element(&canvas, 0)->text(QAccessible::Name), QStringLiteral("Page 1 of 1"));
        QCOMPARE(element(&canvas, 0)->role(), QAccessible::Heading);
    }

    void theCanvasBarZoomsAndJumps() {
        CanvasFixture f;
        QVERIFY(f.start({blankPage(), blankPage(), blankPage()}, 1.2));
        Workspace& workspace = f.workspace();
        CanvasBar& bar = *f.window().canvasBar();
        auto* zoomMenuButton = bar.findChild<ZoomMenuButton*>("zoomMenu");
        QMenu* zoomMenu = bar.findChild<QMenu*>("zoomPresets");
        QAbstractButton* undoButton = buttonOf(f.editor->command(EditorAction::undoDocument));
        QAbstractButton* redoButton = buttonOf(f.editor->command(EditorAction::redoDocument));
        QCOMPARE(zoomMenuButton->text(), QStringLiteral("120%"));
        QAccessibleInterface* zoom = QAccessible::queryAccessibleInterface(zoomMenuButton);
        QCOMPARE(zoom->text(QAccessible::Name), QStringLiteral("Zoom"));
        QCOMPARE(zoom->text(QAccessible::Value), QStringLiteral("120 percent"));
        QCOMPARE(bar.pageCountText(), QStringLiteral("of 3"));
        QVERIFY(!undoButton->isEnabled() && !redoButton->isEnabled());

        workspace.shownPage().stepZoom(0.3);
        QTest::mouseClick(buttonOf(f.editor->command(EditorAction::zoomOut)), Qt::LeftButton);
        QCOMPARE(workspace.shownPage().zoom(), 0.25);
        QCOMPARE(zoomMenuButton->text(), QStringLiteral("25%"));
        workspace.shownPage().stepZoom(3.9);
        QTest::mouseClick(buttonOf(f.editor->command(EditorAction::zoomIn)), Qt::LeftButton);
        QCOMPARE(workspace.shownPage().zoom(), 4.0);

        // A preset turns fitting off; a fit turns it on and fits at once.
        const auto choose = [&](const QString& title) {
            for (QAction* action : zoomMenu->actions()) {
                if (action->text() == title) action->trigger();
            }
        };
        QStringList titles;
        for (QAction* action : zoomMenu->actions()) titles.append(action->text());
        QCOMPARE(titles, (QStringList{"Fit Page", "Fit Width", "", "50%", "75%", "100%", "125%", "150%",
                                      "200%", "400%"}));
        // Fit Width, chosen from the menu as a person does, leaves room for the vertical bar: the page
        // fills the width and no horizontal bar appears.
        QTimer::singleShot(200, [&] {
            QMenu* menu = zoomMenu;
            for (QAction* action : menu->actions()) {
                if (action->text() == "Fit Width")
                    QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(action).center());
            }
        });
        QTest::mouseClick(zoomMenuButton, Qt::LeftButton);
        QCOMPARE(workspace.shownPage().fitMode(), FitMode::width);
        QScrollArea* scroll = named<QScrollArea>(f.window(), "pageScroll");
        QVERIFY(waitUntil([&] { return scroll->verticalScrollBar()->isVisible(); }));
        // The page settles at the fitted width once its render is in, however long a busy machine takes.
        QTRY_COMPARE_WITH_TIMEOUT(scroll->horizontalScrollBar()->maximum(), 0, 10000);
        QVERIFY(scroll->widget()->width() >= scroll->viewport()->width() - 1);
        choose(QStringLiteral("150%"));
        QCOMPARE(workspace.shownPage().fitMode(), FitMode::manual);
        QCOMPARE(workspace.shownPage().zoom(), 1.5);

        QLineEdit* field = bar.findChild<HeroField*>("pageField")->lineEdit();
        QCOMPARE(field->placeholderText(), QStringLiteral("Page"));
        QCOMPARE(field->accessibleName(), QStringLiteral("Page number"));
        const std::string first = workspace.inspect()->pages->at(0).id;
        for (const QString& typed : {QStringLiteral("3 "), QStringLiteral("three"), QStringLiteral("0"),
                                     QStringLiteral("-1"), QStringLiteral("4"), QString()}) {
            field->setFocus();
            field->selectAll();
            if (typed.isEmpty()) {
                QTest::keyClick(field, Qt::Key_Backspace);
            } else {
                QTest::keyClicks(field, typed);
            }
            QTest::keyClick(field, Qt::Key_Return);
            QCOMPARE(workspace.selectedPageId(), std::optional(first));
            QCOMPARE(field->text(), typed);
        }
        field->selectAll();
        QTest::keyClicks(field, "+3");
        QTest::keyClick(field, Qt::Key_Return);
        QCOMPARE(workspace.selectedPageId(), std::optional(workspace.inspect()->pages->at(2).id));
        QCOMPARE(field->text(), QStringLiteral("3"));

        // After an edit, undo can act.
        workspace.addNote(PDFRect{72, 600, 96, 624});
        QVERIFY(waitUntil([&] { return undoButton->isEnabled(); }));
        QTest::mouseClick(undoButton, Qt::LeftButton);
        QVERIFY(waitUntil([&] { return workspace.status() == "Undo"; }));
        QVERIFY(redoButton->isEnabled());
    }

    void theBarTakesTwoRowsWhenOneDoesNotFit() {
        CanvasFixture f;
        QVERIFY(f.start({blankPage()}));
        CanvasBar& bar = *f.window().canvasBar();
        QVERIFY(!bar.twoRows());
        const int oneRow = bar.height();
        f.editor->app->settings().setInterfaceTextScale(1.6);
        QVERIFY(
            waitUntil([&] { return bar.twoRows() && bar.height() == bar.heightForWidth(bar.width()); }, 5));
        QVERIFY(bar.height() > 2 * oneRow);
        // The page group keeps to the trailing edge of the second row, under the tools.
        const QRect pageGroup = bar.findChild<HeroField*>("pageField")->geometry();
        QVERIFY(pageGroup.top() > bar.findChild<PillSegment*>("toolPicker")->geometry().bottom());
        screenshot(f.window(), "editor-canvas-bar-two-rows");
        screenshot(bar, "editor-canvas-bar-two-rows-close");
        f.editor->app->settings().setInterfaceTextScale(1.0);
        QVERIFY(waitUntil([&] { return !bar.twoRows(); }, 5));
    }

    void tilesSharpenThePageAt400Percent() {
        CanvasFixture f;
        QVERIFY(f.start({TestPage{1200, 1200}}));
        // Chosen from the menu: the canvas takes a render at hand (the sharpest), stretched to the new
        // size, before any render is back, and grows to hold it.
        for (QAction* action : f.window().findChild<QMenu*>("zoomPresets")->actions()) {
            if (action->text() == "400%") action->trigger();
        }
        QCOMPARE(f.canvas().image().width(), 1440);
        QCOMPARE(f.canvas().image().deviceIndependentSize().width(), 4800.0);
        QVERIFY(f.canvas().width() > 4800);
        QVERIFY(waitUntil([&] { return !f.canvas().inputs().tiles.empty(); }, 60));
        const PageTile& tile = f.canvas().inputs().tiles.front();
        // A tile has more pixels a point than the stretched base image under it.
        QVERIFY(tile.image.width() / tile.frame.width() >
                f.canvas().image().width() / f.canvas().image().deviceIndependentSize().width());
    }

    void searchHitsAreMarkedAndRevealed() {
        CanvasFixture f;
        QVERIFY(f.start({blankPage(), blankPage(180)}, 2.0));
        Workspace& workspace = f.workspace();
        named<FindField>(f.window(), "findField")->lineEdit()->setText(QStringLiteral("Hello"));
        f.window().runSearch();
        QVERIFY(waitUntil([&] { return workspace.searchHits().size() == 2; }));
        // The first page's image stays up until the second page's arrives.
        const qint64 firstPage = workspace.shownPage().pageImage().cacheKey();
        workspace.findNext("Hello");
        // On the page turned upside down the words stand near the bottom of the view.
        QVERIFY(waitUntil([&] {
            return workspace.selectedPageId() == workspace.searchHits()[1].pageId &&
                   workspace.shownPage().pageImage().cacheKey() != firstPage && f.settled();
        }));
        QVERIFY(!f.canvas().inputs().searchRects.empty());
        QScrollArea& scroll = *named<QScrollArea>(f.area(), "pageScroll");
        const QRect selection = f.canvas()
                                    .frameOf(*workspace.selection())
                                    .normalized()
                                    .toAlignedRect()
                                    .translated(f.canvas().pos());
        QVERIFY2(QRect(QPoint(), scroll.viewport()->size()).contains(selection),
                 qPrintable(QString::number(scroll.verticalScrollBar()->value())));
        QVERIFY(scroll.verticalScrollBar()->value() > 0);
        screenshot(f.window(), "editor-canvas-search-hits");
    }

    // A hit on a page nothing of which is at hand yet: the page shown before stays up meanwhile, and
    // neither the hit's mark nor the scroll to it may land on that page's words in any frame painted.
    void aHitIsMarkedAndRevealedOnlyOnceItsOwnPageIsShown() {
        std::vector<TestPage> pages(30, blankPage());
        pages[24] = blankPage(180);  // turned, so that its words stand near the bottom of the view
        pages[24].text = "Binormal";
        CanvasFixture f;
        QVERIFY(f.start(pages, 2.0));
        Workspace& workspace = f.workspace();
        const std::string target = (*workspace.inspect()->pages)[24].id;
        QScrollBar& bar = *named<QScrollArea>(f.area(), "pageScroll")->verticalScrollBar();
        FramesBeforeTheirPage frames(f.canvas(), [&] {
            if (workspace.selectedPageId() != target || workspace.shownPage().imagePageId() == target)
                return false;
            return !f.canvas().inputs().searchRects.empty() || f.canvas().inputs().selection ||
                   bar.value() != bar.minimum();
        });
        named<FindField>(f.window(), "findField")->lineEdit()->setText(QStringLiteral("Binormal"));
        f.window().runSearch();
        QVERIFY(waitUntil([&] {
            return workspace.selectedPageId() == target && workspace.shownPage().imagePageId() == target &&
                   f.settled();
        }));
        QVERIFY(frames.painted > 0);
        QCOMPARE(frames.wrong, 0);
        QVERIFY(!f.canvas().inputs().searchRects.empty());
        QVERIFY(bar.value() > bar.minimum());
    }

    void onlyRowsOnScreenAskForThumbnails() {
        CanvasFixture f;
        QVERIFY(f.start(std::vector<TestPage>(40, blankPage())));
        PageListView& list = *named<PageListView>(f.window(), "pageList");
        Workspace& workspace = f.workspace();
        const auto& rows = list.pageModel()->rows();
        QVERIFY(waitUntil([&] { return rowsOnScreenHaveThumbnails(list, workspace); }));
        QVERIFY(list.rowsOnScreen().size() < 20);
        QTest::qWait(500);
        QVERIFY(workspace.thumbnails().thumbnail(rows.back().id).isNull());
        QVERIFY(!list.rowsOnScreen().contains(rows.back().id));
        list.scrollToBottom();
        QVERIFY(waitUntil([&] { return !workspace.thumbnails().thumbnail(rows.back().id).isNull(); }));
        QVERIFY(!list.rowsOnScreen().contains(rows.front().id));
    }

    // End in a long list lands on its last rows: only the rows on screen before and after the jump were
    // ever asked for, none of those passed over, and the last page shows.
    void endInTheListAsksOnlyForTheRowsItLandsOn() {
        CanvasFixture f;
        QVERIFY(f.start(std::vector<TestPage>(120, blankPage())));
        PageListView& list = *named<PageListView>(f.window(), "pageList");
        Workspace& workspace = f.workspace();
        const auto& rows = list.pageModel()->rows();
        const auto allShown = [&] { return rowsOnScreenHaveThumbnails(list, workspace); };
        QVERIFY(waitUntil(allShown));
        std::set<std::string> asked(list.rowsOnScreen().begin(), list.rowsOnScreen().end());
        list.setFocus();
        QTest::keyClick(&list, Qt::Key_End);
        QVERIFY(waitUntil([&] { return list.rowsOnScreen().contains(rows.back().id) && allShown(); }));
        asked.insert(list.rowsOnScreen().begin(), list.rowsOnScreen().end());
        QCOMPARE(workspace.selectedPageId(), std::optional(rows.back().id));
        QTest::qWait(300);
        std::vector<std::string> outside;
        for (const PageRow& row : rows) {
            if (!workspace.thumbnails().thumbnail(row.id).isNull() && !asked.contains(row.id))
                outside.push_back(row.id);
        }
        QVERIFY2(outside.empty(),
                 qPrintable(QString::number(outside.size()) + " rows passed over were rendered"));
        QCOMPARE(workspace.shownPage().renderCacheUse().thumbnails, static_cast<std::int64_t>(asked.size()));

        // Each row on screen shows its thumbnail as the list freshly drawn shows it: a row whose image
        // arrived was painted again, not left with the placeholder.
        QWidget& viewport = *list.viewport();
        const QPoint origin = viewport.mapToGlobal(QPoint(0, 0));
        const QImage onScreen =
            viewport.screen()
                ->grabWindow(0, origin.x(), origin.y(), viewport.width(), viewport.height())
                .toImage();
        const QImage fresh = viewport.grab().toImage();
        int compared = 0;
        for (const std::string& id : list.rowsOnScreen()) {
            const QRect row = list.visualRect(list.pageModel()->index(list.pageModel()->rowOf(id)));
            const QPoint thumbnail(row.left() + 8 + int(PageRowDelegate::thumbnailWidth) / 2,
                                   row.center().y());
            if (!viewport.rect().contains(thumbnail)) continue;
            QCOMPARE(onScreen.pixel(thumbnail), fresh.pixel(thumbnail));
            ++compared;
        }
        QVERIFY(compared >= 3);
    }

    void draggingARowReordersThePagesOnceTheWorkerAnswers() {
        CanvasFixture f;
        QVERIFY(f.start({blankPage(), blankPage(), blankPage()}));
        PageListView& list = *named<PageListView>(f.window(), "pageList");
        const std::vector<PageRow> before = list.pageModel()->rows();
        QMimeData data;
        data.setData(PageListView::mimeType, QByteArray::fromStdString(before[0].id));
        const QRect last = list.visualRect(list.pageModel()->index(2));
        const QPointF below(last.center().x(), last.center().y() + last.height() / 4.0);
        QDragEnterEvent enter(below.toPoint(), Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(list.viewport(), &enter);
        QDragMoveEvent move(below.toPoint(), Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(list.viewport(), &move);
        QVERIFY(move.isAccepted());
        QDropEvent dropped(below, Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(list.viewport(), &dropped);
        QCOMPARE(list.pageModel()->rows(), before);
        QVERIFY(waitUntil([&] { return f.workspace().status() == "Pages reordered"; }));
        const auto& after = list.pageModel()->rows();
        QCOMPARE(after.size(), 3u);
        QCOMPARE(after[0].id, before[1].id);
        QCOMPARE(after[1].id, before[2].id);
        QCOMPARE(after[2].id, before[0].id);
        QCOMPARE(after[2].number, 3);
    }

    void theRowMenuActsOnTheRowItWasOpenedOn() {
        CanvasFixture f;
        QVERIFY(f.start({blankPage(), blankPage(), TestPage{300, 400, "Third"}}));
        Workspace& workspace = f.workspace();
        PageListView& list = *named<PageListView>(f.window(), "pageList");
        const std::vector<PageRow> rows = list.pageModel()->rows();
        QCOMPARE(workspace.selectedPageId(), std::optional(rows[0].id));
        const QPoint third = list.visualRect(list.pageModel()->index(2)).center();
        QContextMenuEvent opened(QContextMenuEvent::Mouse, third, list.viewport()->mapToGlobal(third));
        QApplication::sendEvent(list.viewport(), &opened);
        QVERIFY(named<QMenu>(list, "pageMenu")->isVisible());
        QCOMPARE(workspace.selectedPageId(), std::optional(rows[2].id));
        QStringList titles;
        for (QAction* action : named<QMenu>(list, "pageMenu")->actions()) titles.append(action->text());
        QCOMPARE(titles,
                 (QStringList{"Rotate Right", "Rotate Left", "Delete Page", "Extract Page…", "Merge PDF…"}));
        // Even when another page is shown meanwhile, the item acts on the row the menu belongs to.
        workspace.select(rows[0].id);
        named<QMenu>(list, "pageMenu")->actions().at(2)->trigger();
        named<QMenu>(list, "pageMenu")->hide();
        QVERIFY(waitUntil([&] { return workspace.status() == "Page deleted"; }));
        QCOMPARE(list.pageModel()->rows().size(), 2u);
        QCOMPARE(list.pageModel()->rows()[0].id, rows[0].id);
        QCOMPARE(list.pageModel()->rows()[1].id, rows[1].id);
    }

    void theCanvasAndTheListSpeakTheirElements() {
        CanvasFixture f;
        QVERIFY(f.start({blankPage(90), blankPage()}));
        Workspace& workspace = f.workspace();
        QVERIFY(waitUntil([&] { return !workspace.shownPage().pageLines().empty(); }));
        CommandParams params;
        params.sessionId = workspace.sessionId();
        params.pageId = workspace.selectedPageId();
        params.rect = PDFRect{300, 300, 340, 330};
        params.contents = "  Check the totals \n";
        workspace.mutate(CommandMethod::addNote, params, "Note added");
        QVERIFY(waitUntil([&] { return workspace.status() == "Note added" && f.settled(); }));
        const AnnotationInfo note = *newest(workspace);
        workspace.selectAnnotation(note.id);

        PageCanvas& canvas = f.canvas();
        QAccessibleInterface* layer = QAccessible::queryAccessibleInterface(&canvas);
        // The header, one line, the note and the selection.
        QCOMPARE(layer->childCount(), 4);
        QCOMPARE(element(&canvas, 0)->text(QAccessible::Name), QStringLiteral("Page 1 of 2"));
        QCOMPARE(element(&canvas, 0)->role(), QAccessible::Heading);
        QAccessibleInterface* line = element(&canvas, 1);
        QCOMPARE(line->text(QAccessible::Name), QStringLiteral("Hello PDF"));
        QCOMPARE(actionsOf(line),
                 (QStringList{"Select line", "Highlight line", "Add note to line", "Copy line"}));
        // On a page turned a quarter the line runs down the screen.
        QVERIFY(line->rect().height() > line->rect().width());
        QAccessibleInterface* mark = element(&canvas, 2);
        QCOMPARE(mark->text(QAccessible::Name), QStringLiteral("Note annotation: Check the totals"));
        QCOMPARE(mark->role(), QAccessible::Button);
        QVERIFY(mark->state().selected);
        QCOMPARE(actionsOf(mark),
                 (QStringList{QAccessibleActionInterface::pressAction(), "Edit contents", "Delete"}));
        const QRect markFrame = canvas.frameOf(note.rect).toAlignedRect();
        QCOMPARE(mark->rect(), QRect(canvas.mapToGlobal(markFrame.topLeft()), markFrame.size()));
        QAccessibleInterface* selection = element(&canvas, 3);
        QCOMPARE(selection->text(QAccessible::Name), QStringLiteral("Selected area"));
        QCOMPARE(actionsOf(selection), (QStringList{"Highlight", "Add note", "Copy"}));

        line->actionInterface()->doAction(QStringLiteral("Select line"));
        QCOMPARE(workspace.selectedText(), std::string("Hello PDF"));
        QCOMPARE(element(&canvas, 3)->text(QAccessible::Name), QStringLiteral("Selection: Hello PDF"));
        element(&canvas, 2)->actionInterface()->doAction(QStringLiteral("Delete"));
        QVERIFY(waitUntil([&] { return workspace.status() == "Annotation removed"; }));
        // The answer leaves the header and the line.
        QCOMPARE(layer->childCount(), 2);

        // The page list: each row with its size and marks, and moves.
        PageListView& list = *named<PageListView>(f.window(), "pageList");
        QAccessibleInterface* rows = QAccessible::queryAccessibleInterface(&list);
        QCOMPARE(rows->role(), QAccessible::List);
        QCOMPARE(rows->childCount(), 2);
        QCOMPARE(rows->child(0)->text(QAccessible::Name), QStringLiteral("Page 1"));
        QCOMPARE(rows->child(0)->text(QAccessible::Value), QStringLiteral("792 by 612 points"));
        QVERIFY(rows->child(0)->state().selected);
        QCOMPARE(actionsOf(rows->child(1)),
                 (QStringList{QAccessibleActionInterface::pressAction(), "Move page up", "Move page down"}));
        const std::string second = list.pageModel()->rows()[1].id;
        rows->child(1)->actionInterface()->doAction(QStringLiteral("Move page up"));
        QVERIFY(waitUntil([&] { return workspace.status() == "Page moved to position 1"; }));
        QCOMPARE(list.pageModel()->rows()[0].id, second);
        QCOMPARE(named<PageList>(f.window(), "pageListPanel")->headerText(), QStringLiteral("Pages, 2"));
    }

    void tabWalksTheBarInTheOrderItIsDrawn() {
        CanvasFixture f;
        QVERIFY(f.start({blankPage(), blankPage()}));
        CanvasBar& bar = *f.window().canvasBar();
        QWindow* handle = f.window().windowHandle();
        QVERIFY(QTest::qWaitForWindowActive(handle));
        // What Tab reaches in the bar, pressed through the window from wherever the keyboard is.
        QList<QWidget*> reached;
        for (int press = 0; press < 60; ++press) {
            QTest::keyClick(handle, Qt::Key_Tab);
            QWidget* focused = QApplication::focusWidget();
            if (bar.isAncestorOf(focused) && !reached.contains(focused)) reached.append(focused);
        }
        QList<QWidget*> drawn = reached;
        // Reading order: rows from the top, then from the leading edge.
        std::sort(drawn.begin(), drawn.end(), [&](QWidget* a, QWidget* b) {
            const QPoint pa = a->mapTo(&bar, QPoint(0, 0));
            const QPoint pb = b->mapTo(&bar, QPoint(0, 0));
            const bool sameRow = std::abs(pa.y() - pb.y()) < a->height();
            return sameRow ? pa.x() < pb.x() : pa.y() < pb.y();
        });
        QCOMPARE(reached.size(), 11);  // seven tools, three zoom controls and the page field
        QCOMPARE(reached, drawn);
        auto* tools = bar.findChild<PillSegment*>("toolPicker");
        QCOMPARE(reached.first(), static_cast<QWidget*>(tools->segments().first()));
    }

    void aNarrowPageSitsOnOneCanvasColour() {
        CanvasFixture f;
        QVERIFY(f.start({blankPage()}, 0.5));
        CanvasArea& area = f.area();
        QVERIFY(f.canvas().width() < area.width() / 2);
        const QImage shot = area.grab().toImage();
        const double ratio = shot.devicePixelRatio();
        const auto colourAt = [&](QPoint point) {
            return shot.pixelColor((QPointF(point) * ratio).toPoint());
        };
        const QColor canvas = Theme::color(Theme::Token::canvas);
        // Beside the page widget, and inside it around the page, where only the page's faint shadow falls.
        const auto nearCanvas = [&](const QColor& colour) {
            return std::abs(colour.red() - canvas.red()) <= 4 &&
                   std::abs(colour.green() - canvas.green()) <= 4 &&
                   std::abs(colour.blue() - canvas.blue()) <= 4;
        };
        QCOMPARE(colourAt(QPoint(4, area.height() / 2)), canvas);
        QVERIFY(nearCanvas(colourAt(f.canvas().mapTo(&area, QPoint(2, 2)))));
        QVERIFY(nearCanvas(colourAt(f.canvas().mapTo(&area, QPoint(f.canvas().width() - 2, 2)))));
    }

    void aCitationBelowTheViewIsScrolledIntoIt() {
        CanvasFixture f;
        QVERIFY(f.start({blankPage(), blankPage()}, 2.0));
        Workspace& workspace = f.workspace();
        f.editor->app->settings().setInspectorTab("assistant");
        const PageInfo first = workspace.inspect()->pages->front();
        Citation citation;
        citation.pageId = first.id;
        citation.pageIndex = 0;
        citation.revision = workspace.inspect()->revision.value_or(0);
        citation.preview = "near the foot of the page";
        citation.rects = {PDFRect{72, 60, 300, 74}};
        AssistantAnswer answer;
        answer.text = "The foot of the page says so.";
        answer.citations = {citation};
        workspace.assistant().showAnswer(answer, workspace.sessionId());
        RowButton* row = nullptr;
        QVERIFY(waitUntil(
            [&] { return (row = f.window().inspector()->findChild<RowButton*>("citation")) != nullptr; }));
        QScrollArea& scroll = *named<QScrollArea>(f.area(), "pageScroll");
        const auto shown = [&] {
            const QRect frame = f.canvas().frameOf(citation.rects.front()).toAlignedRect();
            const QRect inView(f.canvas().mapTo(scroll.viewport(), frame.topLeft()), frame.size());
            return scroll.viewport()->rect().contains(inView);
        };
        QVERIFY(!shown());
        QWindow* handle = f.window().windowHandle();
        QVERIFY(waitUntil(
            [&] { return row->isVisible() && row->visibleRegion().boundingRect() == row->rect(); }));
        QTest::mouseClick(handle, Qt::LeftButton, {}, row->mapTo(&f.window(), row->rect().center()));
        QCOMPARE(workspace.selection(), std::optional(citation.rects.front()));
        QVERIFY(waitUntil([&] { return shown(); }));
    }

    void withNoDocumentTheCanvasOffersNoHeading() {
        Scratch scratch;
        auto editor = startEditor(scratch);
        QVERIFY(editor);
        PageCanvas& canvas = *named<PageCanvas>(editor->window(), "pageCanvas");
        QCOMPARE(QAccessible::queryAccessibleInterface(&canvas)->childCount(), 0);
    }

    void theSelectedRowKeepsItsMarksCapsule() {
        CanvasFixture f;
        QVERIFY(f.start({blankPage(), blankPage()}));
        Workspace& workspace = f.workspace();
        workspace.addNote(PDFRect{72, 600, 96, 624});
        QVERIFY(waitUntil([&] { return workspace.status() == "Note added"; }));
        PageListView& list = *named<PageListView>(f.window(), "pageList");
        QVERIFY(waitUntil([&] { return list.pageModel()->rows()[0].marksText() == "1 mark"; }));
        list.viewport()->update();
        QTest::qWait(50);
        const QImage shot = list.viewport()->grab().toImage();
        const QRect row = list.visualRect(list.pageModel()->index(0));
        // The text column of the selected row: the chip's capsule is the only surface there.
        const QColor surface = Theme::color(Theme::Token::surface);
        int capsule = 0;
        const double ratio = shot.devicePixelRatio();
        for (int y = row.top(); y < row.bottom(); ++y) {
            for (int x = row.left() + row.width() / 3; x < row.right() - 8; ++x) {
                if (shot.pixelColor((QPointF(x, y) * ratio).toPoint()) == surface) ++capsule;
            }
        }
        QVERIFY2(capsule > 100, qPrintable(QString::number(capsule)));
    }

    void thePageListShowsSizesMarksAndThumbnails() {
        CanvasFixture f;
        QVERIFY(f.start({blankPage(), TestPage{595.3, 841.9, "A4"}, blankPage(90)}));
        Workspace& workspace = f.workspace();
        for (const PDFRect& rect :
             {PDFRect{72, 600, 96, 624}, PDFRect{72, 500, 96, 524}, PDFRect{72, 400, 96, 424}}) {
            CommandParams params;
            params.sessionId = workspace.sessionId();
            params.pageId = workspace.inspect()->pages->at(rect.bottom == 600 ? 0 : 1).id;
            params.rect = rect;
            params.contents = "Mark";
            workspace.mutate(CommandMethod::addNote, params, "Note added");
            QVERIFY(waitUntil([&] { return workspace.status() == "Note added"; }));
            workspace.setStatus("");
        }
        PageListView& list = *named<PageListView>(f.window(), "pageList");
        const auto& rows = list.pageModel()->rows();
        QCOMPARE(rows[0].marksText(), QStringLiteral("1 mark"));
        QCOMPARE(rows[1].marksText(), QStringLiteral("2 marks"));
        QCOMPARE(rows[1].sizeText(), QStringLiteral("595 × 841"));
        QCOMPARE(rows[2].marksText(), QString());
        QCOMPARE(rows[0].spokenValue(), QStringLiteral("612 by 792 points, 1 annotation"));
        QVERIFY(waitUntil([&] {
            return std::all_of(rows.begin(), rows.end(), [&](const PageRow& row) {
                return !workspace.thumbnails().thumbnail(row.id).isNull();
            });
        }));
        QVERIFY(!named<ThemedLabel>(f.window(), "pageListEmpty")->isVisible());
        screenshot(*named<PageList>(f.window(), "pageListPanel"), "editor-page-list");
    }
};

KIVO_APP_TEST_MAIN(EditorCanvasTest)
#include "editor_canvas_test.moc"
