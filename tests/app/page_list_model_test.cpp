// The page list's rows from a document record set by hand on a workspace with no worker: what each row
// says in every role, and how a later record reaches the view (new marks redraw only their row, a new
// order or document starts the rows afresh, the same record says nothing), and the title a row draws.

#include <QAbstractItemModelTester>
#include <QSignalSpy>

#include "app/pages/page_list_model.hpp"
#include "app/pages/page_row_delegate.hpp"
#include "app_test_support.hpp"

using namespace kivo;
using namespace kivo::testing;

namespace {

AnnotationInfo mark(const std::string& id, const std::string& pageId) {
    return AnnotationInfo{id, "note", pageId, PDFRect{10, 10, 30, 30}, ""};
}

CommandResult documentOf(std::vector<PageInfo> pages, std::vector<AnnotationInfo> annotations) {
    CommandResult document;
    document.sessionId = "s1";
    document.revision = 1;
    document.pages = std::move(pages);
    document.annotations = std::move(annotations);
    return document;
}

// What a row shows in each role the view and assistive technologies read.
struct Shown {
    QString display;
    QString description;
    QString id;
    // What the accessible text role says; the display text is checked against it.
    QString spoken;
    bool operator==(const Shown& other) const {
        return display == other.display && description == other.description && id == other.id &&
               spoken == other.display;
    }
};

Shown shownAt(const PageListModel& model, int row) {
    const QModelIndex index = model.index(row);
    return {model.data(index, Qt::DisplayRole).toString(),
            model.data(index, Qt::AccessibleDescriptionRole).toString(),
            model.data(index, PageListModel::PageIdRole).toString(),
            model.data(index, Qt::AccessibleTextRole).toString()};
}

}  // namespace

class PageListModelTest : public QObject {
    Q_OBJECT

private slots:
    void rowsFollowTheRecordAndSayOnlyWhatChanged() {
        const PageInfo a{"pa", 0, 612.9, 792, 0};
        const PageInfo b{"pb", 1, 595.3, 841.9, 0};
        const PageInfo c{"pc", 2, 792, 612, 1};
        const auto at = [](PageInfo page, std::int64_t index) {
            page.index = index;
            return page;
        };

        const CommandResult opened = documentOf(
            {a, b, c},
            {mark("m1", "pb"), mark("m2", "pb"), mark("m3", "pc"), mark("m4", "pc"), mark("m5", "pc")});
        const std::vector<Shown> openedRows = {{"Page 1", "612 by 792 points", "pa"},
                                               {"Page 2", "595 by 841 points, 2 annotations", "pb"},
                                               {"Page 3", "792 by 612 points, 3 annotations", "pc"}};

        struct Step {
            const char* name;
            std::optional<CommandResult> record;
            std::vector<Shown> rows;
            bool reset;
            // The rows a dataChanged names, each alone; none without one.
            std::vector<int> changed;
        };
        const std::vector<Step> steps = {
            {"a document", opened, openedRows, true, {}},
            {"the same record again", opened, openedRows, false, {}},
            {"marks added on the first page and taken from the third",
             documentOf({a, b, c}, {mark("m1", "pb"), mark("m2", "pb"), mark("m6", "pa"), mark("m7", "pa")}),
             {{"Page 1", "612 by 792 points, 2 annotations", "pa"},
              {"Page 2", "595 by 841 points, 2 annotations", "pb"},
              {"Page 3", "792 by 612 points", "pc"}},
             false,
             {0, 2}},
            {"the last page moved to the front",
             documentOf({at(c, 0), at(a, 1), at(b, 2)}, {}),
             {{"Page 1", "792 by 612 points", "pc"},
              {"Page 2", "612 by 792 points", "pa"},
              {"Page 3", "595 by 841 points", "pb"}},
             true,
             {}},
            {"a page deleted",
             documentOf({at(c, 0), at(b, 1)}, {}),
             {{"Page 1", "792 by 612 points", "pc"}, {"Page 2", "595 by 841 points", "pb"}},
             true,
             {}},
            {"the document closed", std::nullopt, {}, true, {}},
        };

        TestWorkspace test(std::nullopt);
        Workspace& workspace = *test;
        PageListModel model(workspace);
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QCOMPARE(model.rowCount(), 0);

        for (const Step& step : steps) {
            QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
            QSignalSpy changes(&model, &QAbstractItemModel::dataChanged);
            kivo::testing::arrange(workspace, "inspect", std::optional<CommandResult>(step.record));

            QVERIFY2(model.rowCount() == static_cast<int>(step.rows.size()), step.name);
            for (std::size_t row = 0; row < step.rows.size(); ++row) {
                QVERIFY2(shownAt(model, static_cast<int>(row)) == step.rows[row],
                         qPrintable(QStringLiteral("%1, row %2: %3")
                                        .arg(step.name)
                                        .arg(row)
                                        .arg(shownAt(model, static_cast<int>(row)).description)));
                QCOMPARE(model.rowOf(step.rows[row].id.toStdString()), static_cast<int>(row));
            }
            QVERIFY2(resets.size() == (step.reset ? 1 : 0), step.name);
            std::vector<int> changed;
            for (const QList<QVariant>& signal : changes) {
                const auto from = signal.at(0).value<QModelIndex>();
                QCOMPARE(signal.at(1).value<QModelIndex>(), from);
                changed.push_back(from.row());
            }
            QVERIFY2(changed == step.changed, step.name);
        }
        // Past the rows, and for a page it never had, the model answers nothing.
        QVERIFY(!model.data(model.index(5), Qt::DisplayRole).isValid());
        QCOMPARE(model.rowOf("pa"), -1);
    }

    // A long document's row at a large text size keeps its whole number, the part that tells the rows apart,
    // and drops the word first; only where not even the number fits is it cut.
    void aRowTitleKeepsItsNumberWhenTheWordDoesNotFit() {
        QFont font;
        font.setPixelSize(30);
        const QFontMetricsF metrics(font);
        const double word = metrics.horizontalAdvance(QStringLiteral("Page 1053"));
        const double number = metrics.horizontalAdvance(QStringLiteral("1053"));
        const struct {
            double width;
            QString shown;
        } cases[] = {
            {word + 1, QStringLiteral("Page 1053")},
            {word - 1, QStringLiteral("1053")},
            {number, QStringLiteral("1053")},
        };
        for (const auto& c : cases) QCOMPARE(PageRowDelegate::title(1053, metrics, c.width), c.shown);
        const QString cut = PageRowDelegate::title(1053, metrics, number - 1);
        QVERIFY2(cut.endsWith(QChar(0x2026)) && cut.size() < 5, qPrintable(cut));
    }
};

KIVO_APP_TEST_MAIN(PageListModelTest)
#include "page_list_model_test.moc"
