#pragma once

// Reaches into the engine's session table, for tests that set up or inspect a document's state
// without going through the commands.

#include <string>

#include "engine/document_engine.hpp"
#include "session/session.hpp"

namespace kivo {

struct DocumentEngineTesting {
    static Session& session(DocumentEngine& engine, const std::string& id) {
        return *engine.sessions_.at(id);
    }
};

}  // namespace kivo
