// Text from a document, a file name or a model shows as written wherever Qt guesses the format: the
// tooltips of the labels that carry it never turn into markup, and never load an image the text names.

#include <sys/stat.h>

#include <QAccessible>
#include <QApplication>
#include <QHelpEvent>
#include <QLabel>
#include <QTextDocumentFragment>
#include <QToolTip>

#include "app/inspector/annotations_card.hpp"
#include "app/inspector/answer_parts.hpp"
#include "app/inspector/editor_drafts.hpp"
#include "app/shell/recovery_row.hpp"
#include "app/shell/status_bar.hpp"
#include "app_test_support.hpp"
#include "fifo_release.hpp"

using namespace kivo;

namespace {

enum class Place { annotationRow, statusLine, citation, recoveryRow };

}  // namespace

Q_DECLARE_METATYPE(Place)

class LiteralTextTest : public QObject {
    Q_OBJECT

private slots:
    void tooltipsShowTheTextAsWritten_data() {
        QTest::addColumn<Place>("place");
        QTest::addColumn<QString>("text");
        // FIFO stands for a FIFO's path; nothing but the test ever writes to it.
        QTest::newRow("annotation contents") << Place::annotationRow << R"(<img src="FIFO">)";
        QTest::newRow("annotation contents in the status line")
            << Place::statusLine << R"(<b>Note</b> <img src="FIFO" width=9> & more)";
        QTest::newRow("quote of a model answer") << Place::citation << R"(<p>Paid</p><img src='FIFO'/>)";
        QTest::newRow("file name") << Place::recoveryRow << R"(<img src=FIFO>.pdf)";
        QTest::newRow("markup a person meant to show") << Place::statusLine << "&lt;b&gt; is bold";
    }
    void tooltipsShowTheTextAsWritten() {
        QFETCH(Place, place);
        QFETCH(QString, text);
        const kivo::testing::Scratch scratch;
        const std::string fifo = (scratch.tmp() / "fifo").string();
        QCOMPARE(::mkfifo(fifo.c_str(), 0600), 0);
        text.replace(QStringLiteral("FIFO"), QString::fromStdString(fifo));

        Workspace workspace{WorkspaceServices{}};
        EditorDrafts drafts(workspace);
        QWidget window;
        window.resize(400, 200);
        switch (place) {
            case Place::annotationRow: {
                auto* row = new AnnotationRow(workspace, drafts, "a1", &window);
                AnnotationInfo note;
                note.id = "a1";
                note.kind = "note";
                note.contents = text.toStdString();
                row->setAnnotation(note, false);
                break;
            }
            case Place::statusLine:
                new StatusBar(workspace, &window);
                workspace.setStatus(text.toStdString());
                break;
            case Place::citation:
                new CitationRow(workspace, Citation{"p1", 0, 1, text.toStdString()}, &window);
                break;
            case Place::recoveryRow:
                new RecoveryRow(text, QStringLiteral("Revision 2, 3 pages"), &window);
                break;
        }
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        int shown = 0;
        for (QLabel* label : window.findChildren<QLabel*>()) {
            if (label->toolTip().isEmpty() || label->accessibleName() != text) continue;
            ++shown;
            const kivo::testing::FifoRelease release(fifo, 3);
            const QPoint centre = label->rect().center();
            QHelpEvent hover(QEvent::ToolTip, centre, label->mapToGlobal(centre));
            QApplication::sendEvent(label, &hover);
            QVERIFY2(QToolTip::isVisible(), "the tooltip shows");
            // Showing a tooltip takes milliseconds; an image read from the FIFO waits for the release.
            QVERIFY2(!release.released(), "the tooltip waited for the FIFO");
            const QString tip = QToolTip::text();
            for (QWidget* shownTip : QApplication::topLevelWidgets()) {
                if (shownTip->inherits("QTipLabel") && shownTip->isVisible())
                    kivo::testing::screenshot(*shownTip,
                                              QStringLiteral("tooltip-") + QTest::currentDataTag());
            }
            if (Qt::mightBeRichText(tip)) {
                // Read as markup, it reads back as the very text, with no image in it.
                QCOMPARE(QTextDocumentFragment::fromHtml(tip).toPlainText(), text);
            } else {
                QCOMPARE(tip, text);
            }
            // What assistive technologies read is the text, not the escaped markup.
            QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(label);
            QVERIFY(accessible != nullptr);
            QVERIFY(!accessible->text(QAccessible::Description).contains(QStringLiteral("&lt;")));
            QToolTip::hideText();
        }
        QCOMPARE(shown, 1);
    }
};

KIVO_APP_TEST_MAIN(LiteralTextTest)
#include "literal_text_test.moc"
