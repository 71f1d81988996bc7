// Moving between pages by position: the go-to-page field and the previous and next page commands.
// Pages are known by their ids; a position is only where an id stands in the adopted page list.

#include <algorithm>
#include <charconv>
#include <limits>

#include "workspace/workspace.hpp"

namespace kivo {
namespace {

// An optional "+" or "-", then ASCII digits and nothing else, within 64 bits; no trimming.
std::optional<std::int64_t> readInteger(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    std::uint64_t magnitude = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    constexpr auto largest = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (magnitude > largest + (negative ? 1 : 0)) return std::nullopt;
    if (!negative) return static_cast<std::int64_t>(magnitude);
    return magnitude == largest + 1 ? std::numeric_limits<std::int64_t>::min() : -static_cast<std::int64_t>(magnitude);
}

// The id `step` places away from `pageId` in the pages, without wrapping at either end.
std::optional<std::string> neighbour(const std::optional<CommandResult>& document,
                                     const std::optional<std::string>& pageId, std::ptrdiff_t step) {
    if (!document || !document->pages || !pageId) return std::nullopt;
    const std::vector<PageInfo>& pages = *document->pages;
    const auto found =
        std::find_if(pages.begin(), pages.end(), [&](const PageInfo& page) { return page.id == *pageId; });
    if (found == pages.end()) return std::nullopt;
    const std::ptrdiff_t target = (found - pages.begin()) + step;
    if (target < 0 || target >= static_cast<std::ptrdiff_t>(pages.size())) return std::nullopt;
    return pages[static_cast<std::size_t>(target)].id;
}

}  // namespace

void Workspace::jumpToPage() {
    if (!inspect() || !inspect()->pages || pageJump().empty()) return;
    const std::vector<PageInfo>& pages = *inspect()->pages;
    const std::optional<std::int64_t> position = readInteger(pageJump());
    if (!position || *position < 1 || static_cast<std::uint64_t>(*position) > pages.size()) return;
    select(pages[static_cast<std::size_t>(*position - 1)].id);
}

void Workspace::previousPage() {
    if (const auto id = neighbour(inspect(), selectedPageId(), -1)) select(*id);
}

void Workspace::nextPage() {
    if (const auto id = neighbour(inspect(), selectedPageId(), 1)) select(*id);
}

}  // namespace kivo
