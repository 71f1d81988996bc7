#include "session_test.hpp"

#include <set>
#include <span>
#include <utility>

#include "session/fingerprint.hpp"
#include "session/running_command.hpp"

namespace kivo::testing {
namespace {

namespace fs = std::filesystem;

using SessionLoading = SessionTest;

TEST_F(SessionLoading, PagesGetFreshIdsAndTheirMeasures) {
    const auto session = open(makePdf({{612, 792}, {300, 400}, {200.5, 100}}));
    ASSERT_EQ(session->pages().size(), 3u);
    std::set<std::string> ids;
    const double sizes[3][2] = {{612, 792}, {300, 400}, {200.5, 100}};
    for (size_t i = 0; i < 3; ++i) {
        const PageInfo& page = session->pages()[i];
        EXPECT_EQ(page.index, static_cast<std::int64_t>(i));
        EXPECT_DOUBLE_EQ(page.width, sizes[i][0]);
        EXPECT_DOUBLE_EQ(page.height, sizes[i][1]);
        EXPECT_EQ(page.rotation, 0);
        EXPECT_EQ(page.id.size(), 36u);
        EXPECT_EQ(page.id, [&] {
            std::string upper = page.id;
            std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
            return upper;
        }());
        ids.insert(page.id);
    }
    EXPECT_EQ(ids.size(), 3u);
    EXPECT_EQ(session->id().size(), 36u);
    EXPECT_EQ(session->revision(), 1);
    EXPECT_FALSE(session->readOnly());
    EXPECT_EQ(SessionProbe::formType(*session), "none");
    EXPECT_TRUE(SessionProbe::warnings(*session).empty());
    EXPECT_TRUE(session->isSaved());
    EXPECT_EQ(session->sourcePath(), (dir_.path() / "doc.pdf").string());
    EXPECT_EQ(session->sourceFingerprint(), RecoveryStore::fingerprint(dir_.path() / "doc.pdf"));
    EXPECT_EQ(SessionProbe::stamp(*session).size(),
              static_cast<std::int64_t>(fs::file_size(dir_.path() / "doc.pdf")));

    // Another session of the same file gets ids of its own.
    const auto other = open(makePdf({{612, 792}, {300, 400}, {200.5, 100}}), std::nullopt, "again.pdf");
    EXPECT_NE(other->pages()[0].id, session->pages()[0].id);
    EXPECT_NE(other->id(), session->id());
}

// A file someone replaces while it is read or loaded is not the document that was opened: a save over
// it would lose their version, so it counts as changed from the start.
TEST_F(SessionLoading, AFileReplacedWhileItLoadsHasChanged) {
    const fs::path path = dir_.path() / "doc.pdf";
    const std::string opened = makePdf({{612, 792}, {300, 400}});
    writeFile(path, opened);
    bool replaced = false;
    // Measuring the pages reports progress once the bytes are read.
    RunningCommand command("o", CommandChannel::ui, ResourceLimits::unlimited(), [&](const CommandProgress&) {
        if (!std::exchange(replaced, true)) writeFile(path, makePdf({{612, 792, "Their own version"}}));
    });
    std::unique_ptr<Session> session;
    {
        RunningCommand::Activation active(command);
        session = openFile(path);
    }
    ASSERT_TRUE(replaced);
    EXPECT_EQ(session->pages().size(), 2u);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(opened.data());
    EXPECT_EQ(session->sourceFingerprint(), RecoveryStore::fingerprint(std::span(bytes, opened.size())));
    EXPECT_TRUE(session->sourceChangedOnDisk());
}

TEST_F(SessionLoading, LoadErrors) {
    struct Case {
        const char* name;
        std::string pdf;
        EngineFailure expected;
    };
    const EngineFailure notPdf(FailureCode::unsupported, "This file is not a supported PDF.");
    const Case cases[] = {
        {"empty file", "", notPdf},
        {"not a PDF", "hello, this is text", notPdf},
        {"no pages",
         assemblePdf({"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [] /Count 0 >>"}),
         EngineFailure(FailureCode::unsupported, "This file has no pages.")},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(failureOf([&] { open(c.pdf); }), c.expected) << c.name;
    }
}

TEST_F(SessionLoading, FormTypesSignaturesAndScripts) {
    const std::string xfa = assemblePdf({
        "<< /Type /Catalog /Pages 2 0 R /AcroForm << /Fields [] /XFA [(template) 4 0 R] >> /NeedsRendering "
        "true >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] >>",
        "<< /Length 0 >>\nstream\n\nendstream",
    });
    const std::string signedPdf = makeSignedPdf();
    const std::string script = assemblePdf({
        "<< /Type /Catalog /Pages 2 0 R /AcroForm << /Fields [4 0 R] >> >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Annots [4 0 R] >>",
        "<< /Type /Annot /Subtype /Widget /FT /Tx /T (total) /Rect [72 700 300 724] /P 3 0 R "
        "/AA << /V << /S /JavaScript /JS (event.rc = true;) >> >> >>",
    });
    // A widget the form's field list leaves out is a field, scripts and all, once its page is loaded.
    const std::string unlistedScript = assemblePdf({
        "<< /Type /Catalog /Pages 2 0 R /AcroForm << /Fields [] >> >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Annots [4 0 R] >>",
        "<< /Type /Annot /Subtype /Widget /Parent 5 0 R /Rect [72 700 300 724] /P 3 0 R >>",
        "<< /FT /Tx /T (total) /Kids [4 0 R] /AA << /K << /S /JavaScript /JS (event.rc = true;) >> >> >>",
    });
    const std::string documentScript = assemblePdf({
        "<< /Type /Catalog /Pages 2 0 R /Names << /JavaScript << /Names [(hello) 4 0 R] >> >> >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] >>",
        "<< /S /JavaScript /JS (app.alert\\(1\\);) >>",
    });
    struct Case {
        const char* name;
        std::string pdf;
        std::string formType;
        bool readOnly;
        std::vector<std::string> warnings;
    };
    const Case cases[] = {
        {"plain", makePdf(), "none", false, {}},
        {"acroform", makeFormPdf(), "acroform", false, {}},
        {"xfa", xfa, "xfa", false, {SessionWarnings::xfa}},
        {"signed", signedPdf, "acroform", true, {SessionWarnings::signedFile}},
        {"widget script", script, "acroform", false, {SessionWarnings::scripts}},
        {"unlisted widget script", unlistedScript, "acroform", false, {SessionWarnings::scripts}},
        {"document script", documentScript, "none", false, {SessionWarnings::scripts}},
    };
    for (const Case& c : cases) {
        const auto session = open(c.pdf);
        EXPECT_EQ(SessionProbe::formType(*session), c.formType) << c.name;
        EXPECT_EQ(session->readOnly(), c.readOnly) << c.name;
        EXPECT_EQ(SessionProbe::warnings(*session), c.warnings) << c.name;
    }

    // Rebinding appends the XFA sentence again each time, the scripts sentence only once.
    const auto xfaSession = open(xfa);
    SessionProbe::bind(*xfaSession, xfaSession->backingBytes(), std::nullopt, xfaSession->pages(), true);
    EXPECT_EQ(SessionProbe::warnings(*xfaSession),
              (std::vector<std::string>{SessionWarnings::xfa, SessionWarnings::xfa}));
    const auto scriptSession = open(script);
    SessionProbe::bind(*scriptSession, scriptSession->backingBytes(), std::nullopt, std::nullopt, false);
    SessionProbe::bind(*scriptSession, scriptSession->backingBytes(), std::nullopt, std::nullopt, false);
    EXPECT_EQ(SessionProbe::warnings(*scriptSession), std::vector<std::string>{SessionWarnings::scripts});
}

TEST_F(SessionLoading, LongLoopsStopForCancelAndMemory) {
    const std::string pdf = makePdf({{612, 792}, {612, 792}});
    ResourceLimits tight;
    tight.memorySoftBytes = 0;
    RunningCommand cancelled("c", CommandChannel::ui, ResourceLimits::unlimited(), nullptr);
    cancelled.requestCancel();
    {
        RunningCommand::Activation active(cancelled);
        EXPECT_EQ(failureOf([&] { open(pdf); }).code, FailureCode::cancelled);
    }
    const auto session = open(pdf);
    RunningCommand overMemory("m", CommandChannel::ui, tight, nullptr);
    RunningCommand::Activation active(overMemory);
    EXPECT_EQ(failureOf([&] { session->listFields(); }).code, FailureCode::resourceLimit);
    // The footprint is measured at most every 100 ms, so a second loop right after runs through.
    EXPECT_EQ(failureOf([&] { session->refreshPageMetrics(); }), Thrown{});
    // Work on one page has no steps and runs to its end.
    EXPECT_EQ(session->extractText(session->pages()[0].id).text, "Hello PDF");
}

TEST_F(SessionLoading, RebindKeepsOrMeasuresPages) {
    const auto session = open(makePdf({{612, 792}, {300, 400}, {200, 100}}));
    const std::vector<PageInfo> before = session->pages();

    // A list of the right length with `measured` is taken as it stands.
    std::vector<PageInfo> vouched = before;
    vouched[1].width = 1;
    SessionProbe::bind(*session, session->backingBytes(), std::nullopt, vouched, true);
    EXPECT_EQ(session->pages(), vouched);

    // A list of the wrong length is measured again, its ids kept position by position.
    SessionProbe::bind(*session, session->backingBytes(), std::nullopt, std::vector<PageInfo>{{"A"}, {"B"}},
                       true);
    ASSERT_EQ(session->pages().size(), 3u);
    EXPECT_EQ(session->pages()[0].id, "A");
    EXPECT_EQ(session->pages()[1].id, "B");
    EXPECT_NE(session->pages()[2].id, before[2].id);
    EXPECT_DOUBLE_EQ(session->pages()[1].width, 300);
}

TEST_F(SessionLoading, PagesByIdAndTeardown) {
    const auto session = open(makePdf({{612, 792}, {300, 400}}));
    const std::string second = session->pages()[1].id;
    {
        OpenPage page = session->loadPage(second);
        EXPECT_FLOAT_EQ(pdfium::FPDF_GetPageWidthF(page.get()), 300);
    }
    EXPECT_EQ(failureOf([&] { session->loadPage("nope"); }),
              EngineFailure(FailureCode::invalidPage, "Unknown page id."));

    const DocumentBytes::Shared backing = session->backingBytes();
    session->teardownDocument();
    session->teardownDocument();  // harmless
    EXPECT_FALSE(session->isOpen());
    EXPECT_EQ(SessionProbe::loadedBytes(*session), DocumentBytes::empty());
    EXPECT_EQ(session->backingBytes(), backing);
    EXPECT_EQ(failureOf([&] { session->loadPage(second); }),
              EngineFailure(FailureCode::internal, "Document is closed."));
}

TEST_F(SessionLoading, PasswordSample) {
    const fs::path path = corpus("libreoffice-writer-password.pdf");
    if (path.empty()) GTEST_SKIP() << "sample folder absent";
    const Thrown needed{FailureCode::passwordRequired,
                        "This PDF needs a password. The password is not logged."};
    struct Case {
        const char* name;
        std::optional<std::string> password;
        bool opens;
    };
    const Case cases[] = {
        {"no password", std::nullopt, false},
        {"empty password", std::string(), false},
        {"wrong password", std::string("wrong"), false},
        {"user password", std::string("openpassword"), true},
    };
    for (const Case& c : cases) {
        const Thrown failure = failureOf([&] { openFile(path, c.password); });
        EXPECT_EQ(failure, c.opens ? Thrown{} : needed) << c.name;
        EXPECT_EQ(std::string(failure.message).find("openpassword"), std::string::npos);
    }

    // Undo and redo open the snapshots with the same password, without being given it again.
    const auto session = openFile(path, std::string("openpassword"));
    const std::vector<PageInfo> pages = session->pages();
    session->checkpoint();
    session->addNote(pages[0].id, PDFRect{10, 10, 30, 30}, "secret");
    session->refreshBacking();
    session->commitCheckpoint();
    session->undo();
    EXPECT_EQ(session->pages(), pages);
    session->redoLast();
    EXPECT_TRUE(session->isOpen());
}

TEST_F(SessionLoading, SamplesOpenWithStablePageIds) {
    struct Case {
        const char* name;
        size_t pages;
        const char* formType;
    };
    const Case cases[] = {
        {"pdflatex-4-pages.pdf", 4, "none"},
        {"multicolumn.pdf", 3, "none"},
        {"habibi.pdf", 1, "none"},
        {"pdflatex-forms.pdf", 1, "acroform"},
        {"libreoffice-form.pdf", 1, "acroform"},
        {"annotated.pdf", 1, nullptr},
    };
    if (corpus("pdflatex-4-pages.pdf").empty()) GTEST_SKIP() << "sample folder absent";
    for (const Case& c : cases) {
        const auto session = openSample(c.name);
        if (!session) continue;
        EXPECT_EQ(session->pages().size(), c.pages) << c.name;
        if (c.formType) {
            EXPECT_EQ(SessionProbe::formType(*session), c.formType) << c.name;
        }
        const auto ids = pageIds(*session);
        SessionProbe::bind(*session, session->backingBytes(), std::nullopt, session->pages(), false);
        EXPECT_EQ(pageIds(*session), ids) << c.name;
    }
}

}  // namespace
}  // namespace kivo::testing
