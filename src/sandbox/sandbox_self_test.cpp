#include "sandbox/sandbox_self_test.hpp"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <system_error>
#include <iostream>
#include <memory>

#include "core/descriptor.hpp"
#include "core/document_files.hpp"
#include "core/engine_failure.hpp"
#include "core/file_creation.hpp"
#include "core/ipc_paths.hpp"
#include "core/json_writer.hpp"
#include "core/worker_limits.hpp"
#include "sandbox/worker_sandbox.hpp"

namespace kivo {
namespace SandboxSelfTest {
namespace {

constexpr const char* probeFolderName = "kivo-pdf-sandbox-probe";

namespace fs = std::filesystem;

int connectLocalTCP() {
    const Descriptor socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket) return errno;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(9);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int result = ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    return result == 0 ? 0 : errno;
}

int spawn(const std::string& path) {
    char* const arguments[] = {const_cast<char*>(path.c_str()), nullptr};
    char* const environment[] = {nullptr};
    pid_t child = 0;
    const int result = ::posix_spawn(&child, path.c_str(), nullptr, nullptr, arguments, environment);
    if (result == 0) {
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {}
    }
    return result;
}

int listFolder(const fs::path& path) {
    const std::unique_ptr<DIR, int (*)(DIR*)> directory(::opendir(path.c_str()), ::closedir);
    return directory ? 0 : errno;
}

int createFile(const fs::path& path) {
    ::unlink(path.c_str());
    Descriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!file) return errno;
    file.reset();
    ::unlink(path.c_str());
    return 0;
}

int readOneByte(const fs::path& path) {
    const Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file) return errno;
    char byte = 0;
    ssize_t count = 0;
    do {
        count = ::read(file.get(), &byte, 1);
    } while (count < 0 && errno == EINTR);
    return count == 1 ? 0 : (count < 0 ? errno : EIO);
}

int lookUp(const fs::path& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 ? 0 : errno;
}

// The first font file of the system's font folder, in name order, so the
// probe reads the same file on every run.
fs::path firstSystemFont() {
    const fs::path fonts = "/usr/share/fonts";
    std::vector<fs::path> found;
    std::error_code error;
    for (fs::recursive_directory_iterator it(fonts, error), end; !error && it != end; it.increment(error)) {
        const auto extension = it->path().extension().string();
        if (it->is_regular_file(error) &&
            (extension == ".ttf" || extension == ".otf" || extension == ".ttc" || extension == ".pfb")) {
            found.push_back(it->path());
        }
    }
    if (found.empty()) return fonts;
    return *std::min_element(found.begin(), found.end());
}

// A document saved or opened as the worker does for a client: 0, EPERM for a place the worker may
// not use, or the error number of the failure.
int documentErrno(const std::function<void()>& action) {
    try {
        action();
        return 0;
    } catch (const EngineFailure& failure) {
        return failure.code == FailureCode::permissionDenied ? EPERM : EIO;
    } catch (const std::filesystem::filesystem_error& error) {
        return error.code().value();
    } catch (...) {
        return EIO;
    }
}

int saveDocument(const fs::path& path) {
    return documentErrno([&] {
        DocumentFiles::replaceFile(
            path,
            [](int fd) {
                if (::write(fd, "%PDF-1.7\n", 9) != 9)
                    throw std::system_error(errno, std::generic_category());
            },
            SafeFiles::ReplaceOptions{});
    });
}

int openDocument(const fs::path& path) {
    int result = 0;
    const int thrown = documentErrno([&] {
        const SafeFiles::ReadableFile file = DocumentFiles::openForReading(path);
        char byte = 0;
        if (!file.fd) {
            result = file.error;
        } else if (::read(file.fd.get(), &byte, 1) != 1) {
            result = EIO;
        }
    });
    return thrown != 0 ? thrown : result;
}

