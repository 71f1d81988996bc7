#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "sandbox/linux_confinement.hpp"

namespace kivo::testing {

struct ChildOutcome {
    int exitStatus = -1;  // -1 when the child did not exit normally
    std::string report;   // what the child wrote to its report descriptor
};

// Runs `body` in a forked child, so whatever it confines or ends stays out of
// the test runner. `body` gets a descriptor to write its report to and
// returns the child's exit status.
inline ChildOutcome inChild(const std::function<int(int reportFd)>& body, bool reportIsStderr = false) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return {};
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeFds[0]);
        if (reportIsStderr) ::dup2(pipeFds[1], STDERR_FILENO);
        const int status = body(pipeFds[1]);
        ::_exit(status);
    }
    ::close(pipeFds[1]);
    ChildOutcome outcome;
    char buffer[4096];
    for (;;) {
        const ssize_t count = ::read(pipeFds[0], buffer, sizeof buffer);
        if (count <= 0) break;
        outcome.report.append(buffer, static_cast<std::size_t>(count));
    }
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    outcome.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
}

inline void writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t count = ::write(fd, text.data() + done, text.size() - done);
        if (count <= 0) return;
        done += static_cast<std::size_t>(count);
    }
}

inline bool landlockAvailable() { return LinuxConfinement::landlockABI() >= 1; }

}  // namespace kivo::testing
