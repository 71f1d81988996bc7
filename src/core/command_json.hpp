#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "core/assistant_records.hpp"
#include "core/command_types.hpp"
#include "core/commands.hpp"
#include "core/document_records.hpp"
#include "core/json_writer.hpp"
#include "core/page_tiles.hpp"

namespace kivo {

// Framing failures of a line on the socket.
class CommandCodecError : public std::runtime_error {
public:
    enum class Kind { lineTooLong, notUTF8 };

    static CommandCodecError lineTooLong(std::int64_t byteCount);
    static CommandCodecError notUTF8();

    Kind kind() const noexcept { return kind_; }
    // The pending byte count of a lineTooLong failure; 0 otherwise.
    std::int64_t byteCount() const noexcept { return byteCount_; }

private:
    CommandCodecError(Kind kind, std::int64_t byteCount, const std::string& description)
        : std::runtime_error(description), kind_(kind), byteCount_(byteCount) {}

    Kind kind_;
    std::int64_t byteCount_;
};

// A line that is not JSON, or not the record it should be: a missing required
// key, a null where a value is required, a value of the wrong type, a number
// with a fraction for an integer, an unknown wire name, or nesting too deep.
class CommandDecodingError : public std::runtime_error {
public:
    CommandDecodingError(std::string path, std::string reason);

    // Where in the message it went wrong, such as "result.pages[2].width";
    // empty for the message as a whole.
    const std::string& path() const noexcept { return path_; }
    const std::string& reason() const noexcept { return reason_; }

private:
    std::string path_;
    std::string reason_;
};

template <class T>
concept CommandJSONValue =
    std::same_as<T, PDFRect> || std::same_as<T, PDFPoint> || std::same_as<T, PageInfo> ||
    std::same_as<T, TextRun> || std::same_as<T, AnnotationInfo> || std::same_as<T, FormFieldInfo> ||
    std::same_as<T, SearchHit> || std::same_as<T, DocumentSummary> || std::same_as<T, RecoveryInfo> ||
    std::same_as<T, RenderTile> || std::same_as<T, ContextPage> || std::same_as<T, ContextSelection> ||
    std::same_as<T, AnswerUsage> || std::same_as<T, Citation> || std::same_as<T, ProposedEdit> ||
    std::same_as<T, AssistantContext> || std::same_as<T, AssistantAnswer> || std::same_as<T, CommandParams> ||
    std::same_as<T, CommandErrorPayload> || std::same_as<T, CommandResult> ||
    std::same_as<T, CommandRequest> || std::same_as<T, CommandResponse> || std::same_as<T, CommandProgress> ||
    std::same_as<T, CommandMethod> || std::same_as<T, CommandChannel> || std::same_as<T, CommandPhase>;

// The one codec for command records. Keys are written in byte order at every
// level, so equal values always encode to identical bytes. All functions are
// stateless and safe to call from any thread.
namespace CommandJSON {

// Deeper input is refused rather than risking the stack on hostile lines.
inline constexpr int maxNestingDepth = 64;

// Writes a record as one JSON value, for callers composing their own objects
// (such as a replay fingerprint) with the same canonical rules.
template <CommandJSONValue T>
void write(JsonWriter& writer, const T& value);

// The compact JSON text of a record, without a line feed. Throws
// CommandEncodingError when a double is not finite.
template <CommandJSONValue T>
std::string encodeBody(const T& value);

// One wire message: encodeBody followed by exactly one line feed.
template <CommandJSONValue T>
std::string encode(const T& value);

// The text an answer's largest members were last written as: a session's pages and its annotation
// counts by page, which every answer of the session repeats (a thousand pages are 130 KB). An answer
// encoded with it copies that text where the member holds exactly what was remembered, and writes it
// afresh otherwise, so its bytes are always those `encode` gives. One connection's, one thread at a time.
class AnswerMemo {
public:
    AnswerMemo();
    ~AnswerMemo();
    AnswerMemo(const AnswerMemo&) = delete;
    AnswerMemo& operator=(const AnswerMemo&) = delete;

    struct Slots;

private:
    friend std::string encode(const CommandResponse& response, AnswerMemo& memo);
    std::unique_ptr<Slots> slots_;
};

// `encode` of a response, taking what `memo` remembers and remembering this one's members.
std::string encode(const CommandResponse& response, AnswerMemo& memo);

// Reads a record from JSON text without its line feed. Throws
// CommandCodecError::notUTF8 for bytes that are not UTF-8 and
// CommandDecodingError for anything else; nothing is partially decoded.
template <CommandJSONValue T>
T decode(std::string_view text);

CommandRequest decodeRequest(std::string_view line);
CommandResponse decodeResponse(std::string_view line);

// A line of up to 1,023 bytes that decodes as a progress record whose event is
// exactly "progress" is progress; everything else must be a response.
CommandReply decodeReply(std::string_view line);

// What a connection's reader keeps of the last answers: the text of their pages and of their
// annotation counts by page, and, once a text came twice in a row, what it reads as. An answer whose
// member is exactly that text takes the value kept instead of reading it again; every other byte is
// read, and the whole line checked, as ever, so the reply is always what `decodeReply` gives. One
// connection's, one thread at a time.
class ReplyMemo {
public:
    ReplyMemo();
    ~ReplyMemo();
    ReplyMemo(const ReplyMemo&) = delete;
    ReplyMemo& operator=(const ReplyMemo&) = delete;

    // How many members were taken as kept rather than read.
    std::size_t reused() const noexcept { return reused_; }

    struct Slots;

private:
    friend CommandReply decodeReply(std::string_view line, ReplyMemo& memo);
    std::unique_ptr<Slots> slots_;
    std::size_t reused_ = 0;
};

// `decodeReply`, taking what `memo` keeps and keeping this answer's members.
CommandReply decodeReply(std::string_view line, ReplyMemo& memo);

inline constexpr std::size_t maxProgressLineBytes = 1023;

}  // namespace CommandJSON
}  // namespace kivo
