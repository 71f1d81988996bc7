#pragma once

// The revisions the editor's own changes moved one document through, as the command queue saw
// their answers. A change the user makes while an earlier one is still on its way is made
// against the revision last adopted; by the time it leaves the queue, the earlier changes of the
// same document went through and moved the revision on. Sent as it stands it would be refused as
// stale, although nobody else touched the document; forwarded over the revisions our own changes
// produced, it goes with the revision the change before it produced. A revision moved by someone
// else (an MCP client) is never in the chain, so a change made against an older one is sent
// unchanged and the worker refuses it. Used on the command queue's thread only; never fails.

#include <cstdint>
#include <string>

namespace kivo {

class OwnRevisions {
public:
    // The revision to send for a change of `session` made against `expected`: the end of the chain
    // when `expected` is one of the revisions our own changes went through, else `expected`.
    std::int64_t forward(const std::string& session, std::int64_t expected) const;
    // A change of `session` sent with `sent` was applied and left the document at `produced`.
    void record(const std::string& session, std::int64_t sent, std::int64_t produced);
    // Forgets the chain: the connection or the worker behind it changed.
    void clear();

private:
    std::string session_;
    // Every revision from first_ to last_ was left by one of our own changes, in turn.
    std::int64_t first_ = 0;
    std::int64_t last_ = 0;
    bool known_ = false;
};

}  // namespace kivo
