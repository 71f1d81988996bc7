#pragma once

// The words of the Assistant tab that follow from the workspace's state by plain rules: the usage line
// of an answer, the note of an answer that stopped early, the disclosure under the composer, the line of
// a streaming answer, the send rule, and how a model is named in the picker. Pure functions; none fails.

#include <optional>
#include <string>

#include <QLocale>
#include <QString>

#include "assistant/model_provider.hpp"
#include "workspace/assistant_choices.hpp"
#include "core/assistant_records.hpp"

namespace kivo::AssistantTexts {

// "m · 1,200 tokens read, 80 written · 3.2 s": the model, the two token counts when both are known
// (grouped as `locale` groups digits), the seconds to one decimal when known.
QString usageText(const std::string& model, const AnswerUsage& usage, const QLocale& locale);

// The warning over an answer that ended early, by the reason the run gave.
QString incompleteNote(const std::string& reason);

// Where the question goes, by the chosen provider and model ("the chosen model" while none is chosen).
QString disclosure(AssistantProvider provider, const std::string& model);

// What the bubble shows while a model streams: the text, what assistive technologies read, and whether
// it is the muted waiting line. Of a draft longer than `draftShownBytes`, only its end is shown, after "…".
inline constexpr std::size_t draftShownBytes = 2000;
struct DraftLine {
    QString text;
    QString spoken;
    bool waiting = false;
};
DraftLine draftLine(const std::string& draft, const std::string& model);

// The send button asks only while a document is open and the question holds more than white space.
bool canSend(bool documentOpen, const std::string& query);

// A model in the picker: its name, its parameter size when that says more, "answers only" when it is
// known not to call tools.
QString modelLabel(const ModelInfo& model);

}  // namespace kivo::AssistantTexts
