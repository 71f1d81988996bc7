// The texts and decisions of the window that are plain rules: chip texts, save chip looks, checkpoint rows,
// inspector tabs, control sizes, launch paths and the hand-off's requests.

#include <QApplication>

#include <ctime>

#include "app/inspector/inspector_tab.hpp"
#include "app/inspector/save_chip.hpp"
#include "app/shell/editor_app.hpp"
#include "app/shell/instance_channel.hpp"
#include "app/shell/interface_text_scale.hpp"
#include "app/shell/main_window.hpp"
#include "app/shell/recovery_sheet.hpp"
#include "app/shell/status_bar.hpp"
#include "app_test_support.hpp"

using namespace kivo;

Q_DECLARE_METATYPE(std::optional<QString>)
Q_DECLARE_METATYPE(std::vector<std::string>)
Q_DECLARE_METATYPE(SaveChipLook)
Q_DECLARE_METATYPE(ControlSize)
Q_DECLARE_METATYPE(InspectorTab)
Q_DECLARE_METATYPE(std::optional<PageInfo>)
Q_DECLARE_METATYPE(std::optional<CommandResult>)
Q_DECLARE_METATYPE(RecoveryInfo)

namespace {

CommandResult pages(int count) {
    CommandResult result;
    result.pages = std::vector<PageInfo>();
    for (int i = 0; i < count; ++i)
        result.pages->push_back(PageInfo{"p" + std::to_string(i), i, 612, 792, 0});
    return result;
}

RecoveryInfo checkpoint(std::optional<std::string> source, std::int64_t revision, std::int64_t pageCount) {
    RecoveryInfo info;
    info.recoveryId = "r1";
    info.sourcePath = std::move(source);
    info.revision = revision;
    info.pageCount = pageCount;
    info.updatedAt = "2025-03-04T10:20:30Z";
    return info;
}

}  // namespace

class EditorTextsTest : public QObject {
    Q_OBJECT

private slots:
    void pageChip_data() {
        QTest::addColumn<std::optional<PageInfo>>("current");
        QTest::addColumn<std::optional<CommandResult>>("inspect");
        QTest::addColumn<std::optional<QString>>("expected");
        QTest::newRow("grouped in English")
            << std::optional(PageInfo{"p1233", 1233, 1, 1, 0}) << std::optional(pages(1500))
            << std::optional(QStringLiteral("Page 1,234 of 1,500"));
        QTest::newRow("first of one") << std::optional(PageInfo{"p0", 0, 1, 1, 0}) << std::optional(pages(1))
                                      << std::optional(QStringLiteral("Page 1 of 1"));
        QTest::newRow("deleted page") << std::optional(PageInfo{"gone", 0, 1, 1, 0})
                                      << std::optional(pages(3)) << std::optional<QString>();
        QTest::newRow("no document") << std::optional<PageInfo>() << std::optional<CommandResult>()
                                     << std::optional<QString>();
        QTest::newRow("no page list") << std::optional(PageInfo{"p0", 0, 1, 1, 0})
                                      << std::optional(CommandResult{}) << std::optional<QString>();
    }
    void pageChip() {
        QFETCH(std::optional<PageInfo>, current);
        QFETCH(std::optional<CommandResult>, inspect);
        QFETCH(std::optional<QString>, expected);
        QCOMPARE(StatusBar::pageChipText(current, OpenDocument(inspect), QLocale()), expected);
    }

    void pageLabel_data() {
        QTest::addColumn<std::int64_t>("index");
        QTest::addColumn<std::optional<CommandResult>>("inspect");
        QTest::addColumn<QString>("label");
        QTest::newRow("first of twelve") << std::int64_t{0} << std::optional(pages(12)) << "Page 1 of 12";
        QTest::newRow("no document") << std::int64_t{0} << std::optional<CommandResult>() << "Page 1 of 1";
        QTest::newRow("plain digits")
            << std::int64_t{1233} << std::optional(pages(1500)) << "Page 1234 of 1500";
    }
    void pageLabel() {
        QFETCH(std::int64_t, index);
        QFETCH(std::optional<CommandResult>, inspect);
        QFETCH(QString, label);
        QCOMPARE(MainWindow::pageLabel(PageInfo{"p", index, 612, 792, 0}, OpenDocument(inspect)), label);
    }

