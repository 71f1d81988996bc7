#include "engine/recovery_store.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "core/descriptor.hpp"
#include "core/file_creation.hpp"
#include "core/ipc_paths.hpp"
#include "core/line_io.hpp"
#include "core/safe_files.hpp"
#include "core/text.hpp"
#include "session/form_dictionary.hpp"
#include "session/session.hpp"
#include "core/engine_failure.hpp"

namespace kivo {

namespace RecoveryStore {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t maxIdCharacters = 64;

// One code point from the front of `text`; 0xFFFFFFFF for an ill-formed sequence.
char32_t takeCodePoint(std::string_view& text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = lead < 0x80           ? 1
                         : (lead >> 5) == 0x6  ? 2
                         : (lead >> 4) == 0xE  ? 3
                         : (lead >> 3) == 0x1E ? 4
                                               : 0;
    if (length == 0 || length > text.size()) {
        text.remove_prefix(1);
        return 0xFFFFFFFF;
    }
    char32_t value = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            text.remove_prefix(1);
            return 0xFFFFFFFF;
        }
        value = (value << 6) | (byte(i) & 0x3F);
    }
    text.remove_prefix(length);
    return value;
}

bool isRecoveryIdCharacter(char32_t c) {
    return (c >= U'0' && c <= U'9') || (c >= U'a' && c <= U'f') || (c >= U'A' && c <= U'F') || c == U'-' ||
           (c >= 0xFF10 && c <= 0xFF19) || (c >= 0xFF21 && c <= 0xFF26) || (c >= 0xFF41 && c <= 0xFF46);
}

bool isValidRecoveryId(std::string_view id) {
    if (id.empty() || !isValidUTF8(id)) return false;
    std::size_t characters = 0;
    while (!id.empty()) {
        if (!isRecoveryIdCharacter(takeCodePoint(id)) || ++characters > maxIdCharacters) return false;
    }
    return true;
}

// A reader sees the old file or the whole new one, never a part; the files are the user's alone.
void writeAtomically(const fs::path& target, std::span<const std::uint8_t> bytes) {
    SafeFiles::ReplaceOptions options;
    options.newFileMode = 0600;
    options.followLink = false;
    options.createFolders = false;
    SafeFiles::replaceFile(
        target,
        [&](int fd) {
            try {
                writeAll(fd, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
            } catch (const std::system_error& error) {
                throw fs::filesystem_error("Could not write a recovery file", target, error.code());
            }
        },
        options);
}

// What each checkpoint file of this process holds: the bytes last written to it whole or appended,
// how many of them the description names, and the file (its inode) they went to. A change appended to
// the state on disk, or an undo back to a state the file begins with, then writes only what differs
// instead of the whole document. The bytes are not kept alive here: once the history lets them go,
// the next checkpoint is written whole.
struct Written {
    std::weak_ptr<const DocumentBytes> bytes;
    std::int64_t length = 0;
    std::uint64_t file = 0;
};

std::mutex writtenLock;
std::map<std::string, Written> written;
// Bytes written ahead to the end of each checkpoint file, flushed, and not yet named by its description.
std::map<std::string, Written> ahead;

// What the file holds now, or nothing known (and nothing written ahead) when that cannot be told.
void remember(const std::string& recoveryId, std::optional<Written> now) {
    const std::lock_guard guard(writtenLock);
    if (now) {
        written.insert_or_assign(recoveryId, std::move(*now));
    } else {
        written.erase(recoveryId);
        ahead.erase(recoveryId);
    }
}

std::optional<Written> takeAhead(const std::string& recoveryId) {
    const std::lock_guard guard(writtenLock);
    const auto found = ahead.find(recoveryId);
    if (found == ahead.end()) return std::nullopt;
    Written taken = std::move(found->second);
    ahead.erase(found);
    return taken;
}

std::optional<Written> writtenTo(const std::string& recoveryId) {
    const std::lock_guard guard(writtenLock);
    const auto found = written.find(recoveryId);
    if (found == written.end()) return std::nullopt;
    return found->second;
}

void writePosition(int fd, std::span<const std::uint8_t> bytes, std::int64_t offset) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done,
                                   static_cast<off_t>(offset) + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::system_error(errno == 0 ? EIO : errno, std::generic_category());
        done += static_cast<std::size_t>(n);
    }
}

void writeDescription(const fs::path& directory, RecoveryMeta meta) {
    meta.updatedAt = timestamp(std::chrono::system_clock::now());
    const std::string json = encodeMeta(meta);
    writeAtomically(directory / "meta.json",
                    {reinterpret_cast<const std::uint8_t*>(json.data()), json.size()});
}

