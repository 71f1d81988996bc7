#include "core/command_client.hpp"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <regex>
#include <thread>
#include <vector>

#include "core/command_json.hpp"
#include "core/line_io.hpp"
#include "scoped_env.hpp"
#include "unix_listener.hpp"

namespace kivo {
namespace {

using TempDir = testing::ShortTempDir;

// One accepted connection of the fake worker.
struct Peer {
    int fd = -1;
    LineReader reader;

    std::string readLine() { return reader.readLine(fd); }
    void send(const std::string& bytes) { writeAll(fd, bytes); }
    void reply(const CommandResponse& response) { send(CommandJSON::encode(response)); }
    void progress(const std::string& id, std::int64_t completed) {
        send(CommandJSON::encode(CommandProgress{"progress", id, CommandPhase::searching, completed, 3}));
    }
    // Reads hello and answers it.
    void acceptHello() {
        const auto hello = CommandJSON::decodeRequest(readLine());
        reply(CommandResponse::success(hello.id, {}));
    }
};

// A worker stand-in on a real Unix socket: runs a script on its own thread.
// Every blocking call has a time limit so a broken client cannot hang the suite.
class FakeWorker {
public:
    explicit FakeWorker(const std::filesystem::path& path)
        : path_(path.string()), listenFd_(testing::listenOnUnixSocket(path)) {}

    ~FakeWorker() {
        if (thread_.joinable()) thread_.join();
        std::lock_guard guard(mutex_);
        for (auto& peer : peers_) ::close(peer->fd);
        ::close(listenFd_);
    }

    const std::string& path() const { return path_; }

    void run(std::function<void(FakeWorker&)> script) {
        thread_ = std::thread([this, script = std::move(script)] {
            try {
                script(*this);
            } catch (const std::exception& e) {
                ADD_FAILURE() << "fake worker: " << e.what();
            }
        });
    }

    void join() { thread_.join(); }

    Peer& accept() {
        pollfd entry{listenFd_, POLLIN, 0};
        if (::poll(&entry, 1, 5000) != 1) throw std::runtime_error("no connection came");
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        timeval timeout{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        std::lock_guard guard(mutex_);
        peers_.push_back(std::make_unique<Peer>());
        peers_.back()->fd = fd;
        return *peers_.back();
    }

    static void hangUp(Peer& peer) { ::shutdown(peer.fd, SHUT_RDWR); }

private:
    std::string path_;
    int listenFd_ = -1;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<Peer>> peers_;
};

CommandRequest request(CommandMethod method, std::string id = "R") {
    return CommandRequest{std::move(id),      method,       {},          std::nullopt,
                          CommandChannel::ui, std::nullopt, std::nullopt};
}

std::error_code errorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::system_error& e) {
        return e.code();
    }
    return {};
}

std::size_t openDescriptorCount() {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                                  std::filesystem::directory_iterator()));
}

TEST(CommandClient, SendBeforeConnectFails) {
    CommandClient client("/nonexistent.sock", "tok", CommandChannel::ui);
    try {
        client.send(request(CommandMethod::ping));
        FAIL() << "send without a connection succeeded";
    } catch (const CommandClientError& e) {
        EXPECT_EQ(e.kind(), CommandClientError::Kind::notConnected);
        EXPECT_STREQ(e.what(), "Not connected to the Kivo PDF worker.");
    }
    EXPECT_FALSE(client.isConnected());
}

