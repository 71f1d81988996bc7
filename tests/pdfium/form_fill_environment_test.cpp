#include <gtest/gtest.h>

#include <utility>

#include "pdfium/form_fill_environment.hpp"
#include "pdfium/fpdf.hpp"
#include "pdfium/support.hpp"
#include "test_pdfs.hpp"

namespace kivo::pdfium {
namespace {

class FormFillEnvironmentTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { initLibrary(); }
    static void TearDownTestSuite() { destroyLibrary(); }

    static Document loadForm() {
        auto pdf = std::make_shared<std::string>(testing::makeFormPdf());
        return Document::load(testing::bytesOf(*pdf), pdf, nullptr);
    }
};

// One owner at a time, each closing once: after moves and repeated closes the module is still
// usable, which a second exit of one environment or a freed record still in use would not leave.
TEST_F(FormFillEnvironmentTest, OwnsItsRecordAndHandleOnce) {
    Document document = loadForm();
    ASSERT_TRUE(document);
    FormFillEnvironment first(document.get());
    ASSERT_TRUE(first.handle());
    ASSERT_NE(first.record(), 0u);
    const FPDF_FORMHANDLE handle = first.handle();

    FormFillEnvironment second(std::move(first));
    EXPECT_EQ(second.handle(), handle);
    EXPECT_FALSE(first.handle());
    EXPECT_EQ(first.record(), 0u);
    first.close();

    FormFillEnvironment third;
    third = std::move(second);
    EXPECT_EQ(third.handle(), handle);
    third.close();
    third.close();
    EXPECT_FALSE(third.handle());
    EXPECT_EQ(third.record(), 0u);
    EXPECT_TRUE(module::usable());
}

// A document closes its environment before itself, whether closed, reassigned or moved from.
TEST_F(FormFillEnvironmentTest, TheDocumentClosesItFirst) {
    Document document = loadForm();
    EXPECT_FALSE(document.formHandle());
    document.openFormFill();
    ASSERT_TRUE(document.formHandle());
    {
        ScopedPage page(FPDF_LoadPage(document.get(), 0));
        FORM_OnAfterLoadPage(page.get(), document.formHandle());
        ScopedAnnotation field(FPDFPage_GetAnnot(page.get(), 0));
        ASSERT_TRUE(FORM_SetFocusedAnnot(document.formHandle(), field.get()));
        FORM_ReplaceSelection(document.formHandle(), page.get(), u"typed");
        ASSERT_TRUE(FORM_ForceToKillFocus(document.formHandle()));
        FORM_OnBeforeClosePage(page.get(), document.formHandle());
    }
    // Opening it again replaces the first environment.
    document.openFormFill();
    ASSERT_TRUE(document.formHandle());

    Document moved = std::move(document);
    EXPECT_FALSE(document.formHandle());
    EXPECT_TRUE(moved.formHandle());
    moved = loadForm();
    EXPECT_FALSE(moved.formHandle());
    moved.openFormFill();
    moved.close();
    EXPECT_FALSE(moved);
    EXPECT_FALSE(moved.formHandle());
    EXPECT_TRUE(module::usable());
}

}  // namespace
}  // namespace kivo::pdfium
