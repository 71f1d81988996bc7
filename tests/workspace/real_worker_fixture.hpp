#pragma once

// A workspace on the real kivo-pdf-worker, started the way the editor starts it, inside its sandbox
// where this system offers one, with the steps its tests share: documents written, a long one
// opened, a highlight added.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "test_pdfs.hpp"
#include "workspace_fixture.hpp"

namespace kivo::testing {

class RealWorkerTest : public ::testing::Test {
protected:
    // A workspace whose worker is ready: with the sandbox where it can be applied, else without.
    std::unique_ptr<TestWorkspace> launched() { return launchedRealWorker(scratch_); }

    std::filesystem::path document(const std::string& name, const std::vector<TestPage>& pages) {
        const auto path = scratch_.docs() / name;
        writeFile(path, makePdf(pages));
        return path;
    }

    // A workspace whose worker is ready, with a document open long enough that searching it takes the
    // worker a few seconds; null when either failed.
    std::unique_ptr<TestWorkspace> launchedOnLongDocument() {
        std::unique_ptr<TestWorkspace> test = launched();
        if (!test) return nullptr;
        Workspace& ws = **test;
        const auto path = scratch_.docs() / "long.pdf";
        writeFile(path, makeLongTextPdf(longPages));
        ws.open(path);
        if (!waitUntil([&] { return ws.status() == "Opened long.pdf"; })) {
            ADD_FAILURE() << ws.status();
            return nullptr;
        }
        return test;
    }

    static constexpr int longPages = 2000;

    void highlight(Workspace& ws, const std::string& pageId) {
        CommandParams params;
        params.sessionId = ws.sessionId();
        params.pageId = pageId;
        params.rect = PDFRect{72, 300, 200, 320};
        ws.mutate(CommandMethod::addHighlight, params, "Highlighted");
        ASSERT_TRUE(waitUntil([&] { return ws.status() == "Highlighted"; }))
            << ws.errorMessage().value_or("");
    }

    Scratch scratch_;
};

}  // namespace kivo::testing
