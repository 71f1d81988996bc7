#include "sandbox/file_broker.hpp"

#include <fcntl.h>
#include <linux/magic.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "core/descriptor.hpp"
#include "core/file_creation.hpp"
#include "core/safe_files.hpp"

namespace kivo::FileBroker {
namespace {

namespace fs = std::filesystem;
using DocumentFiles::Place;
using DocumentFiles::Use;

// --- The wire between the worker and its broker ------------------------------------------------

enum class Op : std::uint32_t {
    policy = 1,
    read,
    create,
    makeFolders,
    beginReplace,
    commitReplace,
    abortReplace
};

constexpr std::uint32_t followLinkFlag = 1;
constexpr std::uint32_t createFoldersFlag = 2;

struct Request {
    Op op;
    std::uint32_t flags;
    std::uint32_t mode;
    std::uint32_t handle;
};

enum class Outcome : std::uint32_t { ok, failed, refusedPlace, foreignLink, replacedMeanwhile };

struct Response {
    Outcome outcome;
    std::int32_t error;  // errno of a failure
    std::uint32_t place;
    std::uint32_t handle;
    std::uint32_t isRegular;
    std::int64_t size;
};

// A path, or three of them, never more: what arrives beyond is not read at all.
constexpr std::size_t maxMessage = sizeof(Request) + 3 * (PATH_MAX + 1);
// Saves begun and not yet ended; past this a begun save is refused, so a worker cannot make the
// broker hold descriptors without end.
constexpr std::size_t maxReplacements = 16;

bool sendMessage(int channel, const void* head, std::size_t headSize, std::string_view text, int fd) {
    std::array<iovec, 2> parts{iovec{const_cast<void*>(head), headSize},
                               iovec{const_cast<char*>(text.data()), text.size()}};
    msghdr message{};
    message.msg_iov = parts.data();
    message.msg_iovlen = text.empty() ? 1 : 2;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (fd >= 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
    }
    for (;;) {
        const ssize_t sent = ::sendmsg(channel, &message, MSG_NOSIGNAL);
        if (sent >= 0) return static_cast<std::size_t>(sent) == headSize + text.size();
        if (errno != EINTR) return false;
    }
}

// One message: its head, the text after it, and a descriptor that came with it. False at the end
// of the channel or on a message of the wrong shape (a descriptor that came with it is closed).
bool receiveMessage(int channel, void* head, std::size_t headSize, std::string& text, Descriptor* fd) {
    std::string buffer(maxMessage, '\0');
    iovec part{buffer.data(), buffer.size()};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t received = 0;
    do {
        received = ::recvmsg(channel, &message, MSG_CMSG_CLOEXEC);
    } while (received < 0 && errno == EINTR);
    Descriptor passed;
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
         header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) continue;
        const std::size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (std::size_t i = 0; i < count; ++i) {
            int one = -1;
            std::memcpy(&one, CMSG_DATA(header) + i * sizeof(int), sizeof one);
            if (!passed) {
                passed = Descriptor(one);
            } else {
                ::close(one);
            }
        }
    }
    if (received < static_cast<ssize_t>(headSize) || (message.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0) {
        return false;
    }
    std::memcpy(head, buffer.data(), headSize);
    text.assign(buffer.data() + headSize, static_cast<std::size_t>(received) - headSize);
    if (fd != nullptr) *fd = std::move(passed);
    return true;
}

// Texts travel NUL-separated; a path holding a NUL was refused before it got here.
std::vector<std::string> splitTexts(const std::string& text) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t at; (at = text.find('\0', start)) != std::string::npos; start = at + 1) {
        parts.push_back(text.substr(start, at - start));
    }
    parts.push_back(text.substr(start));
    return parts;
}

// --- The policy --------------------------------------------------------------------------------

bool isWithin(const fs::path& path, const fs::path& root) {
    if (root.empty()) return false;
    auto p = path.begin();
    for (auto r = root.begin(); r != root.end(); ++r, ++p) {
        if (r->empty()) continue;
        if (p == path.end() || *p != *r) return false;
    }
    return true;
}