// The checkpoint file opened for writing in place, with what it held, when it is the file this
// process last wrote for `recoveryId`, `bytes` begin as what it holds, and what they add does not hide
// the form's flag: a file written in place never did (see write), so only the added part is looked at.
// The file must measure what it held, or `size` when bytes were written ahead.
struct InPlace {
    Descriptor file;
    Written before;
};

std::optional<InPlace> openInPlace(const fs::path& directory, const std::string& recoveryId,
                                   const DocumentBytes& bytes,
                                   std::optional<std::int64_t> size = std::nullopt) {
    std::optional<Written> before = writtenTo(recoveryId);
    if (!before) return std::nullopt;
    const DocumentBytes::Shared onDisk = before->bytes.lock();
    if (!onDisk || onDisk->count() < before->length) return std::nullopt;
    const std::int64_t length = bytes.count();
    const std::int64_t common = std::min(length, before->length);
    if (!bytes.startsLike(*onDisk, common)) return std::nullopt;
    // From a little before the end of what is there, so a key that began in it is seen whole.
    constexpr std::int64_t overlap = 64;
    if (length > common && FormDictionary::hidesAppearances(bytes.data().subspan(
                               static_cast<std::size_t>(std::max<std::int64_t>(0, common - overlap)))))
        return std::nullopt;

    const fs::path pdf = directory / "checkpoint.pdf";
    Descriptor file(::open(pdf.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status {};
    if (!file || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        static_cast<std::uint64_t>(status.st_ino) != before->file ||
        status.st_size != size.value_or(before->length)) {
        return std::nullopt;
    }
    return InPlace{std::move(file), std::move(*before)};
}

// Writes `bytes` as the checkpoint by changing the file on disk in place, when it holds exactly what
// this process last wrote to it and that begins the same way. A longer state goes on at the end and
// is flushed before the description names its length (unless writeAhead already put these very bytes
// there); a shorter one (an undo) is named first and cut after. Either way a kill at any moment leaves
// a description naming a whole state the file holds. Answers false, having changed nothing, where it
// cannot.
bool writeInPlace(const fs::path& directory, const DocumentBytes::Shared& bytes, RecoveryMeta& meta) {
    // Bytes written ahead count only for these very bytes, and only once.
    const std::optional<Written> wroteAhead = takeAhead(meta.recoveryId);
    const std::int64_t length = bytes->count();
    const bool alreadyThere = wroteAhead && wroteAhead->bytes.lock() == bytes && wroteAhead->length == length;
    std::optional<InPlace> place =
        openInPlace(directory, meta.recoveryId, *bytes, alreadyThere ? std::optional(length) : std::nullopt);
    if (!place || (alreadyThere && place->before.file != wroteAhead->file)) return false;
    const Written& before = place->before;
    const Descriptor& file = place->file;
    meta.length = length;
    meta.file = before.file;
    try {
        if (length > before.length) {
            if (!alreadyThere) {
                writePosition(file.get(), bytes->data().subspan(static_cast<std::size_t>(before.length)),
                              before.length);
                if (::fdatasync(file.get()) != 0) throw std::system_error(errno, std::generic_category());
            }
            writeDescription(directory, meta);
        } else {
            writeDescription(directory, meta);
            // The description already names the shorter state; a cut that fails leaves only more
            // bytes than it names.
            if (::ftruncate(file.get(), static_cast<off_t>(length)) != 0) {
                remember(meta.recoveryId, std::nullopt);
                return true;
            }
        }
    } catch (const std::system_error& error) {
        remember(meta.recoveryId, std::nullopt);
        throw fs::filesystem_error("Could not write a recovery file", directory / "checkpoint.pdf",
                                   error.code());
    } catch (...) {
        remember(meta.recoveryId, std::nullopt);
        throw;
    }
    remember(meta.recoveryId, Written{bytes, length, before.file});
    return true;
}

std::string readWholeFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw fs::filesystem_error("Could not read a recovery file", path,
                                   std::make_error_code(std::errc::io_error));
    }
    std::ostringstream out;
    out << in.rdbuf();
    if (in.bad()) {
        throw fs::filesystem_error("Could not read a recovery file", path,
                                   std::make_error_code(std::errc::io_error));
    }
    return std::move(out).str();
}

}  // namespace

fs::path folder(std::string_view recoveryId) {
    if (!isValidRecoveryId(recoveryId)) {
        throw EngineFailure(FailureCode::invalidArgument, "A recoveryId is the id of a session.");
    }
    return IPCPaths::recoveryDirectory() / std::string(recoveryId);
}

