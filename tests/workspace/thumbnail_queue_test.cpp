// The page list's thumbnails alone, against a fake sender: which rows are rendered again and when, and
// what forgetting them leaves.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QImage>

#include "fake_command_sender.hpp"
#include "workspace_fixture.hpp"

namespace kivo {
namespace {

using testing::waitUntil;

// Answers the thumbnail render waiting with a picture in the file it asked for.
bool answerRender(testing::FakeCommandSender& sender) {
    const std::vector<CommandRequest> sent = sender.sent(CommandMethod::renderPage);
    if (sent.empty() || !sent.back().params.pngPath) return false;
    QImage image(22, 28, QImage::Format_RGB32);
    image.fill(Qt::gray);
    if (!image.save(QString::fromStdString(*sent.back().params.pngPath), "PNG")) return false;
    CommandResult result;
    result.pngPath = sent.back().params.pngPath;
    result.width = image.width();
    result.height = image.height();
    return sender.succeed(CommandMethod::renderPage, result);
}

// A document of `pages` pages on show, a worker ready, and the thumbnail queue over them.
struct ShownDocument {
    explicit ShownDocument(int pages) {
        testing::showDocument(render.parts.state, pages);
        render.parts.sender.setReady(true);
    }
    // The pages of the thumbnail renders asked for so far, in order.
    std::vector<std::string> asked() const {
        std::vector<std::string> pages;
        for (const auto& request : render.parts.sender.sent(CommandMethod::renderPage)) {
            if (request.params.scale == 2.0 * 0.18) pages.push_back(request.params.pageId.value_or(""));
        }
        return pages;
    }