// File systems that hold the kernel's or other processes' state rather than files, wherever they
// are mounted.
bool isPseudoFileSystem(int fd) {
    struct statfs about {};
    if (::fstatfs(fd, &about) != 0) return true;
    switch (static_cast<unsigned long>(about.f_type)) {
        case PROC_SUPER_MAGIC:
        case SYSFS_MAGIC:
        case DEBUGFS_MAGIC:
        case TRACEFS_MAGIC:
        case SECURITYFS_MAGIC:
        case CGROUP_SUPER_MAGIC:
        case CGROUP2_SUPER_MAGIC:
        case BPF_FS_MAGIC:
        case DEVPTS_SUPER_MAGIC:
        case EFIVARFS_MAGIC:
        case PSTOREFS_MAGIC:
        case 0x62656570:  // configfs
        case 0x65735543:  // fusectl
            return true;
        default: return false;
    }
}

// --- The broker's side -------------------------------------------------------------------------

class Server {
public:
    explicit Server(int channel) : channel_(channel) {}

    void run() {
        for (;;) {
            Request request{};
            std::string text;
            if (!receiveMessage(channel_, &request, sizeof request, text, nullptr)) return;
            Response response{};
            Descriptor fd;
            std::string detail;
            try {
                fd = answer(request, text, response);
            } catch (const DocumentFiles::PlaceRefused& refused) {
                response.outcome = Outcome::refusedPlace;
                response.place = static_cast<std::uint32_t>(refused.place);
            } catch (const SafeFiles::WriteRefused& refused) {
                response.outcome = refused.reason == SafeFiles::WriteRefused::Reason::foreignLink
                                       ? Outcome::foreignLink
                                       : Outcome::replacedMeanwhile;
                detail = refused.name + '\0' + refused.what();
            } catch (const fs::filesystem_error& error) {
                response.outcome = Outcome::failed;
                response.error = error.code().value();
                detail = std::string(error.what()) + '\0' + error.path1().string();
            } catch (const std::system_error& error) {
                response.outcome = Outcome::failed;
                response.error = error.code().value();
            } catch (...) {
                response.outcome = Outcome::failed;
                response.error = ENOMEM;
            }
            if (!sendMessage(channel_, &response, sizeof response, detail, fd.get())) return;
        }
    }

private:
    Descriptor answer(const Request& request, const std::string& text, Response& response) {
        response.outcome = Outcome::ok;
        if (request.op == Op::policy) {
            if (policy_ || served_) throw std::system_error(EPERM, std::generic_category());
            const auto parts = splitTexts(text);
            if (parts.size() != 3) throw std::system_error(EINVAL, std::generic_category());
            policy_ = Policy{parts[0], parts[1], parts[2]};
            return Descriptor();
        }
        served_ = true;
        if (!policy_) throw std::system_error(EPERM, std::generic_category());
        switch (request.op) {
            case Op::commitReplace: {
                auto found = replacements_.find(request.handle);
                if (found == replacements_.end()) throw std::system_error(EBADF, std::generic_category());
                const auto replacement = std::move(found->second);
                replacements_.erase(found);
                // The worker chose when to end the save: its folder is judged again where it is now.
                judgeReached(replacement->reached(), Use::save);
                replacement->commit();
                return Descriptor();
            }
            case Op::abortReplace: replacements_.erase(request.handle); return Descriptor();
            default: break;
        }
        const fs::path path = checkedPath(text);
        const SafeFiles::FolderJudge judgeFolder = [this](const fs::path& folder, bool making) {
            refuseIf(policy_->judge(folder, making ? Use::save : Use::open, true),
                     making ? Use::save : Use::open);
        };
        switch (request.op) {
            case Op::read: {
                const SafeFiles::Reached reached = SafeFiles::reach(path, true, false, judgeFolder);
                judgeReached(reached, Use::open);
                SafeFiles::ReadableFile file = SafeFiles::openReached(reached);
                if (!file.fd) throw std::system_error(file.error, std::generic_category());
                if (isPseudoFileSystem(file.fd.get()))
                    throw DocumentFiles::PlaceRefused(Place::system, Use::open);
                response.isRegular = file.isRegular ? 1 : 0;
                response.size = file.size;
                return std::move(file.fd);
            }
            case Op::makeFolders: SafeFiles::reach(path / "-", false, true, judgeFolder); return Descriptor();
            case Op::create: {
                const SafeFiles::Reached reached = SafeFiles::reach(path, false, false, judgeFolder);
                judgeReached(reached, Use::save);
                if (isPseudoFileSystem(reached.folder.get())) {
                    throw DocumentFiles::PlaceRefused(Place::system, Use::save);
                }
                return createIn(reached, request.mode);
            }
            case Op::beginReplace: {
                if (replacements_.size() >= maxReplacements) {
                    throw std::system_error(EMFILE, std::generic_category());
                }
                SafeFiles::ReplaceOptions options;
                options.newFileMode = request.mode & 0666;
                options.followLink = (request.flags & followLinkFlag) != 0;
                options.createFolders = (request.flags & createFoldersFlag) != 0;
                auto replacement = std::make_unique<SafeFiles::Replacement>(
                    path, options, judgeFolder,
                    [this](const SafeFiles::Reached& reached) { judgeReached(reached, Use::save); });
                Descriptor fd(::fcntl(replacement->fd(), F_DUPFD_CLOEXEC, 0));
                if (!fd) throw std::system_error(errno, std::generic_category());
                response.handle = ++lastHandle_;
                replacements_.emplace(response.handle, std::move(replacement));
                return fd;
            }
            default: throw std::system_error(EINVAL, std::generic_category());
        }
    }

