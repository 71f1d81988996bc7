// Merging documents through the worker keeps every form field of both, with its full name, type
// and value, as the worker lists them and as qpdf reads the merged file; the appended pages keep
// exactly their annotations; and undoing the merge gives the target back unchanged.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "document_worker.hpp"
#include "test_pdfs.hpp"

namespace kivo {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::DocumentWorker;
using testing::makeRequest;
using testing::outcome;
using testing::WorkerMode;

std::string toolOutput(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr) return output;
    char chunk[4096];
    while (std::size_t n = std::fread(chunk, 1, sizeof chunk, pipe)) output.append(chunk, n);
    ::pclose(pipe);
    return output;
}

// What qpdf reads of a file: each field as "full name: type value", and each page's annotation
// subtypes, a popup only counted when its /Parent is an annotation of the same page.
struct OutsideView {
    bool damaged = true;  // qpdf --check finds errors
    std::set<std::string> fields;
    std::vector<std::multiset<std::string>> pages;
};

OutsideView qpdfView(const fs::path& file) {
    OutsideView view;
    view.damaged = toolOutput("qpdf --check '" + file.string() + "' >/dev/null; echo $?") == "2\n";
    const json document = json::parse(toolOutput("qpdf --json '" + file.string() + "'"), nullptr, false);
    if (document.is_discarded()) return view;
    for (const json& field : document["acroform"]["fields"]) {
        std::string value = field["value"].is_string() ? field["value"].get<std::string>() : "";
        if (value.starts_with("u:")) value = value.substr(2);
        view.fields.insert(field["fullname"].get<std::string>() + ": " +
                           field["fieldtype"].get<std::string>() + " " + value);
    }
    const json& objects = document["qpdf"][1];
    const auto dictionaryOf = [&](const std::string& ref) -> json {
        const auto found = objects.find("obj:" + ref);
        return found == objects.end() ? json() : (*found)["value"];
    };
    for (const json& page : document["pages"]) {
        std::set<std::string> onPage;
        json annots = dictionaryOf(page["object"].get<std::string>()).value("/Annots", json::array());
        if (annots.is_string()) annots = dictionaryOf(annots.get<std::string>());
        std::multiset<std::string> kinds;
        for (const json& item : annots) {
            if (item.is_string()) onPage.insert(item.get<std::string>());
            if (item.is_object()) kinds.insert(item.value("/Subtype", ""));
        }
        for (const std::string& ref : onPage) {
            const json annotation = dictionaryOf(ref);
            if (!annotation.is_object()) continue;
            const std::string subtype = annotation.value("/Subtype", "");
            if (subtype == "/Popup") {
                const json parent = annotation.value("/Parent", json());
                if (!parent.is_string() || onPage.count(parent.get<std::string>()) == 0) continue;
            }
            kinds.insert(subtype);
        }
        view.pages.push_back(std::move(kinds));
    }
    return view;
}

// A field as the worker lists it, without its page.
std::string describe(const FormFieldInfo& f) {
    std::string text = f.name + ": " + f.type + " " + f.value + (f.readOnly ? " read-only" : "");
    if (f.checked) text += *f.checked ? " on" : " off";
    for (const std::string& option : f.options) text += " [" + option + "]";
    return text;
}

std::vector<std::string> describe(const std::vector<FormFieldInfo>& fields) {
    std::vector<std::string> out;
    for (const FormFieldInfo& f : fields) out.push_back(describe(f));
    return out;
}

std::string renamed(const std::string& text, const std::map<std::string, std::string>& names) {
    for (const auto& [from, to] : names) {
        if (text.starts_with(from + ":") || text.starts_with(from + "."))
            return to + text.substr(from.size());
    }
    return text;
}

class WorkerMerge : public ::testing::Test {
protected:
    CommandResult send(CommandMethod method, const std::string& sessionId,
                       const std::function<void(CommandParams&)>& fill = {}) {
        auto request = makeRequest(method);
        request.params.sessionId = sessionId;
        if (fill) fill(request.params);
        const CommandResponse response = worker.send(request);
        EXPECT_TRUE(response.ok) << outcome(response);
        return response.result.value_or(CommandResult{});
    }
    fs::path saved(const std::string& sessionId, const std::string& name) {
        const fs::path file = dir.path() / name;
        send(CommandMethod::exportDocument, sessionId,
             [&](CommandParams& p) { p.destination = file.string(); });
        return file;
    }

    testing::TempDir dir;
    DocumentWorker worker{WorkerMode::stdio, dir.path()};
};

