#include "session_test.hpp"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <regex>
#include <thread>

#include "outside_readers.hpp"
#include "session/form_dictionary.hpp"
#include "session/page_tree.hpp"
#include "session/pdf_objects.hpp"

namespace kivo::testing {
namespace {

namespace fs = std::filesystem;

using SessionSave = SessionTest;

std::vector<std::string> namesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(SessionSave, AtomicWriteLeavesOnlyTheDestination) {
    const auto session = open(makePdf({{612, 792}, {300, 400}}));
    session->addNote(session->pages()[1].id, PDFRect{10, 10, 30, 30}, "saved note");

    // A folder that does not exist yet is made.
    const fs::path out = dir_.path() / "new" / "deeper" / "out.pdf";
    session->atomicWrite(out);
    EXPECT_EQ(namesIn(out.parent_path()), std::vector<std::string>{"out.pdf"});

    const auto reopened = openFile(out);
    EXPECT_EQ(reopened->pages().size(), 2u);
    const auto census = SessionProbe::census(*reopened);
    ASSERT_EQ(census.items.size(), 1u);
    EXPECT_EQ(census.items[0].contents, "saved note");

    // Overwriting works and leaves nothing else either.
    session->atomicWrite(out);
    EXPECT_EQ(namesIn(out.parent_path()), std::vector<std::string>{"out.pdf"});
    EXPECT_EQ(openFile(out)->pages().size(), 2u);
}

// Another user who may write the folder races the save through the name of its temporary file:
// a link planted there before the file is made (the save would write the link's target), or
// swapped in after it is closed (the save's change of mode would land on the target). Neither may
// reach a file of the user's elsewhere.
TEST_F(SessionSave, ARaceInASharedFolderCannotReachAnotherFile) {
    const auto session = open(makePdf());
    const fs::path shared = dir_.path() / "shared";
    fs::create_directory(shared);
    const fs::path out = shared / "out.pdf";
    writeFile(out, "old");
    fs::permissions(out, fs::perms::owner_all | fs::perms::group_all | fs::perms::others_all);
    const fs::path victim = dir_.path() / "private";
    writeFile(victim, "secret");
    fs::permissions(victim, fs::perms::owner_read | fs::perms::owner_write);
    const fs::path predictable = shared / ".out.pdf.kivo-tmp";

    std::atomic<bool> stop{false};
    std::thread intruder([&] {
        for (int n = 0; !stop; ++n) {
            ::symlink(victim.c_str(), predictable.c_str());
            const fs::path spare = shared / ("spare-" + std::to_string(n % 4));
            ::unlink(spare.c_str());
            ::symlink(victim.c_str(), spare.c_str());
            ::rename(spare.c_str(), predictable.c_str());
        }
    });
    for (int i = 0; i < 100; ++i) {
        try {
            session->atomicWrite(out);
        } catch (const std::exception&) {
            // A save the intruder spoiled may fail; it must not do harm elsewhere.
        }
    }
    stop = true;
    intruder.join();
    EXPECT_EQ(readFile(victim), "secret");
    EXPECT_EQ(fs::status(victim).permissions() & fs::perms::mask,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_FALSE(fs::is_symlink(out));
    EXPECT_EQ(readFile(out).rfind("%PDF", 0), 0u);
}

// Saving over a file of someone else that this user may write must not leave a file of this user
// as open as the other user had made theirs.
TEST_F(SessionSave, OverwritingAnotherUsersFileKeepsItOwnerOnly) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs a file of another user";
    const auto session = open(makePdf());
    fs::permissions(dir_.path(), fs::perms::others_exec, fs::perm_options::add);
    const fs::path shared = dir_.path() / "shared";
    fs::create_directory(shared);
    fs::permissions(shared, fs::perms::all);
    const fs::path theirs = shared / "theirs.pdf";
    writeFile(theirs, "old");
    fs::permissions(theirs, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                fs::perms::group_write | fs::perms::others_read | fs::perms::others_write);

    const uid_t nobody = 65534;
    const pid_t child = ::fork();
    if (child == 0) {
        ::umask(022);
        if (::setresgid(nobody, nobody, nobody) != 0 || ::setresuid(nobody, nobody, nobody) != 0) ::_exit(2);
        try {
            session->atomicWrite(theirs);
        } catch (...) {
            ::_exit(1);
        }
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    struct stat written {};
    ASSERT_EQ(::stat(theirs.c_str(), &written), 0);
    EXPECT_EQ(written.st_uid, nobody);
    EXPECT_EQ(written.st_mode & 0777, 0600u);
    EXPECT_EQ(readFile(theirs).rfind("%PDF", 0), 0u);
}

TEST_F(SessionSave, OverwritingKeepsPermissionsAndLinks) {
    const auto session = open(makePdf());
    const fs::path existing = dir_.path() / "existing.pdf";
    writeFile(existing, "old contents");
    fs::permissions(existing, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    session->atomicWrite(existing);
    EXPECT_EQ(fs::status(existing).permissions() & fs::perms::mask,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(readFile(existing).rfind("%PDF", 0), 0u);

    // Saving through a link writes the file it points to and keeps the link.
    const fs::path target = dir_.path() / "target.pdf";
    const fs::path link = dir_.path() / "link.pdf";
    writeFile(target, "old");
    fs::create_symlink(target, link);
    session->atomicWrite(link);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(readFile(target).rfind("%PDF", 0), 0u);
    EXPECT_FALSE(fs::exists(dir_.path() / ".link.pdf.kivo-tmp"));
    EXPECT_FALSE(fs::exists(dir_.path() / ".target.pdf.kivo-tmp"));
}

TEST_F(SessionSave, Failures) {
    const auto session = open(makePdf());
    writeFile(dir_.path() / "plain", "x");
    // The parent cannot be made: the file system's error, and nothing else written.
    EXPECT_THROW(session->atomicWrite(dir_.path() / "plain" / "out.pdf"), fs::filesystem_error);
    // The destination is a folder, or PDFium cannot write: the folder stays, no new file is left.
    fs::create_directory(dir_.path() / "folder.pdf");
    EXPECT_THROW(session->atomicWrite(dir_.path() / "folder.pdf"), fs::filesystem_error);
    EXPECT_TRUE(fs::is_directory(dir_.path() / "folder.pdf"));
    EXPECT_THROW(session->atomicWrite(dir_.path() / std::string(300, 'x')), fs::filesystem_error);
    EXPECT_EQ(namesIn(dir_.path()), (std::vector<std::string>{"doc.pdf", "folder.pdf", "plain"}));

    session->teardownDocument();
    EXPECT_EQ(failureOf([&] { SessionProbe::save(*session, dir_.path() / "closed.pdf"); }),
              EngineFailure(FailureCode::internal, "Document is closed."));
    EXPECT_EQ(failureOf([&] { session->detachedCopy(); }),
              EngineFailure(FailureCode::internal, "Document is closed."));
}

TEST_F(SessionSave, DetachedCopyIsIndependent) {
    const auto session = open(makePdf({{612, 792}, {300, 400}}));
    session->checkpoint();
    session->addNote(session->pages()[0].id, PDFRect{10, 10, 30, 30}, "before the copy");
    session->refreshBacking();
    session->commitCheckpoint();

    const auto copy = session->detachedCopy();
    EXPECT_NE(copy->id(), session->id());
    EXPECT_EQ(copy->pages(), session->pages());
    EXPECT_FALSE(copy->sourcePath().has_value());
    EXPECT_TRUE(SessionProbe::history(*copy).undoStack().empty());
    EXPECT_EQ(SessionProbe::history(*copy).generation(), 0);
    EXPECT_TRUE(copy->isSaved());
    EXPECT_EQ(SessionProbe::census(*copy).items.size(), 1u);

    // Changing the copy leaves the session alone.
    copy->addNote(copy->pages()[1].id, PDFRect{10, 10, 30, 30}, "only in the copy");
    EXPECT_EQ(SessionProbe::census(*copy).items.size(), 2u);
    EXPECT_EQ(SessionProbe::census(*session).items.size(), 1u);
}

// A save writes the document once and keeps that write when every object in it is referred to; the
// simple way always opens it and writes it again, which drops what nothing refers to. Both must give
// other readers the same file: the same objects (so nothing a deleted page or a removed annotation
// left behind stays), the same check, information and text.
DocumentBytes::Shared writtenTheSimpleWay(pdfium::FPDF_DOCUMENT document, const std::string* password) {
    DocumentBytes::Shared first = DocumentBytes::writing(document);
    const pdfium::Document again = pdfium::Document::load(first->data(), first, password);
    if (!again) return first;
    DocumentBytes::Shared second = DocumentBytes::writing(again.get());
    second = second->count() < first->count() ? second : first;
    if (auto sound = FormDictionary::soundForOtherReaders(second->data()))
        second = DocumentBytes::copied(*sound);
    if (auto sound = PageTree::withoutLoops(second->data())) second = DocumentBytes::copied(*sound);
    return second;
}

std::string qpdfWith(const std::optional<std::string>& password) {
    return password ? "qpdf --password='" + *password + "' " : "qpdf ";
}

// What qpdf and poppler make of a file: its check, its objects in use (where each starts aside), its
// information (its length aside) and its text.
std::vector<std::string> readBack(const fs::path& file, const std::optional<std::string>& password) {
    const std::string qpdf = qpdfWith(password);
    const auto run = [&](const std::string& program) {
        const ToolRun ran = runTool(program, file);
        return std::to_string(ran.status) + ": " + ran.output;
    };
    std::vector<std::string> seen = {
        run(qpdf + "--check"),
        std::regex_replace(run(qpdf + "--show-xref"), std::regex(R"(offset = \d+)"), "")};
    const std::string poppler = password ? " -upw '" + *password + "'" : "";
    seen.push_back(std::regex_replace(run("pdfinfo" + poppler), std::regex(R"(File size:.*)"), ""));
    runTool("pdftotext" + poppler, file);
    fs::path text = file;
    seen.push_back(readFile(text.replace_extension(".txt")));
    return seen;
}

TEST_F(SessionSave, WritingOnceReadsBackAsWritingTwice) {
    if (!haveOutsideReaders() || !haveTool("pdftotext") || corpus("pdflatex-4-pages.pdf").empty())
        GTEST_SKIP() << "needs qpdf, poppler and the samples";
    struct Edit {
        const char* name;
        // Answers false when the document has nothing to make the edit on.
        std::function<bool(Session&)> make;
    };
    const Edit edits[] = {
        {"as opened", [](Session&) { return true; }},
        {"every page loaded",
         [](Session& s) {
             for (const PageInfo& page : s.pages()) SessionProbe::loadedPageCensus(s, page.id);
             return true;
         }},
        {"the first page deleted",
         [](Session& s) { return s.pages().size() > 1 && !s.deletePages({s.pages()[0].id}).empty(); }},
        {"an annotation removed",
         [](Session& s) {
             const auto census = SessionProbe::census(s);
             return !census.items.empty() && !s.removeAnnotation(census.items[0].id).empty();
         }},
        {"a document merged",
         [](Session& s) { return !s.merge(DocumentBytes::read(corpus("pdflatex-4-pages.pdf"))).empty(); }},
    };
    const std::map<std::string, std::string> passwords = {{"libreoffice-writer-password.pdf", "openpassword"},
                                                          {"aes256-password-130-chars.pdf",
                                                           [] {
                                                               std::string p;
                                                               for (int i = 0; i < 5; ++i)
                                                                   p += "qwertyuiopasdfghjklzxcvbnm";
                                                               return p;
                                                           }()},
                                                          {"password-Hello-refused.pdf", "Hello"}};
    std::vector<fs::path> documents;
    for (const fs::path& folder :
         {corpus("pdflatex-4-pages.pdf").parent_path(), repro("page-tree-loop.pdf").parent_path()}) {
        if (folder.empty()) continue;
        for (const auto& entry : fs::directory_iterator(folder))
            // Its field tree has 2^n paths: loading its page, or reading it with poppler, takes minutes.
            if (entry.path().extension() == ".pdf" &&
                entry.path().filename() != "field-tree-repeated-kids.pdf")
                documents.push_back(entry.path());
    }
    std::sort(documents.begin(), documents.end());
    int once = 0;
    int twice = 0;
    for (const fs::path& document : documents) {
        const auto known = passwords.find(document.filename().string());
        const std::optional<std::string> password =
            known == passwords.end() ? std::nullopt : std::optional(known->second);
        const int ownCheck = runTool(qpdfWith(password) + "--check", document).status;
        for (const Edit& edit : edits) {
            const std::string row = document.filename().string() + ", " + edit.name;
            std::unique_ptr<Session> session;
            try {
                session = openFile(document, password);
            } catch (const EngineFailure&) {
                continue;  // a reproducer of a refused open
            }
            session->checkpoint();
            try {
                if (!edit.make(*session)) continue;
                session->refreshBacking();
            } catch (const EngineFailure&) {
                continue;  // an edit this document refuses
            }
            session->commitCheckpoint();
            pdfium::FPDF_DOCUMENT handle = SessionProbe::document(*session);
            const DocumentBytes::Shared first = DocumentBytes::writing(handle);
            const auto written = PdfObjects::File::index(first->data());
            (written && written->everyObjectReferenced() ? once : twice) += 1;

            // Both are read at one path, so that the tools name the same file.
            const fs::path out = dir_.path() / "out.pdf";
            session->atomicWrite(out);
            const std::vector<std::string> seen = readBack(out, password);
            const DocumentBytes::Shared oracle = writtenTheSimpleWay(handle, SessionProbe::secret(*session));
            writeFile(out, std::string(reinterpret_cast<const char*>(oracle->pointer()),
                                       static_cast<size_t>(oracle->count())));
            EXPECT_EQ(seen, readBack(out, password)) << row;
            // qpdf answers 3 for warnings it read past; a reproducer may hold an error of its own.
            EXPECT_TRUE(seen[0].starts_with("0: ") || seen[0].starts_with("3: ") ||
                        seen[0].starts_with(std::to_string(ownCheck) + ": "))
                << row << ": " << seen[0];
        }
    }
    // Both ways were taken, or the comparison proved nothing of one of them.
    EXPECT_GT(once, 0);
    EXPECT_GT(twice, 0);
}

}  // namespace
}  // namespace kivo::testing
