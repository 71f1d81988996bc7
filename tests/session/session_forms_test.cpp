#include <algorithm>
#include <sstream>

#include "session_test.hpp"

namespace kivo::testing {
namespace {

using namespace pdfium;

class SessionForms : public SessionTest {
protected:
    static FormFieldInfo field(Session& session, const std::string& name) {
        for (FormFieldInfo& info : session.listFields()) {
            if (info.name == name) return info;
        }
        ADD_FAILURE() << "no field " << name;
        return {};
    }

    // Which options of the named choice field PDFium reports selected.
    static std::vector<bool> selection(Session& session, const std::string& name) {
        OpenPage page = session.loadPage(session.pages().front().id);
        for (int j = 0; j < FPDFPage_GetAnnotCount(page.get()); ++j) {
            ScopedAnnotation annotation(FPDFPage_GetAnnot(page.get(), j));
            if (DocumentForm::fieldName(SessionProbe::formHandle(session), annotation.get()) != name)
                continue;
            std::vector<bool> selected;
            const int count = FPDFAnnot_GetOptionCount(SessionProbe::formHandle(session), annotation.get());
            for (int i = 0; i < count; ++i) {
                selected.push_back(
                    FPDFAnnot_IsOptionSelected(SessionProbe::formHandle(session), annotation.get(), i));
            }
            return selected;
        }
        return {};
    }

    static std::string message(const Thrown& failure) {
        std::ostringstream out;
        out << failure;
        return out.str();
    }
};

TEST_F(SessionForms, RefusalsComeBeforeAnyChange) {
    auto session = open(makeFillFormPdf());
    struct Case {
        std::string name, value, expected;
    };
    const Case cases[] = {
        // Read-only wins even when nothing would change.
        {"locked", "fixed", "read_only: Field locked is read-only."},
        {"submit", "Go", "unsupported: Field submit does not take a value."},
        {"nothing", "x", "not_found: No form field named nothing."},
        // Names compare exactly: no trimming, no case folding.
        {"Name", "x", "not_found: No form field named Name."},
        {" name", "x", "not_found: No form field named  name."},
        {"answer", "yes", "invalid_argument: yes is not an option of answer. Options: Yes, No."},
        {"direction", "East", "invalid_argument: East is not an option of direction. Options: North, South."},
        {"short", "abcdef",
         "form_failed: Field short did not take that value. It may be longer, or have more lines, than the "
         "field "
         "allows."},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(message(failureOf([&] { session->fillField(c.name, c.value); })), c.expected) << c.name;
    }
    EXPECT_EQ(field(*session, "locked").value, "fixed");
    EXPECT_EQ(field(*session, "answer").value, "No");
}

TEST_F(SessionForms, XfaFormsAreRefusedAndFormlessFilesHaveNoFields) {
    auto xfa = open(makeXfaPdf(), std::nullopt, "xfa.pdf");
    EXPECT_EQ(message(failureOf([&] { xfa->fillField("name", "Grace"); })),
              "unsupported: XFA forms are outside alpha. This file was not filled.");
    auto plain = open(makePdf(), std::nullopt, "plain.pdf");
    EXPECT_EQ(failureOf([&] { plain->fillField("name", "Grace"); }).code, FailureCode::notFound);
}

TEST_F(SessionForms, TextIsTypedAndReadBackWithLineBreaksNormalised) {
    auto session = open(makeFillFormPdf());
    const std::vector<std::string> where = session->fillField("name", "Grace\r\nHopper\rUS");
    EXPECT_EQ(where, std::vector<std::string>{session->pages().front().id});
    EXPECT_EQ(field(*session, "name").value, "Grace\nHopper\nUS");
    // The same value with other line breaks already stands: accepted as it is.
    EXPECT_NO_THROW(session->fillField("name", "Grace\nHopper\r\nUS"));
    EXPECT_NO_THROW(session->fillField("name", ""));
    EXPECT_EQ(field(*session, "name").value, "");
    EXPECT_NO_THROW(session->fillField("short", "xyz"));
    EXPECT_EQ(field(*session, "short").value, "xyz");
}

TEST_F(SessionForms, CombosSelectLabelsAndEditableOnesTakeFreeText) {
    auto session = open(makeFillFormPdf());
    session->fillField("answer", "Yes");
    EXPECT_EQ(field(*session, "answer").value, "Yes");
    EXPECT_EQ(selection(*session, "answer"), (std::vector<bool>{true, false}));

    session->fillField("answerEdit", "yes");
    EXPECT_EQ(field(*session, "answerEdit").value, "yes");
    session->fillField("answerEdit", "No");
    EXPECT_EQ(field(*session, "answerEdit").value, "No");
}

TEST_F(SessionForms, MultiSelectListEndsWithOneSelection) {
    auto session = open(makeFillFormPdf());
    ASSERT_EQ(selection(*session, "colours"), (std::vector<bool>{true, false, true}));
    session->fillField("colours", "Green");
    EXPECT_EQ(selection(*session, "colours"), (std::vector<bool>{false, true, false}));
    session->fillField("colours", "Blue");
    EXPECT_EQ(selection(*session, "colours"), (std::vector<bool>{false, false, true}));
    EXPECT_EQ(failureOf([&] { session->fillField("colours", "blue"); }).code, FailureCode::invalidArgument);
}

TEST_F(SessionForms, CheckboxWords) {
    auto session = open(makeFillFormPdf());
    struct Case {
        std::string value;
        bool on;
    };
    // Alternating, so that every case changes the state it finds.
    const Case cases[] = {
        {"yes", true},    {"Off", false},  {" ON\n", true},  {"no", false},     {"True", true},
        {"", false},      {"1", true},     {"maybe", false}, {"CHECKED", true}, {"Agreed?", false},
        {"aGREED", true}, {"\t0 ", false}, {"Agreed", true}, {"yes", true},
    };
    for (const Case& c : cases) {
        session->fillField("agree", c.value);
        EXPECT_EQ(field(*session, "agree").checked, c.on) << '"' << c.value << '"';
    }
}

TEST_F(SessionForms, RadioGroups) {
    auto session = open(makeFillFormPdf());
    // Off while nothing is on: nothing to do.
    EXPECT_NO_THROW(session->fillField("direction", "off"));
    EXPECT_NO_THROW(session->fillField("direction", ""));
    EXPECT_EQ(field(*session, "direction").checked, false);

    session->fillField("direction", "south");
    EXPECT_EQ(field(*session, "direction").value, "South");
    session->fillField("direction", "NORTH");
    EXPECT_EQ(field(*session, "direction").value, "North");
    EXPECT_EQ(
        message(failureOf([&] { session->fillField("direction", "Off"); })),
        "unsupported: PDFium cannot clear the radio group direction. Choose one of its options instead.");
    EXPECT_EQ(field(*session, "direction").value, "North");
    // Checkbox words mean nothing to a radio group.
    EXPECT_EQ(failureOf([&] { session->fillField("direction", "yes"); }).code, FailureCode::invalidArgument);
}

TEST_F(SessionForms, PagesAreAnsweredInPageOrder) {
    auto session = open(makeSpreadFormPdf());
    const std::vector<std::string> ids = pageIds(*session);
    EXPECT_EQ(session->fillField("spread", "new"), (std::vector<std::string>{ids[0], ids[2]}));
    EXPECT_EQ(field(*session, "spread").value, "new");
    EXPECT_EQ(session->fillField("kept", "keep me"), (std::vector<std::string>{ids[0], ids[1]}));
}

TEST_F(SessionForms, ClearingBeforeDeletionKeepsSharedFieldsAndWarnsOfRadioGroups) {
    auto session = open(makeSpreadFormPdf());
    const std::vector<std::string> ids = pageIds(*session);
    session->deletePages({ids[1]});

    const std::vector<FormFieldInfo> fields = session->listFields();
    std::vector<std::string> names;
    for (const FormFieldInfo& info : fields) names.push_back(info.name);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"kept", "spread", "spread"}));
    EXPECT_EQ(field(*session, "kept").value, "keep me");

    const std::string warning =
        "Form fields from the deleted pages still hold their values in the file, because PDFium cannot clear "
        "them: alpha, zeta.";
    EXPECT_EQ(
        std::count(SessionProbe::warnings(*session).begin(), SessionProbe::warnings(*session).end(), warning),
        1);
}