// What the document probes leave in the home folder goes once the probing process has ended: a
// process of its own, forked before the sandbox, removes it then. The sandboxed process itself may
// remove nothing there.
class ProbeCleanup {
public:
    explicit ProbeCleanup(const fs::path& home) {
        const fs::path folder = home / probeFolderName;
        std::error_code ignored;
        fs::remove_all(folder, ignored);
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            const int kept = ends[0] == 3 ? 3 : ::dup2(ends[0], 3);
            ::syscall(SYS_close_range, kept + 1, ~0U, 0);
            char byte = 0;
            for (;;) {
                errno = 0;
                const ssize_t n = ::read(kept, &byte, 1);
                if (n <= 0 && errno != EINTR) break;
            }
            fs::remove_all(folder, ignored);
            ::_exit(0);
        }
        ::close(ends[0]);
        writeEnd_ = Descriptor(pid_ > 0 ? ends[1] : (::close(ends[1]), -1));
    }
    ~ProbeCleanup() {
        writeEnd_.reset();
        if (pid_ > 0) {
            while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {}
        }
    }

private:
    pid_t pid_ = -1;
    Descriptor writeEnd_;
};

Probe probe(std::string name, std::string expected, int errorNumber) {
    return Probe{std::move(name), std::move(expected), resultFor(errorNumber), errorNumber};
}

}  // namespace

std::string resultFor(int errorNumber) {
    if (errorNumber == 0) return "allowed";
    if (errorNumber == EPERM || errorNumber == EACCES) return "denied";
    return "failed";
}

std::string encode(const Probe& probe) {
    std::string out;
    JsonWriter writer(out);
    writer.beginObject();
    writer.key("errno");
    writer.integer(probe.errorNumber);
    writer.key("expected");
    writer.string(probe.expected);
    writer.key("name");
    writer.string(probe.name);
    writer.key("result");
    writer.string(probe.result);
    writer.endObject();
    return out;
}

std::string encodeError(const std::string& description) {
    std::string text;
    JsonWriter writer(text);
    writer.string(description);
    return "{\"error\": " + text + "}";
}

int listenAt(const std::string& path) {
    sockaddr_un address{};
    // A path that cannot be a socket's is a fault of the set-up, whatever the sandbox allows.
    if (path.size() >= sizeof address.sun_path) return ENAMETOOLONG;
    ::unlink(path.c_str());
    Descriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket) return errno;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size());
    int error = 0;
    if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(socket.get(), 1) != 0) {
        error = errno;
    }
    socket.reset();
    ::unlink(path.c_str());
    return error;
}

Places currentPlaces() {
    Places places;
    places.home = IPCPaths::homeDirectory();
    std::error_code error;
    auto temporary = fs::temp_directory_path(error);
    if (error) temporary = "/tmp";
    places.temporary = fs::weakly_canonical(temporary, error);
    if (error) places.temporary = temporary;
    places.support = IPCPaths::supportDirectory();
    places.ipc = IPCPaths::ipcDirectory();
    places.systemFont = firstSystemFont();
    return places;
}