    static fs::path checkedPath(const std::string& text) {
        if (text.empty() || text.size() > PATH_MAX || text.find('\0') != std::string::npos ||
            text[0] != '/') {
            throw std::system_error(EINVAL, std::generic_category());
        }
        return fs::path(text);
    }

    static void refuseIf(std::optional<Place> place, Use use) {
        if (place) throw DocumentFiles::PlaceRefused(*place, use);
    }

    // The file at the reached name, judged where the walk found it and, should the two differ (a
    // folder moved meanwhile), where the kernel says its folder is now.
    void judgeReached(const SafeFiles::Reached& reached, Use use) const {
        refuseIf(policy_->judge(reached.realFolder / reached.name, use, false), use);
        const std::string link = "/proc/self/fd/" + std::to_string(reached.folder.get());
        std::string now(PATH_MAX, '\0');
        const ssize_t length = ::readlink(link.c_str(), now.data(), now.size());
        if (length <= 0 || static_cast<std::size_t>(length) >= now.size() || now[0] != '/') return;
        now.resize(static_cast<std::size_t>(length));
        if (fs::path(now) != reached.realFolder) {
            refuseIf(policy_->judge(fs::path(now).lexically_normal() / reached.name, use, false), use);
        }
    }

    static Descriptor createIn(const SafeFiles::Reached& reached, std::uint32_t mode) {
        Descriptor fd(::openat(reached.folder.get(), reached.name.c_str(),
                               O_WRONLY | O_CREAT | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC,
                               FileCreation::newFileMode(static_cast<mode_t>(mode & 0666))));
        if (!fd) throw std::system_error(errno, std::generic_category());
        struct stat status {};
        if (::fstat(fd.get(), &status) != 0) throw std::system_error(errno, std::generic_category());
        if (!S_ISREG(status.st_mode)) throw std::system_error(EINVAL, std::generic_category());
        if (::ftruncate(fd.get(), 0) != 0 ||
            ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK) != 0) {
            throw std::system_error(errno, std::generic_category());
        }
        return fd;
    }

    int channel_;
    std::optional<Policy> policy_;
    bool served_ = false;
    std::uint32_t lastHandle_ = 0;
    std::map<std::uint32_t, std::unique_ptr<SafeFiles::Replacement>> replacements_;
};

// The broker process: no descriptor of the worker's but its channel (a report pipe held open would
// keep a reader waiting for good), no terminal signals (it ends when the worker's end closes), no
// core dump or /proc entry another process of the user could read.
[[noreturn]] void becomeBroker(int channel) {
    const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    for (int standard = 0; standard <= 2; ++standard) {
        if (devNull >= 0) ::dup2(devNull, standard);
    }
    const int kept = channel == 3 ? 3 : ::dup2(channel, 3);
    ::syscall(SYS_close_range, kept + 1, ~0U, 0);
    for (const int signal : {SIGINT, SIGQUIT, SIGHUP, SIGTERM, SIGPIPE}) ::signal(signal, SIG_IGN);
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    try {
        Server(kept).run();
    } catch (...) {}
    ::_exit(0);
}

