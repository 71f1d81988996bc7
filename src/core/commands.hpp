#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/assistant_records.hpp"
#include "core/command_types.hpp"
#include "core/document_records.hpp"
#include "core/shared_value.hpp"

namespace kivo {

// The error object of a failed response.
struct CommandErrorPayload {
    std::string code{};
    std::string message{};

    bool operator==(const CommandErrorPayload&) const = default;
};

// Every field any method reports; each method fills only what it reports.
struct CommandResult {
    std::optional<std::string> sessionId{};
    std::optional<std::int64_t> revision{};
    std::optional<std::int64_t> pageCount{};
    std::optional<std::vector<PageInfo>> pages{};
    std::optional<std::string> formType{};
    std::optional<bool> readOnly{};
    std::optional<std::vector<std::string>> warnings{};
    std::optional<std::string> pngPath{};
    std::optional<std::int64_t> width{};
    std::optional<std::int64_t> height{};
    std::optional<std::string> text{};
    std::optional<std::vector<TextRun>> chars{};
    std::optional<std::vector<FormFieldInfo>> fields{};
    std::optional<std::vector<DocumentSummary>> documents{};
    std::optional<std::vector<std::string>> affectedPages{};
    std::optional<bool> undoAvailable{};
    std::optional<bool> redoAvailable{};
    std::optional<bool> pong{};
    std::optional<bool> dirty{};
    std::optional<std::string> saveState{};
    std::optional<std::string> sourcePath{};
    std::optional<bool> sourceChanged{};
    std::optional<std::vector<AnnotationInfo>> annotations{};
    std::optional<std::vector<SearchHit>> matches{};
    std::optional<std::vector<RecoveryInfo>> recoveries{};
    std::optional<AssistantAnswer> answer{};
    // std::map keeps keys in byte order, which is the order they are written in.
    std::optional<std::map<std::string, std::string>> metadata{};
    SharedValue<std::map<std::string, std::map<std::string, std::int64_t>>> annotationSubtypes{};
    std::optional<bool> cancelled{};
    std::optional<AssistantContext> assistantContext{};

    bool operator==(const CommandResult&) const = default;
};

struct CommandRequest {
    std::string id{};
    CommandMethod method = CommandMethod::ping;
    CommandParams params{};
    std::optional<std::int64_t> expectedRevision{};
    CommandChannel channel = CommandChannel::cli;
    std::optional<std::string> operationId{};
    std::optional<bool> progress{};

    bool operator==(const CommandRequest&) const = default;
};

struct CommandResponse {
    std::string id{};
    bool ok = false;
    std::optional<CommandResult> result{};
    std::optional<CommandErrorPayload> error{};

    static CommandResponse success(std::string id, CommandResult result);
    static CommandResponse failure(std::string id, FailureCode code, std::string message);
    // With a code as it came over the wire, which may be a peer's own.
    static CommandResponse failure(std::string id, std::string code, std::string message);

    bool operator==(const CommandResponse&) const = default;
};

// One progress line. `event` is always "progress" for lines this side makes.
struct CommandProgress {
    std::string event = "progress";
    std::string id{};
    CommandPhase phase = CommandPhase::started;
    std::int64_t completed = 0;
    std::int64_t total = 0;

    bool operator==(const CommandProgress&) const = default;
};

// What a client reads from one line.
using CommandReply = std::variant<CommandProgress, CommandResponse>;

}  // namespace kivo