TEST_F(SessionForms, ClearingEmptiesFieldsOfTheDoomedPagesOnly) {
    auto session = open(makeSpreadFormPdf());
    const std::vector<std::string> ids = pageIds(*session);
    SessionProbe::clearFormFields(*session, {ids[1]});
    // Still on the page until it is deleted: the fields living only there are empty, "kept" is not.
    EXPECT_EQ(field(*session, "gone").value, "");
    EXPECT_EQ(field(*session, "solo").value, "");
    EXPECT_EQ(field(*session, "kept").value, "keep me");
    EXPECT_EQ(field(*session, "spread").value, "old");

    // Without a form nothing happens and nothing is said.
    auto plain = open(makePdf({TestPage{}, TestPage{}}), std::nullopt, "plain.pdf");
    SessionProbe::clearFormFields(*plain, {plain->pages()[0].id});
    EXPECT_TRUE(SessionProbe::warnings(*plain).empty());
}

TEST_F(SessionForms, SampleForms) {
    for (const char* name : {"pdflatex-forms.pdf", "libreoffice-form.pdf"}) {
        auto session = openSample(name);
        if (!session) GTEST_SKIP() << "sample folder absent";
        for (const FormFieldInfo& info : session->listFields()) {
            if (info.type != "text" || info.readOnly) continue;
            SCOPED_TRACE(std::string(name) + ": " + info.name);
            const Thrown failure = failureOf([&] { session->fillField(info.name, "Kivo"); });
            if (!failure.code) {
                EXPECT_EQ(field(*session, info.name).value, "Kivo");
            } else {
                // A field limited to fewer characters keeps PDFium's truncated text.
                EXPECT_EQ(failure.code, FailureCode::formFailed);
            }
        }
    }
}

}  // namespace
}  // namespace kivo::testing
