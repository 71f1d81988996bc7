#include "workspace/own_revisions.hpp"

namespace kivo {

std::int64_t OwnRevisions::forward(const std::string& session, std::int64_t expected) const {
    if (!known_ || session != session_ || expected < first_ || expected > last_) return expected;
    return last_;
}

void OwnRevisions::record(const std::string& session, std::int64_t sent, std::int64_t produced) {
    if (produced < sent) {
        // Revisions only grow; an answer that says otherwise leaves nothing to build on.
        clear();
        return;
    }
    if (known_ && session == session_ && sent == last_) {
        last_ = produced;
        return;
    }
    // The first change, or one made after someone else moved the document: a new chain.
    session_ = session;
    first_ = sent;
    last_ = produced;
    known_ = true;
}

void OwnRevisions::clear() { *this = OwnRevisions(); }

}  // namespace kivo
