#include "core/line_io.hpp"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <system_error>
#include <thread>

#include "core/command_json.hpp"
#include "socket_pair.hpp"

namespace kivo {
namespace {

using testing::SocketPair;

std::error_code errorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::system_error& e) {
        return e.code();
    }
    return {};
}

TEST(LineReader, JoinedAndSplitLines) {
    SocketPair pair;
    LineReader reader;
    writeAll(pair.writer, "one\ntwo\r\n");
    EXPECT_EQ(reader.readLine(pair.reader), "one");
    EXPECT_EQ(reader.pendingSize(), 5u);
    EXPECT_EQ(reader.readLine(pair.reader), "two\r");

    std::thread writer([&] {
        for (const char* part : {"thr", "ee", "", "\nfo", "ur\n"}) {
            writeAll(pair.writer, part);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        pair.closeWriter();
    });
    EXPECT_EQ(reader.readLine(pair.reader), "three");
    EXPECT_EQ(reader.readLine(pair.reader), "four");
    EXPECT_EQ(errorOf([&] { reader.readLine(pair.reader); }), std::errc::broken_pipe);
    writer.join();
}

TEST(LineReader, EndOfStreamAfterPartialLine) {
    SocketPair pair;
    LineReader reader;
    writeAll(pair.writer, "partial");
    pair.closeWriter();
    EXPECT_EQ(errorOf([&] { reader.readLine(pair.reader); }), std::errc::broken_pipe);
}

TEST(LineReader, BadLineIsConsumed) {
    SocketPair pair;
    LineReader reader;
    writeAll(pair.writer, "bad \xC3\x28\ngood\n");
    try {
        reader.readLine(pair.reader);
        FAIL() << "a line that is not UTF-8 was returned";
    } catch (const CommandCodecError& e) {
        EXPECT_EQ(e.kind(), CommandCodecError::Kind::notUTF8);
    }
    EXPECT_EQ(reader.readLine(pair.reader), "good");
}

TEST(LineReader, PendingLimitIs64MiB) {
    for (const std::size_t lineBytes : {LineReader::maxPendingBytes - 1, LineReader::maxPendingBytes}) {
        SocketPair pair;
        LineReader reader;
        std::thread writer([&] {
            std::string message(lineBytes, 'x');
            message.push_back('\n');
            try {
                writeAll(pair.writer, message);
            } catch (const std::system_error&) {
                // The reader gave up first.
            }
            pair.closeWriter();
        });
        if (lineBytes + 1 <= LineReader::maxPendingBytes) {
            EXPECT_EQ(reader.readLine(pair.reader).size(), lineBytes);
        } else {
            try {
                reader.readLine(pair.reader);
                ADD_FAILURE() << "a line above the limit was returned";
            } catch (const CommandCodecError& e) {
                EXPECT_EQ(e.kind(), CommandCodecError::Kind::lineTooLong);
                EXPECT_EQ(e.byteCount(), static_cast<std::int64_t>(LineReader::maxPendingBytes + 1));
            }
            ::shutdown(pair.reader, SHUT_RDWR);
        }
        writer.join();
    }
}

TEST(WriteAll, ClosedPeerIsAnErrorNotASignal) {
    std::signal(SIGPIPE, SIG_DFL);
    SocketPair pair;
    ::close(pair.reader);
    pair.reader = -1;
    EXPECT_EQ(errorOf([&] { writeAll(pair.writer, "hello\n"); }), std::errc::broken_pipe);

    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    writeAll(fds[1], "to a pipe\n");
    ::close(fds[1]);
    LineReader reader;
    EXPECT_EQ(reader.readLine(fds[0]), "to a pipe");
    ::close(fds[0]);
}

}  // namespace
}  // namespace kivo