std::vector<Probe> runProbes(const Places& places) {
    const auto home = places.home.string();
    std::vector<Probe> probes;
    probes.push_back(WorkerSandbox::isSandboxed(::getpid())
                         ? Probe{"sandbox is applied", "allowed", "allowed", 0}
                         : Probe{"sandbox is applied", "allowed", "failed", ESRCH});
    probes.push_back(probe("connect to 127.0.0.1 port 9", "denied", connectLocalTCP()));
    // The worker's socket listens before it is confined; nothing new may appear beside it.
    probes.push_back(probe("listen on a socket in the IPC directory", "denied",
                           listenAt((places.ipc / "self-test.sock").string())));
    probes.push_back(probe("listen on a socket in the temporary directory", "denied",
                           listenAt((places.temporary / "kivo-pdf-self-test.sock").string())));
    probes.push_back(probe("start /usr/bin/true", "denied", spawn("/usr/bin/true")));
    probes.push_back(
        probe("list ~/.local/share/keyrings", "denied", listFolder(home + "/.local/share/keyrings")));
    probes.push_back(probe("list ~/.local/share", "denied", listFolder(home + "/.local/share")));
    probes.push_back(probe("create a dotfile in the home folder", "denied",
                           createFile(home + "/.kivo-pdf-sandbox-probe")));
    probes.push_back(
        probe("create a file in ~/.cache", "denied", createFile(home + "/.cache/kivo-pdf-sandbox-probe")));
    // Landlock can let a folder be listed only together with every folder
    // below it, so the home folder stays unlisted to keep its dot-folders so.
    probes.push_back(probe("list the home folder", "denied", listFolder(places.home)));
    probes.push_back(probe("read a system font", "allowed", readOneByte(places.systemFont)));
    probes.push_back(probe("look up ~/.local/share", "allowed", lookUp(home + "/.local/share")));
    probes.push_back(probe("create a file in the temporary directory", "allowed",
                           createFile(places.temporary / "kivo-pdf-sandbox-probe")));
    probes.push_back(probe("create a file in the recovery folder", "allowed",
                           createFile(places.support / "recovery" / "sandbox-probe")));
    // Documents are reached as the file system is now: a folder made after the sandbox was applied
    // opens like any other, a hidden one never does.
    const fs::path madeLater = places.home / probeFolderName / "probe.pdf";
    probes.push_back(
        probe("save a document in a new folder of the home folder", "allowed", saveDocument(madeLater)));
    probes.push_back(probe("open that document", "allowed", openDocument(madeLater)));
    probes.push_back(probe("save a document in a new hidden folder of the home folder", "denied",
                           saveDocument(places.home / ("." + std::string(probeFolderName)) / "probe.pdf")));
    probes.push_back(
        probe("open a document in the IPC directory", "denied", openDocument(places.ipc / "self-test.pdf")));
    return probes;
}

// The private folders the probes try to reach are standard, but a fresh account may not have
// them yet; a probe of a missing folder would test the account, not the sandbox. They are made
// owner-only, as their own programs make them; a failure here shows as a "failed" probe.
void preparePrivateFolders(const fs::path& home) {
    for (const fs::path& folder : {home / ".local/share/keyrings", home / ".cache"}) {
        std::error_code error;
        if (fs::exists(folder, error) || !fs::create_directories(folder, error)) continue;
        fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace, error);
    }
}

int run(std::ostream& out, const Places& places) {
    preparePrivateFolders(places.home);
    const ProbeCleanup cleanup(places.home);
    try {
        fs::create_directories(places.ipc);
        fs::permissions(places.ipc, fs::perms::owner_all, fs::perm_options::replace);
        WorkerSandbox::apply(places.ipc, places.support, places.home);
    } catch (const std::exception& error) {
        out << encodeError(WorkerSandbox::describe(error)) << '\n';
        out.flush();
        return WorkerExit::sandboxFailed;
    }
    // The worker's temporary folder is the one the sandbox chose for it.
    Places probed = places;
    std::error_code error;
    probed.temporary = fs::weakly_canonical(FileCreation::temporaryFolder(), error);
    if (error) probed.temporary = FileCreation::temporaryFolder();
    bool asExpected = true;
    for (const auto& probe : runProbes(probed)) {
        asExpected = asExpected && probe.result == probe.expected;
        try {
            out << encode(probe) << '\n';
        } catch (const std::exception&) {
            // Left out of the report; it still counts for the status.
        }
    }
    out.flush();
    return asExpected ? 0 : WorkerExit::sandboxFailed;
}

}  // namespace SandboxSelfTest

int runSandboxSelfTest(std::ostream& out) {
    return SandboxSelfTest::run(out, SandboxSelfTest::currentPlaces());
}

}  // namespace kivo
