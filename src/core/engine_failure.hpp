#pragma once

// The one failure of the worker's document and engine code, from the PDFium module up to the
// command engine: a code and a whole sentence for the user. It crosses the socket unchanged as a
// response's error, the code as its wire name.

#include <exception>
#include <string>
#include <utility>

#include "core/command_types.hpp"

namespace kivo {

struct EngineFailure : std::exception {
    FailureCode code;
    std::string message;

    EngineFailure(FailureCode code_, std::string message_) : code(code_), message(std::move(message_)) {}

    const char* what() const noexcept override { return message.c_str(); }

    bool operator==(const EngineFailure& other) const {
        return code == other.code && message == other.message;
    }
};

// What a command stopped by its user fails with, wherever it stopped: a cancelled command leaves
// everything as it was.
inline EngineFailure cancelledFailure() {
    return EngineFailure(FailureCode::cancelled, "Cancelled before it finished. Nothing changed.");
}

}  // namespace kivo
