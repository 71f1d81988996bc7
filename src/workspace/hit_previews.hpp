#pragma once

// The words around a search hit or a cited passage, so that two of them on one page can be told apart by
// someone who only hears their names. The worker's hit holds only the matched characters; the page texts
// of the hits' and citations' pages are asked for once each (a bounded number of pages, one request at
// a time) and kept for the revision on show. GUI thread only; every request goes through the
// CommandSender, and a page whose text could not be read simply has no surrounding text.

#include <QObject>

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/document_records.hpp"

namespace kivo {

class AssistantSession;
class CommandSender;
class WorkspaceState;

class HitPreviews : public QObject {
    Q_OBJECT

public:
    // How many pages' texts are read for one list of hits and citations.
    static constexpr std::size_t pagesRead = 32;
    // How many characters of the page stand on each side of the passage, before cutting at a word.
    static constexpr std::size_t reach = 40;

    // `state`, `link` and `assistant` must outlive the previews.
    HitPreviews(WorkspaceState& state, CommandSender& link, AssistantSession& assistant,
                QObject* parent = nullptr);

    // The passage of `count` characters from character `index` of the page with the words around it, cut at
    // words and marked with an ellipsis where the page goes on; nothing until that page's text is at hand.
    std::optional<std::string> around(const std::string& pageId, std::int64_t index,
                                      std::int64_t count) const;
    // The same for the characters whose boxes meet `rect`, at `revision`; nothing for another revision.
    std::optional<std::string> under(const std::string& pageId, std::int64_t revision,
                                     const PDFRect& rect) const;

    // The passage of `count` characters from `index` among `runs` with the words around it. Pure.
    static std::optional<std::string> surrounding(const std::vector<TextRun>& runs, std::int64_t index,
                                                  std::int64_t count);

signals:
    // A page's text arrived: what around() and under() answer may have changed.
    void previewsChanged();

private:
    void want(const std::vector<std::string>& pageIds);
    void readNext();

    WorkspaceState& state_;
    CommandSender& link_;
    AssistantSession& assistant_;
    // The document and revision the texts were read at.
    std::optional<std::string> session_;
    std::optional<std::int64_t> revision_;
    std::map<std::string, std::vector<TextRun>> texts_;
    std::vector<std::string> waiting_;
    bool reading_ = false;
};

}  // namespace kivo
