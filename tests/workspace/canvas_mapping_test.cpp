// The canvas's two directions between user space and the page as it is shown: the design's worked
// example, every turn with an offset crop box, the way back, and nudges that move up on screen.

#include <gtest/gtest.h>

#include "workspace/canvas_mapping.hpp"

namespace kivo {
namespace {

using namespace CanvasMapping;

PageInfo shown(std::int64_t turns, PDFRect box) {
    const bool sideways = turns % 2 != 0;
    PageInfo page{"p",   0,  sideways ? box.height() : box.width(), sideways ? box.width() : box.height(),
                  turns, box};
    if (page.box == page.defaultBox()) page.box.reset();
    return page;
}

void expectNear(QPointF actual, QPointF expected) {
    EXPECT_NEAR(actual.x(), expected.x(), 1e-9);
    EXPECT_NEAR(actual.y(), expected.y(), 1e-9);
}

TEST(CanvasMapping, TheWorkedExample) {
    const PageInfo letter{"p", 0, 612, 792, 0};
    const QRectF fitted(0, 0, 918, 1188);
    const QRectF placed = pdfToView(PDFRect{100, 600, 200, 700}, letter, fitted);
    EXPECT_EQ(placed, QRectF(150, 138, 150, 150));
    EXPECT_EQ(viewToPdf({150, 138}, letter, fitted), (PDFPoint{100, 700}));
    EXPECT_EQ(viewToPdf({300, 288}, letter, fitted), (PDFPoint{200, 600}));
    // A reversed rectangle keeps its negative width.
    EXPECT_EQ(pdfToView(PDFRect{200, 600, 100, 700}, letter, fitted).width(), -150);
    // A fitted side of 1 point or less divides by 1.
    EXPECT_EQ(viewToPdf({0.5, 0.5}, letter, QRectF(0, 0, 0.5, 0.5)), (PDFPoint{306, 396}));
}

// A crop box 350 × 640 from (50, 60), shown at 2 points a point, turned each way: where its
// user-space corners land, and that every point comes back to where it started.
TEST(CanvasMapping, EveryTurnOfAnOffsetCropBox) {
    const PDFRect box{50, 60, 400, 700};
    struct Case {
        std::int64_t turns;
        QPointF topLeftOfBox;     // user space (50, 700)
        QPointF bottomLeftOfBox;  // user space (50, 60)
    };
    const Case cases[] = {
        {0, {0, 0}, {0, 1280}},
        {1, {1280, 0}, {0, 0}},
        {2, {700, 1280}, {700, 0}},
        {3, {0, 700}, {1280, 700}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.turns);
        const PageInfo page = shown(c.turns, box);
        const QRectF fitted(0, 0, page.width * 2, page.height * 2);
        expectNear(pdfToView(PDFPoint{50, 700}, page, fitted), c.topLeftOfBox);
        expectNear(pdfToView(PDFPoint{50, 60}, page, fitted), c.bottomLeftOfBox);
        // An ordered rectangle lands ordered, the same size whichever way it is turned.
        const QRectF mark = pdfToView(PDFRect{100, 100, 160, 120}, page, fitted);
        EXPECT_GT(mark.width(), 0);
        EXPECT_GT(mark.height(), 0);
        EXPECT_NEAR(mark.width() * mark.height(), 120.0 * 40.0, 1e-6);
        for (const QPointF at : {QPointF(0, 0), QPointF(13.25, 77.5),
                                 QPointF(fitted.width(), fitted.height()), QPointF(-40, 2000)}) {
            expectNear(pdfToView(viewToPdf(at, page, fitted), page, fitted), at);
        }
        const PDFPoint inside{123.5, 456.25};
        const PDFPoint back = viewToPdf(pdfToView(inside, page, fitted), page, fitted);
        EXPECT_NEAR(back.x, inside.x, 1e-9);
        EXPECT_NEAR(back.y, inside.y, 1e-9);
    }
}

TEST(CanvasMapping, NudgesMoveAsTheScreenShowsThePage) {
    const PDFRect mark{100, 200, 140, 220};
    for (std::int64_t turns = 0; turns < 4; ++turns) {
        SCOPED_TRACE(turns);
        const PageInfo page = shown(turns, PDFRect{0, 0, 612, 792});
        const QRectF fitted(0, 0, page.width, page.height);
        const QRectF before = pdfToView(mark, page, fitted);
        const QRectF up = pdfToView(nudged(mark, page, 0, 4, false), page, fitted);
        expectNear(up.topLeft(), before.topLeft() - QPointF(0, 4));
        const QRectF right = pdfToView(nudged(mark, page, 4, 0, false), page, fitted);
        expectNear(right.topLeft(), before.topLeft() + QPointF(4, 0));
        // Resizing keeps the corner shown bottom left and grows the mark right and up.
        const QRectF grown = pdfToView(nudged(mark, page, 4, 4, true), page, fitted);
        expectNear(grown.bottomLeft(), before.bottomLeft());
        EXPECT_NEAR(grown.width(), before.width() + 4, 1e-9);
        EXPECT_NEAR(grown.height(), before.height() + 4, 1e-9);
    }
}

TEST(CanvasMapping, APageWithoutAreaHasNothingToMap) {
    EXPECT_TRUE(hasArea(PageInfo{"p", 0, 612, 792, 0}));
    EXPECT_FALSE(hasArea(PageInfo{"p", 0, 0, 792, 0}));
    EXPECT_FALSE(hasArea(PageInfo{"p", 0, 612, 0, 1}));
    EXPECT_FALSE(hasArea(PageInfo{"p", 0, 612, 792, 0, PDFRect{10, 10, 10, 500}}));
    // Still finite numbers, whatever is asked.
    const QPointF placed = pdfToView(PDFPoint{5, 5}, PageInfo{"p", 0, 0, 0, 0}, QRectF(0, 0, 0, 0));
    EXPECT_TRUE(std::isfinite(placed.x()) && std::isfinite(placed.y()));
}

}  // namespace
}  // namespace kivo
