#include "session_test.hpp"

#include <thread>

#include "session/running_command.hpp"

namespace kivo::testing {
namespace {

namespace fs = std::filesystem;

using SessionInspect = SessionTest;

TEST_F(SessionInspect, FreshAndEditedDocument) {
    const auto session = open(makePdf({{612, 792}, {300, 400}}));
    CommandResult fresh = session->inspectResult();
    EXPECT_EQ(fresh.sessionId, session->id());
    EXPECT_EQ(fresh.revision, 1);
    EXPECT_EQ(fresh.pageCount, 2);
    EXPECT_EQ(fresh.pages, session->pages());
    EXPECT_EQ(fresh.formType, "none");
    EXPECT_EQ(fresh.readOnly, false);
    EXPECT_EQ(fresh.saveState, "saved");
    EXPECT_EQ(fresh.dirty, false);
    EXPECT_EQ(fresh.undoAvailable, false);
    EXPECT_EQ(fresh.redoAvailable, false);
    EXPECT_EQ(fresh.sourcePath, (dir_.path() / "doc.pdf").string());
    EXPECT_EQ(fresh.sourceChanged, false);
    EXPECT_EQ(fresh.warnings, std::vector<std::string>{});
    EXPECT_EQ(fresh.fields, std::vector<FormFieldInfo>{});
    EXPECT_EQ(fresh.annotations, std::vector<AnnotationInfo>{});
    EXPECT_EQ(fresh.annotationSubtypes, (std::map<std::string, std::map<std::string, std::int64_t>>{}));
    EXPECT_FALSE(fresh.text.has_value());
    EXPECT_FALSE(fresh.affectedPages.has_value());

    // One edit as the engine makes it, with the revision it raises.
    session->checkpoint();
    session->addNote(session->pages()[1].id, PDFRect{10, 10, 20, 20}, "n");
    session->refreshBacking();
    session->commitCheckpoint();
    session->setRevision(2);
    const CommandResult edited = session->inspectResult();
    EXPECT_EQ(edited.revision, 2);
    EXPECT_EQ(edited.saveState, "unsaved");
    EXPECT_EQ(edited.dirty, true);
    EXPECT_EQ(edited.undoAvailable, true);
    EXPECT_EQ(edited.redoAvailable, false);
    ASSERT_EQ(edited.annotations->size(), 1u);
    EXPECT_EQ(edited.annotationSubtypes->at(session->pages()[1].id).at("Text"), 1);

    // A copy has no source: no path, and never a change.
    const CommandResult copy = session->detachedCopy()->inspectResult();
    EXPECT_FALSE(copy.sourcePath.has_value());
    EXPECT_EQ(copy.sourceChanged, false);
}

TEST_F(SessionInspect, ChangedSourceFileIsReportedInTheResultOnly) {
    const auto session = open(makePdf());
    writeFile(dir_.path() / "doc.pdf", makePdf({{612, 792, "Changed by someone else"}}));
    const CommandResult result = session->inspectResult();
    EXPECT_EQ(result.sourceChanged, true);
    EXPECT_EQ(result.warnings, std::vector<std::string>{SessionWarnings::sourceChanged});
    EXPECT_TRUE(SessionProbe::warnings(*session).empty());
}

TEST_F(SessionInspect, CensusOfAnnotationsAndMetadata) {
    const auto session = open(makeAnnotatedPdf());
    const std::string first = session->pages()[0].id;
    const CommandResult result = session->inspectResult();

    std::vector<std::pair<std::string, std::string>> listed;
    for (const AnnotationInfo& item : *result.annotations) listed.emplace_back(item.id, item.kind);
    EXPECT_EQ(listed, (std::vector<std::pair<std::string, std::string>>{{first + "#0", "highlight"},
                                                                        {"H-1", "highlight"},
                                                                        {first + "#3", "note"},
                                                                        {first + "#4", "signature"},
                                                                        {first + "#5", "logo"},
                                                                        {first + "#6", "image"}}));
    const AnnotationInfo& highlight = result.annotations->at(0);
    EXPECT_EQ(highlight.rect, (PDFRect{100, 680, 200, 700}));
    EXPECT_EQ(highlight.contents, "first");
    EXPECT_EQ(highlight.pageId, first);

    // Every annotation is counted, the popup and the link too; the empty page has no entry.
    EXPECT_EQ(*result.annotationSubtypes,
              (std::map<std::string, std::map<std::string, std::int64_t>>{
                  {first, {{"Highlight", 2}, {"Popup", 1}, {"Text", 1}, {"Stamp", 3}, {"Link", 1}}}}));
    // The empty title is left out.
    EXPECT_EQ(*result.metadata, (std::map<std::string, std::string>{{"Author", "Ada"}}));
}

// The census reads a page's annotations from its list without loading the page where that gives
// what the page loaded into the form environment gives; for malformed lists, and where loading
// would change what the census reports (a widget's state, an appearance drawn for a note or an
// ink drawing that has none, which moves its rectangle), the two must agree.
TEST_F(SessionInspect, ThePageListGivesTheCensusOfTheLoadedPage) {
    const std::string catalog = "<< /Type /Catalog /Pages 2 0 R /AcroForm << /Fields [] >> >>";
    const std::string tree = "<< /Type /Pages /Kids [3 0 R] /Count 1 >>";
    const auto page = [](const std::string& annots, const std::string& extra = "") {
        return "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Annots " + annots + extra + " >>";
    };
    const std::string note = "<< /Type /Annot /Subtype /Text /Rect [170 785 173 782] /Contents (n) >>";
    const std::string ink = "<< /Type /Annot /Subtype /Ink /Rect [10 10 50 50] /InkList [[10 10 50 50]] >>";
    const std::string drawn = "<< /Type /Annot /Subtype /Text /Rect [10 10 50 50] /AP << /N 5 0 R >> >>";
    const std::string appearance =
        "<< /Type /XObject /Subtype /Form /BBox [0 0 1 1] /Length 0 >>\nstream\n\nendstream";
    const std::string widget =
        "<< /Type /Annot /Subtype /Widget /FT /Tx /T (w) /V (v) /Rect [72 700 300 724] >>";
    const std::pair<const char*, std::string> cases[] = {
        {"list not an array", assemblePdf({catalog, tree, page("<< /A 4 0 R >>"), drawn, appearance})},
        {"entries not dictionaries",
         assemblePdf(
             {catalog, tree, page("[1 null (x) [4 0 R] 4 0 R 9 0 R 0 0 R 4 0 R]"), drawn, appearance})},
        {"list by reference",
         assemblePdf({catalog, tree, page("4 0 R"), "[5 0 R 5 0 R]", drawn, appearance})},
        {"list inherited",
         assemblePdf({catalog, "<< /Type /Pages /Kids [3 0 R] /Count 1 /Annots [4 0 R] >>",
                      "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] >>", drawn, appearance})},
        {"broken content",
         assemblePdf({catalog, tree, page("[4 0 R]", " /Contents 6 0 R"), drawn, appearance,
                      "<< /Length 99 /Filter /FlateDecode >>\nstream\nnot flate\nendstream"})},
        {"note without appearance", assemblePdf({catalog, tree, page("[4 0 R]"), note})},
        {"ink without appearance",
         assemblePdf({catalog, tree, page("[4 0 R 5 0 R]"), drawn, ink, appearance})},
        {"widget after a note",
         assemblePdf({catalog, tree, page("[4 0 R 6 0 R]"), drawn, appearance, widget})},
        {"widget in a loop of parents",
         assemblePdf({catalog, tree, page("[4 0 R]"),
                      "<< /Type /Annot /Subtype /Widget /FT /Tx /T (a) /Parent 5 0 R /Rect [1 1 9 9] >>",
                      "<< /T (b) /Parent 6 0 R /Kids [4 0 R] >>",
                      "<< /T (c) /Parent 5 0 R /Kids [5 0 R] >>"})},
    };
    const auto described = [](const PageCensusCache::PageCensus& census) {
        std::vector<std::string> lines;
        for (const AnnotationInfo& item : census.items) {
            lines.push_back(item.id + " " + item.kind + " " + item.contents + " " +
                            std::to_string(item.rect.left) + " " + std::to_string(item.rect.bottom) + " " +
                            std::to_string(item.rect.right) + " " + std::to_string(item.rect.top));
        }
        for (const FormFieldInfo& field : census.fields) lines.push_back(field.name + " = " + field.value);
        return lines;
    };
    for (const auto& [name, pdf] : cases) {
        const auto session = open(pdf);
        const std::string id = session->pages()[0].id;
        // The list first: loading the page changes the document as the census would then read it.
        const PageCensusCache::PageCensus listed = SessionProbe::pageCensus(*session, id);
        const PageCensusCache::PageCensus loaded = SessionProbe::loadedPageCensus(*session, id);
        EXPECT_EQ(listed.subtypes, loaded.subtypes) << name;
        EXPECT_EQ(described(listed), described(loaded)) << name;
    }
}

// Each annotation read from its page's list costs this PDFium build module memory it never gives
// back; however often a worker takes the census, what that costs stays bounded.
TEST_F(SessionInspect, ReadingPageListsCostsBoundedMemory) {
    std::string annots = "[";
    for (int i = 0; i < 20000; ++i) annots += "4 0 R ";
    const auto session =
        open(assemblePdf({"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
                          "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Annots " + annots + "] >>",
                          "<< /Type /Annot /Subtype /Link /Rect [1 1 2 2] >>"}));
    const std::string id = session->pages()[0].id;
    const std::uint64_t before = pdfium::module::memorySize();
    for (int round = 0; round < 50; ++round) {
        EXPECT_EQ(SessionProbe::pageCensus(*session, id).subtypes.at("Link"), 20000);
    }
    // A million reads would take some 250 MB.
    EXPECT_LT(pdfium::module::memorySize() - before, std::uint64_t{96} << 20);
}

TEST_F(SessionInspect, CensusIsCachedPerRevision) {
    const auto session = open(makeAnnotatedPdf());
    int walks = 0;
    RunningCommand command("i", CommandChannel::ui, ResourceLimits::unlimited(),
                           [&](const CommandProgress& line) {
                               if (line.phase == CommandPhase::readingAnnotations && line.completed == 0)
                                   ++walks;
                           });
    RunningCommand::Activation active(command);
    session->inspectResult();
    std::this_thread::sleep_for(std::chrono::milliseconds(110));  // past the progress throttle
    session->inspectResult();
    EXPECT_EQ(walks, 1);
    session->setRevision(session->revision() + 1);
    session->inspectResult();
    EXPECT_EQ(walks, 2);

    // An inspection is not cut short by a cancel; a census the engine asks for itself is.
    session->setRevision(session->revision() + 1);
    command.requestCancel();
    EXPECT_EQ(session->inspectResult().annotations->size(), 6u);
    EXPECT_EQ(failureOf([&] { SessionProbe::readContent(*session); }).code, FailureCode::cancelled);
}

// The census reads a page again only after something changed it; every kind of change shows in
// the next revision's census, the untouched pages' entries unchanged.
TEST_F(SessionInspect, CensusOfANewRevisionSeesEveryChange) {
    const auto session = open(makePdf({{612, 792}, {300, 400}, {200, 100}}));
    const auto page = [&](int i) { return session->pages()[static_cast<size_t>(i)].id; };
    const auto census = [&] {
        session->setRevision(session->revision() + 1);
        return session->inspectResult();
    };
    session->addNote(page(0), PDFRect{10, 10, 20, 20}, "first");
    CommandResult result = census();
    ASSERT_EQ(result.annotations->size(), 1u);
    session->addHighlight(page(2), PDFRect{10, 10, 50, 20}, "third");
    result = census();
    ASSERT_EQ(result.annotations->size(), 2u);
    EXPECT_EQ(result.annotations->at(1).pageId, page(2));
    session->updateAnnotation(result.annotations->at(0).id, std::nullopt, std::string("changed"));
    EXPECT_EQ(census().annotations->at(0).contents, "changed");
    session->removeAnnotation(result.annotations->at(1).id);
    EXPECT_EQ(census().annotations->size(), 1u);
    session->addTextBox(page(1), PDFRect{10, 10, 100, 40}, "box", 12);
    result = census();
    EXPECT_EQ(result.annotationSubtypes->at(page(1)).at("FreeText"), 1);
    session->reorder({page(2), page(1), page(0)});
    result = census();
    ASSERT_EQ(result.annotations->size(), 2u);
    EXPECT_EQ(result.annotations->at(0).contents, "box");
    session->deletePages({page(1)});
    EXPECT_EQ(census().annotations->size(), 1u);
}

TEST_F(SessionInspect, CensusSeesAFilledFieldOnEveryPageOfIt) {
    const auto session = open(makeSpreadFormPdf());
    session->inspectResult();
    EXPECT_EQ(session->fillField("spread", "filled").size(), 2u);
    session->setRevision(session->revision() + 1);
    const CommandResult result = session->inspectResult();
    int widgets = 0;
    for (const FormFieldInfo& field : result.fields.value()) {
        if (field.name != "spread") continue;
        ++widgets;
        EXPECT_EQ(field.value, "filled") << field.pageId;
    }
    EXPECT_GE(widgets, 1);
}

// Undo, redo and a rollback bring back the census of the state they return to.
TEST_F(SessionInspect, HistoryStepsBringBackTheirCensus) {
    const auto session = open(makePdf({{612, 792}, {300, 400}}));
    const std::string second = session->pages()[1].id;
    const auto annotations = [&] {
        session->setRevision(session->revision() + 1);
        return session->inspectResult().annotations->size();
    };
    EXPECT_EQ(annotations(), 0u);
    session->checkpoint();
    session->addNote(second, PDFRect{10, 10, 20, 20}, "kept");
    session->refreshBacking();
    session->commitCheckpoint();
    EXPECT_EQ(annotations(), 1u);
    session->checkpoint();
    session->addNote(second, PDFRect{30, 30, 40, 40}, "rolled back");
    EXPECT_EQ(annotations(), 2u);
    session->rollbackCheckpoint();
    EXPECT_EQ(annotations(), 1u);
    session->undo();
    EXPECT_EQ(annotations(), 0u);
    session->redoLast();
    EXPECT_EQ(annotations(), 1u);
}

TEST_F(SessionInspect, PageMetricsAfterRotation) {
    const auto session = open(makePdf({{612, 792}, {300, 400}}));
    const auto ids = pageIds(*session);
    {
        OpenPage page = session->loadPage(ids[1]);
        pdfium::FPDFPage_SetRotation(page.get(), 1);
    }
    session->refreshPageMetrics();
    EXPECT_EQ(session->pages()[1].rotation, 1);
    EXPECT_DOUBLE_EQ(session->pages()[1].width, 400);
    EXPECT_DOUBLE_EQ(session->pages()[1].height, 300);
    EXPECT_EQ(pageIds(*session), ids);
    EXPECT_EQ(session->pages()[0].rotation, 0);

    session->teardownDocument();
    EXPECT_EQ(failureOf([&] { session->refreshPageMetrics(); }),
              EngineFailure(FailureCode::internal, "Document is closed."));
}

TEST_F(SessionInspect, PagesCarryTheirCropBoxOnlyWhereItIsNotTheDefault) {
    struct Case {
        const char* name;
        TestPage page;
        double width;
        double height;
        std::optional<PDFRect> box;
    };
    const auto page = [](int rotation, double left, double bottom, std::vector<double> crop) {
        TestPage made;
        made.rotation = rotation;
        made.mediaLeft = left;
        made.mediaBottom = bottom;
        made.cropBox = std::move(crop);
        return made;
    };
    const Case cases[] = {
        {"plain", page(0, 0, 0, {}), 612, 792, std::nullopt},
        {"turned, at the origin", page(90, 0, 0, {}), 792, 612, std::nullopt},
        {"turned upside down", page(180, 0, 0, {}), 612, 792, std::nullopt},
        {"cropped", page(0, 0, 0, {50, 60, 400, 700}), 350, 640, PDFRect{50, 60, 400, 700}},
        {"cropped and turned", page(270, 0, 0, {50, 60, 400, 700}), 640, 350, PDFRect{50, 60, 400, 700}},
        {"media away from the origin", page(0, 10, 20, {}), 612, 792, PDFRect{10, 20, 622, 812}},
        {"crop beyond the media", page(0, 0, 0, {-50, 100, 700, 900}), 612, 692, PDFRect{0, 100, 612, 792}},
        {"crop written backwards", page(0, 0, 0, {400, 700, 50, 60}), 350, 640, PDFRect{50, 60, 400, 700}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto session = open(makePdf({c.page}));
        const PageInfo opened = session->pages().front();
        EXPECT_DOUBLE_EQ(opened.width, c.width);
        EXPECT_DOUBLE_EQ(opened.height, c.height);
        EXPECT_EQ(opened.box, c.box);
        // Measured from the loaded page, the same.
        session->refreshPageMetrics();
        EXPECT_EQ(session->pages().front(), opened);
    }
}

// An edit takes the census of its page from the page it has open; that census must be the one a
// fresh reading of the written document gives, for every kind of addition, on a page that held
// annotations before (the form sample) and on one that held none.
TEST_F(SessionInspect, AnEditsOwnCensusOfItsPageIsWhatAFreshReadingFinds) {
    if (corpus("annotated.pdf").empty()) GTEST_SKIP() << "sample folder absent";
    const fs::path picture = corpus("smile.png");
    using Add = void (*)(Session&, const std::string&, const fs::path&);
    const std::pair<const char*, Add> additions[] = {
        {"highlight",
         [](Session& s, const std::string& page, const fs::path&) {
             s.addHighlight(page, PDFRect{40, 40, 200, 56}, "marked");
         }},
        {"note",
         [](Session& s, const std::string& page, const fs::path&) {
             s.addNote(page, PDFRect{40, 80, 60, 100}, "noted");
         }},
        {"ink",
         [](Session& s, const std::string& page, const fs::path&) {
             s.addInk(page, {{50, 50}, {90, 70}, {120, 40}}, "drawn");
         }},
        {"text",
         [](Session& s, const std::string& page, const fs::path&) {
             s.addTextBox(page, PDFRect{100, 100, 300, 140}, "typed", 12);
         }},
        {"stamp",
         [](Session& s, const std::string& page, const fs::path& image) {
             s.addStamp(page, PDFRect{100, 200, 180, 260}, image, "image", "stamped");
         }},
    };
    const auto described = [](const std::vector<AnnotationInfo>& items) {
        std::vector<std::string> lines;
        for (const AnnotationInfo& item : items) {
            // An unnamed annotation's id begins with its page's id, which each opening makes anew.
            const std::string id =
                item.id.starts_with(item.pageId) ? item.id.substr(item.pageId.size()) : item.id;
            lines.push_back(id + " " + item.kind + " " + item.contents + " " +
                            std::to_string(item.rect.left) + " " + std::to_string(item.rect.top));
        }
        return lines;
    };
    for (const char* sample : {"annotated.pdf", "pdflatex-forms.pdf"}) {
        for (const auto& [name, add] : additions) {
            const auto session = openSample(sample);
            session->documentContent();
            session->checkpoint();
            add(*session, session->pages()[0].id, picture);
            session->refreshBacking();
            session->commitCheckpoint();
            session->setRevision(session->revision() + 1);
            const Session::DocumentContent kept = session->documentContent();

            const fs::path written = dir_.path() / "written.pdf";
            writeFile(written, std::string(reinterpret_cast<const char*>(session->backingBytes()->pointer()),
                                           static_cast<size_t>(session->backingBytes()->count())));
            const auto fresh = openFile(written);
            const Session::DocumentContent read = fresh->documentContent();
            EXPECT_EQ(described(kept.annotations), described(read.annotations)) << sample << " " << name;
            EXPECT_EQ(kept.fields.size(), read.fields.size()) << sample << " " << name;
            EXPECT_EQ(kept.annotationSubtypes->at(session->pages()[0].id),
                      read.annotationSubtypes->at(fresh->pages()[0].id))
                << sample << " " << name;
        }
    }
}

}  // namespace
}  // namespace kivo::testing
