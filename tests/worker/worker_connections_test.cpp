// Connections as a careless or hostile local client uses them: clients that stop reading their
// answers, and connections that never say hello. Whatever they do, the worker goes on serving
// everyone else and stays alive.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <future>
#include <thread>

#include "command_requests.hpp"
#include "test_pdfs.hpp"
#include "worker_process.hpp"

namespace kivo {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using testing::request;
using testing::SocketConnection;
using testing::WorkerProcess;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A /proc/<pid>/status figure in KiB ("VmHWM", "VmRSS"), 0 when it cannot be read.
long statusKiB(int pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
    }
    return 0;
}

// Whether the worker has ended the connection: true once the peer shut it down, also while
// answers the client never read are still waiting in it.
bool endedByWorker(int fd, double seconds) {
    pollfd entry{fd, POLLRDHUP, 0};
    return ::poll(&entry, 1, static_cast<int>(seconds * 1000)) == 1 &&
           (entry.revents & (POLLRDHUP | POLLHUP)) != 0;
}

bool endedByWorker(const SocketConnection& connection, double seconds) {
    return endedByWorker(connection.fd(), seconds);
}

// Connections to the socket opened as another user (nobody) would open them, from a thread that
// takes that user's identity for itself alone; empty when this test cannot take it.
std::vector<std::unique_ptr<SocketConnection>> strangersConnections(const fs::path& socket, int count) {
    std::vector<std::unique_ptr<SocketConnection>> connections;
    std::thread([&] {
        // The system call, not the C library's setresuid, which would change every thread.
        if (::syscall(SYS_setresuid, -1, 65534, -1) != 0) return;
        for (int i = 0; i < count; ++i) connections.push_back(std::make_unique<SocketConnection>(socket));
    }).join();
    return connections;
}

// Reads what the connection still holds until the worker's end of it; answers the byte count, or
// -1 when it did not end within `seconds`.
long drain(SocketConnection& connection, double seconds) {
    long bytes = 0;
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < deadline) {
        pollfd entry{connection.fd(), POLLIN, 0};
        if (::poll(&entry, 1, 100) != 1) continue;
        char chunk[65536];
        const ssize_t n = ::recv(connection.fd(), chunk, sizeof chunk, 0);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return bytes;
        if (n > 0) bytes += n;
    }
    return -1;
}

