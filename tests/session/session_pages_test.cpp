#include <algorithm>
#include <span>
#include <string_view>

#include "session/merged_form.hpp"
#include "session/pdf_objects.hpp"
#include "session_test.hpp"

namespace kivo::testing {
namespace {

class SessionPages : public SessionTest {
protected:
    // Pages whose text is their letter, from "A".
    std::unique_ptr<Session> openLettered(int count) {
        std::vector<TestPage> pages;
        for (int i = 0; i < count; ++i)
            pages.push_back(TestPage{612, 792, std::string(1, char('A' + i)), false});
        return open(makePdf(pages), std::nullopt, "letters.pdf");
    }

    // The letters in document order, read from the pages themselves.
    static std::string letters(const Session& session) {
        std::string out;
        for (const PageInfo& page : session.pages()) {
            const std::string text = session.extractText(page.id).text;
            out += text.empty() ? '?' : text.front();
        }
        return out;
    }

    static void expectIndexesInOrder(const Session& session) {
        for (size_t i = 0; i < session.pages().size(); ++i)
            EXPECT_EQ(session.pages()[i].index, std::int64_t(i));
    }

    DocumentBytes::Shared bytesOfPdf(const std::string& pdf, const std::string& name) {
        writeFile(dir_.path() / name, pdf);
        return DocumentBytes::read(dir_.path() / name);
    }
};

TEST_F(SessionPages, ReorderKeepsIdsAndMovesThePages) {
    auto session = openLettered(3);
    const std::vector<std::string> ids = pageIds(*session);  // A, B, C
    session->reorder({ids[2], ids[0], ids[1]});
    EXPECT_EQ(pageIds(*session), (std::vector<std::string>{ids[2], ids[0], ids[1]}));
    expectIndexesInOrder(*session);
    EXPECT_EQ(letters(*session), "CAB");
}

TEST_F(SessionPages, ReorderRefusesAnythingButAPermutation) {
    auto session = openLettered(3);
    const std::vector<std::string> ids = pageIds(*session);
    const std::string permutation = "organize_pages must list every page in the session exactly once.";
    struct Case {
        std::vector<std::string> order;
        std::string message;
    };
    const Case cases[] = {
        {{ids[0], ids[1]}, permutation},
        {{ids[0], ids[1], "foreign"}, permutation},
        {{}, permutation},
        {{ids[0], ids[1], ids[2], ids[0]}, "Page list contains duplicates."},
        // Duplicates are named first even when a page is also missing.
        {{ids[0], ids[0]}, "Page list contains duplicates."},
    };
    for (const Case& c : cases) {
        const Thrown failure = failureOf([&] { session->reorder(c.order); });
        EXPECT_EQ(failure.code, FailureCode::invalidArgument);
        EXPECT_EQ(failure.message, c.message);
    }
    EXPECT_EQ(letters(*session), "ABC");
}

TEST_F(SessionPages, DeleteKeepsTheSurvivorsIds) {
    auto session = openLettered(4);
    const std::vector<std::string> ids = pageIds(*session);
    const std::vector<std::string> survivors = session->deletePages({ids[3], ids[1]});
    EXPECT_EQ(survivors, (std::vector<std::string>{ids[0], ids[2]}));
    EXPECT_EQ(pageIds(*session), survivors);
    expectIndexesInOrder(*session);
    EXPECT_EQ(letters(*session), "AC");
    EXPECT_TRUE(SessionProbe::warnings(*session).empty());
}

TEST_F(SessionPages, PageListRefusals) {
    auto session = openLettered(2);
    const std::vector<std::string> ids = pageIds(*session);
    struct Case {
        std::vector<std::string> list;
        FailureCode code;
        std::string message;
    };
    const Case cases[] = {
        {{}, FailureCode::invalidArgument, "A non-empty pageIds list is required."},
        {{ids[0], ids[0]}, FailureCode::invalidArgument, "Page list contains duplicates."},
        {{ids[0], "foreign"}, FailureCode::invalidPage, "Unknown page id."},
    };
    for (const Case& c : cases) {
        for (const auto& operation : {std::function<void()>([&] { session->deletePages(c.list); }),
                                      std::function<void()>([&] { session->extractPagesInPlace(c.list); })}) {
            const Thrown failure = failureOf(operation);
            EXPECT_EQ(failure.code, c.code);
            EXPECT_EQ(failure.message, c.message);
        }
    }
    const Thrown all = failureOf([&] { session->deletePages({ids[1], ids[0]}); });
    EXPECT_EQ(all.code, FailureCode::invalidArgument);
    EXPECT_EQ(all.message, "Cannot delete every page. The editor refuses to export a zero-page document.");
    EXPECT_EQ(letters(*session), "AB");
}

// A copy for a file of printed copies: a page as often as it is listed, and a blank page (an empty id)
// the size of the page before it, or of the first page listed when it comes first.
TEST_F(SessionPages, SequenceCopyRepeatsPagesAndSizesBlanksByTheirNeighbour) {
    auto session = open(makePdf({TestPage{300, 400, "A", false}, TestPage{500, 600, "B", false}}),
                        std::nullopt, "sizes.pdf");
    const std::vector<std::string> ids = pageIds(*session);
    const auto copy = session->sequenceCopy({"", ids[1], "", ids[0], ids[1], ids[0]});
    EXPECT_EQ(letters(*copy), "?B?ABA");
    const std::vector<std::pair<double, double>> sizes = {{500, 600}, {500, 600}, {500, 600},
                                                          {300, 400}, {500, 600}, {300, 400}};
    ASSERT_EQ(copy->pages().size(), sizes.size());
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        EXPECT_EQ(std::pair(copy->pages()[i].width, copy->pages()[i].height), sizes[i]) << i;
    }
    expectIndexesInOrder(*copy);
    EXPECT_EQ(letters(*session), "AB") << "the document itself is untouched";

