#pragma once

// A session's edit history: the states an undo or a redo returns to, the generation of the state
// in memory, and the generation last written to the source file. It keeps states; opening one is
// the session's part.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "core/document_records.hpp"
#include "session/document_bytes.hpp"
#include "session/page_census_cache.hpp"

namespace kivo {

namespace testing {
class SessionProbe;
}

class UndoHistory {
public:
    // One undo or redo state. The bytes are shared, never copied.
    struct Snapshot {
        DocumentBytes::Shared bytes;
        std::vector<PageInfo> pages;
        std::int64_t generation = 0;
        // What the census knew of this state's pages, so that stepping back to it reads no page.
        std::shared_ptr<const PageCensusCache::Kept> census{};
    };

    static constexpr std::size_t maxEntries = 32;
    static constexpr std::int64_t byteBudget = 268'435'456;  // 256 MiB
    static constexpr std::size_t minEntriesUnderBudget = 4;

    // Drops the oldest entries beyond 32, and beyond the byte budget while more than 4 remain;
    // with `dropped`, moves them there instead.
    static void trim(std::vector<Snapshot>& stack, std::vector<Snapshot>* dropped = nullptr);

    // Keeps `state`, the one before a change, for undo.
    void checkpoint(Snapshot state) { undo_.push_back(std::move(state)); }
    // The change stays: the oldest entries go (see trim), redo is forgotten, and the state in
    // memory gets a generation never given before.
    void commit();
    // The newest checkpoint, taken back to roll a change back; none when there is none.
    std::optional<Snapshot> takeCheckpoint();
    // The state an undo (`back`) or a redo would open, left in place. Fails with emptyHistory
    // "Nothing to undo." ("Nothing to redo.").
    const Snapshot& next(bool back) const;
    // The state an undo (a redo) opens: the newest undo (redo) entry, taken off, with `current`
    // kept for the way back. Fails as next does.
    Snapshot stepBack(Snapshot current);
    Snapshot stepForward(Snapshot current);
    // The state in memory is now the one of `generation`, an entry just opened again.
    void restore(std::int64_t generation) { generation_ = generation; }

    std::int64_t generation() const { return generation_; }
    bool canUndo() const { return !undo_.empty(); }
    bool canRedo() const { return !redo_.empty(); }
    const std::vector<Snapshot>& undoStack() const { return undo_; }
    const std::vector<Snapshot>& redoStack() const { return redo_; }

    // Whether the state in memory is the one last written to the source file.
    bool isSaved() const { return saved_ == generation_; }
    void markSaved() { saved_ = generation_; }
    // No state is the file's (a copy without a source, a checkpoint with unsaved changes).
    void markUnsaved() { saved_.reset(); }

private:
    friend class testing::SessionProbe;

    std::vector<Snapshot> undo_;
    std::vector<Snapshot> redo_;
    std::int64_t generation_ = 0;
    std::int64_t newest_ = 0;
    std::optional<std::int64_t> saved_ = 0;
};

}  // namespace kivo
