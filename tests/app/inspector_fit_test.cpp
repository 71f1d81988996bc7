// The inspector at its narrowest, at every text size step: each tab, filled as a person fills it (an
// answer with citations, the Anthropic key in the owner-only file, search hits and a note, the sample
// form, the document's facts), fits its column. Nothing reaches past the scroll area's right edge, no
// control is squeezed below its smallest size, no chip or clamped text (a search hit's preview, a quote) is
// given less height than its lines take, and the scope pill stands in at most two rows. Screenshots of
// every tab at 1.0, 1.5 and 2.0, light and dark.

#include <QFontMetricsF>
#include <QLabel>
#include <QtMath>
#include <QLineEdit>
#include <QRegularExpression>
#include <QScrollArea>
#include <QScrollBar>
#include <QSplitter>

#include <iostream>

#include "app/inspector/annotations_card.hpp"
#include "app/inspector/assistant_composer.hpp"
#include "app/inspector/inspector_panel.hpp"
#include "app/inspector/page_tab.hpp"
#include "app/inspector/provider_card.hpp"
#include "app/shell/find_field.hpp"
#include "app/shell/main_window.hpp"
#include "app/shell/text_size_steps.hpp"
#include "app_test_support.hpp"
#include "design/appearance.hpp"
#include "design/chip.hpp"
#include "design/clamped_label.hpp"
#include "design/hero_field.hpp"
#include "design/pill_segment.hpp"
#include "design/row_button.hpp"
#include "fake_http_server.hpp"
#include "test_pdfs.hpp"
#include "workspace/assistant_session.hpp"

using namespace kivo;
using namespace kivo::testing;

namespace {

// Which widget of `tab` sticks out of the viewport, or is narrower than it can be drawn; empty when none.
QStringList overflowing(QScrollArea& scroll) {
    QWidget* viewport = scroll.viewport();
    QStringList found;
    for (QWidget* widget : scroll.widget()->findChildren<QWidget*>()) {
        if (!widget->isVisibleTo(viewport) || widget->isWindow()) continue;
        const QRect placed(widget->mapTo(viewport, QPoint(0, 0)), widget->size());
        const QString name = QString::fromLatin1(widget->metaObject()->className()) + QLatin1Char(' ') +
                             widget->objectName() + QLatin1Char(' ') + widget->accessibleName();
        if (placed.right() >= viewport->width())
            found << QStringLiteral("%1 ends at %2 of %3")
                         .arg(name)
                         .arg(placed.right() + 1)
                         .arg(viewport->width());
        const int least = widget->minimumSizeHint().width();
        if (least > 0 && widget->width() < least &&
            widget->sizePolicy().horizontalPolicy() != QSizePolicy::Ignored)
            found << QStringLiteral("%1 is %2 wide, needs %3").arg(name).arg(widget->width()).arg(least);
        // What the layout gave in height: a chip as tall as its text, a clamped label as tall as the lines
        // its clamp shows at its width, and those lines the whole clamp (nothing elided sooner), inside its
        // parent.
        if (qobject_cast<const Chip*>(widget) && widget->height() < widget->sizeHint().height())
            found << QStringLiteral("%1 is %2 tall, needs %3")
                         .arg(name)
                         .arg(widget->height())
                         .arg(widget->sizeHint().height());
        if (const auto* clamped = qobject_cast<const ClampedLabel*>(widget)) {
            const QRect room = clamped->contentsRect();
            const QString shown =
                ClampedLabel::clamp(clamped->fullText(), clamped->font(), room.width(), clamped->maxLines());
            const int lines = static_cast<int>(shown.count(QLatin1Char('\n'))) + 1;
            const int tall = ClampedLabel::textHeight(clamped->font(), lines);
            if (room.height() < tall)
                found << QStringLiteral("%1 has %2 px for %3 lines of %4 px")
                             .arg(name)
                             .arg(room.height())
                             .arg(lines)
                             .arg(tall);
            if (clamped->text() != shown)
                found << QStringLiteral("%1 shows \"%2\", not \"%3\"").arg(name, clamped->text(), shown);
            const QRect placed(clamped->mapToParent(room.topLeft()), room.size());
            if (!clamped->parentWidget()->rect().contains(placed))
                found << QStringLiteral("%1 is cut by its row").arg(name);
        }
        // A wrapping label narrower than one of its words breaks that word in two.
        if (const auto* label = qobject_cast<const QLabel*>(widget); label && label->wordWrap()) {
            const QRegularExpression space(QStringLiteral("\\s+"));
            QStringList words = label->text().split(space, Qt::SkipEmptyParts);
            // A clamped label breaks lines itself, so its shown lines hold the halves: read its own words,
            // as many as it shows.
            if (const auto* clamped = qobject_cast<const ClampedLabel*>(widget))
                words = clamped->fullText().split(space, Qt::SkipEmptyParts).mid(0, words.size());
            for (const QString& word : words) {
                if (label->fontMetrics().horizontalAdvance(word) > label->contentsRect().width())
                    found << QStringLiteral("%1 breaks \"%2\" in %3 px").arg(name, word).arg(label->width());
            }
        }
    }
    return found;
}

}  // namespace

class InspectorFitTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        // The key store finds no keyring here and keeps the key in the owner-only file.
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/kivo-test-bus");
        EditorSettings settings;
        settings.setAssistantProvider("local");
        settings.setAssistantModel("");
        settings.setInterfaceTextScale(1.0);
    }

    void everyTabFitsItsNarrowestColumnAtEveryTextSize() {
        FakeHttpServer hosted([](const RecordedRequest&, FakeConnection& connection) {
            connection.respond(200, R"({"data":[{"id":"claude-opus-5","display_name":"Opus 5"}]})");
        });
        const ScopedEnv url("KIVO_PDF_ANTHROPIC_URL", hosted.url());
        Scratch scratch;
        const auto sample = corpus("libreoffice-form.pdf");
        const auto file = scratch.docs() / "form.pdf";
        if (sample.empty()) writeFile(file, makeFillFormPdf());
        else std::filesystem::copy_file(sample, file);
        auto editor = startEditor(scratch, {file.string()});
        QVERIFY(editor);
        Workspace& workspace = editor->workspace();
        MainWindow& window = editor->window();
        InspectorPanel& inspector = *window.inspector();
        QVERIFY(waitUntil([&] { return workspace.sessionId().has_value() && workspace.inspect(); }));

        // An answer with its citations, then the key kept in the file, which the card shows as a row.
        workspace.assistant().setAssistantQuery("What does the form ask for?");
        workspace.assistant().setAssistantScope(AssistantScope::document);
        workspace.assistant().askAssistant();
        QVERIFY(waitUntil([&] { return workspace.assistant().assistantAnswer().has_value(); }));
        auto& card = *inspector.findChild<ProviderCard*>("providerCard");
        QTest::mouseClick(named<PillSegment>(card, "providerPill")->segments().at(2), Qt::LeftButton);
        QTest::keyClicks(named<HeroField>(card, "keyField")->lineEdit(), "sk-narrow");
        QTest::mouseClick(inspector.findChild<QWidget*>("saveKey"), Qt::LeftButton);
        QVERIFY(waitUntil([&] { return card.shown() == ProviderCard::Shown::keyModels; }));
        // Search hits and a note, selected so its editor shows.
        named<FindField>(window, "findField")->lineEdit()->setText(QStringLiteral("Name"));
        window.runSearch();
        workspace.addNote(PDFRect{72, 600, 96, 624});
        QVERIFY(waitUntil([&] { return workspace.status() == "Note added"; }));
        workspace.selectAnnotation(workspace.inspect()->annotations->front().id);

        window.resize(MainWindow::initialWidth, 1500);
        named<QSplitter>(window, "columns")->setSizes({210, 2000, 0});
        QCOMPARE(inspector.width(), inspector.minimumWidth());
        QStringList failures;
        for (const ColorScheme scheme : {ColorScheme::light, ColorScheme::dark}) {
            Appearance::instance().overrideScheme(scheme);
            for (const double step : TextSizeSteps::steps) {
                editor->app->settings().setInterfaceTextScale(step);
                for (const InspectorTabInfo& tab : inspectorTabs) {
                    editor->app->settings().setInspectorTab(std::string(tab.rawValue));
                    QScrollArea& scroll = *inspector.scrollArea(tab.tab);
                    QTest::qWait(30);
                    QCoreApplication::sendPostedEvents();
                    for (const QString& found : overflowing(scroll))
                        failures << QStringLiteral("%1 at %2: %3").arg(tab.title).arg(step).arg(found);
                    // The composer's scope keeps its words whole on at most two rows: three rows of three
                    // segments read as a list.
                    const PillSegment& scope = *inspector.findChild<PillSegment*>("scope");
                    if (scope.isVisible() && scope.rowCountFor(scope.width()) > 2)
                        failures << QStringLiteral("%1 at %2: the scope stands in %3 rows")
                                        .arg(tab.title)
                                        .arg(step)
                                        .arg(scope.rowCountFor(scope.width()));
                    if (step == 1.0 || step == 1.5 || step == 2.0) {
                        const QString name = QStringLiteral("inspector-fit-%1-%2-%3")
                                                 .arg(QString::fromLatin1(tab.rawValue),
                                                      scheme == ColorScheme::dark ? "dark" : "light",
                                                      QString::number(step, 'f', 1));
                        screenshot(inspector, name);
                    }
                }
            }
        }
        Appearance::instance().overrideScheme(ColorScheme::light);

        // At the window's least height too, the conversation keeps half the Assistant tab at every step: the
        // composer under it gives way (it scrolls) before the answers do.
        window.resize(MainWindow::initialWidth, MainWindow::minimumHeight);
        named<QSplitter>(window, "columns")->setSizes({210, 2000, 0});
        editor->app->settings().setInspectorTab("assistant");
        QScrollArea& conversation = *inspector.scrollArea(InspectorTab::assistant);
        for (const double step : TextSizeSteps::steps) {
            editor->app->settings().setInterfaceTextScale(step);
            QTest::qWait(30);
            QCoreApplication::sendPostedEvents();
            const int tab = conversation.parentWidget()->height();
            if (conversation.viewport()->height() < tab / 2 - 1)
                failures << QStringLiteral("Assistant at %1: the conversation has %2 of %3 px")
                                .arg(step)
                                .arg(conversation.viewport()->height())
                                .arg(tab);
            if (step == 2.0) screenshot(inspector, QStringLiteral("inspector-fit-assistant-short-2.0"));
        }
        editor->app->settings().setInterfaceTextScale(1.0);
        failures.removeDuplicates();
        for (const QString& failure : failures) std::cerr << failure.toStdString() << "\n";
        QVERIFY2(failures.isEmpty(), "some tab does not fit its column");
    }

    // A quote of three lines keeps the descenders of its last line at 1.0 and 2.0: the row is as tall as the
    // lines the painter lays out, by the font's own metrics, and holds the whole quote.
    void aThreeLineQuoteKeepsItsLastLineWhole() {
        Scratch scratch;
        const auto sample = scratch.docs() / "google-doc-document.pdf";
        std::filesystem::copy_file(corpus("google-doc-document.pdf"), sample);
        auto editor = startEditor(scratch, {sample.string()});
        QVERIFY(editor);
        Workspace& workspace = editor->workspace();
        MainWindow& window = editor->window();
        InspectorPanel& inspector = *window.inspector();
        QVERIFY(waitUntil([&] { return workspace.inspect().has_value(); }));
        // No word of the question is on the page: the answer quotes the page's opening, 220 characters.
        workspace.assistant().setAssistantQuery("Summarise this.");
        workspace.assistant().setAssistantScope(AssistantScope::document);
        workspace.assistant().askAssistant();
        QVERIFY(waitUntil([&] { return inspector.findChild<RowButton*>("citation") != nullptr; }));
        window.resize(MainWindow::initialWidth, 1000);
        named<QSplitter>(window, "columns")->setSizes({210, 2000, 0});
        editor->app->settings().setInspectorTab("assistant");
        for (const double step : {1.0, 2.0}) {
            editor->app->settings().setInterfaceTextScale(step);
            RowButton* row = inspector.findChild<RowButton*>("citation");
            auto* quote = row->findChild<ClampedLabel*>();
            QVERIFY(waitUntil([&] { return quote->text().count(QLatin1Char('\n')) == 2; }, 5));
            const QRect room = quote->contentsRect();
            const QFontMetricsF metrics(quote->font());
            const int painted = qCeil(3 * metrics.height() + 2 * metrics.leading());
            QVERIFY(waitUntil([&] { return quote->contentsRect().height() >= painted; }, 5));
            const QRect placed(quote->mapTo(row, quote->contentsRect().topLeft()),
                               quote->contentsRect().size());
            QVERIFY2(row->rect().contains(placed),
                     qPrintable(QStringLiteral("%1: %2 px of text in a %3 px row")
                                    .arg(step)
                                    .arg(room.height())
                                    .arg(row->height())));
            screenshot(*row, QStringLiteral("citation-three-lines-%1").arg(QString::number(step, 'f', 1)));
        }
        editor->app->settings().setInterfaceTextScale(1.0);
    }
};

KIVO_APP_TEST_MAIN(InspectorFitTest)
#include "inspector_fit_test.moc"
