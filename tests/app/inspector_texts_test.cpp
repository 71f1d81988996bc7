// The inspector's plain rules: the assistant's usage line, notes, disclosure and model names, the page
// of a search hit, the annotation kind and key hint, which editor a form field gets and what it shows,
// and how long texts are cut to their lines.

#include <QAction>
#include <QApplication>

#include "app/inspector/annotations_card.hpp"
#include "app/inspector/assistant_texts.hpp"
#include "app/inspector/form_field_editor.hpp"
#include "app/inspector/provider_card.hpp"
#include "app/inspector/search_results_card.hpp"
#include "app_test_support.hpp"
#include "design/clamped_label.hpp"

using namespace kivo;

Q_DECLARE_METATYPE(AnswerUsage)
Q_DECLARE_METATYPE(ModelInfo)
Q_DECLARE_METATYPE(FormFieldInfo)
Q_DECLARE_METATYPE(FormEditorKind)
Q_DECLARE_METATYPE(std::optional<QString>)
Q_DECLARE_METATYPE(std::optional<ProviderStatus>)
Q_DECLARE_METATYPE(ProviderCard::Shown)

namespace {

FormFieldInfo field(std::string type, std::string value = {}, std::optional<bool> checked = std::nullopt,
                    bool multiline = false) {
    FormFieldInfo info;
    info.name = std::string("f");  // plain assignment of a literal trips a false -Wrestrict in g++ 12
    info.type = std::move(type);
    info.value = std::move(value);
    info.checked = checked;
    info.multiline = multiline;
    return info;
}

ModelInfo model(std::string name, std::optional<std::string> size,
                std::optional<std::vector<std::string>> capabilities) {
    return {std::move(name), std::move(size), std::nullopt, std::move(capabilities)};
}

}  // namespace

class InspectorTextsTest : public QObject {
    Q_OBJECT

private slots:
    void usageLine_data() {
        QTest::addColumn<AnswerUsage>("usage");
        QTest::addColumn<QString>("expected");
        QTest::newRow("all of it") << AnswerUsage{1200, 80, 3.25}
                                   << "m · 1,200 tokens read, 80 written · 3.2 s";
        QTest::newRow("seconds only") << AnswerUsage{std::nullopt, std::nullopt, 3.25} << "m · 3.2 s";
        QTest::newRow("one count is no count") << AnswerUsage{12345, std::nullopt, std::nullopt} << "m";
        QTest::newRow("nothing") << AnswerUsage{} << "m";
    }
    void usageLine() {
        QFETCH(AnswerUsage, usage);
        QFETCH(QString, expected);
        QCOMPARE(AssistantTexts::usageText("m", usage, QLocale(QLocale::English, QLocale::UnitedStates)),
                 expected);
    }

    void assistantWords() {
        const std::pair<const char*, const char*> notes[] = {
            {"cancelled", "Stopped before the answer finished."},
            {"timed_out", "The model took too long, so this answer is incomplete."},
            {"length", "The answer reached the output limit and may be cut off."},
            {"disconnected", "The model stopped partway, so this answer is incomplete."},
            {"Cancelled", "The model stopped partway, so this answer is incomplete."},
        };
        for (const auto& [reason, note] : notes)
            QCOMPARE(AssistantTexts::incompleteNote(reason), QString(note));

        QVERIFY(AssistantTexts::disclosure(AssistantProvider::ollama, "")
                    .startsWith("Answers come from the chosen model in Ollama. "
                                "The scope's text goes to Ollama on this computer"));
        QVERIFY(AssistantTexts::disclosure(AssistantProvider::anthropic, "m")
                    .startsWith("Answers come from m at Anthropic, with your "
                                "key. The scope's text leaves this computer"));
        QCOMPARE(
            AssistantTexts::disclosure(storedAssistantProvider("Ollama"), "m"),
            QStringLiteral("Answers quote the document without a model. Proposed edits wait for Apply."));

        const auto waiting = AssistantTexts::draftLine("", "");
        QCOMPARE(waiting.text, QStringLiteral("Waiting for …"));
        QCOMPARE(waiting.spoken, QStringLiteral("Waiting for the model"));
        QVERIFY(waiting.waiting);
        QCOMPARE(AssistantTexts::draftLine("So far", "m").spoken, QStringLiteral("Answer so far: So far"));
        // A long draft shows its end, from a whole character on: "é" is two bytes, so the cut falls inside
        // one.
        std::string longDraft = "x" + std::string(AssistantTexts::draftShownBytes, '.');
        for (int i = 0; i < 3000; ++i) longDraft += "\xC3\xA9";
        longDraft += " the end!";
        const auto tail = AssistantTexts::draftLine(longDraft, "m");
        QVERIFY(tail.text.startsWith(QStringLiteral("…é")));
        QVERIFY(tail.text.endsWith(QStringLiteral("é the end!")));
        QVERIFY(static_cast<std::size_t>(tail.text.toUtf8().size()) <= AssistantTexts::draftShownBytes + 3);
        QCOMPARE(tail.spoken, QStringLiteral("Answer so far: ") + tail.text);

        QVERIFY(!AssistantTexts::canSend(true, " \n\t"));
        QVERIFY(!AssistantTexts::canSend(false, "Why?"));
        QVERIFY(AssistantTexts::canSend(true, " Why?"));
    }

