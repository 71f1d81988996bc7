#include "session_test.hpp"

namespace kivo::testing {
namespace {

using SessionAnnotations = SessionTest;

const AnnotationInfo* byKind(const std::vector<AnnotationInfo>& items, const std::string& kind) {
    const auto found =
        std::find_if(items.begin(), items.end(), [&](const AnnotationInfo& a) { return a.kind == kind; });
    return found == items.end() ? nullptr : &*found;
}

TEST_F(SessionAnnotations, AddedAnnotationsCarryNewIds) {
    const auto session = open(makePdf({{612, 792}, {612, 792}}));
    const std::string page = session->pages()[1].id;
    session->addHighlight(page, PDFRect{72, 680, 200, 704}, "look");
    session->addNote(page, PDFRect{10, 20, 30, 40}, "a note");
    session->addInk(page, {{10, 10}, {20, 30}, {15, 12}}, "");

    const auto items = SessionProbe::census(*session).items;
    ASSERT_EQ(items.size(), 3u);
    for (const AnnotationInfo& item : items) {
        EXPECT_EQ(item.id.size(), 36u) << item.kind;
        EXPECT_EQ(item.pageId, page);
    }
    EXPECT_NE(items[0].id, items[1].id);
    const AnnotationInfo* highlight = byKind(items, "highlight");
    ASSERT_NE(highlight, nullptr);
    EXPECT_EQ(highlight->contents, "look");
    EXPECT_EQ(highlight->rect, (PDFRect{72, 680, 200, 704}));
    EXPECT_EQ(byKind(items, "note")->contents, "a note");
    // The stroke's box grown by 2 points; PDFium widens it by half its line width when it draws
    // the stroke.
    const PDFRect ink = byKind(items, "ink")->rect;
    EXPECT_NEAR(ink.left, 8, 0.5);
    EXPECT_NEAR(ink.bottom, 8, 0.5);
    EXPECT_NEAR(ink.right, 22, 0.5);
    EXPECT_NEAR(ink.top, 32, 0.5);

    session_detail::FoundAnnotation found = session_detail::findAnnotation(*session, highlight->id);
    EXPECT_EQ(pdfium::FPDFAnnot_GetFlags(found.annotation()), pdfium::FPDF_ANNOT_FLAG_PRINT);
    EXPECT_EQ(session_detail::readStringKey(found.annotation(), "Subj"), "highlight");
    EXPECT_EQ(found.pageId(), page);
}

TEST_F(SessionAnnotations, RefusedInput) {
    const auto session = open(makePdf());
    // Too few ink points fail before the page is even looked up.
    for (const std::vector<PDFPoint>& points : {std::vector<PDFPoint>{}, std::vector<PDFPoint>{{1, 1}}}) {
        EXPECT_EQ(failureOf([&] { session->addInk("no such page", points, ""); }),
                  EngineFailure(FailureCode::invalidArgument, "Ink requires at least two points."));
    }
    EXPECT_EQ(failureOf([&] { session->addNote("no such page", PDFRect{}, ""); }).code,
              FailureCode::invalidPage);
    const EngineFailure notFound(FailureCode::notFound, "No annotation matches that id.");
    EXPECT_EQ(failureOf([&] { session->updateAnnotation("nothing", std::nullopt, std::nullopt); }), notFound);
    EXPECT_EQ(failureOf([&] { session->removeAnnotation(session->pages()[0].id + "#0"); }), notFound);
}

TEST_F(SessionAnnotations, FallbackIdsFollowPositions) {
    const auto session = open(makeAnnotatedPdf());
    const std::string page = session->pages()[0].id;
    {
        session_detail::FoundAnnotation byName = session_detail::findAnnotation(*session, "H-1");
        EXPECT_EQ(byName.index(), 2);
        session_detail::FoundAnnotation byPosition = session_detail::findAnnotation(*session, page + "#2");
        EXPECT_EQ(session_detail::readStringKey(byPosition.annotation(), "NM"), "H-1");
        session_detail::FoundAnnotation note = session_detail::findAnnotation(*session, page + "#3");
        EXPECT_EQ(session_detail::readStringKey(note.annotation(), "Contents"), "a note");
    }
    EXPECT_EQ(session->removeAnnotation(page + "#0"), page);
    // Everything after the removed annotation moved up by one.
    session_detail::FoundAnnotation note = session_detail::findAnnotation(*session, page + "#2");
    EXPECT_EQ(session_detail::readStringKey(note.annotation(), "Contents"), "a note");
    EXPECT_EQ(session_detail::findAnnotation(*session, "H-1").index(), 1);
}

TEST_F(SessionAnnotations, UpdatesMoveAndRewrite) {
    const auto session = open(makePdf());
    const std::string page = session->pages()[0].id;
    session->addHighlight(page, PDFRect{10, 10, 50, 20}, "");
    const std::string id = SessionProbe::census(*session).items.at(0).id;

    EXPECT_EQ(session->updateAnnotation(id, PDFRect{100, 100, 150, 120}, std::nullopt), page);
    EXPECT_EQ(session->updateAnnotation(id, PDFRect{200, 300, 260, 320}, std::string("new words")), page);
    EXPECT_EQ(session->updateAnnotation(id, std::nullopt, std::nullopt), page);  // nothing to change is fine

    session_detail::FoundAnnotation found = session_detail::findAnnotation(*session, id);
    ASSERT_EQ(pdfium::FPDFAnnot_CountAttachmentPoints(found.annotation()), 1u);
    pdfium::FS_QUADPOINTSF quad;
    pdfium::FPDFAnnot_GetAttachmentPoints(found.annotation(), 0, &quad);
    EXPECT_EQ((std::vector<float>{quad.x1, quad.y1, quad.x2, quad.y2, quad.x3, quad.y3, quad.x4, quad.y4}),
              (std::vector<float>{200, 320, 260, 320, 200, 300, 260, 300}));
    found.close();

    const AnnotationInfo item = SessionProbe::census(*session).items.at(0);
    EXPECT_EQ(item.rect, (PDFRect{200, 300, 260, 320}));
    EXPECT_EQ(item.contents, "new words");

    EXPECT_EQ(session->removeAnnotation(id), page);
    EXPECT_TRUE(SessionProbe::census(*session).items.empty());
}

TEST_F(SessionAnnotations, MovedHighlightOfSeveralQuadsCoversOnlyTheNewRectangle) {
    const auto session = open(assemblePdf({
        "<< /Type /Catalog /Pages 2 0 R >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Annots [4 0 R] >>",
        "<< /Type /Annot /Subtype /Highlight /Rect [10 10 300 60] /C [1 1 0] "
        "/QuadPoints [10 60 300 60 10 40 300 40 10 30 200 30 10 10 200 10] >>",
    }));
    const std::string id = session->pages()[0].id + "#0";
    session->updateAnnotation(id, PDFRect{400, 400, 450, 420}, std::nullopt);
    session_detail::FoundAnnotation found = session_detail::findAnnotation(*session, id);
    const size_t quads = pdfium::FPDFAnnot_CountAttachmentPoints(found.annotation());
    ASSERT_GE(quads, 1u);
    for (size_t q = 0; q < quads; ++q) {
        pdfium::FS_QUADPOINTSF quad;
        pdfium::FPDFAnnot_GetAttachmentPoints(found.annotation(), q, &quad);
        EXPECT_EQ((std::vector<float>{quad.x1, quad.y1, quad.x4, quad.y4}),
                  (std::vector<float>{400, 420, 450, 400}));
    }
}

TEST_F(SessionAnnotations, SubtypeNamesAndKinds) {
    EXPECT_EQ(session_detail::subtypeName(3), "FreeText");
    EXPECT_EQ(session_detail::subtypeName(18), "Other");  // codes PDFium knows but the census does not name

    const auto session = open(makeAnnotatedPdf());
    const std::string page = session->pages()[0].id;
    struct Case {
        std::string id;
        const char* kind;
    };
    const Case kinds[] = {{page + "#0", "highlight"}, {page + "#1", "other"}, {page + "#3", "note"},
                          {page + "#4", "signature"}, {page + "#5", "logo"},  {page + "#6", "image"},
                          {page + "#7", "other"}};
    for (const Case& c : kinds) {
        session_detail::FoundAnnotation found = session_detail::findAnnotation(*session, c.id);
        const int subtype = pdfium::FPDFAnnot_GetSubtype(found.annotation());
        EXPECT_EQ(session_detail::annotationKind(found.annotation(), subtype), c.kind) << c.id;
    }
}

TEST_F(SessionAnnotations, SampleAnnotations) {
    const auto session = openSample("annotated.pdf");
    if (!session) GTEST_SKIP() << "sample folder absent";
    const auto census = SessionProbe::census(*session);
    EXPECT_FALSE(census.subtypes->empty());
    for (const AnnotationInfo& item : census.items) {
        // Every listed annotation can be found again by the id it was listed with.
        session_detail::FoundAnnotation found = session_detail::findAnnotation(*session, item.id);
        EXPECT_EQ(found.pageId(), item.pageId);
    }
}

}  // namespace
}  // namespace kivo::testing
