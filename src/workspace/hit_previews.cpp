#include "workspace/hit_previews.hpp"

#include <algorithm>

#include "core/text.hpp"
#include "workspace/assistant_session.hpp"
#include "workspace/command_sender.hpp"
#include "workspace/workspace_state.hpp"

namespace kivo {
namespace {

// A control character (a math font's glyph codes often read as such) shows as a gap, never as itself.
bool isSpace(const std::string& unicode) {
    return trimWhitespaceAndNewlines(controlsAsSpaces(unicode)).empty();
}

bool meets(const TextRun& run, const PDFRect& rect) {
    return run.left < rect.right && rect.left < run.right && run.bottom < rect.top && rect.bottom < run.top;
}

}  // namespace

HitPreviews::HitPreviews(WorkspaceState& state, CommandSender& link, AssistantSession& assistant,
                         QObject* parent)
    : QObject(parent), state_(state), link_(link), assistant_(assistant) {
    const auto collect = [this] {
        std::vector<std::string> pages;
        for (const SearchHit& hit : state_.searchHits()) pages.push_back(hit.pageId);
        if (const auto& answer = assistant_.assistantAnswer()) {
            for (const Citation& citation : answer->citations) {
                if (!citation.rects.empty()) pages.push_back(citation.pageId);
            }
        }
        want(pages);
    };
    connect(&state_, &WorkspaceState::searchHitsChanged, this, collect);
    connect(&assistant_, &AssistantSession::assistantAnswerChanged, this, collect);
}

void HitPreviews::want(const std::vector<std::string>& pageIds) {
    const std::optional<std::int64_t> revision = state_.inspect() ? state_.inspect()->revision : std::nullopt;
    if (state_.sessionId() != session_ || revision != revision_) {
        session_ = state_.sessionId();
        revision_ = revision;
        texts_.clear();
    }
    waiting_.clear();
    std::set<std::string> seen;
    for (const std::string& page : pageIds) {
        if (seen.size() == pagesRead) break;
        if (!seen.insert(page).second || texts_.contains(page)) continue;
        waiting_.push_back(page);
    }
    if (!reading_) readNext();
}

void HitPreviews::readNext() {
    if (waiting_.empty() || !session_) return;
    const std::string page = waiting_.front();
    waiting_.erase(waiting_.begin());
    CommandParams params;
    params.sessionId = session_;
    params.pageId = page;
    reading_ = true;
    const auto done = [this] {
        reading_ = false;
        readNext();
    };
    link_.send(
        CommandSender::makeRequest(CommandMethod::extractText, std::move(params)), std::nullopt, false,
        [this, page, session = session_, revision = revision_, done](const CommandResult& result) {
            if (session == session_ && revision == revision_) {
                texts_[page] = result.chars.value_or(std::vector<TextRun>{});
                emit previewsChanged();
            }
            done();
        },
        [done](const std::string&, const std::string&) { done(); }, done);
}

std::optional<std::string> HitPreviews::around(const std::string& pageId, std::int64_t index,
                                               std::int64_t count) const {
    const auto text = texts_.find(pageId);
    if (text == texts_.end()) return std::nullopt;
    return surrounding(text->second, index, count);
}

std::optional<std::string> HitPreviews::under(const std::string& pageId, std::int64_t revision,
                                              const PDFRect& rect) const {
    const auto text = texts_.find(pageId);
    if (text == texts_.end() || revision_ != revision) return std::nullopt;
    std::optional<std::int64_t> first, last;
    for (const TextRun& run : text->second) {
        if (isSpace(run.unicode) || !meets(run, rect)) continue;
        if (!first) first = run.index;
        last = run.index;
    }
    if (!first) return std::nullopt;
    return surrounding(text->second, *first, *last - *first + 1);
}

std::optional<std::string> HitPreviews::surrounding(const std::vector<TextRun>& runs, std::int64_t index,
                                                    std::int64_t count) {
    const auto begin =
        std::find_if(runs.begin(), runs.end(), [&](const TextRun& run) { return run.index >= index; });
    if (begin == runs.end() || begin->index != index) return std::nullopt;
    const auto end =
        std::find_if(begin, runs.end(), [&](const TextRun& run) { return run.index >= index + count; });
    // Out to the reach on each side, then back in to the nearest whole word, when there is one near.
    auto from = begin;
    for (std::size_t taken = 0; from != runs.begin() && taken < reach; ++taken) --from;
    for (auto in = from; from != runs.begin() && in != begin; ++in) {
        if (isSpace(in->unicode)) {
            from = in;
            break;
        }
    }
    auto to = end;
    for (std::size_t taken = 0; to != runs.end() && taken < reach; ++taken) ++to;
    for (auto in = to; to != runs.end() && in != end; --in) {
        if (isSpace(std::prev(in)->unicode)) {
            to = in;
            break;
        }
    }
    std::string text = from != runs.begin() ? "…" : "";
    bool space = false;
    for (auto run = from; run != to; ++run) {
        // The page's line breaks and runs of spaces read as one space.
        if (isSpace(run->unicode)) {
            space = true;
            continue;
        }
        if (space && !text.empty() && text != "…") text += ' ';
        space = false;
        text += run->unicode;
    }
    if (to != runs.end()) text += "…";
    return text;
}

}  // namespace kivo
