#pragma once

// A launched workspace on the real worker with the steps the document actions' tests share: a
// document of numbered pages opened, a status waited for, a highlight added, the page ids read.

#include <string>
#include <vector>

#include "workspace_fixture.hpp"

namespace kivo::testing {

class DocumentActionsTest : public LaunchedWorkspaceTest {
protected:
    void open(const std::string& name, int pages) {
        std::vector<TestPage> list;
        for (int i = 0; i < pages; ++i)
            list.push_back(TestPage{612, 792, "Hello page " + std::to_string(i + 1)});
        ws().open(writeDocument(scratch_, name, list));
        ASSERT_TRUE(waitUntil([&] { return ws().status() == "Opened " + name; })) << ws().status();
    }

    // Waits for the status and fails on an error instead.
    bool finished(const std::string& status) {
        return waitUntil([&] { return ws().status() == status || ws().errorMessage(); }) &&
               ws().status() == status;
    }

    void highlight() {
        ws().setStatus("");
        ws().selectArea(PDFRect{72, 300, 200, 320});
        ws().highlightSelection();
        ASSERT_TRUE(finished("Highlight added")) << ws().errorMessage().value_or("");
    }

    std::vector<std::string> pageIds() {
        std::vector<std::string> ids;
        for (const PageInfo& page : *ws().inspect()->pages) ids.push_back(page.id);
        return ids;
    }
};

}  // namespace kivo::testing