    const struct {
        std::vector<std::string> list;
        FailureCode code;
        std::string message;
    } refusals[] = {
        {{"", ""}, FailureCode::invalidArgument, "The page list names no page."},
        {{ids[0], "", "foreign"}, FailureCode::invalidPage, "Unknown page id."},
        {std::vector<std::string>(Session::maxSequencePages + 1, ids[0]), FailureCode::invalidArgument,
         "The page list is longer than 100,000 pages."},
    };
    for (const auto& c : refusals) {
        const Thrown failure = failureOf([&] { session->sequenceCopy(c.list); });
        EXPECT_EQ(failure.code, c.code);
        EXPECT_EQ(failure.message, c.message);
    }
}

TEST_F(SessionPages, ExtractKeepsOnlyTheListedPagesInListOrder) {
    struct Case {
        std::vector<int> keep;
        std::string letters;
    };
    const Case cases[] = {{{2, 0}, "CA"}, {{0, 1}, "AB"}, {{1, 2, 0}, "BCA"}, {{1}, "B"}};
    for (const Case& c : cases) {
        auto session = openLettered(3);
        const std::vector<std::string> ids = pageIds(*session);
        std::vector<std::string> keep;
        for (const int k : c.keep) keep.push_back(ids[static_cast<size_t>(k)]);
        EXPECT_EQ(session->extractPagesInPlace(keep), keep);
        EXPECT_EQ(pageIds(*session), keep);
        expectIndexesInOrder(*session);
        EXPECT_EQ(letters(*session), c.letters);
    }
}

// The objects of a merged file as its last revision has them: the merge appends the fields it
// joined to the file PDFium wrote.
class MergedObjects {
public:
    explicit MergedObjects(std::span<const uint8_t> bytes) {
        const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        const size_t written = text.find("%%EOF") + 5;
        first_ = PdfObjects::File::index(bytes.first(written));
        last_ = PdfObjects::File::lastRevision(bytes, written);
    }
    bool readable() const { return first_ && last_; }

