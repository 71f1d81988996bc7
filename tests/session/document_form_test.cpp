#include "session_test.hpp"

namespace kivo::testing {
namespace {

using DocumentFormFields = SessionTest;

FormFieldInfo field(std::string name, std::string type, std::string value, std::vector<std::string> options,
                    std::optional<bool> checked, std::string pageId = "P") {
    FormFieldInfo f;
    f.name = std::move(name);
    f.type = std::move(type);
    f.value = std::move(value);
    f.options = std::move(options);
    f.checked = checked;
    f.pageId = std::move(pageId);
    return f;
}

TEST(DocumentFormRadioMerge, Cases) {
    struct Case {
        const char* name;
        std::vector<FormFieldInfo> in;
        std::vector<FormFieldInfo> out;
    };
    const Case cases[] = {
        {"three widgets, the second on",
         {field("r", "radio", "Off", {"B"}, false, "P1"), field("r", "radio", "A", {"A"}, true, "P2"),
          field("r", "radio", "Off", {"C"}, false, "P3")},
         {field("r", "radio", "A", {"A", "B", "C"}, true, "P1")}},
        {"none on keeps the first value",
         {field("r", "radio", "first", {"B"}, false), field("r", "radio", "second", {"A"}, false)},
         {field("r", "radio", "first", {"A", "B"}, false)}},
        {"the last checked widget gives the value",
         {field("r", "radio", "x", {"X"}, true), field("r", "radio", "y", {"Y"}, std::nullopt),
          field("r", "radio", "z", {"Z"}, true)},
         {field("r", "radio", "z", {"X", "Y", "Z"}, true)}},
        {"a single widget keeps its option order",
         {field("r", "radio", "", {"Z", "Y", "X"}, false)},
         {field("r", "radio", "", {"Z", "Y", "X"}, false)}},
        {"only radio groups fold; the group stays where it began",
         {field("t", "text", "a", {}, std::nullopt, "P1"), field("r", "radio", "", {"B"}, false),
          field("t", "text", "a", {}, std::nullopt, "P2"), field("c", "checkbox", "Off", {}, false),
          field("c", "checkbox", "Off", {}, false), field("r", "radio", "", {"A", "B"}, false)},
         {field("t", "text", "a", {}, std::nullopt, "P1"), field("r", "radio", "", {"A", "B"}, false),
          field("t", "text", "a", {}, std::nullopt, "P2"), field("c", "checkbox", "Off", {}, false),
          field("c", "checkbox", "Off", {}, false)}},
        {"no fields", {}, {}},
    };
    for (const Case& c : cases) EXPECT_EQ(DocumentForm::mergeRadioFields(c.in), c.out) << c.name;
}

TEST_F(DocumentFormFields, FieldsOfAHandMadeForm) {
    const auto session = open(makeRadioPdf());
    const std::string page = session->pages()[0].id;
    const std::vector<FormFieldInfo> fields = session->listFields();
    ASSERT_EQ(fields.size(), 3u);

    EXPECT_EQ(fields[0].name, "choice");
    EXPECT_EQ(fields[0].type, "radio");
    EXPECT_EQ(fields[0].options, (std::vector<std::string>{"A", "B", "C"}));
    EXPECT_EQ(fields[0].checked, true);
    EXPECT_EQ(fields[0].value, "A");
    EXPECT_EQ(fields[0].pageId, page);

    EXPECT_EQ(fields[1].name, "notes");
    EXPECT_EQ(fields[1].type, "text");
    EXPECT_EQ(fields[1].value, "line1\nline2\nline3");
    EXPECT_TRUE(fields[1].readOnly);
    EXPECT_TRUE(fields[1].multiline);
    EXPECT_FALSE(fields[1].checked.has_value());

    EXPECT_EQ(fields[2].name, "agree");
    EXPECT_EQ(fields[2].type, "checkbox");
    EXPECT_EQ(fields[2].checked, false);
    EXPECT_EQ(fields[2].value, "Off");
    EXPECT_FALSE(fields[2].readOnly);

    // The census carries the same records.
    EXPECT_EQ(SessionProbe::census(*session).fields, fields);

    const std::vector<FormFieldInfo> simple = open(makeFormPdf(), std::nullopt, "form.pdf")->listFields();
    ASSERT_EQ(simple.size(), 2u);
    EXPECT_EQ(simple[0].name, "name");
    EXPECT_EQ(simple[0].value, "Ada");
    EXPECT_EQ(simple[1].name, "agree");

    // Documents without fields, and annotations that are not widgets, list nothing.
    EXPECT_TRUE(open(makeAnnotatedPdf(), std::nullopt, "annotated.pdf")->listFields().empty());
}

TEST_F(DocumentFormFields, SampleForms) {
    if (corpus("pdflatex-forms.pdf").empty()) GTEST_SKIP() << "sample folder absent";
    for (const char* name : {"pdflatex-forms.pdf", "libreoffice-form.pdf"}) {
        const auto session = openSample(name);
        const std::vector<FormFieldInfo> fields = session->listFields();
        EXPECT_FALSE(fields.empty()) << name;
        for (const FormFieldInfo& f : fields) {
            EXPECT_FALSE(f.name.empty()) << name;
            EXPECT_NE(f.type, "unknown") << name << " " << f.name;
            EXPECT_EQ(f.pageId, session->pages()[0].id);
            EXPECT_EQ(f.checked.has_value(), f.type == "checkbox" || f.type == "radio")
                << name << " " << f.name;
            EXPECT_EQ(f.value.find('\r'), std::string::npos);
        }
        // A radio group is listed once.
        std::vector<std::string> radios;
        for (const FormFieldInfo& f : fields)
            if (f.type == "radio") radios.push_back(f.name);
        std::sort(radios.begin(), radios.end());
        EXPECT_EQ(std::adjacent_find(radios.begin(), radios.end()), radios.end()) << name;
    }
}

}  // namespace
}  // namespace kivo::testing