    void modelLabel_data() {
        QTest::addColumn<ModelInfo>("info");
        QTest::addColumn<QString>("expected");
        QTest::newRow("answers only") << model("m", "8B", {{"completion"}}) << "m · 8B · answers only";
        QTest::newRow("tools") << model("m", "8B", {{"completion", "tools"}}) << "m · 8B";
        QTest::newRow("unknown capabilities") << model("m", "8B", std::nullopt) << "m · 8B";
        QTest::newRow("size equal to the name") << model("m", "m", std::nullopt) << "m";
    }
    void modelLabel() {
        QFETCH(ModelInfo, info);
        QFETCH(QString, expected);
        QCOMPARE(AssistantTexts::modelLabel(info), expected);
    }

    void providerCardStates_data() {
        QTest::addColumn<QString>("provider");
        QTest::addColumn<std::optional<ProviderStatus>>("status");
        QTest::addColumn<bool>("keyStored");
        QTest::addColumn<bool>("editingKey");
        QTest::addColumn<ProviderCard::Shown>("shown");
        using S = ProviderCard::Shown;
        const auto ready =
            std::optional(ProviderStatus::available("1", {model("m", std::nullopt, std::nullopt)}));
        const auto none = std::optional<ProviderStatus>();
        QTest::newRow("built in") << "local" << ready << true << false << S::builtIn;
        QTest::newRow("any other word") << "Ollama" << none << false << false << S::builtIn;
        QTest::newRow("checking ollama") << "ollama" << none << false << false << S::ollamaChecking;
        QTest::newRow("ollama away") << "ollama" << std::optional(ProviderStatus::unavailable("x")) << false
                                     << false << S::ollamaUnavailable;
        QTest::newRow("no models") << "ollama" << std::optional(ProviderStatus::available("1", {})) << false
                                   << false << S::ollamaEmpty;
        QTest::newRow("no key") << "anthropic" << ready << false << false << S::keyEntry;
        QTest::newRow("replacing") << "anthropic" << ready << true << true << S::keyEntry;
        QTest::newRow("checking the key") << "anthropic" << none << true << false << S::keyChecking;
        QTest::newRow("key models") << "anthropic" << ready << true << false << S::keyModels;
    }
    void providerCardStates() {
        QFETCH(QString, provider);
        QFETCH(std::optional<ProviderStatus>, status);
        QFETCH(bool, keyStored);
        QFETCH(bool, editingKey);
        QFETCH(ProviderCard::Shown, shown);
        QCOMPARE(ProviderCard::shownFor(storedAssistantProvider(provider.toStdString()), status, keyStored,
                                        editingKey),
                 shown);
    }

