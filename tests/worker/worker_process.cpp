#include "worker_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <thread>

extern char** environ;

namespace kivo::testing {
namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

int remainingMilliseconds(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

// One line from `fd` into `pending`'s front; nothing at end of stream or timeout.
std::optional<std::string> readLineFrom(int fd, std::string& pending, double seconds) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(static_cast<long>(seconds * 1000));
    for (;;) {
        if (const auto end = pending.find('\n'); end != std::string::npos) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            return line;
        }
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, remainingMilliseconds(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return std::nullopt;
        char chunk[65536];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        pending.append(chunk, static_cast<std::size_t>(n));
    }
}

void writeAllTo(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == ENOTSOCK) {
            const ssize_t w = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) fail("write");
            done += static_cast<std::size_t>(w);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail("send");
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace

WorkerProcess::WorkerProcess(const std::vector<std::string>& arguments,
                             const std::map<std::string, std::string>& environment) {
    ::signal(SIGPIPE, SIG_IGN);
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        fail("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);

    std::map<std::string, std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const auto equals = text.find('=');
        if (equals != std::string::npos) merged[text.substr(0, equals)] = text.substr(equals + 1);
    }
    for (const auto& [key, value] : environment) merged[key] = value;
    std::vector<std::string> envText;
    for (const auto& [key, value] : merged) envText.push_back(key + "=" + value);
    std::vector<char*> envp;
    for (auto& text : envText) envp.push_back(text.data());
    envp.push_back(nullptr);

    const std::string program = std::string(KIVO_BIN_DIR) + "/kivo-pdf-worker";
    std::vector<std::string> argText{program};
    argText.insert(argText.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& text : argText) argv.push_back(text.data());
    argv.push_back(nullptr);

    const int result = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
    if (result != 0) {
        errno = result;
        fail("posix_spawn");
    }
}

WorkerProcess::~WorkerProcess() {
    if (!status_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    for (int fd : {in_, out_, err_}) {
        if (fd >= 0) ::close(fd);
    }
}

void WorkerProcess::write(const std::string& bytes) { writeAllTo(in_, bytes); }

void WorkerProcess::closeInput() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
}

std::optional<std::string> WorkerProcess::readLine(double seconds) {
    return readLineFrom(out_, outPending_, seconds);
}

std::string WorkerProcess::errorOutput() {
    for (;;) {
        pollfd p{err_, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0) break;
        char chunk[4096];
        const ssize_t n = ::read(err_, chunk, sizeof chunk);
        if (n <= 0) break;
        errText_.append(chunk, static_cast<std::size_t>(n));
    }
    return errText_;
}

int WorkerProcess::wait(double seconds) {
    if (status_) return *status_;
    const auto deadline = Clock::now() + std::chrono::milliseconds(static_cast<long>(seconds * 1000));
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            errorOutput();
            return *status_;
        }
        if (Clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            status_ = -1;
            return -1;
        }
        errorOutput();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

SocketConnection::SocketConnection(const std::filesystem::path& socket) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) fail("socket");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = socket.string();
    if (path.size() >= sizeof address.sun_path) throw std::invalid_argument("socket path too long");
    std::memcpy(address.sun_path, path.data(), path.size());
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) fail("connect");
}

SocketConnection::~SocketConnection() {
    if (fd_ >= 0) ::close(fd_);
}

void SocketConnection::write(const std::string& bytes) { writeAllTo(fd_, bytes); }

std::optional<std::string> SocketConnection::readLine(double seconds) {
    return readLineFrom(fd_, pending_, seconds);
}

bool SocketConnection::authenticate(const std::string& token) {
    CommandRequest hello;
    hello.id = "hello";
    hello.method = CommandMethod::hello;
    hello.params.token = token;
    write(requestLine(hello));
    const auto answer = readExchange(*this).response;
    return answer && answer->ok;
}

std::unique_ptr<WorkerProcess> startSocketWorker(const std::filesystem::path& socket,
                                                 const std::map<std::string, std::string>& environment) {
    auto worker = std::make_unique<WorkerProcess>(
        std::vector<std::string>{"--socket", socket.string(), "--token-stdin"}, environment);
    worker->write(" ui-token\r\nmcp-token \n");
    worker->closeInput();
    for (int i = 0; i < 400 && worker->errorOutput().find("listening on") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return worker;
}

std::string requestLine(const CommandRequest& request) { return CommandJSON::encode(request); }

}  // namespace kivo::testing
