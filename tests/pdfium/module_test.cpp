#include <gtest/gtest.h>

#include "pdfium/fpdf.hpp"
#include "pdfium/support.hpp"
#include "test_pdfs.hpp"

namespace kivo::pdfium {
namespace {

// A fault inside the module must come back as a failure the worker can answer with, and leave
// the process alive with the runtime marked unusable.
TEST(ModuleTrap, ReportedAsFailureAndRuntimeStopped) {
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
    // Closing owners after the trap is harmless.
    document.close();

    // A host fault outside the module is not swallowed: the fault handler only serves module calls.
    EXPECT_EQ(module::detail::guardDepth, 0);
}

}  // namespace
}  // namespace kivo::pdfium
