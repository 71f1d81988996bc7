#pragma once

#include <exception>
#include <string>
#include <utility>

namespace kivo {

// The one failure of the worker's document and engine code: a snake_case code and a whole
// sentence for the user. It crosses the socket unchanged as a response's error.
struct EngineFailure : std::exception {
    std::string code;
    std::string message;

    EngineFailure(std::string code_, std::string message_) : code(std::move(code_)), message(std::move(message_)) {}

    const char* what() const noexcept override { return message.c_str(); }

    bool operator==(const EngineFailure& other) const { return code == other.code && message == other.message; }
};

}  // namespace kivo
