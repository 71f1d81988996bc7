#pragma once

#include <string>
#include <utility>

#include "core/commands.hpp"

namespace kivo::testing {

// A request with no parameters, for tests to fill in.
inline CommandRequest request(std::string id, CommandMethod method,
                              CommandChannel channel = CommandChannel::cli) {
    CommandRequest r;
    r.id = std::move(id);
    r.method = method;
    r.channel = channel;
    return r;
}

}  // namespace kivo::testing