    void saveChip_data() {
        QTest::addColumn<QString>("phase");
        QTest::addColumn<SaveChipLook>("look");
        QTest::newRow("failed") << "failed"
                                << SaveChipLook{ChipTone::danger, "exclamationmark.triangle.fill"};
        QTest::newRow("Failed is no failure") << "Failed" << SaveChipLook{ChipTone::neutral, ""};
        QTest::newRow("saving") << "saving" << SaveChipLook{ChipTone::accent, ""};
        QTest::newRow("unsaved") << "unsaved" << SaveChipLook{ChipTone::warning, ""};
        QTest::newRow("saved") << "saved" << SaveChipLook{ChipTone::neutral, ""};
        QTest::newRow("empty") << "" << SaveChipLook{ChipTone::neutral, ""};
    }
    void saveChip() {
        QFETCH(QString, phase);
        QFETCH(SaveChipLook, look);
        // A name that is no phase never reaches the chip, which then keeps its neutral look.
        const std::optional<SavePhase> named = fromRawValue<SavePhase>(phase.toStdString());
        const SaveChipLook neutral{ChipTone::neutral, ""};
        QCOMPARE(named ? SaveChip::look(*named) : neutral, look);
    }

    void recoveryRow_data() {
        QTest::addColumn<RecoveryInfo>("recovery");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("detail");
        // Shown in the person's own time (here UTC+9, no summer time) and the locale's short form.
        QTest::newRow("new document") << checkpoint(std::nullopt, 3, 1) << "Untitled"
                                      << "Revision 3 · 1 page · 3/4/25 7:20 PM";
        QTest::newRow("dotted name") << checkpoint("/Users/a/Report.final.pdf", 3, 12) << "Report.final.pdf"
                                     << "Revision 3 · 12 pages · 3/4/25 7:20 PM";
        QTest::newRow("markup in the name") << checkpoint("/d/<b>bold<i>.pdf", 1234, 0) << "<b>bold<i>.pdf"
                                            << "Revision 1234 · 0 pages · 3/4/25 7:20 PM";
        RecoveryInfo unreadable = checkpoint(std::nullopt, 2, 1);
        unreadable.updatedAt = "yesterday";
        QTest::newRow("a time that reads as none") << unreadable << "Untitled"
                                                   << "Revision 2 · 1 page · yesterday";
    }
    void recoveryRow() {
        QFETCH(RecoveryInfo, recovery);
        QFETCH(QString, title);
        QFETCH(QString, detail);
        const QByteArray zone = qgetenv("TZ");
        qputenv("TZ", "Asia/Tokyo");
        ::tzset();
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        const QString shown = RecoverySheet::rowDetail(recovery);
        QLocale::setDefault(QLocale::system());
        zone.isNull() ? qunsetenv("TZ") : qputenv("TZ", zone);
        ::tzset();
        QCOMPARE(RecoverySheet::rowTitle(recovery), title);
        QCOMPARE(shown, detail);
        QCOMPARE(
            RecoverySheet::discardExplanation(recovery),
            QStringLiteral("The checkpoint of “%1” (revision %2) will be deleted. This cannot be undone.")
                .arg(title)
                .arg(recovery.revision));
    }