void prepare() {
    // Inside the sandbox the folder was made private before the worker was confined, and its mode
    // can no longer be changed.
    FileCreation::makePrivateFolder(IPCPaths::recoveryDirectory());
}

namespace {

fs::path preparedFolder(const std::string& recoveryId) {
    prepare();
    const fs::path directory = folder(recoveryId);
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
        throw fs::filesystem_error("Could not create a recovery folder", directory,
                                   std::error_code(errno, std::generic_category()));
    }
    return directory;
}

// Replaces the checkpoint whole; answers the new file's inode, 0 when it cannot be told. A kill
// before the description follows leaves an older description naming another file, which the
// whole new file then stands in for.
std::uint64_t writeWhole(const fs::path& directory, std::span<const std::uint8_t> bytes, RecoveryMeta& meta) {
    remember(meta.recoveryId, std::nullopt);
    const fs::path pdf = directory / "checkpoint.pdf";
    writeAtomically(pdf, bytes);
    struct stat status {};
    const std::uint64_t file =
        ::lstat(pdf.c_str(), &status) == 0 ? static_cast<std::uint64_t>(status.st_ino) : 0;
    if (file != 0) {
        meta.length = static_cast<std::int64_t>(bytes.size());
        meta.file = file;
    }
    writeDescription(directory, meta);
    return file;
}

}  // namespace

void writeCheckpoint(std::span<const std::uint8_t> bytes, RecoveryMeta meta) {
    const fs::path directory = preparedFolder(meta.recoveryId);
    writeWhole(directory, bytes, meta);
}

Pending pending(const Session& session) {
    Pending pending{session.backingBytes(), {}};
    RecoveryMeta& meta = pending.meta;
    meta.recoveryId = session.id();
    meta.sourcePath = session.sourcePath();
    meta.sourceFingerprint = session.sourceFingerprint();
    meta.revision = session.revision();
    meta.pageCount = static_cast<std::int64_t>(session.pages().size());
    meta.dirty = !session.isSaved();
    return pending;
}

void write(const Session& session) { write(pending(session)); }

void writeAhead(const std::string& recoveryId, const DocumentBytes::Shared& bytes) {
    takeAhead(recoveryId);
    // Nothing is added to a checkpoint this process has not written: its folder is not made here.
    if (!bytes || !writtenTo(recoveryId)) return;
    const fs::path directory = folder(recoveryId);
    std::optional<InPlace> place = openInPlace(directory, recoveryId, *bytes);
    if (!place || bytes->count() <= place->before.length) return;
    const std::int64_t from = place->before.length;
    try {
        writePosition(place->file.get(), bytes->data().subspan(static_cast<std::size_t>(from)), from);
        if (::fdatasync(place->file.get()) != 0) throw std::system_error(errno, std::generic_category());
    } catch (const std::system_error& error) {
        // The file now holds more than this process knows of: the next checkpoint is written whole.
        remember(recoveryId, std::nullopt);
        throw fs::filesystem_error("Could not write a recovery file", directory / "checkpoint.pdf",
                                   error.code());
    }
    const std::lock_guard guard(writtenLock);
    ahead.insert_or_assign(recoveryId, Written{bytes, bytes->count(), place->before.file});
}

void write(const Pending& pending) {
    const DocumentBytes::Shared& bytes = pending.bytes;
    RecoveryMeta meta = pending.meta;
    std::span<const std::uint8_t> data = bytes ? bytes->data() : std::span<const std::uint8_t>{};
    const fs::path directory = preparedFolder(meta.recoveryId);
    if (bytes && writeInPlace(directory, bytes, meta)) return;
    // A checkpoint is a file like any other: its form's flag stands under its own name. Such
    // bytes are the session's no more, so they are written whole.
    const std::optional<std::string> shown = FormDictionary::withAppearancesShown(data);
    if (shown) {
        writeWhole(directory, {reinterpret_cast<const std::uint8_t*>(shown->data()), shown->size()}, meta);
        return;
    }
    const std::uint64_t file = writeWhole(directory, data, meta);
    if (bytes && file != 0) remember(meta.recoveryId, Written{bytes, bytes->count(), file});
}

