// kivo-pdf-mcp: the MCP connector an AI client starts on standard input and output.

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <iostream>

#include "mcp/mcp_server.hpp"

namespace {

// Writes the whole line to standard output at once, unbuffered, so each reply
// leaves before the next line is read. A closed pipe shows up as EPIPE.
bool writeToStandardOutput(std::string_view line) {
    while (!line.empty()) {
        const ssize_t n = ::write(STDOUT_FILENO, line.data(), line.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        line.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

int main() {
    std::signal(SIGPIPE, SIG_IGN);
    std::ios::sync_with_stdio(false);
    {
        kivo::MCPServer server(writeToStandardOutput);
        server.run(std::cin);
    }
    return 0;
}