    void matchPlace_data() {
        QTest::addColumn<QString>("pageId");
        QTest::addColumn<bool>("withPages");
        QTest::addColumn<std::optional<QString>>("place");
        QTest::newRow("third entry, whatever its index")
            << "c" << true << std::optional(QStringLiteral("Page 3"));
        QTest::newRow("not listed") << "z" << true << std::optional<QString>();
        QTest::newRow("no page list") << "a" << false << std::optional<QString>();
    }
    void matchPlace() {
        QFETCH(QString, pageId);
        QFETCH(bool, withPages);
        QFETCH(std::optional<QString>, place);
        CommandResult result;
        if (withPages)
            result.pages = std::vector<PageInfo>{{"a", 7, 1, 1, 0}, {"b", 0, 1, 1, 0}, {"c", 0, 1, 1, 0}};
        SearchHit hit;
        hit.pageId = pageId.toStdString();
        const std::optional<CommandResult> open(result);
        const std::optional<CommandResult> none;
        QCOMPARE(SearchResultsCard::matchPlace(hit, OpenDocument(open)), place);
        QCOMPARE(SearchResultsCard::matchPlace(hit, OpenDocument(none)), std::optional<QString>());
    }

    void annotationWords() {
        QCOMPARE(AnnotationsCard::kindTitle("highlight"), QStringLiteral("Highlight"));
        QCOMPARE(AnnotationsCard::kindTitle("inkStroke"), QStringLiteral("InkStroke"));
        QCOMPARE(AnnotationsCard::kindTitle(""), QString());
        QCOMPARE(
            AnnotationsCard::keyHint(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Up),
                                     QKeySequence(Qt::SHIFT | Qt::Key_Up)),
            QStringLiteral("Ctrl+Shift+arrow moves the selected annotation, and Shift+arrow resizes it. The "
                           "Annotate menu lists these, and Delete Annotation."));
        QCOMPARE(AnnotationsCard::keyHint(QKeySequence(), QKeySequence(Qt::SHIFT | Qt::Key_Up)), QString());
    }

    void formEditorKind_data() {
        QTest::addColumn<FormFieldInfo>("info");
        QTest::addColumn<FormEditorKind>("kind");
        QTest::addColumn<bool>("checked");
        QTest::newRow("checkbox by its value")
            << field("checkbox", "YeS") << FormEditorKind::checkbox << true;
        QTest::newRow("On is not yes") << field("checkbox", "On") << FormEditorKind::checkbox << false;
        QTest::newRow("checked wins") << field("checkbox", "Yes", false) << FormEditorKind::checkbox << false;
        QTest::newRow("push button") << field("button") << FormEditorKind::button << false;
        QTest::newRow("radio") << field("radio") << FormEditorKind::radio << false;
        QTest::newRow("combo") << field("combo") << FormEditorKind::choice << false;
        QTest::newRow("list") << field("list") << FormEditorKind::choice << false;
        QTest::newRow("Checkbox is text") << field("Checkbox") << FormEditorKind::text << false;
        QTest::newRow("signature is text") << field("signature") << FormEditorKind::text << false;
        QTest::newRow("multi-line") << field("text", "", std::nullopt, true) << FormEditorKind::multilineText
                                    << false;
    }
    void formEditorKind() {
        QFETCH(FormFieldInfo, info);
        QFETCH(FormEditorKind, kind);
        QFETCH(bool, checked);
        QCOMPARE(FormEditors::kind(info), kind);
        if (kind == FormEditorKind::checkbox) QCOMPARE(FormEditors::shownChecked(info), checked);
        QCOMPARE(FormEditors::shownValue(field("text", "worker"), std::string("draft")),
                 std::string("draft"));
        QCOMPARE(FormEditors::shownValue(field("text", "worker"), std::nullopt), std::string("worker"));
    }

    void clampedLines() {
        const QFont font = QApplication::font();
        const QString longText = QStringLiteral("word ").repeated(200).trimmed();
        const int width = QFontMetrics(font).horizontalAdvance(QStringLiteral("word ").repeated(5));
        const QString two = ClampedLabel::clamp(longText, font, width, 2);
        QCOMPARE(two.count(QLatin1Char('\n')), 1);
        QVERIFY(two.endsWith(QChar(0x2026)));
        QCOMPARE(ClampedLabel::clamp(QStringLiteral("short"), font, width, 2), QStringLiteral("short"));
        // A line break of the text counts as a line of its own.
        QCOMPARE(ClampedLabel::clamp(QStringLiteral("a\nb\nc"), font, width, 2).count(QLatin1Char('\n')), 1);
    }
};

KIVO_APP_TEST_MAIN(InspectorTextsTest)
#include "inspector_texts_test.moc"
