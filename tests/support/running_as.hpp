#pragma once

// Runs test bodies as a command would run: with a RunningCommand current, so that its steps can
// report progress and stop the body.

#include <optional>
#include <utility>

#include "failures.hpp"
#include "session/running_command.hpp"

namespace kivo::testing {

// Runs `body` with `command` current and answers the failure code it stopped with, none if it ran
// to its end.
template <class Body>
std::optional<FailureCode> runAs(RunningCommand& command, Body&& body) {
    RunningCommand::Activation active(command);
    return failureOf(std::forward<Body>(body)).code;
}

}  // namespace kivo::testing
