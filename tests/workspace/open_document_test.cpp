#include "workspace/open_document.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kivo {
namespace {

// A document whose page indices run against its list order, as after a move the worker has not
// renumbered yet: the windows number pages by their place in the list.
CommandResult threePages() {
    CommandResult record;
    record.revision = 7;
    record.pages = std::vector<PageInfo>{{"a", 2, 612, 792, 0}, {"b", 0, 612, 792, 0}, {"c", 1, 612, 792, 0}};
    record.annotations = std::vector<AnnotationInfo>{{"n1", "note", "c", {}, "first"},
                                                     {"h1", "highlight", "a", {}, ""},
                                                     {"n2", "note", "c", {}, "second"}};
    record.undoAvailable = true;
    record.redoAvailable = false;
    return record;
}

struct Row {
    const char* name;
    std::optional<CommandResult> record;
    std::size_t pageCount;
    const char* pageId;
    std::optional<std::size_t> position;
    std::vector<std::string> annotationsOn;  // ids, in the document's order
    bool canUndo;
    bool canRedo;
    std::optional<std::int64_t> revision;
};

std::vector<std::string> ids(const std::vector<AnnotationInfo>& annotations) {
    std::vector<std::string> out;
    for (const AnnotationInfo& annotation : annotations) out.push_back(annotation.id);
    return out;
}

TEST(OpenDocument, AnswersCountsLookupsAndHistoryFromTheRecord) {
    CommandResult redoOnly;
    redoOnly.redoAvailable = true;
    redoOnly.annotations = std::vector<AnnotationInfo>{{"x", "note", "c", {}, ""}};
    const std::vector<Row> rows = {
        {"no document", std::nullopt, 0, "a", std::nullopt, {}, false, false, std::nullopt},
        {"first in the list, index 2", threePages(), 3, "a", 0, {"h1"}, true, false, 7},
        {"last in the list, index 1", threePages(), 3, "c", 2, {"n1", "n2"}, true, false, 7},
        {"a page not in the list", threePages(), 3, "z", std::nullopt, {}, true, false, 7},
        {"marks but no page list yet", redoOnly, 0, "c", std::nullopt, {"x"}, false, true, std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const OpenDocument document(row.record);
        EXPECT_EQ(document.isOpen(), row.record.has_value());
        EXPECT_EQ(document.pageCount(), row.pageCount);
        EXPECT_EQ(document.position(row.pageId), row.position);
        const PageInfo* page = document.page(row.pageId);
        ASSERT_EQ(page != nullptr, row.position.has_value());
        if (page != nullptr) EXPECT_EQ(page, &document.pages()[*row.position]);
        EXPECT_EQ(ids(document.annotationsOn(row.pageId)), row.annotationsOn);
        EXPECT_EQ(document.canUndo(), row.canUndo);
        EXPECT_EQ(document.canRedo(), row.canRedo);
        EXPECT_EQ(document.revision(), row.revision);
    }
}

// The windows keep no copy: a view made before the workspace adopts a new record reads the new one.
TEST(OpenDocument, FollowsTheRecordItWasMadeFrom) {
    std::optional<CommandResult> record;
    const OpenDocument document(record);
    EXPECT_EQ(document.pageCount(), 0u);
    record = threePages();
    EXPECT_EQ(document.pageCount(), 3u);
    EXPECT_TRUE(document.canUndo());
    record.reset();
    EXPECT_FALSE(document.isOpen() || document.canUndo());
}

}  // namespace
}  // namespace kivo
