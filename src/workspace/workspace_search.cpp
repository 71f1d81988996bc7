// Finding text in the open document: the worker matches, the workspace keeps the hits and walks
// through them, wrapping around at both ends.
//
// The worker answers a search of the whole document only once every page is searched, so the editor
// asks a few pages a request, in document order, two requests ahead: the first hit shows as soon as its
// pages are searched, while the rest are still on their way. The first requests are the smallest, for a
// hit near the start; later ones hold more pages, as a round trip through the editor costs the worker
// nearly as long as searching a page, but not so many that the hit's page waits long behind the rest of
// its request. The hits are those of one search of the whole document, in the same order: each page's
// own hits, in page order, cut at the worker's cap.

#include <QTimer>

#include <algorithm>
#include <deque>
#include <utility>

#include "core/engine_failure.hpp"
#include "core/text.hpp"
#include "workspace/workspace.hpp"
#include "workspace/workspace_private.hpp"

namespace kivo {
namespace {

// Requests in the command queue at once: the worker never waits for the editor to ask for the next pages.
constexpr std::size_t searchWindow = 2;
// Pages of the first request; each next one holds twice as many, up to the most.
constexpr std::size_t firstSearchPages = 2;
constexpr std::size_t mostSearchPages = 8;
// A search of the whole document stops collecting here; so does one that goes a few pages at a time.
constexpr std::size_t searchHitLimit = 200;
constexpr int searchActivityDelayMilliseconds = 250;

std::string searchingTitle(const std::string& query) { return "Searching for “" + query + "”"; }

}  // namespace

struct Workspace::SearchRun {
    std::string session;
    std::string query;
    std::optional<std::int64_t> revision;
    std::vector<std::string> pages;
    // Pages asked for and answered, both counted in page order; the requests on their way, oldest first.
    std::size_t asked = 0;
    std::size_t answered = 0;
    struct Asked {
        std::string id;
        std::size_t pages = 0;
    };
    std::deque<Asked> inFlight;
    std::size_t nextPages = firstSearchPages;
    std::vector<SearchHit> hits;
    bool shown = false;
    bool visible = false;
    // The person asked to cancel: the request it named may have been answered already, so the run stops
    // at the next answer whatever it holds.
    bool cancelling = false;
    QMetaObject::Connection cancelWatch;