    std::optional<PdfObjects::Value> resolved(const PdfObjects::Value* value) const {
        if (value == nullptr || value->kind != PdfObjects::Value::Kind::reference) {
            return value ? std::optional(*value) : std::nullopt;
        }
        const PdfObjects::File& file = last_->offsets().count(value->number) ? *last_ : *first_;
        auto object = file.object(value->number);
        return object ? std::optional(std::move(object->first)) : std::nullopt;
    }
    // The full names of the terminal fields /Fields reaches, sorted, each as often as it is reached.
    std::vector<std::string> listedFields() const {
        const auto catalog = resolved(last_->trailer().find("Root"));
        const auto form = catalog ? resolved(catalog->find("AcroForm")) : std::nullopt;
        const auto fields = form ? resolved(form->find("Fields")) : std::nullopt;
        std::vector<std::string> names;
        if (fields) collect(*fields, "", names, 0);
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    void collect(const PdfObjects::Value& kids, const std::string& prefix, std::vector<std::string>& names,
                 int depth) const {
        if (depth > 16) return;
        for (const PdfObjects::Value& kid : kids.items) {
            const auto field = resolved(&kid);
            if (!field || !field->isDictionary()) continue;
            const PdfObjects::Value* title = field->find("T");
            if (title == nullptr) continue;  // a widget of the field above
            const std::string name = prefix + PdfObjects::decodedText(*title);
            const auto below = resolved(field->find("Kids"));
            const size_t before = names.size();
            if (below) collect(*below, name + ".", names, depth + 1);
            if (names.size() == before) names.push_back(name);
        }
    }

    std::optional<PdfObjects::File> first_, last_;
};

TEST_F(SessionPages, MergeAppendsMeasuredPagesWithNewIds) {
    auto session = openLettered(3);
    const std::vector<std::string> before = pageIds(*session);
    const auto other =
        bytesOfPdf(makePdf({TestPage{300, 400, "X", false}, TestPage{500, 600, "Y", false}}), "o.pdf");
    const std::vector<std::string> added = session->merge(other);
    ASSERT_EQ(added.size(), 2u);
    EXPECT_NE(added[0], added[1]);
    for (const std::string& id : added) EXPECT_EQ(std::count(before.begin(), before.end(), id), 0);

    const std::vector<PageInfo>& pages = session->pages();
    ASSERT_EQ(pages.size(), 5u);
    expectIndexesInOrder(*session);
    const std::vector<std::string> ids = pageIds(*session);
    EXPECT_EQ(std::vector<std::string>(ids.begin(), ids.begin() + 3), before);
    EXPECT_EQ(pages[3].id, added[0]);
    EXPECT_EQ(pages[4].id, added[1]);
    EXPECT_DOUBLE_EQ(pages[3].width, 300);
    EXPECT_DOUBLE_EQ(pages[3].height, 400);
    EXPECT_DOUBLE_EQ(pages[4].width, 500);
    EXPECT_DOUBLE_EQ(pages[4].height, 600);
    EXPECT_EQ(letters(*session), "ABCXY");
    EXPECT_TRUE(SessionProbe::warnings(*session).empty());
}

// A field the merged file's /Fields does not reach is no field to a reader: its widget stays on the
// page, but the field can be neither listed nor filled.
TEST_F(SessionPages, MergeListsEveryMergedFieldInTheFormsFields) {
    struct Case {
        const char* name;
        std::string target;
        std::string appended;
        std::vector<std::string> fields;
    };
    const Case cases[] = {
        {"a field tree into a form",
         makeFormPdf(),
         makeFieldTreePdf(),
         {"agree", "name", "person.address.city", "person.name", "person.pick"}},
        {"a form into one with its names",
         makeFormPdf(),
         makeFormPdf(),
         {"agree", "agree_2", "name", "name_2"}},
        {"a form into a file with none", makePdf(), makeFormPdf(), {"agree", "name"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto session = open(c.target);
        session->merge(bytesOfPdf(c.appended, "other.pdf"));
        const MergedObjects merged(SessionProbe::loadedBytes(*session)->data());
        ASSERT_TRUE(merged.readable());
        EXPECT_EQ(merged.listedFields(), c.fields);
    }
}

TEST_F(SessionPages, MergeRefusesUnreadableDocuments) {
    auto session = openLettered(1);
    const Thrown garbage = failureOf([&] { session->merge(bytesOfPdf("not a pdf", "g.pdf")); });
    EXPECT_EQ(garbage.code, FailureCode::mergeFailed);
    EXPECT_EQ(garbage.message, "Could not read the PDF to merge.");
    const std::string empty =
        assemblePdf({"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [] /Count 0 >>"});
    const Thrown pageless = failureOf([&] { session->merge(bytesOfPdf(empty, "e.pdf")); });
    EXPECT_EQ(pageless.code, FailureCode::mergeFailed);
    EXPECT_EQ(pageless.message, "The merged file has no pages.");
    EXPECT_EQ(letters(*session), "A");
}

TEST_F(SessionPages, MergeWarnsOfSharedFieldNamesWithoutRepeatingOtherWarnings) {
    auto session = open(makeXfaPdf(), std::nullopt, "xfa.pdf");
    ASSERT_EQ(SessionProbe::warnings(*session), std::vector<std::string>{SessionWarnings::xfa});
    session->merge(bytesOfPdf(makePdf(), "plain.pdf"));
    EXPECT_EQ(SessionProbe::warnings(*session), std::vector<std::string>{SessionWarnings::xfa});

    session->merge(bytesOfPdf(makeFormPdf(), "form.pdf"));  // its "name" meets the session's "name"
    const std::vector<std::string> expected{SessionWarnings::xfa,
                                            MergedForm::renamedSentence({{"name", "name_2"}})};
    EXPECT_EQ(SessionProbe::warnings(*session), expected);

    session->deletePages({session->pages()[1].id});
    EXPECT_EQ(SessionProbe::warnings(*session), expected);
}

TEST_F(SessionPages, NextRotation) {
    struct Case {
        int current;
        std::int64_t requested;
        int expected;
    };
    const Case cases[] = {
        {3, 90, 0},  {0, -90, 3},  {2, 1, 1},    {1, 0, 0},   {0, 3, 3},   {1, 180, 3},
        {3, 270, 2}, {2, -180, 0}, {1, -270, 2}, {0, 270, 3}, {3, -90, 2},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Session::nextRotation(c.current, c.requested), c.expected)
            << c.current << " " << c.requested;
    }
    for (const std::int64_t bad :
         std::vector<std::int64_t>{4, 45, 89, 360, -360, -1, -45, 450, std::int64_t(1) << 40}) {
        const Thrown failure = failureOf([&] { Session::nextRotation(0, bad); });
        EXPECT_EQ(failure.code, FailureCode::invalidArgument) << bad;
        EXPECT_EQ(failure.message, "rotation must be 0-3 or ±90/180/270.");
    }
}

}  // namespace
}  // namespace kivo::testing
