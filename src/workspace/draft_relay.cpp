#include "workspace/draft_relay.hpp"

#include <utility>

namespace kivo {

bool DraftRelay::offer(const std::string& draft) {
    std::lock_guard guard(lock_);
    if (draft.size() >= text_.size()) {
        text_.append(draft, text_.size());
    } else {
        text_ = draft;
    }
    return !std::exchange(woken_, true);
}

std::string DraftRelay::take() {
    std::lock_guard guard(lock_);
    woken_ = false;
    return text_;
}

}  // namespace kivo