// --- The worker's side -------------------------------------------------------------------------

class Client final : public DocumentFiles::Broker {
public:
    explicit Client(Descriptor channel) : channel_(std::move(channel)) {}

    SafeFiles::ReadableFile openForReading(const fs::path& path) override {
        Response response{};
        SafeFiles::ReadableFile file;
        file.fd = call(Request{Op::read, 0, 0, 0}, path.string(), response, Use::open);
        file.isRegular = response.isRegular != 0;
        file.size = static_cast<off_t>(response.size);
        if (!file.fd) file.error = response.error != 0 ? response.error : EIO;
        return file;
    }

    Descriptor createForWriting(const fs::path& path, mode_t mode) override {
        Response response{};
        return call(Request{Op::create, 0, static_cast<std::uint32_t>(mode), 0}, path.string(), response,
                    Use::save);
    }

    void makeFolders(const fs::path& folder) override {
        Response response{};
        call(Request{Op::makeFolders, 0, 0, 0}, folder.string(), response, Use::save);
    }

    void replaceFile(const fs::path& destination, const std::function<void(int fd)>& write,
                     const SafeFiles::ReplaceOptions& options) override {
        const std::uint32_t flags =
            (options.followLink ? followLinkFlag : 0) | (options.createFolders ? createFoldersFlag : 0);
        Response begun{};
        Descriptor fd =
            call(Request{Op::beginReplace, flags, static_cast<std::uint32_t>(options.newFileMode), 0},
                 destination.string(), begun, Use::save);
        if (!fd) throw fs::filesystem_error("Could not create the new file", destination, errorOf(begun));
        const std::uint32_t handle = begun.handle;
        try {
            write(fd.get());
        } catch (...) {
            Response ignored{};
            try {
                call(Request{Op::abortReplace, 0, 0, handle}, {}, ignored, Use::save);
            } catch (...) {}
            throw;
        }
        fd.reset();
        Response committed{};
        call(Request{Op::commitReplace, 0, 0, handle}, {}, committed, Use::save);
    }

    // Hands the broker its policy; false when it would not take it.
    bool givePolicy(const Policy& policy) {
        const std::string text =
            policy.home.string() + '\0' + policy.support.string() + '\0' + policy.ipc.string();
        Response response{};
        try {
            call(Request{Op::policy, 0, 0, 0}, text, response, Use::open);
        } catch (const std::exception&) {
            return false;
        }
        return true;
    }

private:
    static std::error_code errorOf(const Response& response) {
        return std::error_code(response.error != 0 ? response.error : EIO, std::generic_category());
    }

    // One request and its answer, turned back into what SafeFiles would have thrown. A broker that
    // is gone answers as an input/output error: the worker can then reach no client file.
    Descriptor call(const Request& request, const std::string& text, Response& response, Use use) {
        std::string detail;
        Descriptor fd;
        {
            std::lock_guard lock(mutex_);
            if (!sendMessage(channel_.get(), &request, sizeof request, text, -1) ||
                !receiveMessage(channel_.get(), &response, sizeof response, detail, &fd)) {
                throw fs::filesystem_error("The worker lost its way to the file", fs::path(text),
                                           std::error_code(EIO, std::generic_category()));
            }
        }
        switch (response.outcome) {
            case Outcome::ok: return fd;
            case Outcome::refusedPlace:
                if (response.place > static_cast<std::uint32_t>(Place::system)) break;
                throw DocumentFiles::PlaceRefused(static_cast<Place>(response.place), use);
            case Outcome::foreignLink: {
                const auto parts = splitTexts(detail);
                const std::string name = parts.empty() ? std::string("The path") : parts[0];
                if (use == Use::open) {
                    throw EngineFailure(FailureCode::permissionDenied,
                                        name + " is a link made by another user, so it was not opened.");
                }
                throw SafeFiles::WriteRefused(
                    SafeFiles::WriteRefused::Reason::foreignLink,
                    name + " is a link made by another user, so nothing was written.", name);
            }
            case Outcome::replacedMeanwhile: {
                const auto parts = splitTexts(detail);
                throw SafeFiles::WriteRefused(
                    SafeFiles::WriteRefused::Reason::replacedMeanwhile,
                    parts.size() > 1 ? parts[1] : std::string("The file was not saved."));
            }
            case Outcome::failed: break;
        }
        // A file that cannot be read is told apart by its reader, as when it opens it itself.
        if (request.op == Op::read) return Descriptor();
        const auto parts = splitTexts(detail);
        if (parts.size() == 2 && !parts[1].empty()) {
            // The broker's own sentence start, without the path and reason the error adds again.
            std::string what = parts[0];
            if (const auto at = what.find(": "); at != std::string::npos) what.resize(at);
            throw fs::filesystem_error(what, fs::path(parts[1]), errorOf(response));
        }
        throw fs::filesystem_error(use == Use::open ? "Could not open the file" : "Could not write the file",
                                   fs::path(text), errorOf(response));
    }

