#include "sandbox/worker_sandbox.hpp"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/file_creation.hpp"
#include "core/ipc_paths.hpp"
#include "core/worker_limits.hpp"
#include "core/engine_failure.hpp"
#include "sandbox/linux_confinement.hpp"

namespace kivo::WorkerSandbox {

std::string quoted(std::string_view path) {
    std::string doubled;
    for (const char c : path) {
        if (c == '\\') doubled += '\\';
        doubled += c;
    }
    std::string out = "\"";
    for (const char c : doubled) {
        if (c == '"') out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

std::string dotfiles(std::string_view home) {
    std::string out = "#\"^";
    for (const char c : home) {
        if (std::strchr("\\^$.|?*+()[]{}\"", c) != nullptr && c != '\0') out += '\\';
        out += c;
    }
    out += "/\\.\"";
    return out;
}

std::string profile(std::string_view ipc, std::string_view support, std::string_view home) {
    const std::string library = std::string(home) + "/Library";
    const auto sub = [](const std::string& path) {
        return "    (subpath " + WorkerSandbox::quoted(path) + ")";
    };
    const std::vector<std::string> lines = {
        "(version 1)",
        "(allow default)",
        "",
        "; Network: only Unix sockets in the editor's IPC directory, which carry commands.",
        "(deny network*)",
        "(allow network* (local unix-socket (subpath " + WorkerSandbox::quoted(ipc) +
            ")) (remote unix-socket (subpath " + WorkerSandbox::quoted(ipc) + ")))",
        "",
        "; No other programs.",
        "(deny process-exec* process-fork)",
        "",
        "; No reading or writing dotfiles in the home folder, keychains, cookies, mail, messages, accounts, "
        "calendars, Safari,",
        "; or other apps' support files and shared containers. Their metadata stays readable, so resolving a "
        "path "
        "still works.",
        "(deny file-read-data file-write*",
        "    (regex " + dotfiles(home) + ")",
        sub(library + "/Keychains"),
        sub(library + "/Cookies"),
        sub(library + "/Mail"),
        sub(library + "/Messages"),
        sub(library + "/Accounts"),
        sub(library + "/Calendars"),
        sub(library + "/Safari"),
        sub(library + "/Application Support"),
        sub(library + "/Group Containers") + ")",
        "",
        "; No writing where software is installed, configured, or starts from.",
        "(deny file-write*",
        sub(library),
        "    (subpath \"/Applications\")",
        "    (subpath \"/Library\")",
        "    (subpath \"/usr/local\")",
        "    (subpath \"/opt\")",
        "    (subpath \"/private/etc\"))",
        "",
        "; Documents in iCloud Drive, in cloud storage folders, and opened from Mail stay writable, and the "
        "editor's support",
        "; folder stays usable.",
        "(allow file-write*",
        sub(library + "/Mobile Documents"),
        sub(library + "/CloudStorage"),
        sub(library + "/Containers/com.apple.mail/Data/Library/Mail Downloads") + ")",
        "(allow file-read-data file-write* (subpath " + WorkerSandbox::quoted(support) + "))",
    };
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i > 0) text += '\n';
        text += lines[i];
    }
    return text;
}

namespace {

std::filesystem::path withoutLinks(const std::filesystem::path& path) {
    std::error_code error;
    auto result = std::filesystem::weakly_canonical(path, error);
    return error ? path : result;
}

}  // namespace

void apply(const std::filesystem::path& ipc, const std::filesystem::path& support,
           const std::filesystem::path& home) {
    FileCreation::makeFolders(support);
    const auto ipcPath = withoutLinks(ipc).string();
    const auto supportPath = withoutLinks(support).string();
    const auto homePath = withoutLinks(home).string();
    std::string reason;
    try {
        LinuxConfinement::apply(ipcPath, supportPath, homePath);
        return;
    } catch (const std::exception& error) {
        reason = error.what();
    } catch (...) {
        reason = "an unknown error";
    }
    throw EngineFailure(FailureCode::sandbox, failurePrefix + reason);
}

bool isSandboxed(pid_t pid) { return LinuxConfinement::isSandboxed(pid); }

bool switchedOff(const char* value) noexcept { return value != nullptr && std::strcmp(value, "off") == 0; }

std::string describe(const std::exception& error) {
    if (const auto* failure = dynamic_cast<const EngineFailure*>(&error)) {
        return std::string(rawValue(failure->code)) + ": " + failure->message;
    }
    return error.what();
}

void applyForWorker(const std::filesystem::path& ipc) {
    if (switchedOff(std::getenv(switchVariable))) {
        const std::string line = "kivo-pdf-worker: sandbox off (KIVO_PDF_WORKER_SANDBOX=off)\n";
        [[maybe_unused]] auto written = ::write(STDERR_FILENO, line.data(), line.size());
        return;
    }
    std::string line;
    try {
        apply(ipc, IPCPaths::supportDirectory(), IPCPaths::homeDirectory());
        return;
    } catch (const std::exception& error) {
        line = "kivo-pdf-worker: " + describe(error) + "\n";
    }
    [[maybe_unused]] auto written = ::write(STDERR_FILENO, line.data(), line.size());
    std::exit(WorkerExit::sandboxFailed);
}

}  // namespace kivo::WorkerSandbox
