#pragma once

// How the tests look at EngineFailure: a code prints as its wire name, and `failureOf` catches the
// failure a body throws, if any.

#include <optional>
#include <ostream>
#include <string>
#include <utility>

#include "core/engine_failure.hpp"

namespace kivo {

inline std::ostream& operator<<(std::ostream& out, FailureCode code) { return out << rawValue(code); }

inline std::ostream& operator<<(std::ostream& out, const EngineFailure& failure) {
    return out << failure.code << ": " << failure.message;
}

namespace testing {

// "code: message", the code as its wire name.
inline std::string describe(const EngineFailure& failure) {
    return std::string(rawValue(failure.code)) + ": " + failure.message;
}

// What a body threw: a failure's code and message, or neither when it threw nothing.
struct Thrown {
    std::optional<FailureCode> code;
    std::string message;

    bool operator==(const Thrown&) const = default;
    bool operator==(const EngineFailure& failure) const {
        return code == failure.code && message == failure.message;
    }
};

inline std::ostream& operator<<(std::ostream& out, const Thrown& thrown) {
    if (!thrown.code) return out << "nothing thrown";
    return out << *thrown.code << ": " << thrown.message;
}

template <class Body>
Thrown failureOf(Body&& body) {
    try {
        std::forward<Body>(body)();
    } catch (const EngineFailure& failure) {
        return Thrown{failure.code, failure.message};
    }
    return Thrown{};
}

}  // namespace testing
}  // namespace kivo