TEST_F(WorkerMerge, EveryFieldOfBothDocumentsSurvivesAndUndoGivesTheTargetBack) {
    if (toolOutput("command -v qpdf").empty()) GTEST_SKIP() << "qpdf is not installed";
    const auto written = [&](const std::string& name, const std::string& bytes) {
        const fs::path file = dir.path() / name;
        testing::writeFile(file, bytes);
        return file;
    };
    const fs::path plain = written("plain.pdf", testing::makePdf());
    const fs::path form = written("form.pdf", testing::makeFormPdf());
    const fs::path tree = written("tree.pdf", testing::makeFieldTreePdf());
    struct Case {
        const char* name;
        fs::path target;
        fs::path appended;
        std::map<std::string, std::string> renamedTo;  // top-level names of the appended document
        bool bySession = false;                        // merged as an open document rather than a file
    };
    const Case cases[] = {
        {"the two-page reproducer into a plain document",
         plain,
         testing::repro("merge-form-two-pages.pdf"),
         {}},
        {"the read-only reproducer into a plain document",
         plain,
         testing::repro("merge-form-readonly-fields.pdf"),
         {}},
        {"a form whose check box widget names no parent into a plain document",
         plain,
         testing::repro("checkbox-field-missing-from-list.pdf"),
         {}},
        {"a field tree with a popup into a form", form, tree, {}},
        {"a form into one with the same names", form, form, {{"agree", "agree_2"}, {"name", "name_2"}}, true},
        {"a field tree into itself", tree, tree, {{"person", "person_2"}}},
        {"a sample form into a form", form, testing::corpus("pdflatex-forms.pdf"), {}},
        {"another sample form into a plain document", plain, testing::corpus("libreoffice-form.pdf"), {}},
        {"annotations with popups into a plain document", plain, testing::corpus("annotated.pdf"), {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.target.empty() || c.appended.empty()) continue;  // the shared documents are absent
        const std::string target = *worker.open(c.target).result->sessionId;
        const CommandResult appendedAlone = *worker.open(c.appended).result;
        const CommandResult before = send(CommandMethod::inspect, target);
        const OutsideView targetView = qpdfView(c.target), appendedView = qpdfView(c.appended);

        const CommandResult merged = send(CommandMethod::mergeDocuments, target, [&](CommandParams& p) {
            if (c.bySession) {
                p.sessionIds = std::vector<std::string>{*appendedAlone.sessionId};
            } else {
                p.path = c.appended.string();
            }
        });
        const CommandResult after = send(CommandMethod::inspect, target);

        std::vector<std::string> expected = describe(*before.fields);
        for (const std::string& field : describe(*appendedAlone.fields))
            expected.push_back(renamed(field, c.renamedTo));
        EXPECT_EQ(describe(*after.fields), expected);

        // What the merge warns of: after a renaming, that alone, naming every field renamed.
        const std::vector<std::string> had = before.warnings.value_or(std::vector<std::string>{});
        std::vector<std::string> added;
        for (const std::string& w : after.warnings.value_or(std::vector<std::string>{})) {
            if (std::find(had.begin(), had.end(), w) == had.end()) added.push_back(w);
        }
        if (c.renamedTo.empty()) {
            for (const std::string& w : added) EXPECT_EQ(w.find("renamed"), std::string::npos) << w;
        } else {
            ASSERT_EQ(added.size(), 1u) << ::testing::PrintToString(added);
            EXPECT_TRUE(
                added[0].starts_with("Fields of the merged document took names the document already "
                                     "had, so each was renamed"))
                << added[0];
            for (const auto& [from, to] : c.renamedTo)
                EXPECT_NE(added[0].find(from + " is now " + to), std::string::npos) << added[0];
        }

        const OutsideView mergedView =
            qpdfView(saved(target, std::string("merged-") + c.appended.filename().string()));
        std::set<std::string> expectedFields = targetView.fields;
        for (const std::string& field : appendedView.fields)
            expectedFields.insert(renamed(field, c.renamedTo));
        EXPECT_FALSE(mergedView.damaged);
        EXPECT_EQ(mergedView.fields, expectedFields);
        std::vector<std::multiset<std::string>> expectedPages = targetView.pages;
        expectedPages.insert(expectedPages.end(), appendedView.pages.begin(), appendedView.pages.end());
        EXPECT_EQ(mergedView.pages, expectedPages);

        send(CommandMethod::undo, target);
        const CommandResult undone = send(CommandMethod::inspect, target);
        EXPECT_EQ(undone.pages, before.pages);
        EXPECT_EQ(undone.fields, before.fields);
        EXPECT_EQ(undone.annotations, before.annotations);
        EXPECT_EQ(qpdfView(saved(target, std::string("undone-") + c.appended.filename().string())).fields,
                  targetView.fields);
        send(CommandMethod::close, target);
        send(CommandMethod::close, *appendedAlone.sessionId);
    }
}

// A target whose form gives one of its objects a second role cannot take the appended fields: the
// merge fails with a sentence and the target stays as it was, rather than the join replacing an
// object it is still reading (the catalog, read again after its resources took its place).
TEST_F(WorkerMerge, ATargetWhoseFormReusesAnObjectRefusesTheMergeAndStaysAsItWas) {
    const auto targetWith = [](const std::string& catalogForm, const std::string& formObject) {
        std::vector<std::string> objects = {
            "<< /Type /Catalog /Pages 2 0 R " + catalogForm + " >>",
            "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
            "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] >>",
        };
        if (!formObject.empty()) objects.push_back(formObject);
        return testing::assemblePdf(objects);
    };
    struct Case {
        const char* name;
        std::string target;
    };
    const Case cases[] = {
        {"resources that are the catalog", targetWith("/AcroForm << /Fields [] /DR 1 0 R >>", "")},
        {"resources that are the form itself", targetWith("/AcroForm 4 0 R", "<< /Fields [] /DR 4 0 R >>")},
    };
    const fs::path appended = dir.path() / "form.pdf";
    testing::writeFile(appended, testing::makeFormPdf());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path file = dir.path() / "target.pdf";
        testing::writeFile(file, c.target);
        const std::string target = *worker.open(file).result->sessionId;
        const CommandResult before = send(CommandMethod::inspect, target);

        auto request = makeRequest(CommandMethod::mergeDocuments);
        request.params.sessionId = target;
        request.params.path = appended.string();
        const CommandResponse merged = worker.send(request);
        ASSERT_FALSE(merged.ok);
        EXPECT_EQ(merged.error->code, "merge_failed");
        EXPECT_NE(merged.error->message.find("could not be carried over"), std::string::npos)
            << outcome(merged);

        const CommandResult after = send(CommandMethod::inspect, target);
        EXPECT_EQ(after.pages, before.pages);
        EXPECT_EQ(after.fields, before.fields);
        send(CommandMethod::close, target);
    }
}

}  // namespace
}  // namespace kivo
