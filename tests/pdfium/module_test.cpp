#include <gtest/gtest.h>

#include "pdfium/fpdf.hpp"
#include "pdfium/support.hpp"
#include "test_pdfs.hpp"

namespace kivo::pdfium {
namespace {

// A fault inside the module must come back as a failure the worker can answer with, and leave
// the process alive with the runtime marked unusable until a fresh instance replaces it.
TEST(ModuleTrap, ReportedAsFailureAndRuntimeStoppedUntilReplaced) {
    initLibrary();
    auto pdf = std::make_shared<std::string>(testing::makePdf());
    Document document = Document::load(testing::bytesOf(*pdf), pdf, nullptr);
    ASSERT_TRUE(document);
    ASSERT_TRUE(module::usable());

    // A document handle pointing far outside the module's memory: PDFium dereferences it.
    try {
        FPDF_GetPageCount(FPDF_DOCUMENT{0xFFFFFF00u});
        FAIL() << "the call should have trapped";
    } catch (const EngineFailure& failure) {
        EXPECT_EQ(failure.code, FailureCode::internal);
        EXPECT_FALSE(failure.message.empty());
        EXPECT_EQ(failure.message.back(), '.');
    }
    EXPECT_FALSE(module::usable());

    // Every later call fails the same way instead of touching a corrupt module.
    EXPECT_THROW(FPDF_GetPageCount(document.get()), EngineFailure);

    // A fresh instance takes its place; the old one's document, closed only now, is no handle of
    // the new one, even where a document of the new one lies at the same address.
    ASSERT_TRUE(restartLibrary());
    Document again = Document::load(testing::bytesOf(*pdf), pdf, nullptr);
    ASSERT_TRUE(again);
    EXPECT_EQ(again.get(), document.get()) << "the fresh instance lays out its memory as the first did";
    document.close();
    EXPECT_EQ(FPDF_GetPageCount(again.get()), 1);
    ScopedPage page(FPDF_LoadPage(again.get(), 0));
    EXPECT_TRUE(page);

    // A host fault outside the module is not swallowed: the fault handler only serves module calls.
    EXPECT_EQ(module::detail::guardDepth, 0);
}

}  // namespace
}  // namespace kivo::pdfium