// Sends pings that ask for progress as fast as the worker takes them and never reads an answer.
// When the worker drops the connection it connects again, until `stop`. Answers how often the
// worker dropped it.
int flood(const fs::path& socket, const std::string& token, const std::atomic<bool>& stop) {
    std::string burst;
    for (int i = 0; i < 100; ++i) {
        auto ping = request("flood-" + std::to_string(i), CommandMethod::ping, CommandChannel::ui);
        ping.progress = true;
        burst += testing::requestLine(ping);
    }
    int dropped = 0;
    while (!stop) {
        SocketConnection connection(socket);
        if (!connection.authenticate(token)) return -1;
        std::size_t offset = 0;
        for (;;) {
            if (stop) return dropped;
            pollfd entry{connection.fd(), POLLOUT, 0};
            if (::poll(&entry, 1, 100) != 1) continue;
            const ssize_t n = ::send(connection.fd(), burst.data() + offset, burst.size() - offset,
                                     MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            if (n < 0) break;
            offset = (offset + static_cast<std::size_t>(n)) % burst.size();
        }
        ++dropped;
    }
    return dropped;
}

class WorkerConnectionsTest : public ::testing::Test {
protected:
    // A socket worker whose stall limit, and so the time a client may go without reading, is
    // `stallSeconds`.
    std::unique_ptr<WorkerProcess> start(const std::string& stallSeconds) {
        auto worker =
            testing::startSocketWorker(socket(), {{"KIVO_PDF_SUPPORT_DIR", (dir.path() / "support").string()},
                                                  {"TMPDIR", dir.path().string()},
                                                  {"KIVO_PDF_WORKER_SANDBOX", "off"},
                                                  {"KIVO_PDF_WORKER_STALL_LIMIT_S", stallSeconds}});
        EXPECT_NE(worker->errorOutput().find("listening on"), std::string::npos) << worker->errorOutput();
        return worker;
    }

    fs::path socket() const { return dir.path() / "w.sock"; }

    // An editor connection that has opened `pdf`; answers the open's answer (ok checked).
    CommandResponse openFromEditor(SocketConnection& editor, const std::string& pdf) {
        const fs::path path = dir.path() / "doc.pdf";
        testing::writeFile(path, pdf);
        EXPECT_TRUE(editor.authenticate("ui-token"));
        auto open = request("open", CommandMethod::open, CommandChannel::ui);
        open.params.path = path.string();
        editor.write(testing::requestLine(open));
        const auto opened = testing::readExchange(editor).response;
        EXPECT_TRUE(opened && opened->ok);
        return opened.value_or(CommandResponse::failure("open", "<no response>", ""));
    }

    testing::TempDir dir;
};

TEST_F(WorkerConnectionsTest, ClientsThatStopReadingStallNoOneElse) {
    // Shorter than the test, so the worker drops each flooding client at least once, and the
    // watchdog would stop a worker whose engine waited on one of them.
    auto worker = start("4");
    SocketConnection editor(socket());
    const CommandResponse opened = openFromEditor(editor, testing::makePdf());
    ASSERT_TRUE(opened.ok);
    const std::string session = *opened.result->sessionId;

    std::atomic<bool> stop{false};
    std::future<int> editorFlood =
        std::async(std::launch::async, flood, socket(), "ui-token", std::cref(stop));
    std::future<int> mcpFlood = std::async(std::launch::async, flood, socket(), "mcp-token", std::cref(stop));
    struct StopOnExit {
        std::atomic<bool>& stop;
        ~StopOnExit() { stop = true; }
    } stopOnExit{stop};
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    double slowest = 0;
    const auto begin = Clock::now();
    for (int second = 0; second < 12; ++second) {
        std::this_thread::sleep_until(begin + std::chrono::seconds(second));
        auto inspect =
            request("inspect-" + std::to_string(second), CommandMethod::inspect, CommandChannel::ui);
        inspect.params.sessionId = session;
        editor.write(testing::requestLine(inspect));
        const auto written = Clock::now();
        const auto answer = testing::readExchange(editor, 10).response;
        const double took = secondsSince(written);
        ASSERT_TRUE(answer && answer->ok) << "inspect " << second << "\n" << worker->errorOutput();
        EXPECT_LT(took, 1.0) << "inspect " << second;
        slowest = std::max(slowest, took);
    }
    stop = true;
    const int editorDropped = editorFlood.get();
    const int mcpDropped = mcpFlood.get();
    std::printf("slowest inspect %.3f s; flooding clients dropped %d and %d times\n", slowest, editorDropped,
                mcpDropped);
    EXPECT_GE(editorDropped, 1);
    EXPECT_GE(mcpDropped, 1);

    editor.write(testing::requestLine(request("alive", CommandMethod::ping, CommandChannel::ui)));
    const auto alive = testing::readExchange(editor).response;
    EXPECT_TRUE(alive && alive->ok);
    EXPECT_EQ(worker->errorOutput().find("stopping"), std::string::npos) << worker->errorOutput();
}

TEST_F(WorkerConnectionsTest, AClientThatNeverReadsALargeAnswerIsClosedAndCostsOneAnswer) {
    auto worker = start("3");
    SocketConnection editor(socket());
    // One line running far past the page: its text and character boxes make an answer many times
    // the size of a socket's buffer.
    const CommandResponse opened = openFromEditor(
        editor, testing::makePdf({testing::TestPage{612, 792, std::string(40'000, 'k'), false}}));
    ASSERT_TRUE(opened.ok);
    auto extract = request("text", CommandMethod::extractText, CommandChannel::ui);
    extract.params.sessionId = opened.result->sessionId;
    extract.params.pageId = opened.result->pages->front().id;
    editor.write(testing::requestLine(extract));
    const auto first = testing::readExchange(editor).response;
    ASSERT_TRUE(first && first->ok);
    const std::size_t answerBytes = CommandJSON::encode(*first).size();
    ASSERT_GT(answerBytes, 2'000'000u);
    const long before = statusKiB(worker->pid(), "VmRSS");

    // The greedy client makes an edit, then asks for the text again and again and reads nothing.
    SocketConnection greedy(socket());
    ASSERT_TRUE(greedy.authenticate("ui-token"));
    auto highlight = request("edit", CommandMethod::addHighlight, CommandChannel::ui);
    highlight.params = extract.params;
    highlight.params.rect = PDFRect{72, 600, 300, 630};
    std::string asks = testing::requestLine(highlight);
    for (int i = 0; i < 20; ++i) {
        auto again = request("greedy-" + std::to_string(i), CommandMethod::extractText, CommandChannel::ui);
        again.params = extract.params;
        again.progress = true;
        asks += testing::requestLine(again);
    }
    greedy.write(asks);
    const auto asked = Clock::now();

    for (int i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        editor.write(testing::requestLine(request("meanwhile", CommandMethod::ping, CommandChannel::ui)));
        const auto answer = testing::readExchange(editor, 5).response;
        EXPECT_TRUE(answer && answer->ok) << "ping " << i;
    }
    ASSERT_TRUE(endedByWorker(greedy, 30)) << "the greedy client was never closed";
    const double closedAfter = secondsSince(asked);
    const long peak = statusKiB(worker->pid(), "VmHWM");
    std::printf(
        "answer %zu bytes; greedy client closed after %.1f s; worker resident %ld KiB before, peak %ld KiB\n",
        answerBytes, closedAfter, before, peak);
    EXPECT_GE(closedAfter, 2.5);
    // It got what fitted in the socket, never the whole of one answer.
    const long received = drain(greedy, 5);
    EXPECT_GE(received, 0);
    EXPECT_LT(received, static_cast<long>(answerBytes));
    // One answer held for it at a time, however many it asked for.
    EXPECT_LT(peak - before, static_cast<long>(6 * answerBytes / 1024)) << "peak " << peak << " KiB";

    // Its edit stays, as for any client that went away.
    editor.write(testing::requestLine(extract));
    const auto after = testing::readExchange(editor).response;
    ASSERT_TRUE(after && after->ok);
    EXPECT_EQ(after->result->revision, *opened.result->revision + 1);
}

TEST_F(WorkerConnectionsTest, ConnectionsWaitingForHelloAreFewAndShortLived) {
    auto worker = start("60");

    // More than 64 KiB without a line end before hello: refused at once, not kept growing.
    SocketConnection talker(socket());
    talker.write(std::string(70'000, 'x'));
    const auto refused = talker.readLine(5);
    ASSERT_TRUE(refused.has_value());
    EXPECT_NE(refused->find("unauthorized"), std::string::npos) << *refused;
    EXPECT_FALSE(talker.readLine(5).has_value());

    // Another user may reach the socket here, as on a machine where its folder is shared.
    fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    fs::permissions(socket(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                  fs::perms::group_write | fs::perms::others_read | fs::perms::others_write);

    // Thirty-two silent connections of another user hold every place; that user's next one is
    // closed at once.
    const auto opened = Clock::now();
    const auto silent = strangersConnections(socket(), 32);
    if (silent.empty()) GTEST_SKIP() << "needs to run as root to connect as another user";
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto extra = strangersConnections(socket(), 1);
    EXPECT_TRUE(endedByWorker(*extra.at(0), 5)) << "a 33rd connection waiting for hello was kept";

    // This user's own processes (the editor, the connector) never wait behind them.
    {
        SocketConnection editor(socket());
        EXPECT_TRUE(editor.authenticate("ui-token"));
        SocketConnection connector(socket());
        EXPECT_TRUE(connector.authenticate("mcp-token"));
    }

    // Each is closed ten seconds after it came, with no hello.
    for (const auto& connection : silent) {
        EXPECT_TRUE(endedByWorker(*connection, std::max(0.0, 20 - secondsSince(opened))));
    }
    EXPECT_GE(secondsSince(opened), 9.5);
    EXPECT_LT(secondsSince(opened), 20.0);

    // Their places are free again.
    const auto later = strangersConnections(socket(), 1);
    EXPECT_FALSE(endedByWorker(*later.at(0), 1)) << "a place did not come back";
}

// Long unfinished lines of all connections together hold at most two of the longest a client may
// send: the connection whose line would pass that is answered at once and its line dropped, and
// every connection goes on as before.
TEST_F(WorkerConnectionsTest, LongUnfinishedLinesShareOneBudget) {
    auto worker = start("60");
    std::vector<std::unique_ptr<SocketConnection>> senders;
    for (int i = 0; i < 3; ++i) {
        senders.push_back(std::make_unique<SocketConnection>(socket()));
        ASSERT_TRUE(senders.back()->authenticate("ui-token"));
    }
    const std::string part(60 * 1024 * 1024, 'x');
    senders[0]->write(part);
    senders[1]->write(part);
    senders[2]->write(part);

    const auto refused = senders[2]->readLine(10);
    ASSERT_TRUE(refused.has_value()) << "the third long line was kept";
    const auto answer = CommandJSON::decodeResponse(*refused);
    EXPECT_EQ(answer.id, "invalid");
    ASSERT_TRUE(answer.error.has_value());
    EXPECT_EQ(answer.error->code, "invalid_json");
    EXPECT_NE(answer.error->message.find("too many long commands"), std::string::npos)
        << answer.error->message;
    EXPECT_FALSE(senders[0]->readLine(0.5).has_value());
    EXPECT_FALSE(senders[1]->readLine(0.5).has_value());

    for (int i = 0; i < 3; ++i) senders[static_cast<size_t>(i)]->write("\n");
    for (int i = 0; i < 2; ++i) {
        const auto ended = senders[static_cast<size_t>(i)]->readLine(10);
        ASSERT_TRUE(ended.has_value()) << i;
        EXPECT_NE(ended->find("Command was not valid JSON."), std::string::npos) << *ended;
    }
    for (int i = 0; i < 3; ++i) {
        auto& sender = *senders[static_cast<size_t>(i)];
        sender.write(testing::requestLine(request("after", CommandMethod::ping, CommandChannel::ui)));
        const auto pong = testing::readExchange(sender, 10).response;
        EXPECT_TRUE(pong && pong->ok && pong->id == "after") << i;
    }
    const long peak = statusKiB(worker->pid(), "VmHWM");
    std::printf("worker peak resident %ld KiB\n", peak);
}

// Long unfinished lines cost memory only while they are held: once their clients have gone, the
// worker's resident memory is back near where it was before they came.
TEST_F(WorkerConnectionsTest, TheMemoryOfLongUnfinishedLinesIsGivenBackWhenTheirClientsGo) {
    auto worker = start("60");
    const auto resident = [&] { return statusKiB(worker->pid(), "VmRSS"); };
    // PDFium takes its memory with the first document; that is not what is measured here.
    SocketConnection editor(socket());
    ASSERT_TRUE(openFromEditor(editor, testing::makePdf()).ok);
    const long before = resident();
    const std::string part(60 * 1024 * 1024, 'x');
    for (int round = 0; round < 3; ++round) {
        std::vector<std::unique_ptr<SocketConnection>> senders;
        for (int i = 0; i < 3; ++i) {
            senders.push_back(std::make_unique<SocketConnection>(socket()));
            ASSERT_TRUE(senders.back()->authenticate("ui-token"));
            senders.back()->write(part);
        }
        ASSERT_TRUE(senders[2]->readLine(10).has_value()) << "the third long line was kept";
        // Two lines end and are refused as JSON; the third is left unfinished as its client goes.
        for (int i = 0; i < 2; ++i) {
            senders[static_cast<std::size_t>(i)]->write("\n");
            ASSERT_TRUE(senders[static_cast<std::size_t>(i)]->readLine(10).has_value()) << i;
        }
    }
    const long peak = statusKiB(worker->pid(), "VmHWM");
    // The connections' threads end on their own time; what they kept shows once they have.
    const long allowance = 48 * 1024;
    for (const auto start = Clock::now(); resident() - before >= allowance && secondsSince(start) < 10;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const long after = resident();
    std::printf("worker resident %ld KiB before, peak %ld KiB, %ld KiB after\n", before, peak, after);
    EXPECT_LT(after - before, allowance);
    // A control: the lines did take memory while they were held.
    EXPECT_GT(peak - before, allowance);
}

}  // namespace
}  // namespace kivo
