// The recovery checkpoints alone, against a fake sender: what a listing offers, with and without a
// document open, and that a discard lists them again.

#include <gtest/gtest.h>

#include "fake_command_sender.hpp"
#include "workspace/recovery_checkpoints.hpp"

namespace kivo {
namespace {

RecoveryInfo checkpoint(const std::string& id, std::optional<std::string> sourcePath) {
    RecoveryInfo info;
    info.recoveryId = id;
    info.sourcePath = std::move(sourcePath);
    info.dirty = true;
    return info;
}

TEST(RecoveryCheckpointsTest, AListingIsOfferedOnlyWithoutADocumentAndADiscardListsAgain) {
    testing::Scratch scratch;
    testing::PartFixture parts;
    RecoveryCheckpoints checkpoints(parts.state, parts.sender);
    const std::vector<RecoveryInfo> listed = {checkpoint("r1", "/home/u/Report.pdf"),
                                              checkpoint("r2", std::nullopt)};
    const struct {
        const char* name;
        bool documentOpen;
        std::vector<RecoveryInfo> recoveries;
        bool offered;
    } cases[] = {
        {"checkpoints, no document", false, listed, true},
        {"checkpoints behind an open document", true, listed, false},
        {"no checkpoints", false, {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.documentOpen) testing::showDocument(parts.state, 1);
        checkpoints.refresh();
        CommandResult result;
        result.recoveries = c.recoveries;
        ASSERT_TRUE(parts.sender.succeed(CommandMethod::listRecovery, result));
        EXPECT_EQ(checkpoints.recoveries(), c.recoveries);
        EXPECT_EQ(checkpoints.showRecovery(), c.offered);
        checkpoints.dismiss();
        EXPECT_FALSE(checkpoints.showRecovery());
    }

    EXPECT_EQ(checkpoints.name("r1"), "this PDF");  // the last listing had none
    testing::arrange(parts.state, "sessionId", std::optional<std::string>(std::nullopt));
    checkpoints.refresh();
    CommandResult both;
    both.recoveries = listed;
    ASSERT_TRUE(parts.sender.succeed(CommandMethod::listRecovery, both));
    EXPECT_EQ(checkpoints.name("r1"), "Report.pdf");
    EXPECT_EQ(checkpoints.name("r2"), "this PDF");

    checkpoints.discard("r1");
    const auto discards = parts.sender.sent(CommandMethod::discardRecovery);
    ASSERT_EQ(discards.size(), 1u);
    EXPECT_EQ(discards[0].params.recoveryId, "r1");
    const std::size_t listings = parts.sender.sent(CommandMethod::listRecovery).size();
    ASSERT_TRUE(parts.sender.succeed(CommandMethod::discardRecovery));
    EXPECT_EQ(parts.sender.sent(CommandMethod::listRecovery).size(), listings + 1);
    CommandResult rest;
    rest.recoveries = std::vector<RecoveryInfo>{listed[1]};
    ASSERT_TRUE(parts.sender.succeed(CommandMethod::listRecovery, rest));
    EXPECT_EQ(checkpoints.recoveries(), *rest.recoveries);
    EXPECT_TRUE(checkpoints.showRecovery());
}

}  // namespace
}  // namespace kivo
