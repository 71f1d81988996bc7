#include "core/commands.hpp"

#include <utility>

namespace kivo {

CommandResponse CommandResponse::success(std::string id, CommandResult result) {
    return CommandResponse{std::move(id), true, std::move(result), std::nullopt};
}

CommandResponse CommandResponse::failure(std::string id, FailureCode code, std::string message) {
    return failure(std::move(id), std::string(rawValue(code)), std::move(message));
}

CommandResponse CommandResponse::failure(std::string id, std::string code, std::string message) {
    return CommandResponse{std::move(id), false, std::nullopt,
                           CommandErrorPayload{std::move(code), std::move(message)}};
}

}  // namespace kivo
