#include "worker/connection_writer.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "socket_pair.hpp"

namespace kivo {
namespace {

using Clock = std::chrono::steady_clock;

using testing::SocketPair;

// Fills the writer's side until it takes no more, as a client that stopped reading leaves it;
// answers the bytes written.
std::size_t fill(const SocketPair& pair) {
    const std::string block(4096, '.');
    std::size_t written = 0;
    for (;;) {
        const ssize_t n = ::send(pair.writer, block.data(), block.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n <= 0) return written;
        written += static_cast<std::size_t>(n);
    }
}

// Everything the client can read until the writer's side is shut down.
std::string readToEnd(const SocketPair& pair) {
    std::string text;
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::recv(pair.reader, chunk, sizeof chunk, 0);
        if (n <= 0) return text;
        text.append(chunk, static_cast<std::size_t>(n));
    }
}

TEST(ConnectionWriterTest, ProgressNeverWaitsAndTheNewestComesBeforeTheResponse) {
    SocketPair pair;
    const std::size_t filled = fill(pair);
    ConnectionWriter writer(pair.writer, {});
    const auto start = Clock::now();
    for (int i = 0; i < 100; ++i) writer.progress("p" + std::to_string(i) + "\n");
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));

    auto answered = std::async(std::launch::async, [&writer] { return writer.respond("answer\n"); });
    // The client reads again: it finds the progress lines that were still waiting, oldest first,
    // ending with the newest, then the answer.
    std::string text;
    char chunk[65536];
    while (text.find("answer\n") == std::string::npos) {
        const ssize_t n = ::recv(pair.reader, chunk, sizeof chunk, 0);
        ASSERT_GT(n, 0);
        text.append(chunk, static_cast<std::size_t>(n));
    }
    EXPECT_TRUE(answered.get());
    std::vector<int> numbers;
    std::size_t at = filled;
    for (std::size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = text.substr(at, end - at);
        if (line == "answer") break;
        ASSERT_EQ(line[0], 'p') << line;
        numbers.push_back(std::stoi(line.substr(1)));
    }
    EXPECT_EQ(at + std::string("answer\n").size(), text.size());
    ASSERT_FALSE(numbers.empty());
    EXPECT_EQ(numbers.back(), 99);
    EXPECT_LE(numbers.size(), ConnectionWriter::maxWaitingProgress + 2);
    for (std::size_t i = 1; i < numbers.size(); ++i) EXPECT_LT(numbers[i - 1], numbers[i]);
}

TEST(ConnectionWriterTest, BreakingABoundClosesTheConnection) {
    struct Case {
        const char* name;
        ConnectionWriter::Bounds bounds;
        bool clientStoppedReading;
        double atLeastSeconds;
    };
    const Case cases[] = {
        {"answer longer than a client accepts", {100, 60}, false, 0},
        {"client stopped reading", {1 << 20, 0.3}, true, 0.3},
    };
    for (const Case& c : cases) {
        SocketPair pair;
        if (c.clientStoppedReading) fill(pair);
        ConnectionWriter writer(pair.writer, c.bounds);
        const auto start = Clock::now();
        EXPECT_FALSE(writer.respond(std::string(200, 'a') + "\n")) << c.name;
        EXPECT_GE(std::chrono::duration<double>(Clock::now() - start).count(), c.atLeastSeconds) << c.name;
        // The client finds the connection ended, with at most what it left unread.
        EXPECT_EQ(readToEnd(pair).find('a'), std::string::npos) << c.name;
        EXPECT_FALSE(writer.respond("late\n")) << c.name;
        writer.progress("late\n");
    }
}

}  // namespace
}  // namespace kivo
