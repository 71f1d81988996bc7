// The canvas bar on a workspace with no worker: its layout as the bar narrows at two text scales (one row
// while it fits, then two; every control whole inside the bar, none over another, the page group at the
// trailing edge and the bar as high as its rows), and what the page field does with what is typed.

#include <QLineEdit>

#include <algorithm>
#include <cmath>
#include <string_view>

#include "app/shell/canvas_bar.hpp"
#include "app/shell/interface_text_scale.hpp"
#include "app/shell/main_window.hpp"
#include "app/shell/updates.hpp"
#include "app_test_support.hpp"
#include "design/hero_button.hpp"
#include "design/hero_field.hpp"
#include "design/pill_segment.hpp"

using namespace kivo;
using namespace kivo::testing;

namespace {

CommandResult documentOfPages(int count) {
    CommandResult document;
    document.sessionId = "s1";
    document.revision = 1;
    document.pages = std::vector<PageInfo>{};
    for (int i = 0; i < count; ++i)
        document.pages->push_back(PageInfo{"p" + std::to_string(i), i, 612, 792, 0});
    return document;
}

// A workspace showing a document of `pages` pages, and the window (never shown) whose actions the bar's
// buttons are.
struct BarOwner {
    explicit BarOwner(int pages) {
        kivo::testing::arrange(*test, "inspect", std::optional<CommandResult>(documentOfPages(pages)));
    }

    TestWorkspace test{std::nullopt};
    Workspace& workspace = *test;
    EditorSettings settings;
    Updates updates{std::nullopt};
    MainWindow window{workspace, settings, updates};
};

}  // namespace

class CanvasBarTest : public QObject {
    Q_OBJECT

private slots:
    void everyControlStaysWholeAsTheBarNarrows() {
        enum class Width { roomy, oneRow, onePixelShort, narrowest };
        struct Case {
            const char* name;
            double scale;
            Width width;
            bool twoRows;
        };
        const Case cases[] = {
            {"roomy", 1.0, Width::roomy, false},
            {"just one row", 1.0, Width::oneRow, false},
            {"a pixel short of one row", 1.0, Width::onePixelShort, true},
            {"narrowest", 1.0, Width::narrowest, true},
            {"just one row, large text", 1.5, Width::oneRow, false},
            {"a pixel short of one row, large text", 1.5, Width::onePixelShort, true},
            {"narrowest, large text", 1.5, Width::narrowest, true},
        };

        // Four digits of pages make the widest count the bar shows beside the field.
        BarOwner owner(1200);

        for (const Case& c : cases) {
            QWidget window;
            auto* bar = new CanvasBar(owner.workspace, *owner.window.commands(), &window);
            InterfaceTextScale::apply(&window, c.scale);
            QCoreApplication::sendPostedEvents();
            const int oneRow = bar->sizeHint().width();
            const int widths[] = {oneRow + 200, oneRow, oneRow - 1, bar->minimumSizeHint().width()};
            const int width = widths[static_cast<int>(c.width)];
            bar->resize(width, bar->heightForWidth(width));
            window.show();
            QVERIFY2(QTest::qWaitForWindowExposed(&window), c.name);
            QCoreApplication::sendPostedEvents();

            QVERIFY2(bar->twoRows() == c.twoRows, c.name);
            QCOMPARE(bar->height(), bar->heightForWidth(width));
            QCOMPARE(bar->sizeHint().height(), bar->height());

            const std::vector<QWidget*> controls = {
                named<PillSegment>(*bar, "toolPicker"),  named<HeroButton>(*bar, "undoButton"),
                named<HeroButton>(*bar, "redoButton"),   named<HeroButton>(*bar, "zoomOut"),
                named<ZoomMenuButton>(*bar, "zoomMenu"), named<HeroButton>(*bar, "zoomIn"),
                named<HeroField>(*bar, "pageField")};
            for (std::size_t i = 0; i < controls.size(); ++i) {
                const QString where = QStringLiteral("%1: %2").arg(c.name, controls[i]->objectName());
                QVERIFY2(controls[i]->isVisible(), qPrintable(where));
                QVERIFY2(bar->rect().contains(controls[i]->geometry()), qPrintable(where));
                // Each control at least as large as it asks to be, so none is cut.
                QVERIFY2(controls[i]->width() >= controls[i]->sizeHint().width() ||
                             controls[i] == named<HeroField>(*bar, "pageField"),
                         qPrintable(where));
                for (std::size_t j = i + 1; j < controls.size(); ++j)
                    QVERIFY2(!controls[i]->geometry().intersects(controls[j]->geometry()),
                             qPrintable(where + QStringLiteral(" and ") + controls[j]->objectName()));
            }
            // Inset 8 (times the text scale) from the top and the bottom, whichever row is lowest.
            int top = bar->height();
            int bottom = 0;
            for (QWidget* control : controls) {
                top = std::min(top, control->y());
                bottom = std::max(bottom, control->y() + control->height());
            }
            const int inset = static_cast<int>(std::floor(8 * c.scale));
            QVERIFY2(top >= inset && bar->height() - bottom >= inset,
                     qPrintable(QStringLiteral("%1: %2 above, %3 below")
                                    .arg(c.name)
                                    .arg(top)
                                    .arg(bar->height() - bottom)));
            // The page field and its count keep to the trailing edge; "of 1,200" fits after the field.
            const QRect field = named<HeroField>(*bar, "pageField")->geometry();
            const int count = QFontMetrics(bar->font()).horizontalAdvance(bar->pageCountText());
            QVERIFY2(field.right() + count < width, c.name);
            // On two rows the zoom group leads the second row, under the tool picker.
            const QRect tools = named<PillSegment>(*bar, "toolPicker")->geometry();
            const QRect zoomOut = named<HeroButton>(*bar, "zoomOut")->geometry();
            if (c.twoRows) {
                QVERIFY2(zoomOut.top() > tools.bottom() && zoomOut.left() == tools.left(), c.name);
                QVERIFY2(field.top() > tools.bottom(), c.name);
            } else {
                QVERIFY2(zoomOut.top() < tools.bottom() && zoomOut.left() > tools.right(), c.name);
            }
        }
    }

