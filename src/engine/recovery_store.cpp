#include "engine/recovery_store.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <system_error>

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

std::string readWholeFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw fs::filesystem_error("Could not read a recovery file", path, std::make_error_code(std::errc::io_error));
    }
    std::ostringstream out;
    out << in.rdbuf();
    if (in.bad()) {
        throw fs::filesystem_error("Could not read a recovery file", path, std::make_error_code(std::errc::io_error));
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

void writeCheckpoint(std::span<const std::uint8_t> bytes, RecoveryMeta meta) {
    prepare();
    const fs::path directory = folder(meta.recoveryId);
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
        throw fs::filesystem_error("Could not create a recovery folder", directory,
                                   std::error_code(errno, std::generic_category()));
    }
    writeAtomically(directory / "checkpoint.pdf", bytes);
    meta.updatedAt = timestamp(std::chrono::system_clock::now());
    const std::string json = encodeMeta(meta);
    writeAtomically(directory / "meta.json", {reinterpret_cast<const std::uint8_t*>(json.data()), json.size()});
}

void write(const Session& session) {
    const DocumentBytes::Shared& bytes = session.backingBytes();
    RecoveryMeta meta;
    meta.recoveryId = session.id();
    meta.sourcePath = session.sourcePath();
    meta.sourceFingerprint = session.sourceFingerprint();
    meta.revision = session.revision();
    meta.pageCount = static_cast<std::int64_t>(session.pages().size());
    meta.dirty = !session.isSaved();
    std::span<const std::uint8_t> data = bytes ? bytes->data() : std::span<const std::uint8_t>{};
    // A checkpoint is a file like any other: its form's flag stands under its own name.
    const std::optional<std::string> shown = FormDictionary::withAppearancesShown(data);
    if (shown) data = {reinterpret_cast<const std::uint8_t*>(shown->data()), shown->size()};
    writeCheckpoint(data, std::move(meta));
}

Checkpoint load(std::string_view recoveryId) {
    const fs::path directory = folder(recoveryId);
    const fs::path pdf = directory / "checkpoint.pdf";
    std::error_code error;
    if (!fs::is_regular_file(pdf, error) || ::access(pdf.c_str(), R_OK) != 0) {
        throw EngineFailure(FailureCode::notFound, "No recovery checkpoint matches that id.");
    }
    Checkpoint checkpoint{DocumentBytes::read(pdf), {}};
    checkpoint.meta = decodeMeta(readWholeFile(directory / "meta.json"));
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
        std::stable_sort(infos.begin(), infos.end(),
                         [](const RecoveryInfo& a, const RecoveryInfo& b) { return a.updatedAt > b.updatedAt; });
    } catch (const std::exception&) {
        // Listing is best effort: whatever was gathered before a failure is still useful.
    }
    return infos;
}

void discard(std::string_view recoveryId) {
    const fs::path directory = folder(recoveryId);
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
    return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

RecoveryMeta decodeMeta(std::string_view text) {
    const nlohmann::json json = nlohmann::json::parse(text.begin(), text.end());
    if (!json.is_object()) throw std::runtime_error("The recovery description is not a JSON object.");
    const auto required = [&](const char* key) -> const nlohmann::json& {
        const auto found = json.find(key);
        if (found == json.end()) throw std::runtime_error(std::string("The recovery description lacks ") + key + ".");
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
