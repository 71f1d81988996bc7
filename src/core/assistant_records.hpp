#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/command_types.hpp"
#include "core/document_records.hpp"

namespace kivo {

// Character budget of an assistant context, in user-perceived characters.
// The code that applies a requested budget clamps it into [minimum, maximum].
namespace AssistantContextLimits {
inline constexpr std::int64_t defaultCharacters = 24000;
inline constexpr std::int64_t minimumCharacters = 1000;
inline constexpr std::int64_t maximumCharacters = 100000;
}  // namespace AssistantContextLimits

struct ContextPage {
    std::string pageId{};
    std::int64_t pageIndex = 0;
    double width = 0;
    double height = 0;
    std::string text{};
    bool truncated = false;

    bool operator==(const ContextPage&) const = default;
};

struct ContextSelection {
    std::string pageId{};
    std::int64_t pageIndex = 0;
    std::string text{};
    std::optional<PDFRect> rect{};

    bool operator==(const ContextSelection&) const = default;
};

struct AnswerUsage {
    std::optional<std::int64_t> promptTokens{};
    std::optional<std::int64_t> outputTokens{};
    std::optional<double> seconds{};

    bool operator==(const AnswerUsage&) const = default;
};

struct Citation {
    std::string pageId{};
    std::int64_t pageIndex = 0;
    std::int64_t revision = 0;
    std::string preview{};
    std::vector<PDFRect> rects{};
    std::string source{};

    bool operator==(const Citation&) const = default;
};

// An edit an answer proposes. It becomes exactly one command request when the
// user accepts it; a refusal carries a `limitation` and no `method`.
struct ProposedEdit {
    std::string operationId{};
    std::string summary{};
    std::optional<std::string> limitation{};
    std::optional<CommandMethod> method{};
    CommandParams params{};
    std::int64_t expectedRevision = 0;

    bool operator==(const ProposedEdit&) const = default;
};

struct AssistantContext {
    std::int64_t revision = 0;
    std::string scope{};
    std::int64_t pageCount = 0;
    std::vector<ContextPage> pages{};
    std::optional<ContextSelection> selection{};
    std::vector<FormFieldInfo> fields{};
    std::vector<ProposedEdit> limitations{};
    bool scan = false;
    bool truncated = false;
    std::int64_t characters = 0;

    bool operator==(const AssistantContext&) const = default;
};

struct AssistantAnswer {
    std::string text{};
    std::vector<Citation> citations{};
    std::vector<ProposedEdit> proposals{};
    bool scan = false;
    std::string scope{};
    bool fromDocument = false;
    std::int64_t revision = 0;
    std::optional<std::string> model{};
    std::optional<std::vector<std::string>> notes{};
    std::optional<AnswerUsage> usage{};
    // An AnswerEnd's wire name when the answer ended early; nothing when the model finished it.
    std::optional<std::string> incomplete{};
    std::optional<std::string> read{};

    bool operator==(const AssistantAnswer&) const = default;
};

}  // namespace kivo
