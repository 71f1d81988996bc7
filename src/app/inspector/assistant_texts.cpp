#include "app/inspector/assistant_texts.hpp"

#include <algorithm>
#include <cstdio>

#include "core/text.hpp"

namespace kivo::AssistantTexts {
namespace {

const QString separator = QStringLiteral(" · ");

}  // namespace

QString usageText(const std::string& model, const AnswerUsage& usage, const QLocale& locale) {
    QStringList parts{QString::fromStdString(model)};
    if (usage.promptTokens && usage.outputTokens) {
        parts << QStringLiteral("%1 tokens read, %2 written")
                     .arg(locale.toString(static_cast<qlonglong>(*usage.promptTokens)),
                          locale.toString(static_cast<qlonglong>(*usage.outputTokens)));
    }
    if (usage.seconds) {
        // The C library's rounding, as "%.1f" gives it everywhere else: 3.25 is "3.2".
        char seconds[64];
        std::snprintf(seconds, sizeof seconds, "%.1f s", *usage.seconds);
        parts << QString::fromLatin1(seconds);
    }
    return parts.join(separator);
}

QString incompleteNote(const std::string& reason) {
    switch (fromRawValue<AnswerEnd>(reason).value_or(AnswerEnd::disconnected)) {
        case AnswerEnd::cancelled: return QStringLiteral("Stopped before the answer finished.");
        case AnswerEnd::timedOut:
            return QStringLiteral("The model took too long, so this answer is incomplete.");
        case AnswerEnd::length:
            return QStringLiteral("The answer reached the output limit and may be cut off.");
        case AnswerEnd::disconnected: break;
    }
    return QStringLiteral("The model stopped partway, so this answer is incomplete.");
}

QString disclosure(AssistantProvider provider, const std::string& model) {
    const QString name = model.empty() ? QStringLiteral("the chosen model") : QString::fromStdString(model);
    if (provider == AssistantProvider::ollama) {
        return QStringLiteral(
                   "Answers come from %1 in Ollama. The scope's text goes to Ollama on this computer only. "
                   "Citations are checked against the document, and proposed edits wait for Apply.")
            .arg(name);
    }
    if (provider == AssistantProvider::anthropic) {
        return QStringLiteral(
                   "Answers come from %1 at Anthropic, with your key. The scope's text leaves this "
                   "computer: Anthropic receives the pages you ask about, and the answer is billed to your "
                   "account. Citations are checked against the document, and proposed edits wait for Apply.")
            .arg(name);
    }
    return QStringLiteral("Answers quote the document without a model. Proposed edits wait for Apply.");
}

DraftLine draftLine(const std::string& draft, const std::string& model) {
    if (draft.empty()) {
        return {QStringLiteral("Waiting for ") + QString::fromStdString(model) + QStringLiteral("…"),
                QStringLiteral("Waiting for the model"), true};
    }
    // A long draft shows its end, where the model is writing: laying out tens of thousands of
    // characters thirty times a second would keep the window from answering. The answer, once
    // settled, is shown whole.
    std::string_view shown = draft;
    QString text;
    if (shown.size() > draftShownBytes) {
        shown.remove_prefix(shown.size() - draftShownBytes);
        // Start at a whole character.
        while (!shown.empty() && (static_cast<unsigned char>(shown.front()) & 0xC0) == 0x80)
            shown.remove_prefix(1);
        text = QStringLiteral("…");
    }
    text += QString::fromUtf8(shown.data(), static_cast<qsizetype>(shown.size()));
    return {text, QStringLiteral("Answer so far: ") + text, false};
}

bool canSend(bool documentOpen, const std::string& query) {
    return documentOpen && !trimWhitespaceAndNewlines(query).empty();
}

QString modelLabel(const ModelInfo& model) {
    QStringList parts{QString::fromStdString(model.name)};
    if (model.parameterSize && *model.parameterSize != model.name)
        parts << QString::fromStdString(*model.parameterSize);
    if (model.capabilities && !model.canCallTools()) parts << QStringLiteral("answers only");
    return parts.join(separator);
}

}  // namespace kivo::AssistantTexts
