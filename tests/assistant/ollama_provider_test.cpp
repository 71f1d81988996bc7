#include "assistant/ollama_provider.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <future>
#include <thread>

#include "fake_ollama.hpp"

namespace kivo {
namespace {

using namespace std::chrono_literals;
using testing::FakeOllama;
using Clock = std::chrono::steady_clock;

struct Chat {
    std::vector<ChatEvent> events;
    ChatOutcome outcome;
    std::optional<ProviderError> error;
};

Chat chat(OllamaProvider& provider, ChatLimits limits = ChatLimits::standard(),
          std::vector<ToolDefinition> tools = {}, std::stop_token stop = {},
          const std::function<void()>& onText = {}) {
    Chat result;
    try {
        result.outcome = provider.chat(
            "tiny:1b", {{ChatMessage::Role::system, "S"}, {ChatMessage::Role::user, "U"}}, tools, limits,
            [&](const ChatEvent& event) {
                result.events.push_back(event);
                if (onText && event.kind == ChatEvent::Kind::text) onText();
            },
            stop);
    } catch (const ProviderError& error) {
        result.error = error;
    }
    return result;
}

std::unique_ptr<OllamaProvider> providerFor(const FakeOllama& server) {
    return OllamaProvider::fromEnvironment({{"KIVO_PDF_OLLAMA_URL", server.url()}});
}

TEST(OllamaProvider, AddressRules) {
    const std::pair<const char*, bool> cases[] = {
        {"http://127.0.0.1:11434", true},
        {"HTTP://LOCALHOST", true},
        {"http://[::1]:1/x", true},
        {"https://127.0.0.1", false},
        {"http://127.0.0.2", false},
        {"http://0.0.0.0", false},
        {"http://localhost.", false},
        {"http://u:p@evil.example/", false},
        {"http://127.0.0.1:1@evil.example", false},
    };
    for (const auto& [url, allowed] : cases) {
        const auto address = Http::Address::parse(url);
        EXPECT_EQ(address && OllamaProvider::isLoopback(*address), allowed) << url;
    }
    EXPECT_EQ(OllamaProvider::fromEnvironment({{"KIVO_PDF_OLLAMA_URL", ""}})->baseURL().text(),
              "http://127.0.0.1:11434/");
    try {
        OllamaProvider::fromEnvironment({{"KIVO_PDF_OLLAMA_URL", "https://127.0.0.1:1"}});
        FAIL();
    } catch (const ProviderError& error) {
        EXPECT_EQ(error, ProviderError::notLocal("https://127.0.0.1:1/"));
    }
}

TEST(OllamaProvider, StatusAndCapabilities) {
    FakeOllama server;
    auto provider = OllamaProvider::fromEnvironment({{"KIVO_PDF_OLLAMA_URL", server.url() + "/ollama"}});
    FakeOllama::Script script;
    script.tags =
        R"({"models":[{"name":"b","size":5,"details":{"parameter_size":"7B"},"capabilities":["tools"]},{"name":"a"}]})";
    server.setScript(script);
    // The path prefix is kept, so the fake answers 404 and the status says why.
    EXPECT_FALSE(provider->status({}).ready);
    EXPECT_EQ(server.requests().back().target, "/ollama/api/version");

    // A backslash does not end the user part here: the guard and the request both go to the
    // host after "@", the fake.
    provider = OllamaProvider::fromEnvironment(
        {{"KIVO_PDF_OLLAMA_URL",
          "http://evil.example\\@127.0.0.1:" + std::to_string(server.server().port())}});
    const auto status = provider->status({});
    ASSERT_TRUE(status.ready) << status.reason;
    EXPECT_EQ(status.version, "0.9.0");
    EXPECT_EQ(status.models, (std::vector<ModelInfo>{{"b", "7B", 5, {{"tools"}}},
                                                     {"a", std::nullopt, std::nullopt, std::nullopt}}));

    const std::pair<std::string, ModelCapabilities> shows[] = {
        {R"({"capabilities":["tools","vision"]})", {true, false, true}},
        {R"({"capabilities":["completion"]})", {false, false, true}},
        {R"({"capabilities":["TOOLS","thinking"]})", {false, true, true}},
        {"{}", {true, false, false}},
        {"null", {true, false, false}},
    };
    for (const auto& [show, expected] : shows) {
        script.show = show;
        server.setScript(script);
        EXPECT_EQ(provider->capabilities("b", {}), expected) << show;
    }
    EXPECT_EQ(JSONValue::decode(server.requests().back().body), JSONValue::decode(R"({"model":"b"})"));

    // No list, and a list past what the editor reads, are both replies it cannot read.
    for (const std::string& tags :
         {std::string(R"({"nothing":[]})"), R"({"models":[")" + std::string(5 << 20, 'x')}) {
        script.tags = tags;
        server.setScript(script);
        EXPECT_EQ(provider->status({}),
                  ProviderStatus::unavailable(ProviderError::malformed("").description()));
    }
}

TEST(OllamaProvider, NotRunning) {
    std::string url;
    {
        FakeOllama gone;
        url = gone.url();
    }
    auto provider = OllamaProvider::fromEnvironment({{"KIVO_PDF_OLLAMA_URL", url}});
    EXPECT_EQ(provider->status({}), ProviderStatus::unavailable(ProviderError::notRunning().description()));
    EXPECT_EQ(provider->capabilities("x", {}), (ModelCapabilities{true, false, false}));
    EXPECT_EQ(chat(*provider).error, ProviderError::notRunning());
}

// A socket table (of /proc/net/tcp's shape) with one listener on 127.0.0.1:`port` owned by `uid`.
std::string listenerLine(long port, uid_t uid) {
    char line[200];
    std::snprintf(
        line, sizeof line,
        "   0: 0100007F:%04lX 00000000:0000 0A 00000000:00000000 00:00000000 00000000 %5u        0 4242 1\n",
        port, static_cast<unsigned>(uid));
    return std::string(
               "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout "
               "inode\n") +
           line;
}

TEST(OllamaProvider, SendsTheDocumentOnlyToAListenerOfThisUserOrTheSystem) {
    FakeOllama server;
    FakeOllama::Script script;
    script.chat = {{FakeOllama::content("Hi")}, {FakeOllama::done("stop", 1, 1)}};
    server.setScript(script);
    const long port = std::stol(server.url().substr(server.url().rfind(':') + 1));
    const std::string address = "127.0.0.1:" + std::to_string(port);
    const uid_t other = ::geteuid() == 4321 ? 4322 : 4321;
    const struct {
        const char* what;
        std::string ipv4;
        bool answers;
    } cases[] = {
        {"this user", listenerLine(port, ::geteuid()), true},
        {"root", listenerLine(port, 0), true},
        {"a system account", listenerLine(port, 999), true},
        {"another user", listenerLine(port, other), false},
        {"another user, beside one of this user on another port",
         listenerLine(port + 1, ::geteuid()) +
             listenerLine(port, other).substr(listenerLine(port, other).find('\n') + 1),
         false},
        {"nobody seen listening", "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        OllamaProvider provider(*Http::Address::parse(server.url()),
                                [&](bool ipv6) { return ipv6 ? std::string() : c.ipv4; });
        const std::size_t before = server.requests().size();
        const auto result = chat(provider);
        if (c.answers) {
            EXPECT_FALSE(result.error) << result.error->description();
            EXPECT_EQ(result.outcome.text, "Hi");
            continue;
        }
        ASSERT_TRUE(result.error);
        EXPECT_EQ(result.error->description(),
                  "Another user's program answers on " + address + ", so the document text was not sent.");
        EXPECT_EQ(server.requests().size(), before) << "nothing reached the listener";
    }
}

TEST(OllamaProvider, StreamsAChat) {
    FakeOllama server;
    FakeOllama::Script script;
    script.chat = {
        {FakeOllama::content("He")},
        {""},
        {R"({"message":{"thinking":"mull"}})"},
        {R"({"message":{"thinking":""}})"},
        {FakeOllama::content("llo")},
        {FakeOllama::toolCall("add_note", R"({"page":2})")},
        {R"({"message":{"tool_calls":[{"function":{"name":"a","arguments":"{\"page\": 2}"}},)"
         R"({"function":{"name":"b","arguments":"not json"}},{"function":{"name":"c","arguments":null}},)"
         R"({"function":{"name":"d"}}]}})"},
        {FakeOllama::done("stop", 12, 3)},
        {FakeOllama::content("never read")}};
    server.setScript(script);
    auto provider = providerFor(server);
    ChatLimits limits = ChatLimits::standard();
    const auto result = chat(*provider, limits, {{"add_note", "d", JSONValue::Object{}}});
    ASSERT_FALSE(result.error) << result.error->description();
    const JSONValue page2 = JSONValue::decode(R"({"page":2})");
    const std::vector<ToolCall> calls{{"add_note", page2},
                                      {"a", page2},
                                      {"b", "not json"},
                                      {"c", JSONValue::Object{}},
                                      {"d", JSONValue::Object{}}};
    EXPECT_EQ(result.outcome, (ChatOutcome{"Hello", calls, FinishReason::stop(), AnswerUsage{12, 3, 2.5}}));
    ASSERT_EQ(result.events.size(), 8u);
    EXPECT_EQ(result.events[1], ChatEvent::thinking());
    EXPECT_EQ(JSONValue::decode(server.requests().back().body),
              JSONValue::decode(R"({"model":"tiny:1b","stream":true,
                  "messages":[{"role":"system","content":"S"},{"role":"user","content":"U"}],
                  "options":{"temperature":0,"num_predict":1024,"num_ctx":16384},
                  "tools":[{"type":"function","function":{"name":"add_note","description":"d","parameters":{}}}]})"));