    // The page field reads what is typed: on Return, a position of the document ("+3" and "03" as well
    // as "3") shows that page and is written back as its plain number; anything else stays as typed.
    void thePageFieldShowsThePageWhosePositionIsTyped() {
        const struct {
            const char* typed;
            const char* shown;
        } cases[] = {
            {"3", "p2"},  {"+3", "p2"}, {"03", "p2"},  {"1", "p0"},
            {"0", "p1"},  {"4", "p1"},  {"-3", "p1"},  {"3a", "p1"},
            {" 3", "p1"}, {"", "p1"},   {"+-3", "p1"}, {"99999999999999999999", "p1"},
        };
        BarOwner owner(3);
        Workspace& workspace = owner.workspace;
        QWidget window;
        auto* bar = new CanvasBar(workspace, *owner.window.commands(), &window);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QLineEdit* field = named<HeroField>(*bar, "pageField")->lineEdit();

        for (const auto& c : cases) {
            workspace.select("p1");
            QCOMPARE(field->text(), QStringLiteral("2"));
            field->clear();
            QTest::keyClicks(field, QString::fromLatin1(c.typed));
            QTest::keyClick(field, Qt::Key_Return);
            QVERIFY2(workspace.selectedPageId() == c.shown, c.typed);
            const QString number = QString::number(std::string_view(c.shown).back() - '0' + 1);
            QCOMPARE(field->text(),
                     std::string_view(c.shown) == "p1" ? QString::fromLatin1(c.typed) : number);
            // What stays typed goes once the page on show changes.
            workspace.select("p0");
            workspace.select("p1");
        }
    }
};

KIVO_APP_TEST_MAIN(CanvasBarTest)
#include "canvas_bar_test.moc"