TEST(CommandClient, HelloThenProgressInOrder) {
    TempDir dir;
    FakeWorker worker(dir.path() / "w.sock");
    std::string helloLine;
    std::string requestLine;
    worker.run([&](FakeWorker& w) {
        Peer& peer = w.accept();
        helloLine = peer.readLine();
        peer.progress("ignored", 0);  // progress during hello is skipped
        peer.reply(CommandResponse::success("x", {}));
        requestLine = peer.readLine();
        const auto id = CommandJSON::decodeRequest(requestLine).id;
        for (int i = 1; i <= 3; ++i) peer.progress(id, i);
        CommandResult result;
        result.pong = true;
        peer.reply(CommandResponse::success(id, result));
    });

    CommandClient client(worker.path(), "secret/token", CommandChannel::ui);
    client.connect();
    EXPECT_TRUE(client.isConnected());

    auto ping = request(CommandMethod::ping);
    ping.channel = CommandChannel::mcp;
    ping.params.token = "leak";
    std::vector<std::int64_t> seen;
    const auto response = client.send(ping, [&](const CommandProgress& p) { seen.push_back(p.completed); });
    worker.join();

    EXPECT_TRUE(response.ok);
    EXPECT_EQ(response.result->pong, true);
    EXPECT_EQ(seen, (std::vector<std::int64_t>{1, 2, 3}));
    const std::regex helloForm(
        R"(\{"channel":"ui","id":"[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-)"
        R"([0-9A-F]{12}","method":"hello","params":\{"token":"secret\\/token"\}\})");
    EXPECT_TRUE(std::regex_match(helloLine, helloForm)) << helloLine;
    const auto sent = CommandJSON::decodeRequest(requestLine);
    EXPECT_EQ(sent.channel, CommandChannel::ui);
    EXPECT_FALSE(sent.params.token);
    EXPECT_EQ(sent.progress, true);
}

TEST(CommandClient, RejectedHello) {
    const std::pair<std::optional<std::string>, std::string> cases[] = {
        {"That token is not valid for Kivo PDF.", "That token is not valid for Kivo PDF."},
        {std::nullopt, "Kivo PDF rejected this connection."},
    };
    for (const auto& [message, expected] : cases) {
        TempDir dir;
        FakeWorker worker(dir.path() / "w.sock");
        worker.run([&, message = message](FakeWorker& w) {
            Peer& peer = w.accept();
            const auto hello = CommandJSON::decodeRequest(peer.readLine());
            peer.reply(message ? CommandResponse::failure(hello.id, FailureCode::unauthorized, *message)
                               : CommandResponse{hello.id, false, std::nullopt, std::nullopt});
        });
        CommandClient client(worker.path(), "bad", CommandChannel::mcp);
        try {
            client.connect();
            ADD_FAILURE() << "a refused hello connected";
        } catch (const CommandClientError& e) {
            EXPECT_EQ(e.kind(), CommandClientError::Kind::rejected);
            EXPECT_EQ(e.what(), expected);
        }
        EXPECT_FALSE(client.isConnected());
        worker.join();
    }
}

TEST(CommandClient, BytesAfterAResponseServeTheNextExchange) {
    TempDir dir;
    FakeWorker worker(dir.path() / "w.sock");
    worker.run([](FakeWorker& w) {
        Peer& peer = w.accept();
        peer.acceptHello();
        (void)peer.readLine();
        peer.send(CommandJSON::encode(CommandResponse::success("first", {})) +
                  CommandJSON::encode(CommandResponse::success("second", {})));
        (void)peer.readLine();
    });
    CommandClient client(worker.path(), "tok", CommandChannel::ui);
    client.connect();
    EXPECT_EQ(client.send(request(CommandMethod::ping)).id, "first");
    EXPECT_EQ(client.send(request(CommandMethod::ping)).id, "second");
    worker.join();
}

TEST(CommandClient, ConnectionLossLeavesClientDisconnected) {
    TempDir dir;
    FakeWorker worker(dir.path() / "w.sock");
    worker.run([](FakeWorker& w) {
        Peer& peer = w.accept();
        peer.acceptHello();
        (void)peer.readLine();
        peer.progress("R", 1);
        FakeWorker::hangUp(peer);
    });
    CommandClient client(worker.path(), "tok", CommandChannel::ui);
    client.connect();
    int progressCalls = 0;
    EXPECT_EQ(
        errorOf([&] { client.send(request(CommandMethod::search), [&](const auto&) { ++progressCalls; }); }),
        std::errc::broken_pipe);
    EXPECT_EQ(progressCalls, 1);
    EXPECT_FALSE(client.isConnected());
    worker.join();
}

