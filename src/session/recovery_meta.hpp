#pragma once

// What a recovery checkpoint says about its document: written beside each checkpoint by the
// engine's recovery store, and adopted by a session restored from one.

#include <cstdint>
#include <optional>
#include <string>

#include "core/document_records.hpp"

namespace kivo {

// The content of a checkpoint's "meta.json".
struct RecoveryMeta {
    std::string recoveryId{};
    std::optional<std::string> sourcePath{};
    std::optional<std::string> sourceFingerprint{};
    std::int64_t revision = 0;
    std::int64_t pageCount = 0;
    std::string updatedAt{};
    bool dirty = false;
    // How much of checkpoint.pdf is the checkpoint, and which file that length was written for (its
    // inode): an append in progress, or a cut after an undo, leaves more on disk than the
    // state it stands for. Without them, or for another file, the whole file is the checkpoint.
    std::optional<std::int64_t> length{};
    std::optional<std::uint64_t> file{};

    RecoveryInfo info() const {
        return RecoveryInfo{recoveryId, sourcePath, revision, pageCount, updatedAt, dirty};
    }

    bool operator==(const RecoveryMeta&) const = default;
};

}  // namespace kivo
