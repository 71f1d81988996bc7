#include "assistant/assistant_run.hpp"

#include <unicode/locid.h>
#include <unicode/numberformatter.h>

#include <algorithm>

#include "assistant/assistant_prompt.hpp"
#include "assistant/plain_text.hpp"
#include "assistant/proposal_builder.hpp"
#include "assistant/provider_error.hpp"
#include "core/text.hpp"
#include "core/text_match.hpp"

namespace kivo::AssistantRun {
namespace {

constexpr std::int64_t kPreviewCharacters = 160;
constexpr std::string_view kScanText =
    "This looks like a scan or has no extractable text. OCR is not available in alpha, so nothing was sent "
    "to the "
    "model.";

std::size_t codePoints(std::string_view text) {
    return static_cast<std::size_t>(std::count_if(
        text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// How many bytes of `text` hold its first `limit` code points.
std::size_t keptPrefix(std::string_view text, std::size_t limit) {
    std::size_t seen = 0;
    for (std::size_t at = 0; at < text.size(); ++at) {
        if ((static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) continue;
        if (seen == limit) return at;
        ++seen;
    }
    return text.size();
}

// The answer text streamed so far. The provider calls back on the thread that asked, so the text
// is only ever touched there; the caller is handed the text itself, never a copy per piece, and
// decides what to copy. Text past the answer's bound is dropped as it arrives.
class DraftText {
public:
    explicit DraftText(const DraftHandler& report) : report_(report) {}

    void append(std::string_view piece) {
        if (full_) return;
        const std::size_t kept = keptPrefix(piece, maximumAnswerCharacters - characters_);
        characters_ += codePoints(piece.substr(0, kept));
        text_.append(piece.substr(0, kept));
        full_ = kept < piece.size();
        if (report_ && kept > 0) report_(text_);
    }

    void reset() {
        text_.clear();
        characters_ = 0;
        full_ = false;
        if (report_) report_(text_);
    }

private:
    const DraftHandler& report_;
    std::string text_;
    std::size_t characters_ = 0;
    bool full_ = false;
};

std::string groupedInteger(std::int64_t value, std::string_view locale) {
    const icu::Locale where =
        locale.empty() ? icu::Locale::getDefault() : icu::Locale(std::string(locale).c_str());
    UErrorCode status = U_ZERO_ERROR;
    const auto formatted = icu::number::NumberFormatter::withLocale(where).formatInt(value, status);
    const icu::UnicodeString text = formatted.toString(status);
    if (U_FAILURE(status)) return std::to_string(value);
    return TextMatch::utf8(text);
}

// The reply cut to the answer's bound, and whether it was cut.
std::pair<std::string_view, bool> boundedReply(std::string_view text) {
    const std::size_t kept = keptPrefix(text, maximumAnswerCharacters);
    return {text.substr(0, kept), kept < text.size()};
}

const std::string cutNote =
    "The answer ran past " + std::to_string(maximumAnswerCharacters) + " characters; the rest is not shown.";

// The first `maximumNotesOfAKind` of `more`, then one line for the rest, onto `notes`.
void addBounded(std::vector<std::string>& notes, const std::vector<std::string>& more) {
    const std::size_t shown = std::min(more.size(), maximumNotesOfAKind);
    notes.insert(notes.end(), more.begin(), more.begin() + static_cast<std::ptrdiff_t>(shown));
    if (more.size() > shown)
        notes.push_back("And " + std::to_string(more.size() - shown) + " more like these.");
}

std::string noToolsNote(const std::string& model) {
    return model + " cannot propose edits, so this answer has none.";
}

AnswerEnd incompleteEnd(ProviderError::Kind kind) {
    switch (kind) {
        case ProviderError::Kind::timedOut: return AnswerEnd::timedOut;
        case ProviderError::Kind::cancelled: return AnswerEnd::cancelled;
        default: return AnswerEnd::disconnected;
    }
}

bool endsEarly(ProviderError::Kind kind) {
    return kind == ProviderError::Kind::timedOut || kind == ProviderError::Kind::cancelled ||
           kind == ProviderError::Kind::disconnected;
}

AssistantAnswer answerFrame(const AssistantContext& context, const AssistantSettings& settings) {
    AssistantAnswer answer;
    answer.proposals = context.limitations;
    answer.scope = context.scope;
    answer.revision = context.revision;
    answer.model = settings.model;
    return answer;
}

AssistantAnswer partialAnswer(const ProviderError& error, std::vector<std::string> notes,
                              const AssistantContext& context, const AssistantSettings& settings,
                              std::string_view locale) {
    // Grounded whatever stopped the run: its work is bounded, and the user sees what was checked.
    const std::string partial = error.partialText();
    const auto [reply, cut] = boundedReply(partial);
    const GroundedAnswer grounded = AnswerGrounding::ground(reply, context);
    AssistantAnswer answer = answerFrame(context, settings);
    for (const auto& claim : grounded.claims) answer.citations.push_back(citation(claim, {}, context));
    addBounded(notes, grounded.notes);
    if (cut) notes.push_back(cutNote);
    notes.push_back(error.description() + " An unfinished answer proposes no edits.");
    answer.text = TextMatch::trimmed(grounded.text);
    answer.fromDocument = !answer.citations.empty();
    answer.notes = std::move(notes);
    answer.incomplete = std::string(rawValue(incompleteEnd(error.kind())));
    answer.read = summary(context, locale);
    return answer;
}

// Chats until the model answers, asking again without the tools or the thinking a model turns down. Throws
// the ProviderError that ends the run.
ChatOutcome chatWithFallbacks(ModelProvider& provider, const AssistantSettings& settings,
                              const std::vector<ChatMessage>& messages, ChatLimits& limits, bool& sendTools,
                              std::vector<std::string>& notes, DraftText& draft,
                              const std::stop_token& stop) {
    const ChatEventHandler onEvent = [&draft](const ChatEvent& event) {
        if (event.kind == ChatEvent::Kind::text) draft.append(event.text);
    };
    for (;;) {
        try {
            // A stop between attempts ends the run like a stop during one.
            if (stop.stop_requested()) throw ProviderError::cancelled({});
            static const std::vector<ToolDefinition> none;
            return provider.chat(settings.model, messages, sendTools ? AssistantPrompt::tools() : none,
                                 limits, onEvent, stop);
        } catch (const ProviderError& error) {
            if (error.kind() == ProviderError::Kind::toolsUnsupported && sendTools) {
                notes.push_back(noToolsNote(settings.model));
                draft.reset();
                sendTools = false;
            } else if (error.kind() == ProviderError::Kind::thinkingUnsupported && limits.think) {
                draft.reset();
                limits.think.reset();
            } else {
                throw;
            }
        }
    }
}

// The grounded claims as citations, each with the rectangles of its quote where the page has it; false
// once a stop cut it short.
bool cite(AssistantAnswer& answer, const GroundedAnswer& grounded, const AssistantContext& context,
          AssistantDocument& document, const std::stop_token& stop) {
    for (const auto& claim : grounded.claims) {
        if (stop.stop_requested()) return false;
        std::vector<PDFRect> rects;
        if (claim.quote) {
            try {
                const auto hits = document.find(searchText(*claim.quote), claim.pageId, stop);
                if (!hits.empty()) rects = hits.front().rects;
            } catch (...) {
                // A failed search costs only the rectangles.
                rects.clear();
            }
        }
        answer.citations.push_back(citation(claim, std::move(rects), context));
    }
    return true;
}

// The notes and the text of a finished answer: what was cut, what could not be checked, and words in
// place of an empty reply.
void finishAnswer(AssistantAnswer& answer, std::vector<std::string> notes, const GroundedAnswer& grounded,
                  const ProposalOutcome& built, bool cut, const ChatOutcome& outcome,
                  const AssistantContext& context, const AssistantSettings& settings) {
    addBounded(notes, grounded.notes);
    addBounded(notes, built.notes);
    if (cut) notes.push_back(cutNote);
    if (context.truncated) {
        notes.push_back("The text was longer than " + std::to_string(settings.contextCharacters) +
                        " characters, so the model read only the first part.");
    }
    const bool cutOff = outcome.finish.kind == FinishReason::Kind::length;
    if (cutOff) {
        notes.push_back("The answer reached the limit of " + std::to_string(settings.limits.maxOutputTokens) +
                        " tokens and may be cut off.");
    }
    answer.text = TextMatch::trimmed(grounded.text);
    if (!answer.text.empty()) {
        if (answer.citations.empty()) {
            notes.emplace_back("No citation in this answer matches the document, so treat it as unverified.");
        }
    } else if (!built.proposals.empty()) {
        answer.text = "The model proposed changes. Review them below before applying anything.";
    } else {
        answer.text = "The model gave no answer.";
    }
    answer.fromDocument = !answer.citations.empty();
    answer.notes = std::move(notes);
    answer.usage = outcome.usage;
    if (cutOff) answer.incomplete = std::string(rawValue(AnswerEnd::length));
}

}  // namespace

AssistantAnswer ask(const AssistantQuestion& question, const AssistantSettings& settings,
                    ModelProvider& provider, AssistantDocument& document, const DraftHandler& onDraft,
                    std::stop_token stop, std::string_view locale) {
    checkChatLimits(settings.limits);
    const AssistantContext context = document.context(question, settings.contextCharacters, stop);
    if (context.scan) {
        AssistantAnswer answer = answerFrame(context, settings);
        answer.text = kScanText;
        answer.scan = true;
        return answer;
    }

    const ModelCapabilities capabilities = provider.capabilities(settings.model, stop);
    std::vector<std::string> notes;
    bool sendTools = capabilities.tools;
    if (!sendTools) notes.push_back(noToolsNote(settings.model));
    const auto messages = AssistantPrompt::messages(question.text, context);
    ChatLimits limits = settings.limits;
    limits.contextTokens = AssistantPrompt::contextTokens(messages, settings.limits.maxOutputTokens);
    if (!limits.think && capabilities.thinking) limits.think = false;

    DraftText draft(onDraft);
    ChatOutcome outcome;
    try {
        outcome = chatWithFallbacks(provider, settings, messages, limits, sendTools, notes, draft, stop);
    } catch (const ProviderError& error) {
        if (!endsEarly(error.kind())) throw;
        return partialAnswer(error, std::move(notes), context, settings, locale);
    }

    // A stop after the model finished ends the run as a stop during it would.
    const auto stopped = [&] {
        return partialAnswer(ProviderError::cancelled(outcome.text), std::move(notes), context, settings,
                             locale);
    };
    const auto [reply, cut] = boundedReply(outcome.text);
    const GroundedAnswer grounded = AnswerGrounding::ground(reply, context, stop);
    if (stop.stop_requested()) return stopped();
    AssistantAnswer answer = answerFrame(context, settings);
    if (!cite(answer, grounded, context, document, stop)) return stopped();

    ProposalOutcome built;
    if (sendTools) {
        built = ProposalBuilder::build(outcome.toolCalls, context,
                                       [&](const std::string& text, const std::string& pageId) {
                                           return document.find(text, pageId, stop);
                                       });
    }
    if (stop.stop_requested()) return stopped();
    answer.proposals.insert(answer.proposals.end(), built.proposals.begin(), built.proposals.end());
    finishAnswer(answer, std::move(notes), grounded, built, cut, outcome, context, settings);
    answer.read = summary(context, locale);
    return answer;
}

std::string searchText(std::string_view quote) {
    std::vector<std::string> pieces{std::string(quote)};
    for (const std::string_view separator :
         {"...", "\xE2\x80\xA6", "\\r\\n", "\\n", "\\r", "\r\n", "\n", "\r"}) {
        pieces = PlainText::cutAt(pieces, separator);
    }
    std::string longest;
    std::int64_t longestLength = -1;
    for (const auto& piece : pieces) {
        std::string normalised = TextMatch::collapsedWhitespace(piece);
        const std::int64_t length = graphemeCount(normalised);
        if (length > longestLength) {
            longest = std::move(normalised);
            longestLength = length;
        }
    }
    return longest;
}

std::string summary(const AssistantContext& context, std::string_view locale) {
    const std::string count = groupedInteger(context.characters, locale);
    if (const auto& selection = context.selection) {
        return "Read the selection on page " + std::to_string(selection->pageIndex + 1) + ", " + count +
               " characters.";
    }
    std::vector<std::int64_t> numbers;
    for (const auto& page : context.pages) numbers.push_back(page.pageIndex + 1);
    return "Read " + AssistantPrompt::describe(numbers) + ", " + count + " characters" +
           (context.truncated ? ", cut to fit" : "") + ".";
}

Citation citation(const CitationClaim& claim, std::vector<PDFRect> rects, const AssistantContext& context) {
    Citation made;
    made.pageId = claim.pageId;
    made.pageIndex = claim.pageIndex;
    made.revision = context.revision;
    made.rects = std::move(rects);
    made.source = "document";
    if (claim.quote) {
        made.preview = *claim.quote;
        return made;
    }
    std::string_view pageText;
    const auto page =
        std::find_if(context.pages.begin(), context.pages.end(),
                     [&](const ContextPage& candidate) { return candidate.pageId == claim.pageId; });
    if (page != context.pages.end()) {
        pageText = page->text;
    } else if (context.selection) {
        pageText = context.selection->text;
    }
    const std::string collapsed = TextMatch::collapsedWhitespace(pageText);
    made.preview = collapsed.substr(0, graphemePrefix(collapsed, kPreviewCharacters).bytes);
    return made;
}

}  // namespace kivo::AssistantRun
