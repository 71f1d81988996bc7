// The merge's form repair on files no PDFium save produces, which only the object reader itself
// can be handed: it refuses them with the merge's sentence rather than writing object numbers that
// wrapped around or spending time that grows with the square of the file.

#include <gtest/gtest.h>

#include <chrono>

#include "core/engine_failure.hpp"
#include "session/merged_form.hpp"
#include "test_pdfs.hpp"

namespace kivo {
namespace {

// A one-page form file whose cross-reference table is passed through `edit`.
std::string formWith(const std::function<void(std::string&)>& edit) {
    std::string pdf = testing::makeFormPdf();
    edit(pdf);
    return pdf;
}

void replace(std::string& text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
}

TEST(MergedForm, FilesNoSaveWritesAreRefusedWithTheMergeSentence) {
    struct Case {
        const char* name;
        std::string pdf;
    };
    const std::string original = testing::makeFormPdf();
    const Case cases[] = {
        // Every object at the first one's offset: each would span the rest of the file.
        {"objects sharing one offset", formWith([&](std::string& pdf) {
             const std::size_t rows = pdf.find("0000", pdf.find("xref\n0 "));
             const std::string first = pdf.substr(pdf.find(" 00000 n", rows) - 10, 10);
             for (std::size_t at = pdf.find(" 00000 n", rows); at != std::string::npos;
                  at = pdf.find(" 00000 n", at + 1))
                 pdf.replace(at - 10, 10, first);
         })},
        // The table's numbers run past the largest there is, so one more object wraps to 0.
        {"object numbers at the top of the range",
         formWith([](std::string& pdf) { replace(pdf, "xref\n0 ", "xref\n4294967291 "); })},
        {"a size at the top of the range",
         formWith([](std::string& pdf) { replace(pdf, "/Size ", "/Size 4294967295 /Old "); })},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            MergedForm::prepare(testing::bytesOf(c.pdf), [] { return std::set<std::string>{}; });
            ADD_FAILURE() << "prepared";
        } catch (const EngineFailure& failure) {
            EXPECT_EQ(failure.code, FailureCode::mergeFailed);
        }
    }
    // The control: the file as written is prepared.
    EXPECT_TRUE(MergedForm::prepare(testing::bytesOf(original), [] { return std::set<std::string>{}; }));
}

// Many appended fields sharing a name the target has each take the next free number, and naming them
// costs about what preparing the same fields without a rename does (measured in the same run), not
// a search past every name handed out before.
TEST(MergedForm, ManyFieldsOfOneTakenNameAreRenamedInOnePass) {
    constexpr int count = 20000;
    std::vector<std::string> objects = {"<< /Type /Catalog /Pages 2 0 R /AcroForm << /Fields [] >> >>",
                                        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>", ""};
    std::string annots;
    for (int i = 0; i < count; ++i) {
        objects.push_back("<< /Type /Annot /Subtype /Widget /FT /Tx /T (A) /Rect [0 0 10 10] /P 3 0 R >>");
        annots += std::to_string(i + 4) + " 0 R ";
    }
    objects[2] = "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Annots [" + annots + "] >>";
    const std::string pdf = testing::assemblePdf(objects);

    const auto timed = [&](const std::set<std::string>& taken,
                           std::optional<MergedForm::Prepared>& prepared) {
        const auto started = std::chrono::steady_clock::now();
        prepared = MergedForm::prepare(testing::bytesOf(pdf), [&] { return taken; });
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    };
    std::optional<MergedForm::Prepared> control, renamed;
    const double plain = timed({"B"}, control);
    const double renaming = timed({"A"}, renamed);
    ASSERT_TRUE(control && renamed);
    EXPECT_TRUE(control->carried.renamed.empty());
    ASSERT_EQ(renamed->carried.renamed.size(), static_cast<std::size_t>(count));
    EXPECT_EQ(renamed->carried.renamed.front(), std::make_pair(std::string("A"), std::string("A_2")));
    EXPECT_EQ(renamed->carried.renamed.back(),
              std::make_pair(std::string("A"), "A_" + std::to_string(count + 1)));
    EXPECT_LT(renaming, 4 * plain) << "without renames " << plain << " s, with " << renaming << " s";
}

// A widget of very many keys is read in about the time the same bytes take as one array of names
// and numbers (measured in the same run), not in time growing with the square of its keys.
TEST(MergedForm, AWidgetOfManyKeysIsReadInOnePass) {
    constexpr int count = 100000;
    const auto formWithWidget = [](const std::string& extra) {
        return testing::assemblePdf({
            "<< /Type /Catalog /Pages 2 0 R /AcroForm << /Fields [4 0 R] >> >>",
            "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
            "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Annots [4 0 R] >>",
            "<< /Type /Annot /Subtype /Widget /FT /Tx /T (A) /Rect [0 0 10 10] /P 3 0 R " + extra + ">>",
        });
    };
    std::string keys, array = "/Junk [";
    for (int i = 0; i < count; ++i) {
        keys += "/K" + std::to_string(i) + " 1 ";
        array += "/K" + std::to_string(i) + " 1 ";
    }
    const auto timed = [](const std::string& pdf) {
        const auto started = std::chrono::steady_clock::now();
        EXPECT_TRUE(MergedForm::prepare(testing::bytesOf(pdf), [] { return std::set<std::string>{}; }));
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    };
    const double asArray = timed(formWithWidget(array + "] "));
    const double asKeys = timed(formWithWidget(keys));
    EXPECT_LT(asKeys, 4 * asArray) << "as one array " << asArray << " s, as keys " << asKeys << " s";
}

}  // namespace
}  // namespace kivo