    std::mutex mutex_;
    Descriptor channel_;
};

std::mutex startMutex;
Descriptor earlyChannel;

// A socket pair with the broker forked on its far end; the near end, or nothing.
Descriptor forkBroker() noexcept {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return Descriptor();
    const pid_t child = ::fork();
    if (child < 0) {
        ::close(pair[0]);
        ::close(pair[1]);
        return Descriptor();
    }
    if (child == 0) {
        ::close(pair[0]);
        // A second fork leaves the broker to init, so the worker never has a child to reap.
        const pid_t broker = ::fork();
        if (broker == 0) becomeBroker(pair[1]);
        ::_exit(broker < 0 ? 1 : 0);
    }
    ::close(pair[1]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {}
    Descriptor near(pair[0]);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) near.reset();
    return near;
}

}  // namespace

std::optional<Place> Policy::judge(const fs::path& real, Use use, bool folder) const {
    if (isWithin(real, ipc) || isWithin(real, support)) return Place::ownFiles;
    if (isWithin(real, home) && real != home) {
        const fs::path relative = real.lexically_relative(home);
        const std::string first = relative.begin()->string();
        if (first.starts_with('.')) {
            const bool directly = std::next(relative.begin()) == relative.end();
            return directly && !folder ? Place::hiddenFileInHome : Place::hiddenInHome;
        }
        if (use == Use::save && isWithin(real, home / "bin")) return Place::software;
        return std::nullopt;
    }
    if (isWithin(home, real)) return std::nullopt;  // a folder on the way to the home folder
    for (const char* root : {"/proc", "/sys", "/dev"}) {
        if (isWithin(real, root)) return Place::system;
    }
    // Removable media are mounted below /run; the rest of it is the system's running state.
    if (isWithin(real, "/run") && !isWithin(real, "/run/media") && real != "/run") return Place::system;
    if (use == Use::open) return std::nullopt;
    if (isWithin(real, "/var/tmp")) return std::nullopt;
    for (const char* root : {"/usr", "/etc", "/opt", "/boot", "/bin", "/sbin", "/lib", "/lib32", "/lib64",
                             "/libx32", "/var", "/snap", "/srv"}) {
        if (isWithin(real, root)) return Place::software;
    }
    return std::nullopt;
}

bool startEarly() noexcept {
    std::lock_guard lock(startMutex);
    if (!earlyChannel) earlyChannel = forkBroker();
    return static_cast<bool>(earlyChannel);
}

void install(const Policy& policy, std::vector<fs::path> ownFolders) {
    Descriptor channel;
    {
        std::lock_guard lock(startMutex);
        channel = std::move(earlyChannel);
    }
    if (!channel) channel = forkBroker();
    if (!channel) throw std::system_error(errno != 0 ? errno : EAGAIN, std::generic_category());
    auto client = std::make_shared<Client>(std::move(channel));
    if (!client->givePolicy(policy)) throw std::system_error(EPROTO, std::generic_category());
    DocumentFiles::useBroker(std::move(client), std::move(ownFolders));
}

}  // namespace kivo::FileBroker