    void inspectorTab_data() {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<InspectorTab>("shown");
        QTest::newRow("assistant") << "assistant" << InspectorTab::assistant;
        QTest::newRow("page") << "page" << InspectorTab::page;
        QTest::newRow("form") << "form" << InspectorTab::form;
        QTest::newRow("document") << "document" << InspectorTab::document;
        QTest::newRow("letter case") << "Page" << InspectorTab::assistant;
        QTest::newRow("empty") << "" << InspectorTab::assistant;
    }
    void inspectorTab() {
        QFETCH(QString, stored);
        QFETCH(InspectorTab, shown);
        QCOMPARE(shownInspectorTab(stored.toStdString()), shown);
    }

    void controlSize_data() {
        QTest::addColumn<double>("scale");
        QTest::addColumn<ControlSize>("size");
        QTest::addColumn<double>("fontPoints");
        QTest::newRow("1.0") << 1.0 << ControlSize::regular << 13.0;
        QTest::newRow("1.15") << 1.15 << ControlSize::regular << 14.95;
        QTest::newRow("1.29") << 1.29 << ControlSize::regular << 16.77;
        QTest::newRow("1.3") << 1.3 << ControlSize::large << 16.9;
        QTest::newRow("1.5") << 1.5 << ControlSize::large << 19.5;
        QTest::newRow("1.75") << 1.75 << ControlSize::extraLarge << 22.75;
        QTest::newRow("2.0") << 2.0 << ControlSize::extraLarge << 26.0;
    }
    void controlSize() {
        QFETCH(double, scale);
        QFETCH(ControlSize, size);
        QFETCH(double, fontPoints);
        QCOMPARE(InterfaceTextScale::controlSize(scale), size);
        QVERIFY(qFuzzyCompare(InterfaceTextScale::defaultFontPoints(scale), fontPoints));
    }

    void launchPaths_data() {
        QTest::addColumn<std::vector<std::string>>("arguments");
        QTest::addColumn<std::vector<std::string>>("paths");
        QTest::newRow("relative") << std::vector<std::string>{"a.pdf", "sub/../b.PDF"}
                                  << std::vector<std::string>{"/home/u/docs/a.pdf", "/home/u/docs/b.PDF"};
        QTest::newRow("absolute and empty")
            << std::vector<std::string>{"", "/tmp/x.pdf"} << std::vector<std::string>{"/tmp/x.pdf"};
    }
    void launchPaths() {
        QFETCH(std::vector<std::string>, arguments);
        QFETCH(std::vector<std::string>, paths);
        QCOMPARE(EditorApp::absolutePaths(arguments, "/home/u/docs"), paths);
    }

    void handOffRequests_data() {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("two paths") << InstanceChannel::encode({"/a/b.pdf", "/c d/é.pdf"}).chopped(1) << true;
        QTest::newRow("no paths") << QByteArray(R"({"open":[]})") << true;
        QTest::newRow("relative path") << QByteArray(R"({"open":["b.pdf"]})") << false;
        QTest::newRow("NUL in a path") << QByteArray(R"({"open":["/a\u0000b.pdf"]})") << false;
        QTest::newRow("not a list") << QByteArray(R"({"open":"/a.pdf"})") << false;
        QTest::newRow("a number") << QByteArray(R"({"open":[1]})") << false;
        QTest::newRow("not JSON") << QByteArray("open /a.pdf") << false;
        QTest::newRow("too many paths")
            << InstanceChannel::encode(std::vector<std::string>(65, "/a.pdf")).chopped(1) << false;
        QTest::newRow("too long a path")
            << InstanceChannel::encode({"/" + std::string(4096, 'a')}).chopped(1) << false;
    }
    void handOffRequests() {
        QFETCH(QByteArray, line);
        QFETCH(bool, accepted);
        const auto paths = InstanceChannel::decode(line);
        QCOMPARE(paths.has_value(), accepted);
        if (QByteArray(QTest::currentDataTag()) == "two paths")
            QCOMPARE(*paths, (std::vector<std::string>{"/a/b.pdf", "/c d/é.pdf"}));
    }
};

KIVO_APP_TEST_MAIN(EditorTextsTest)
#include "editor_texts_test.moc"
