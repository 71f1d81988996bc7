#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/document_records.hpp"
#include "core/page_tiles.hpp"

namespace kivo {

// The command methods, in their listing order. Each travels as its wire name.
enum class CommandMethod {
    ping,
    hello,
    open,
    inspect,
    renderPage,
    extractText,
    addHighlight,
    addNote,
    addInk,
    addContent,
    fillForm,
    organizePages,
    rotatePages,
    deletePages,
    mergeDocuments,
    extractPages,
    search,
    listAnnotations,
    updateAnnotation,
    removeAnnotation,
    saveDocument,
    exportDocument,
    undo,
    redo,
    close,
    listDocuments,
    setGrants,
    listRecovery,
    restoreRecovery,
    discardRecovery,
    ask,
    assistantContext,
    cancel,
};

// Who is calling.
enum class CommandChannel { ui, mcp, cli };

// Progress phases, in their listing order.
enum class CommandPhase {
    waiting,
    started,
    loadingPages,
    checkingScripts,
    readingAnnotations,
    readingFields,
    searching,
    clearingFields,
    measuringPages,
    findingFields,
    readingText,
};

// Why a command failed, in their listing order: the code of an error response. Each travels as its
// wire name; the sentence that goes with it is written where the failure is raised.
enum class FailureCode {
    invalidJSON,
    unauthorized,
    invalidArgument,
    notFound,
    invalidPage,
    page,
    file,
    unsupported,
    passwordRequired,
    readOnly,
    staleRevision,
    operationConflict,
    sourceChanged,
    emptyHistory,
    renderFailed,
    formFailed,
    mergeFailed,
    organizeFailed,
    exportFailed,
    cancelled,
    resourceLimit,
    internal,
    permissionDenied,
    sandbox,
};

inline constexpr std::array<std::string_view, 33> commandMethodWireNames = {
    "ping",
    "hello",
    "open",
    "inspect",
    "render_page",
    "extract_text",
    "add_highlight",
    "add_note",
    "add_ink",
    "add_content",
    "fill_form",
    "organize_pages",
    "rotate_pages",
    "delete_pages",
    "merge_documents",
    "extract_pages",
    "search",
    "list_annotations",
    "update_annotation",
    "remove_annotation",
    "save_document",
    "export_document",
    "undo",
    "redo",
    "close",
    "list_documents",
    "set_grants",
    "list_recovery",
    "restore_recovery",
    "discard_recovery",
    "ask_document",
    "assistant_context",
    "cancel",
};

inline constexpr std::array<std::string_view, 3> commandChannelWireNames = {"ui", "mcp", "cli"};

inline constexpr std::array<std::string_view, 11> commandPhaseWireNames = {
    "waiting",        "started",   "loading_pages",   "checking_scripts", "reading_annotations",
    "reading_fields", "searching", "clearing_fields", "measuring_pages",  "finding_fields",
    "reading_text",
};

inline constexpr std::array<std::string_view, 24> failureCodeWireNames = {
    "invalid_json",   "unauthorized",      "invalid_argument",
    "not_found",      "invalid_page",      "page",
    "file",           "unsupported",       "password_required",
    "read_only",      "stale_revision",    "operation_conflict",
    "source_changed", "empty_history",     "render_failed",
    "form_failed",    "merge_failed",      "organize_failed",
    "export_failed",  "cancelled",         "resource_limit",
    "internal",       "permission_denied", "sandbox",
};
static_assert(failureCodeWireNames.size() == static_cast<std::size_t>(FailureCode::sandbox) + 1);

constexpr std::string_view rawValue(CommandMethod method) noexcept {
    return commandMethodWireNames[static_cast<std::size_t>(method)];
}
constexpr std::string_view rawValue(CommandChannel channel) noexcept {
    return commandChannelWireNames[static_cast<std::size_t>(channel)];
}
constexpr std::string_view rawValue(CommandPhase phase) noexcept {
    return commandPhaseWireNames[static_cast<std::size_t>(phase)];
}
constexpr std::string_view rawValue(FailureCode code) noexcept {
    return failureCodeWireNames[static_cast<std::size_t>(code)];
}

// Wire name to case: exact, case-sensitive; an unknown name gives no value.
template <class Enumeration>
std::optional<Enumeration> fromRawValue(std::string_view wireName) noexcept;

template <>
std::optional<CommandMethod> fromRawValue<CommandMethod>(std::string_view wireName) noexcept;
template <>
std::optional<CommandChannel> fromRawValue<CommandChannel>(std::string_view wireName) noexcept;
template <>
std::optional<CommandPhase> fromRawValue<CommandPhase>(std::string_view wireName) noexcept;
template <>
std::optional<FailureCode> fromRawValue<FailureCode>(std::string_view wireName) noexcept;

// How save_document writes the document: to its own file, under a new name it then keeps, or as a
// copy it does not keep. Travels as its wire name in `saveMode`.
enum class SaveMode { save, saveAs, saveCopy };

inline constexpr std::array<std::string_view, 3> saveModeWireNames = {"save", "saveAs", "saveCopy"};
static_assert(saveModeWireNames.size() == static_cast<std::size_t>(SaveMode::saveCopy) + 1);

constexpr std::string_view rawValue(SaveMode mode) noexcept {
    return saveModeWireNames[static_cast<std::size_t>(mode)];
}

template <>
std::optional<SaveMode> fromRawValue<SaveMode>(std::string_view wireName) noexcept;

// Why an assistant answer ended before the model finished it: stopped by the user, out of time, at
// the output limit, or cut off by the model's server. Travels as its wire name in `incomplete`.
enum class AnswerEnd { cancelled, timedOut, length, disconnected };

inline constexpr std::array<std::string_view, 4> answerEndWireNames = {"cancelled", "timed_out", "length",
                                                                       "disconnected"};
static_assert(answerEndWireNames.size() == static_cast<std::size_t>(AnswerEnd::disconnected) + 1);

constexpr std::string_view rawValue(AnswerEnd end) noexcept {
    return answerEndWireNames[static_cast<std::size_t>(end)];
}

template <>
std::optional<AnswerEnd> fromRawValue<AnswerEnd>(std::string_view wireName) noexcept;

// Every parameter any method takes; each method reads the ones it needs.
// Field order is the record's order (and the order of its equality).
struct CommandParams {
    std::optional<std::string> token{};
    std::optional<std::string> path{};
    std::optional<std::string> password{};
    std::optional<std::string> sessionId{};
    std::optional<std::string> pageId{};
    std::optional<double> scale{};
    std::optional<std::string> pngPath{};
    std::optional<PDFRect> rect{};
    std::optional<std::string> fieldName{};
    std::optional<std::string> value{};
    std::optional<std::vector<std::string>> pageIds{};
    std::optional<std::string> destination{};
    std::optional<std::vector<std::string>> sessionIds{};
    std::optional<std::vector<std::string>> permissions{};
    std::optional<std::string> contents{};
    std::optional<std::string> query{};
    std::optional<std::string> kind{};
    std::optional<std::string> imagePath{};
    std::optional<double> fontSize{};
    std::optional<std::int64_t> rotation{};
    std::optional<std::vector<PDFPoint>> points{};
    std::optional<std::string> annotationId{};
    std::optional<std::string> saveMode{};
    std::optional<bool> force{};
    std::optional<std::string> recoveryId{};
    std::optional<std::string> scope{};
    std::optional<std::vector<std::string>> paths{};
    std::optional<bool> renderAnnotations{};
    std::optional<std::vector<RenderTile>> tiles{};
    std::optional<std::string> requestId{};
    std::optional<std::int64_t> limit{};

    bool operator==(const CommandParams&) const = default;
};

}  // namespace kivo
