#include "http/http_transport.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <utility>

#include "fake_http_server.hpp"
#include "scoped_env.hpp"

namespace kivo {
namespace {

using namespace std::chrono_literals;
using testing::FakeConnection;
using testing::FakeHttpServer;
using testing::RecordedRequest;
using Clock = std::chrono::steady_clock;

Http::Address at(const std::string& url) {
    auto address = Http::Address::parse(url);
    EXPECT_TRUE(address) << url;
    return std::move(*address);
}

Http::Request get(const std::string& url, double idle = 5, double total = 10) {
    Http::Request request("GET", at(url));
    request.idleSeconds = idle;
    request.totalSeconds = total;
    return request;
}

Http::TransportError::Kind failureOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const Http::TransportError& error) {
        return error.kind();
    }
    ADD_FAILURE() << "no transport error";
    return Http::TransportError::Kind::other;
}

TEST(HttpTransport, SplitsLinesOnlyAtLineFeedsAndCarriageReturns) {
    FakeHttpServer server([](const RecordedRequest&, FakeConnection& connection) {
        connection.startBody(200);
        // CR at the end of one write, its LF in the next; U+2028 and U+0085 stay inside lines.
        for (const std::string_view piece :
             {"one\r", "\ntwo\rthree\n\n", "li\xE2\x80", "\xA8ne\xC2\x85x\n", "last"}) {
            connection.send(piece);
            connection.pause(20ms);
        }
    });
    std::vector<std::string> lines;
    const auto reply = Http::stream(get(server.url() + "/s"),
                                    [&](std::string_view line) {
                                        lines.emplace_back(line);
                                        return false;
                                    },
                                    {});
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(lines,
              (std::vector<std::string>{"one", "two", "three", "", "li\xE2\x80\xA8ne\xC2\x85x", "last"}));
}

TEST(HttpTransport, KeepsItsTimeLimits) {
    struct Case {
        const char* name;
        FakeHttpServer::Handler handler;
    };
    const Case cases[] = {
        {"silent after the headers",
         [](const RecordedRequest&, FakeConnection& c) {
             c.startBody(200);
             c.send("first\n");
             c.pause(10s);
         }},
        {"trickling past the total",
         [](const RecordedRequest&, FakeConnection& c) {
             c.startBody(200);
             for (int i = 0; i < 100 && c.pause(100ms); ++i) c.send("x");
         }},
        {"no answer at all", [](const RecordedRequest&, FakeConnection& c) { c.pause(10s); }},
    };
    for (const auto& c : cases) {
        FakeHttpServer server(c.handler);
        const auto started = Clock::now();
        EXPECT_EQ(failureOf([&] {
                      Http::stream(get(server.url(), 0.3, 0.8), [](std::string_view) { return false; }, {});
                  }),
                  Http::TransportError::Kind::timedOut)
            << c.name;
        const auto elapsed = Clock::now() - started;
        EXPECT_GE(elapsed, 290ms) << c.name;
        EXPECT_LT(elapsed, 3s) << c.name;
    }
}

TEST(HttpTransport, AStopEndsATransferAtOnceAndAStopBeforeSendsNothing) {
    // The server's ten seconds of silence end early only when the client hangs up.
    std::promise<bool> hungUp;
    FakeHttpServer server([&, first = true](const RecordedRequest&, FakeConnection& c) mutable {
        c.startBody(200);
        c.send("first\n");
        const bool waited = c.pause(10s);
        if (std::exchange(first, false)) hungUp.set_value(!waited);
    });
    std::stop_source stop;
    std::promise<void> firstLine;
    auto call = std::async(std::launch::async, [&] {
        return failureOf([&] {
            Http::stream(
                get(server.url(), 30, 30),
                [&](std::string_view) {
                    firstLine.set_value();
                    return false;
                },
                stop.get_token());
        });
    });
    firstLine.get_future().wait();
    stop.request_stop();
    EXPECT_EQ(call.get(), Http::TransportError::Kind::cancelled);
    EXPECT_TRUE(hungUp.get_future().get()) << "the stop waited for the server";

    std::stop_source early;
    early.request_stop();
    EXPECT_EQ(failureOf([&] { Http::fetch(get(server.url()), early.get_token()); }),
              Http::TransportError::Kind::cancelled);
    EXPECT_EQ(server.connections(), 1);
}

// A model may send thousands of lines in one read: a stop asked for while one line is handled is seen
// before the next, wherever the lines fall in the reads.
TEST(HttpTransport, AStopIsSeenBeforeTheNextLineHoweverManyOneReadBrings) {
    struct Case {
        const char* name;
        int linesPerWrite;
        int stopAt;  // the line whose handler asks for the stop, from 1
    };
    const Case cases[] = {
        {"the first line of a read of thousands", 5000, 1},
        {"inside a read of thousands", 5000, 1234},
        {"the last line of a read", 5000, 5000},
        {"one line a write", 1, 3},
    };
    for (const Case& c : cases) {
        FakeHttpServer server([&](const RecordedRequest&, FakeConnection& connection) {
            connection.startBody(200);
            for (int write = 0; write < 4; ++write) {
                std::string lines;
                for (int i = 0; i < c.linesPerWrite; ++i) lines += "piece\n";
                connection.send(lines);
                if (!connection.pause(20ms)) return;
            }
            connection.pause(10s);
        });
        std::stop_source stop;
        int handled = 0;
        const auto kind = failureOf([&] {
            Http::stream(
                get(server.url(), 30, 30),
                [&](std::string_view) {
                    if (++handled == c.stopAt) stop.request_stop();
                    return false;
                },
                stop.get_token());
        });
        EXPECT_EQ(kind, Http::TransportError::Kind::cancelled) << c.name;
        EXPECT_EQ(handled, c.stopAt) << c.name << ": no line is handled after the stop";
    }
}

