#include <gtest/gtest.h>

#include <utility>

#include "pdfium/form_fill_environment.hpp"
#include "pdfium_fixture.hpp"

namespace kivo::pdfium {
namespace {

class FormFillEnvironmentTest : public PdfiumTest {
protected:
    static Document loadForm() { return load(makeFormPdf()); }
};

TEST_F(FormFillEnvironmentTest, ReadsAndEditsFields) {
    Document document = load(makeFormPdf());
    ASSERT_TRUE(document);
    EXPECT_EQ(FPDF_GetFormType(document.get()), FORMTYPE_ACRO_FORM);
    FormFillEnvironment environment(document.get());
    ASSERT_NE(environment.record(), 0u);
    const FPDF_FORMHANDLE form = environment.handle();
    ASSERT_TRUE(form);
    {
        ScopedPage page(FPDF_LoadPage(document.get(), 0));
        FORM_OnAfterLoadPage(page.get(), form);
        ASSERT_EQ(FPDFPage_GetAnnotCount(page.get()), 2);
        ScopedAnnotation field(FPDFPage_GetAnnot(page.get(), 0));
        EXPECT_EQ(FPDFAnnot_GetFormFieldType(form, field.get()), FPDF_FORMFIELD_TEXTFIELD);
        auto read = [&](auto getter) {
            const auto units = readUnits([&](std::span<uint16_t> b) { return getter(form, field.get(), b); });
            return std::u16string(units.begin(), std::find(units.begin(), units.end(), 0));
        };
        EXPECT_EQ(read(FPDFAnnot_GetFormFieldName), u"name");
        EXPECT_EQ(read(FPDFAnnot_GetFormFieldValue), u"Ada");

        // Typing through the environment, as a user would.
        ASSERT_TRUE(FORM_SetFocusedAnnot(form, field.get()));
        ASSERT_TRUE(FORM_SelectAllText(form, page.get()));
        FORM_ReplaceSelection(form, page.get(), u"Grace Hopper");
        ASSERT_TRUE(FORM_ForceToKillFocus(form));
        EXPECT_EQ(read(FPDFAnnot_GetFormFieldValue), u"Grace Hopper");

        ScopedAnnotation box(FPDFPage_GetAnnot(page.get(), 1));
        EXPECT_EQ(FPDFAnnot_GetFormFieldType(form, box.get()), FPDF_FORMFIELD_CHECKBOX);
        EXPECT_FALSE(FPDFAnnot_IsChecked(form, box.get()));

        ScopedBitmap bitmap(FPDFBitmap_Create(100, 100, 1));
        FPDFBitmap_FillRect(bitmap.get(), 0, 0, 100, 100, 0xFFFFFFFF);
        FPDF_RenderPageBitmap(bitmap.get(), page.get(), 0, 0, 100, 100, 0, FPDF_ANNOT);
        FPDF_FFLDraw(form, bitmap.get(), page.get(), 0, 0, 100, 100, 0, FPDF_ANNOT);
        FORM_OnBeforeClosePage(page.get(), form);
    }
}

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
