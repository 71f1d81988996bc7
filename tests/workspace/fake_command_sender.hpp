#pragma once

// A part of the workspace alone: the published state it reads and writes, the services of a test
// workspace, and a sender that keeps every request and answers it when the test says, in place of
// the worker.

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "workspace/command_sender.hpp"
#include "workspace/page_versions.hpp"
#include "workspace/render_decoder.hpp"
#include "workspace/thumbnail_queue.hpp"
#include "workspace/workspace_state.hpp"
#include "workspace_fixture.hpp"

namespace kivo::testing {

class FakeCommandSender : public CommandSender {
public:
    // Keeps the request; one of `answers` arrives on a later turn of the event loop, any other waits
    // for succeed() or fail().
    void send(CommandRequest request, std::optional<std::string> activity, bool clearsError,
              SuccessHandler onSuccess, FailureHandler onFailure = nullptr,
              CancelHandler onCancelled = nullptr) override;
    bool workerReady() const override { return ready_; }
    bool running() const override { return ready_; }
    // Emits workerReadyChanged on a real change.
    void setReady(bool value);

    // The requests of `method` sent so far, answered or not, in the order sent.
    std::vector<CommandRequest> sent(CommandMethod method) const;
    // Answers the oldest waiting request of `method`; false when none waits. A failure goes to the
    // request's failure handler, and nowhere when it has none.
    bool succeed(CommandMethod method, const CommandResult& result = {});
    bool fail(CommandMethod method, const std::string& code, const std::string& message);
    // Ends it as a cancel does, through its cancel handler.
    bool cancel(CommandMethod method);

    // What every request of a method answers at once.
    std::map<CommandMethod, CommandResult> answers;

private:
    struct Waiting {
        CommandRequest request;
        SuccessHandler onSuccess;
        FailureHandler onFailure;
        CancelHandler onCancelled;
    };
    std::optional<Waiting> take(CommandMethod method);

    bool ready_ = false;
    std::vector<CommandRequest> sent_;
    std::deque<Waiting> waiting_;
};

// The published state, the test services and the fake sender a part is made with; they outlive it.
struct PartFixture {
    PartFixture();

    std::shared_ptr<TestWorkerHost> host;
    std::shared_ptr<FakeFileDialogs> dialogs = std::make_shared<FakeFileDialogs>();
    std::shared_ptr<FakeClipboard> clipboard = std::make_shared<FakeClipboard>();
    std::shared_ptr<FakeKeyStore> keys = std::make_shared<FakeKeyStore>();
    std::shared_ptr<FixedScreen> screen = std::make_shared<FixedScreen>();
    WorkspaceServices services;
    WorkspaceState state;
    FakeCommandSender sender;
};

// A test of one part alone: a scratch folder, then the fixture, then `part_` made over it.
template <class Part>
class PartTest : public ::testing::Test {
protected:
    Scratch scratch_;
    PartFixture parts_;
    Part part_{parts_.state, parts_.sender, parts_.services};
};

// What the shown page's renders and the thumbnails share, made over a PartFixture as the workspace
// makes them: the page versions, the decoding thread, which hands its outcomes to `context`, and the
// thumbnails.
struct RenderParts {
    PartFixture parts;
    QObject context;
    PageVersions versions;
    RenderDecoder decoder{&context};
    ThumbnailQueue thumbnails{parts.state, parts.sender, parts.services, versions, decoder};
};

// A document of pages of `width` × `height` points named p1, p2, …, with the first one selected.
void showDocument(WorkspaceState& state, int pages, double width = 612, double height = 792);

}  // namespace kivo::testing
