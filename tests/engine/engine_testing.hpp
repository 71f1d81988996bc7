#pragma once

// What the engine tests share: an engine of the test's own, whose support and temporary files stay
// in the test's folder, and a way into its session table for tests that set up or inspect a
// document's state without going through the commands.

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "engine/document_engine.hpp"
#include "session/session.hpp"
#include "test_pdfs.hpp"

namespace kivo {

struct DocumentEngineTesting {
    static Session& session(DocumentEngine& engine, const std::string& id) {
        return *engine.sessions_.at(id);
    }
};

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("KIVO_PDF_SUPPORT_DIR", (dir.path() / "support").c_str(), 1);
        ::setenv("TMPDIR", dir.path().c_str(), 1);
        engine = std::make_unique<DocumentEngine>(ResourceLimits::unlimited());
    }
    void TearDown() override {
        engine.reset();
        ::unsetenv("KIVO_PDF_SUPPORT_DIR");
        ::unsetenv("TMPDIR");
    }

    testing::TempDir dir;
    std::unique_ptr<DocumentEngine> engine;
};

}  // namespace kivo