    bool carries(const std::string& requestId) const {
        return std::any_of(inFlight.begin(), inFlight.end(),
                           [&](const Asked& a) { return a.id == requestId; });
    }
};

void Workspace::search(const std::string& query) {
    setSearchQuery(query);
    searchAgain();
}

void Workspace::searchAgain() {
    if (!sessionId()) return;
    const std::string query(trimWhitespaceAndNewlines(searchQuery()));
    endSearchRun();
    if (query.empty()) {
        setSearchHits({});
        return;
    }
    auto run = std::make_shared<SearchRun>();
    run->session = *sessionId();
    run->query = query;
    run->revision = inspect() ? inspect()->revision : std::nullopt;
    if (inspect() && inspect()->pages) {
        for (const PageInfo& page : *inspect()->pages) run->pages.push_back(page.id);
    }
    setErrorMessage(std::nullopt);
    d_->searchRun_ = run;
    run->cancelWatch = connect(&link(), &WorkerLink::activityChanged, this, [this, run] {
        const auto& activity = link().activity();
        if (activity && activity->cancelling && run->carries(activity->requestId)) run->cancelling = true;
    });
    // As a command's own activity: shown once the search has taken a quarter second.
    QTimer::singleShot(searchActivityDelayMilliseconds, this, [this, run] {
        if (d_->searchRun_ != run) return;
        run->visible = true;
        showSearchActivity();
    });
    askSearchPages();
    if (run->pages.empty()) finishSearch();
}

void Workspace::askSearchPages() {
    const std::shared_ptr<SearchRun> run = d_->searchRun_;
    while (run && run->inFlight.size() < searchWindow && run->asked < run->pages.size()) {
        const std::size_t index = run->asked;
        const std::size_t count = std::min(run->nextPages, run->pages.size() - index);
        run->asked += count;
        run->nextPages = std::min(run->nextPages * 2, mostSearchPages);
        CommandParams params;
        params.sessionId = run->session;
        params.query = run->query;
        const auto first = run->pages.begin() + static_cast<std::ptrdiff_t>(index);
        params.pageIds = std::vector<std::string>(first, first + static_cast<std::ptrdiff_t>(count));
        CommandRequest request = makeRequest(CommandMethod::search, std::move(params));
        run->inFlight.push_back({request.id, count});
        send(
            std::move(request), std::nullopt, false,
            [this, run, index](const CommandResult& result) { searchPagesAnswered(run, index, result); },
            [this, run](const std::string& code, const std::string& message) {
                if (d_->searchRun_ != run) return;
                endSearchRun();
                // A page taken away by a change, or a document closed for another, on its way is no failure:
                // the document as it is now is searched.
                if (sessionId() &&
                    (sessionId() != run->session || !inspect() || inspect()->revision != run->revision))
                    return searchAgain();
                // As a search of the whole document reports it.
                if (code == rawValue(LinkFailure::workerRestarting)) return setStatus(message);
                setErrorMessage(message);
            },
            [this, run] {
                if (d_->searchRun_ != run) return;
                endSearchRun();
                // A search cancelled before its end would show only the hits of the pages it reached.
                setSearchHits({});
            });
    }
    showSearchActivity();
}

void Workspace::searchPagesAnswered(const std::shared_ptr<SearchRun>& run, std::size_t index,
                                    const CommandResult& result) {
    if (d_->searchRun_ != run) return;
    // Pages searched before a change and after it would not make the hits of one search, and another
    // document opened meanwhile is the one to search: it starts again.
    if (sessionId() != run->session || !inspect() || inspect()->revision != run->revision) {
        endSearchRun();
        return searchAgain();
    }
    // Replies come back in the order asked; anything else would mix up the hits' order.
    if (index != run->answered || run->inFlight.empty()) return endSearchRun();
    run->answered += run->inFlight.front().pages;
    run->inFlight.pop_front();
    if (run->cancelling) {
        endSearchRun();
        setSearchHits({});
        setStatus(cancelledFailure().message);
        return;
    }
    for (const SearchHit& hit : result.matches.value_or(std::vector<SearchHit>{})) {
        if (run->hits.size() == searchHitLimit) break;
        run->hits.push_back(hit);
    }
    if (run->hits.size() == searchHitLimit || run->answered == run->pages.size()) return finishSearch();
    if (!run->hits.empty() && !run->shown) {
        run->shown = true;
        setSearchHits(run->hits);
        setSearchHitIndex(0);
        revealSearchHit();
        // The count is not known yet.
        setStatus(searchingTitle(run->query));
    }
    askSearchPages();
}

void Workspace::finishSearch() {
    const std::shared_ptr<SearchRun> run = d_->searchRun_;
    endSearchRun();
    if (!run) return;
    const std::int64_t kept = searchHitIndex();
    setSearchHits(std::move(run->hits));
    setStatus(std::to_string(searchHits().size()) + " matches");
    if (!run->shown) {
        setSearchHitIndex(0);
        revealSearchHit();
    } else if (kept >= 0 && kept < static_cast<std::int64_t>(searchHits().size())) {
        // The first hit is on show already: only the count it stands among changed.
        setStatus("Match " + std::to_string(kept + 1) + " of " + std::to_string(searchHits().size()));
    }
}

void Workspace::showSearchActivity() {
    const std::shared_ptr<SearchRun> run = d_->searchRun_;
    if (!run || run->inFlight.empty()) return;
    CommandActivity activity;
    activity.requestId = run->inFlight.front().id;
    activity.title = searchingTitle(run->query);
    activity.phase = CommandPhase::searching;
    activity.completed = static_cast<std::int64_t>(run->answered);
    activity.total = static_cast<std::int64_t>(run->pages.size());
    activity.visible = run->visible;
    activity.cancelling = run->cancelling;
    link().showActivity(activity);
}

void Workspace::endSearchRun() {
    const std::shared_ptr<SearchRun> run = std::exchange(d_->searchRun_, nullptr);
    if (!run) return;
    disconnect(run->cancelWatch);
    const auto& activity = link().activity();
    if (activity && run->carries(activity->requestId)) link().endActivity(std::string(activity->requestId));
}

void Workspace::findNext(const std::string& query) { stepSearch(1, query); }

void Workspace::findPrevious(const std::string& query) { stepSearch(-1, query); }

void Workspace::stepSearch(std::int64_t delta, const std::string& query) {
    const auto count = static_cast<std::int64_t>(searchHits().size());
    if (count == 0) {
        search(query);
        return;
    }
    setSearchHitIndex((searchHitIndex() + delta + count) % count);
    revealSearchHit();
}

void Workspace::requestFind() { emit findRequested(); }

void Workspace::revealCitation(const std::string& pageId, const std::optional<PDFRect>& rect) {
    select(pageId);
    setSelection(rect);
    emit revealRequested();
}

void Workspace::revealSearchHit() {
    const auto count = static_cast<std::int64_t>(searchHits().size());
    const std::int64_t index = searchHitIndex();
    if (index < 0 || index >= count) return;
    const SearchHit hit = searchHits()[static_cast<std::size_t>(index)];
    select(hit.pageId);
    setSelection(hit.rects.empty() ? std::nullopt : std::optional(hit.rects.front()));
    emit revealRequested();
    setStatus("Match " + std::to_string(index + 1) + " of " + std::to_string(count));
}

}  // namespace kivo