TEST(HttpTransport, FollowsOnlyRedirectsItsRuleAllows) {
    FakeHttpServer target([](const RecordedRequest& request, FakeConnection& c) {
        c.respond(200, request.method + " " + request.body);
    });
    FakeHttpServer elsewhere([](const RecordedRequest&, FakeConnection& c) { c.respond(200, "leaked"); },
                             "127.0.0.2");
    std::string location;
    int status = 302;
    FakeHttpServer origin([&](const RecordedRequest&, FakeConnection& c) {
        c.respond(status, "moved", {"Location: " + location});
    });
    const auto loopbackOnly = [](const Http::Address& url) {
        return url.scheme() == "http" && Http::isLoopbackHost(url.host());
    };
    struct Case {
        int status;
        std::string location;
        long replyStatus;
        std::string body;
    };
    const Case cases[] = {
        {302, target.url() + "/next", 200, "GET "},
        {303, target.url() + "/next", 200, "GET "},
        {307, target.url() + "/next", 200, "POST payload"},
        {308, target.url() + "/next", 200, "POST payload"},
        {307, elsewhere.url() + "/next", 307, "moved"},
        {302, "http://user@127.0.0.2:" + std::to_string(elsewhere.port()) + "/", 302, "moved"},
    };
    for (const auto& c : cases) {
        status = c.status;
        location = c.location;
        Http::Request request("POST", at(origin.url() + "/start"));
        request.body = "payload";
        request.allows = loopbackOnly;
        const auto reply = Http::fetch(request, {});
        EXPECT_EQ(reply.status, c.replyStatus) << c.location;
        EXPECT_EQ(reply.body, c.body) << c.location;
    }
    EXPECT_EQ(elsewhere.connections(), 0);
}

TEST(HttpTransport, RedirectTargets) {
    const auto any = Http::Rule{};
    struct Case {
        const char* from;
        long status;
        const char* location;
        std::optional<std::string> target;
    };
    const Case cases[] = {
        {"http://127.0.0.1:1/a/b", 302, "c", "http://127.0.0.1:1/a/c"},
        {"http://127.0.0.1:1/a", 301, "//localhost:2/x", "http://localhost:2/x"},
        {"https://api.example.test/", 302, "http://127.0.0.1:1/", std::nullopt},
        {"https://api.example.test/", 307, "https://api.example.test/v2", "https://api.example.test/v2"},
        {"http://127.0.0.1:1/", 200, "http://127.0.0.1:2/", std::nullopt},
        {"http://127.0.0.1:1/", 302, "ftp://127.0.0.1/", std::nullopt},
        {"http://127.0.0.1:1/", 302, "file:///etc/passwd", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto target = Http::redirectTarget(at(c.from), c.status, c.location, any);
        EXPECT_EQ(target ? std::optional(target->text()) : std::nullopt, c.target)
            << c.from << " " << c.location;
    }
}

TEST(HttpTransport, LoopbackIsNeverProxied) {
    FakeHttpServer proxy([](const RecordedRequest&, FakeConnection& c) { c.respond(200, "via proxy"); });
    FakeHttpServer server([](const RecordedRequest&, FakeConnection& c) { c.respond(200, "direct"); });
    const testing::ScopedEnv lower("http_proxy", proxy.url());
    const testing::ScopedEnv upper("HTTP_PROXY", proxy.url());
    const testing::ScopedEnv all("ALL_PROXY", proxy.url());
    EXPECT_EQ(Http::fetch(get(server.url() + "/"), {}).body, "direct");
    EXPECT_EQ(proxy.connections(), 0);
}

TEST(HttpTransport, CapsWhatItReads) {
    FakeHttpServer server([](const RecordedRequest& request, FakeConnection& c) {
        if (request.target == "/big") {
            c.startBody(200);
            const std::string block(1 << 20, 'x');
            for (int i = 0; i < 6; ++i) c.send(block);
        } else if (request.target == "/line") {
            c.startBody(200);
            const std::string block(64 << 10, 'y');
            for (int i = 0; i < 64; ++i) c.send(block);  // 4 MiB without a line end
        } else {
            c.respond(500, std::string(100000, 'e'));
        }
    });
    EXPECT_EQ(failureOf([&] { Http::fetch(get(server.url() + "/big"), {}); }),
              Http::TransportError::Kind::tooLarge);
    EXPECT_EQ(failureOf([&] {
                  Http::stream(get(server.url() + "/line"), [](std::string_view) { return false; }, {});
              }),
              Http::TransportError::Kind::tooLarge);
    EXPECT_EQ(Http::fetch(get(server.url() + "/error"), {}).body.size(), Http::maximumErrorBodyBytes);
}

TEST(HttpTransport, ARefusedPortCannotConnect) {
    std::string url;
    {
        FakeHttpServer closed([](const RecordedRequest&, FakeConnection&) {});
        url = closed.url();
    }
    EXPECT_EQ(failureOf([&] { Http::fetch(get(url), {}); }), Http::TransportError::Kind::cannotConnect);
}

}  // namespace
}  // namespace kivo
