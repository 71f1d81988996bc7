#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "assistant/model_provider.hpp"
#include "assistant/provider_error.hpp"

namespace kivo {
namespace {

TEST(ProviderError, Sentences) {
    const double nan = std::nan("");
    const double inf = std::numeric_limits<double>::infinity();
    const std::string later = "Anthropic is limiting this key, or its allowance is used up. Try again later.";
    const std::pair<ProviderError, std::string> cases[] = {
        {ProviderError::notLocal("http://10.0.0.2:11434"),
         "Only a model server on this computer can answer, and http://10.0.0.2:11434 is not a loopback "
         "address."},
        {ProviderError::modelMissing("llama3"),
         "Ollama has no model named llama3. Choose an installed model, or install it with: ollama pull "
         "llama3"},
        {ProviderError::missingKey("Anthropic"),
         "Anthropic answers with your own key. Add one in the Assistant panel."},
        {ProviderError::invalidKey("Anthropic"),
         "Anthropic did not accept that key. Check it in the Assistant panel."},
        {ProviderError::rateLimited("Anthropic", 2.5),
         "Anthropic is limiting this key. Try again in 3 seconds."},
        {ProviderError::rateLimited("Anthropic", 2.4),
         "Anthropic is limiting this key. Try again in 2 seconds."},
        {ProviderError::rateLimited("Anthropic", 0.5),
         "Anthropic is limiting this key. Try again in 1 seconds."},
        {ProviderError::rateLimited("Anthropic", std::nullopt), later},
        // Waits no clock can honour count as none.
        {ProviderError::rateLimited("Anthropic", nan), later},
        {ProviderError::rateLimited("Anthropic", inf), later},
        {ProviderError::rateLimited("Anthropic", -1), later},
        {ProviderError::rateLimited("Anthropic", 1e9 + 1), later},
        {ProviderError::rateLimited("Anthropic", 1e300), later},
        {ProviderError::timedOut("partial"), "The model took too long to answer."},
        {ProviderError::cancelled("partial"), "Stopped."},
        {ProviderError::disconnected("partial"), "The model stopped answering partway."},
        {ProviderError::server(500, "overloaded"), "The model server reported an error: overloaded"},
        {ProviderError::malformed("<html>"), "The model server sent a reply the editor could not read."},
        {ProviderError::notRunning(),
         "Ollama is not running on this computer. Start Ollama, then ask again."},
        {ProviderError::toolsUnsupported(), "This model cannot propose edits."},
        {ProviderError::thinkingUnsupported(), "This model does not accept a thinking setting."},
    };
    for (const auto& [error, sentence] : cases) {
        EXPECT_EQ(error.description(), sentence);
        EXPECT_STREQ(error.what(), sentence.c_str());
    }
}

TEST(ProviderError, PartialTextOnlyForUnfinishedChats) {
    EXPECT_EQ(ProviderError::cancelled("so far").partialText(), "so far");
    EXPECT_EQ(ProviderError::timedOut("a").partialText(), "a");
    EXPECT_EQ(ProviderError::disconnected("b").partialText(), "b");
    for (const auto& error : {ProviderError::server(500, "m"), ProviderError::malformed("m"),
                              ProviderError::notRunning(), ProviderError::missingKey("Anthropic")}) {
        EXPECT_EQ(error.partialText(), "");
    }
    EXPECT_EQ(ProviderError::server(500, "m"), ProviderError::server(500, "m"));
    EXPECT_NE(ProviderError::server(500, "m"), ProviderError::server(502, "m"));
}

TEST(ChatRecords, RolesAndLimits) {
    EXPECT_EQ(roleNamed("assistant"), ChatMessage::Role::assistant);
    EXPECT_EQ(roleNamed("System"), std::nullopt);
    EXPECT_EQ(roleName(ChatMessage::Role::system), "system");

    ChatLimits absent = ChatLimits::standard();
    ChatLimits off = absent;
    off.think = false;
    EXPECT_NE(absent, off);
    EXPECT_EQ(ChatLimits::hosted().maxOutputTokens, 4096);

    EXPECT_NO_THROW(checkChatLimits(ChatLimits::hosted()));
    for (const double bad : {std::nan(""), std::numeric_limits<double>::infinity(), -1.0, 2e9}) {
        ChatLimits limits = ChatLimits::standard();
        limits.totalSeconds = bad;
        EXPECT_THROW(checkChatLimits(limits), std::invalid_argument) << bad;
        limits = ChatLimits::standard();
        limits.idleSeconds = bad;
        EXPECT_THROW(checkChatLimits(limits), std::invalid_argument) << bad;
    }
}

}  // namespace
}  // namespace kivo