    const testing::Scratch scratch;
    testing::RenderParts render;
    ThumbnailQueue& queue = render.thumbnails;
};

// A thumbnail that failed because no worker was there to render it is asked for again; one the
// worker itself could not render is not.
TEST(ThumbnailQueueTest, AThumbnailIsAskedForAgainOnlyWhenTheWorkerWasAway) {
    const testing::Scratch scratch;
    const struct {
        const char* code;
        bool running;
        bool askedAgain;
    } cases[] = {
        {"worker_stopped", false, true},
        {"worker_restarting", true, true},
        {"render_failed", false, true},
        {"render_failed", true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.code) + (c.running ? " running" : " away"));
        testing::RenderParts render;
        testing::PartFixture& parts = render.parts;
        testing::showDocument(parts.state, 1);
        parts.sender.setReady(true);
        const auto thumbnails = [&] { return parts.sender.sent(CommandMethod::renderPage).size(); };
        render.thumbnails.showThumbnail("p1");
        ASSERT_TRUE(waitUntil([&] { return thumbnails() == 1; }, 5));
        EXPECT_EQ(parts.sender.sent(CommandMethod::renderPage)[0].params.pageId, "p1");
        parts.sender.setReady(c.running);
        ASSERT_TRUE(parts.sender.fail(CommandMethod::renderPage, c.code, "No thumbnail."));
        parts.sender.setReady(true);
        waitUntil([&] { return thumbnails() > 1; }, 1);
        EXPECT_EQ(thumbnails(), c.askedAgain ? 2u : 1u);
    }
}

// The stamps: a shown thumbnail made stale stays up until its new render replaces it, a hidden one is
// not rendered, and forgetting them drops every one and moves the generation the page list redraws by.
TEST(ThumbnailQueueTest, AStaleThumbnailStaysUpUntilItsRenderAndForgettingDropsThemAll) {
    ShownDocument shown(2);
    ThumbnailQueue& queue = shown.queue;
    testing::RenderParts& render = shown.render;
    const auto thumbnailRenders = [&] { return shown.asked().size(); };
    queue.showThumbnail("p1");
    ASSERT_TRUE(waitUntil([&] { return thumbnailRenders() == 1; }));
    ASSERT_TRUE(answerRender(render.parts.sender));
    ASSERT_TRUE(waitUntil([&] { return !queue.thumbnail("p1").isNull(); }));
    const std::int64_t generation = queue.thumbnailGeneration();
    ASSERT_EQ(thumbnailRenders(), 1u);

    ASSERT_TRUE(render.versions.advance(RenderInvalidation::pages({"p1", "p2"})));
    queue.renderStale();
    EXPECT_FALSE(queue.thumbnail("p1").isNull()) << "the stale one stays up meanwhile";
    ASSERT_TRUE(answerRender(render.parts.sender));
    ASSERT_TRUE(waitUntil([&] { return queue.thumbnailGeneration() > generation; }));
    EXPECT_EQ(thumbnailRenders(), 2u) << "p1 again, p2 not: it is not shown";

    const std::int64_t before = queue.thumbnailGeneration();
    queue.forget();
    EXPECT_EQ(queue.thumbnailGeneration(), before + 1);
    EXPECT_EQ(queue.cache().count() + queue.cache().totalCost(), 0);
    EXPECT_TRUE(queue.thumbnail("p1").isNull());
}

// The worker renders the next row while the editor decodes the last; a row whose image is being decoded is
// not rendered twice, whether the list reports it again or the versions are checked meanwhile.
TEST(ThumbnailQueueTest, TheNextRowIsRenderedWhileTheLastDecodesAndNoneTwice) {
    ShownDocument shown(3);
    ThumbnailQueue& queue = shown.queue;
    testing::RenderParts& render = shown.render;
    const auto asked = [&] { return shown.asked(); };
    queue.showThumbnail("p1");
    queue.showThumbnail("p2");
    ASSERT_TRUE(waitUntil([&] { return asked().size() == 1; }));

    ASSERT_TRUE(answerRender(render.parts.sender));
    // No turn of the event loop yet, so p1 cannot have been decoded.
    EXPECT_TRUE(queue.thumbnail("p1").isNull());
    EXPECT_EQ(asked(), (std::vector<std::string>{"p1", "p2"}));
    queue.renderStale();
    queue.showThumbnail("p1");
    ASSERT_TRUE(answerRender(render.parts.sender));
    ASSERT_TRUE(
        waitUntil([&] { return !queue.thumbnail("p1").isNull() && !queue.thumbnail("p2").isNull(); }));
    waitUntil([&] { return asked().size() > 2; }, 1);
    EXPECT_EQ(asked(), (std::vector<std::string>{"p1", "p2"}));

    // A page that changes while its image decodes is rendered again at once, not after the decode.
    queue.showThumbnail("p3");
    ASSERT_TRUE(waitUntil([&] { return asked().size() == 3; }));
    ASSERT_TRUE(answerRender(render.parts.sender));
    ASSERT_TRUE(render.versions.advance(RenderInvalidation::pages({"p3"})));
    queue.renderStale();
    EXPECT_EQ(asked(), (std::vector<std::string>{"p1", "p2", "p3", "p3"}));
    ASSERT_TRUE(answerRender(render.parts.sender));

    // The document is replaced by one of the same page ids while p1 is at the worker: the old answer does
    // not end the new document's render of p1, so a row shown meanwhile still waits for it.
    ShownDocument replaced(2);
    replaced.queue.showThumbnail("p1");
    ASSERT_TRUE(waitUntil([&] { return replaced.asked().size() == 1; }));
    replaced.queue.forget();
    replaced.queue.pump();
    replaced.queue.showThumbnail("p2");
    QCoreApplication::processEvents();
    ASSERT_EQ(replaced.asked(), (std::vector<std::string>{"p1", "p1"}));
    ASSERT_TRUE(answerRender(replaced.render.parts.sender));
    waitUntil([&] { return replaced.asked().size() > 2; }, 1);
    EXPECT_EQ(replaced.asked(), (std::vector<std::string>{"p1", "p1"}))
        << "two renders at the worker at once";
}

}  // namespace
}  // namespace kivo
