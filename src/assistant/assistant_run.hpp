#pragma once

// One question about an open document, answered by a model provider: fetch the context, refuse
// a scan without asking any model, send the prompt (with the edit tools when the model takes
// them), report the growing draft, retry once without tools and once without a thinking
// setting when the model rejects them, check the citations, locate the quoted ones, turn tool
// calls into proposals, and return one answer. Nothing of the document changes.
//
// `ask` blocks the calling thread; a stop ends the chat at once, or the checks after it, and the
// run returns the "cancelled" partial answer.

#include <cstdint>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "assistant/answer_grounding.hpp"
#include "assistant/model_provider.hpp"
#include "core/assistant_records.hpp"

namespace kivo {

struct AssistantQuestion {
    std::string text{};
    // "selection", "page" or "document".
    std::string scope{};
    std::optional<std::string> pageId{};
    std::optional<std::string> selection{};
    std::optional<PDFRect> selectionRect{};

    bool operator==(const AssistantQuestion&) const = default;
};

struct AssistantSettings {
    std::string model{};
    // The page-text budget, passed to the document as its limit.
    std::int64_t contextCharacters = 0;
    // Their `contextTokens` is never used: the run sizes the window for each chat.
    ChatLimits limits{};

    bool operator==(const AssistantSettings&) const = default;
};

// The document as the run reads it; the editor implements it over the worker's
// `assistant_context` and `search` commands. Both may throw; a stop may end either.
class AssistantDocument {
public:
    virtual ~AssistantDocument() = default;
    virtual AssistantContext context(const AssistantQuestion& question, std::int64_t limit,
                                     std::stop_token stop) = 0;
    // Where the text occurs on that page.
    virtual std::vector<SearchHit> find(const std::string& text, const std::string& pageId,
                                        std::stop_token stop) = 0;
};

// Called with the whole raw text written so far (or "" when a retry starts over), on the
// thread that called `ask`, once per piece of text until the answer's bound is reached (nothing
// after that). The text is the run's own and lives only for
// the call: a handler that keeps it copies what it needs, and one called for every piece of a
// long reply should not copy it whole every time.
using DraftHandler = std::function<void(const std::string& draft)>;

namespace AssistantRun {

// An answer holds at most this many characters (code points) of the model's text: the draft stops
// growing there and the answer is cut there, with a note. Above what an honest answer reaches: the hosted
// provider writes at most 4,096 tokens, about 16,000 characters at four a token, and 32,768 leaves room
// for twice as many characters a token. The citations in the kept part are
// checked (AnswerGrounding bounds those), and of each kind of note (about citations, about the
// model's edit calls) the first `maximumNotesOfAKind` are kept, then one line counting the rest.
inline constexpr std::size_t maximumAnswerCharacters = 32768;
inline constexpr std::size_t maximumNotesOfAKind = 5;

// `locale` formats the character count of the read summary ("1,234" in "en_US"); empty means
// the process's default locale. Throws what the document's `context` throws, std::invalid_argument
// for limits `checkChatLimits` refuses, and every ProviderError but a timeout, a stop or a lost
// connection (those give the partial answer).
AssistantAnswer ask(const AssistantQuestion& question, const AssistantSettings& settings,
                    ModelProvider& provider, AssistantDocument& document, const DraftHandler& onDraft,
                    std::stop_token stop, std::string_view locale = {});

// The longest piece of a quote between ellipses and escaped or real line breaks, its white
// space collapsed: the text searched to locate the quote.
std::string searchText(std::string_view quote);

// "Read pages 1–3, 24,000 characters." or "Read the selection on page 3, 1,234 characters."
std::string summary(const AssistantContext& context, std::string_view locale = {});

Citation citation(const CitationClaim& claim, std::vector<PDFRect> rects, const AssistantContext& context);

}  // namespace AssistantRun

}  // namespace kivo
