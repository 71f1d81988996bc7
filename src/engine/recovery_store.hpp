#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/document_records.hpp"
#include "session/document_bytes.hpp"
#include "session/fingerprint.hpp"
#include "session/recovery_meta.hpp"

namespace kivo {

class Session;

// Recovery checkpoints of documents with unsaved changes, one folder per session below the
// support directory's "recovery" folder, holding "checkpoint.pdf" and "meta.json". Called only
// by the engine while it holds the document lock (a write may go on on the shared pool, but the
// engine waits for it before it answers), so nothing here locks by itself.
// File-system failures are thrown as std::filesystem::filesystem_error.
namespace RecoveryStore {

struct Checkpoint {
    DocumentBytes::Shared bytes;
    RecoveryMeta meta;
};

// The folder of one checkpoint. Fails with `invalidArgument` for anything but a non-empty run of
// at most 64 hex digits and dashes, so an id can never name a place outside the recovery root.
std::filesystem::path folder(std::string_view recoveryId);

// Creates the recovery root and makes it owner-only.
void prepare();

// Writes the session's backing bytes and its description. The description is replaced atomically;
// the bytes too, unless the file holds what this process last wrote there and the new bytes only
// add to its end or stop short of it: then only the difference is written, in place, and the
// description names how much of the file is the checkpoint (see RecoveryMeta::length).
void write(const Session& session);

// What `write` writes for the session, taken from it at once, so the writing can go on while the
// session goes on to other work; and the writing of it.
struct Pending {
    DocumentBytes::Shared bytes;
    RecoveryMeta meta;
};
Pending pending(const Session& session);
void write(const Pending& pending);

// Adds `bytes` to the end of the session's checkpoint file ahead of the write that names them, where
// that file holds what this process last wrote there and `bytes` only add to it: the write that
// follows for the same bytes then writes only the description, so the bytes can go to the disk while
// the engine still checks that they open. Until that write, the description names what the file
// held before, which is what a restore reads. Does nothing where an in-place write could not be done;
// fails as `write` does.
void writeAhead(const std::string& recoveryId, const DocumentBytes::Shared& bytes);

// Bytes and a description given directly, both replaced atomically; `meta.updatedAt` is set to now.
void writeCheckpoint(std::span<const std::uint8_t> bytes, RecoveryMeta meta);

// The checkpoint as its description names it. Fails with `invalidArgument`, `notFound` (no
// readable checkpoint.pdf), the failures of DocumentBytes::read, or a file-system or decoding
// failure of meta.json.
Checkpoint load(std::string_view recoveryId);

// Every readable checkpoint, newest first; entries that cannot be read are left out. Never fails.
std::vector<RecoveryInfo> list() noexcept;

// Removes the checkpoint folder when it exists.
void discard(std::string_view recoveryId);

// Compact JSON of a description, and back; decodeMeta throws std::runtime_error when the text is
// not JSON or a required key is missing or of the wrong type.
std::string encodeMeta(const RecoveryMeta& meta);
RecoveryMeta decodeMeta(std::string_view text);

// ISO 8601 in UTC with whole seconds, such as "2026-12-08T20:15:00Z".
std::string timestamp(std::chrono::system_clock::time_point time);

}  // namespace RecoveryStore
}  // namespace kivo