Checkpoint load(std::string_view recoveryId) {
    const fs::path directory = folder(recoveryId);
    const fs::path pdf = directory / "checkpoint.pdf";
    std::error_code error;
    if (!fs::is_regular_file(pdf, error) || ::access(pdf.c_str(), R_OK) != 0) {
        throw EngineFailure(FailureCode::notFound, "No recovery checkpoint matches that id.");
    }
    Checkpoint checkpoint{nullptr, decodeMeta(readWholeFile(directory / "meta.json"))};
    const auto inode = [&]() -> std::uint64_t {
        struct stat status {};
        return ::lstat(pdf.c_str(), &status) == 0 ? static_cast<std::uint64_t>(status.st_ino) : 0;
    };
    const std::uint64_t before = inode();
    checkpoint.bytes = DocumentBytes::read(pdf);
    // Only the length written for this very file counts; bytes past it are an append a kill cut
    // short, or what an undo had yet to cut.
    const std::optional<std::int64_t> length = checkpoint.meta.length;
    if (length && checkpoint.meta.file == before && before != 0 && inode() == before && *length >= 0 &&
        *length < checkpoint.bytes->count()) {
        checkpoint.bytes = DocumentBytes::copied(std::string_view(
            reinterpret_cast<const char*>(checkpoint.bytes->pointer()), static_cast<std::size_t>(*length)));
    }
    return checkpoint;
}

std::vector<RecoveryInfo> list() noexcept {
    std::vector<RecoveryInfo> infos;
    try {
        std::error_code error;
        fs::directory_iterator entries(IPCPaths::recoveryDirectory(), error);
        if (error) return {};
        for (const fs::directory_entry& entry : entries) {
            try {
                infos.push_back(decodeMeta(readWholeFile(entry.path() / "meta.json")).info());
            } catch (const std::exception&) {
                // A foreign or half-written entry is left on disk and out of the list.
            }
        }
        std::stable_sort(infos.begin(), infos.end(), [](const RecoveryInfo& a, const RecoveryInfo& b) {
            return a.updatedAt > b.updatedAt;
        });
    } catch (const std::exception&) {
        // Listing is best effort: whatever was gathered before a failure is still useful.
    }
    return infos;
}

void discard(std::string_view recoveryId) {
    const fs::path directory = folder(recoveryId);
    remember(std::string(recoveryId), std::nullopt);
    std::error_code error;
    const auto status = fs::symlink_status(directory, error);
    if (error || !fs::exists(status)) return;
    fs::remove_all(directory);
}

std::string encodeMeta(const RecoveryMeta& meta) {
    nlohmann::ordered_json json = nlohmann::ordered_json::object();
    json["recoveryId"] = meta.recoveryId;
    if (meta.sourcePath) json["sourcePath"] = *meta.sourcePath;
    if (meta.sourceFingerprint) json["sourceFingerprint"] = *meta.sourceFingerprint;
    json["revision"] = meta.revision;
    json["pageCount"] = meta.pageCount;
    json["updatedAt"] = meta.updatedAt;
    json["dirty"] = meta.dirty;
    if (meta.length) json["length"] = *meta.length;
    if (meta.file) json["file"] = *meta.file;
    return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

RecoveryMeta decodeMeta(std::string_view text) {
    const nlohmann::json json = nlohmann::json::parse(text.begin(), text.end());
    if (!json.is_object()) throw std::runtime_error("The recovery description is not a JSON object.");
    const auto required = [&](const char* key) -> const nlohmann::json& {
        const auto found = json.find(key);
        if (found == json.end())
            throw std::runtime_error(std::string("The recovery description lacks ") + key + ".");
        return *found;
    };
    const auto integer = [&](const char* key) {
        const nlohmann::json& value = required(key);
        if (!value.is_number_integer()) {
            throw std::runtime_error(std::string("The recovery key ") + key + " is not an integer.");
        }
        return value.get<std::int64_t>();
    };
    const auto optionalText = [&](const char* key) -> std::optional<std::string> {
        const auto found = json.find(key);
        if (found == json.end() || found->is_null()) return std::nullopt;
        return found->get<std::string>();
    };
    RecoveryMeta meta;
    meta.recoveryId = required("recoveryId").get<std::string>();
    meta.sourcePath = optionalText("sourcePath");
    meta.sourceFingerprint = optionalText("sourceFingerprint");
    meta.revision = integer("revision");
    meta.pageCount = integer("pageCount");
    meta.updatedAt = required("updatedAt").get<std::string>();
    meta.dirty = required("dirty").get<bool>();
    if (const auto found = json.find("length"); found != json.end() && found->is_number_integer()) {
        meta.length = found->get<std::int64_t>();
    }
    if (const auto found = json.find("file"); found != json.end() && found->is_number_unsigned()) {
        meta.file = found->get<std::uint64_t>();
    }
    return meta;
}

std::string timestamp(std::chrono::system_clock::time_point time) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[32];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return std::string(text, length);
}

}  // namespace RecoveryStore
}  // namespace kivo