TEST(CommandClient, ClosedPeerDoesNotRaiseSIGPIPE) {
    std::signal(SIGPIPE, SIG_DFL);
    TempDir dir;
    FakeWorker worker(dir.path() / "w.sock");
    std::promise<void> hungUp;
    worker.run([&](FakeWorker& w) {
        Peer& peer = w.accept();
        peer.acceptHello();
        FakeWorker::hangUp(peer);
        hungUp.set_value();
    });
    CommandClient client(worker.path(), "tok", CommandChannel::ui);
    client.connect();
    hungUp.get_future().wait();
    auto big = request(CommandMethod::addNote);
    big.params.contents = std::string(4 << 20, 'n');
    const auto error = errorOf([&] { client.send(big); });
    EXPECT_TRUE(error == std::errc::broken_pipe || error == std::errc::connection_reset) << error.message();
    EXPECT_FALSE(client.isConnected());
    worker.join();
}

TEST(CommandClient, ReconnectClosesTheOldSocketFirst) {
    TempDir dir;
    FakeWorker worker(dir.path() / "w.sock");
    std::atomic<bool> oldSocketClosed{false};
    worker.run([&](FakeWorker& w) {
        Peer& first = w.accept();
        first.acceptHello();
        Peer& second = w.accept();
        char byte = 0;
        oldSocketClosed = ::recv(first.fd, &byte, 1, MSG_DONTWAIT) == 0;
        second.acceptHello();
    });
    CommandClient client(worker.path(), "tok", CommandChannel::ui);
    client.connect();
    client.connect();
    EXPECT_TRUE(client.isConnected());
    worker.join();
    EXPECT_TRUE(oldSocketClosed);
}

TEST(CommandClient, SocketPathLengthLimit) {
    TempDir dir;
    const auto base = dir.path().string() + "/";
    const auto pathOf = [&](std::size_t length) { return base + std::string(length - base.size(), 's'); };

    const auto before = openDescriptorCount();
    CommandClient tooLong(pathOf(103), "tok", CommandChannel::ui);
    EXPECT_EQ(errorOf([&] { tooLong.connect(); }), std::errc::filename_too_long);
    EXPECT_EQ(openDescriptorCount(), before);

    FakeWorker worker(pathOf(102));
    worker.run([](FakeWorker& w) { w.accept().acceptHello(); });
    CommandClient longest(pathOf(102), "tok", CommandChannel::ui);
    longest.connect();
    EXPECT_TRUE(longest.isConnected());
    worker.join();

    CommandClient nobody(base + "absent.sock", "tok", CommandChannel::ui);
    EXPECT_EQ(errorOf([&] { nobody.connect(); }), std::errc::no_such_file_or_directory);
}

TEST(CommandClient, ConcurrentSendsTakeTurns) {
    TempDir dir;
    FakeWorker worker(dir.path() / "w.sock");
    constexpr int perThread = 25;
    worker.run([](FakeWorker& w) {
        Peer& peer = w.accept();
        peer.acceptHello();
        for (int i = 0; i < 2 * perThread; ++i) {
            const auto id = CommandJSON::decodeRequest(peer.readLine()).id;
            peer.progress(id, 1);
            peer.reply(CommandResponse::success(id, {}));
        }
    });
    CommandClient client(worker.path(), "tok", CommandChannel::ui);
    client.connect();
    std::atomic<int> mismatches{0};
    const auto sender = [&](const std::string& prefix) {
        for (int i = 0; i < perThread; ++i) {
            const auto id = prefix + std::to_string(i);
            const auto response =
                client.send(request(CommandMethod::ping, id), [&](const CommandProgress& p) {
                    if (p.id != id) ++mismatches;
                });
            if (response.id != id) ++mismatches;
        }
    };
    std::thread a(sender, "a");
    std::thread b(sender, "b");
    a.join();
    b.join();
    worker.join();
    EXPECT_EQ(mismatches, 0);
}

}  // namespace
}  // namespace kivo