    limits.think = false;
    script.chat = {{R"({"done":true,"done_reason":"Stop"})"}};
    server.setScript(script);
    const auto other = chat(*provider, limits);
    EXPECT_EQ(other.outcome.finish, FinishReason::other("Stop"));
    EXPECT_EQ(other.outcome.usage, AnswerUsage{});
    EXPECT_EQ(*JSONValue::decode(server.requests().back().body)["think"], JSONValue(false));
}

TEST(OllamaProvider, ChatFailures) {
    struct Case {
        const char* name;
        int status;
        std::string body;
        std::vector<FakeOllama::Step> steps;
        ProviderError error;
    };
    const Case cases[] = {
        {"404", 404, R"({"error":"no such thing"})", {}, ProviderError::modelMissing("tiny:1b")},
        {"404 without tools",
         404,
         R"({"error":"tiny does not support tools"})",
         {},
         ProviderError::toolsUnsupported()},
        {"500 text", 500, "plain words", {}, ProviderError::server(500, "plain words")},
        {"error chunk",
         200,
         "",
         {{FakeOllama::content("x")}, {R"({"error":"model 'tiny' not found"})"}},
         ProviderError::modelMissing("tiny:1b")},
        {"error with content",
         200,
         "",
         {{R"({"message":{"content":"y"},"error":"invalid think value"})"}},
         ProviderError::thinkingUnsupported()},
        {"not JSON", 200, "", {{FakeOllama::content("x")}, {"<html>"}}, ProviderError::malformed("<html>")},
        {"wrong kind", 200, "", {{R"({"done":"yes"})"}}, ProviderError::malformed(R"({"done":"yes"})")},
        {"cut", 200, "", {{FakeOllama::content("partial ")}}, ProviderError::disconnected("partial ")},
    };
    for (const auto& c : cases) {
        FakeOllama server;
        FakeOllama::Script script;
        script.chatStatus = c.status;
        script.chatBody = c.body;
        script.chat = c.steps;
        server.setScript(script);
        auto provider = providerFor(server);
        const auto result = chat(*provider);
        EXPECT_EQ(result.error, c.error)
            << c.name << ": " << (result.error ? result.error->payload() : "no error");
    }
}

TEST(OllamaProvider, TimesOutAndStopsWithThePartialText) {
    FakeOllama server;
    FakeOllama::Script script;
    script.chat = {{FakeOllama::content("So far")}, {"", 20s}};
    server.setScript(script);
    auto provider = providerFor(server);

    ChatLimits limits = ChatLimits::standard();
    limits.idleSeconds = 0.3;
    EXPECT_EQ(chat(*provider, limits).error, ProviderError::timedOut("So far"));

    std::stop_source stop;
    std::promise<Clock::time_point> firstText;
    auto call = std::async(std::launch::async, [&] {
        return chat(*provider, ChatLimits::standard(), {}, stop.get_token(),
                    [&] { firstText.set_value(Clock::now()); });
    });
    firstText.get_future().wait();
    stop.request_stop();
    EXPECT_EQ(call.get().error, ProviderError::cancelled("So far"));
    // The model was still in its twenty seconds of silence: the stop hung up on it rather than waiting.
    for (int look = 0; look < 1000 && !server.chatHungUpAfter(); ++look) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(server.chatHungUpAfter(), 1u) << "a stop must not wait for the model";
}

}  // namespace
}  // namespace kivo
