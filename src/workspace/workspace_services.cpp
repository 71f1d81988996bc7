#include "workspace/workspace_services.hpp"

#include <QGuiApplication>
#include <QScreen>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string_view>
#include <system_error>

#include "assistant/keychain_key.hpp"
#include "core/safe_files.hpp"

namespace kivo {
namespace {

class CancellingPrompts : public Prompts {
public:
    std::optional<std::string> askPassword(const std::string&, const std::string&,
                                           const std::string&) override {
        return std::nullopt;
    }
    std::optional<std::string> askText(const std::string&, const std::string&, const std::string&,
                                       const std::string&) override {
        return std::nullopt;
    }
    StaleFileChoice askStaleFile() override { return StaleFileChoice::cancel; }
};

class ClosedFileDialogs : public FileDialogs {
public:
    std::optional<std::filesystem::path> chooseOpenPdf(const std::string&) override { return std::nullopt; }
    std::optional<std::filesystem::path> chooseSavePdf(const std::string&, const std::string&,
                                                       const std::filesystem::path&) override {
        return std::nullopt;
    }
    std::optional<std::filesystem::path> chooseImage(const std::filesystem::path&) override {
        return std::nullopt;
    }
    std::vector<std::filesystem::path> choosePaths(const std::string&, PathKind) override { return {}; }
};

class NoClipboard : public Clipboard {
public:
    void setText(const std::string&) override {}
};

class NoPrinter : public PrintService {
public:
    std::optional<PrintChoice> choose(const PrintJob&) override { return std::nullopt; }
    PrintOutcome output(const PrintJob&, const PrintChoice&) override { return PrintOutcome::cancelled(); }
};

class EmptyKeyStore : public KeyStore {
public:
    std::optional<std::string> read(const std::string&) override { return std::nullopt; }
    std::optional<KeychainKey::Place> storedPlace(const std::string&) override { return std::nullopt; }
    KeychainKey::Place save(const std::string&, const std::string&) override {
        return KeychainKey::Place::keyring;
    }
    void remove(const std::string&) override {}
};

class SteadyClock : public Clock {
public:
    std::chrono::steady_clock::time_point now() const override { return std::chrono::steady_clock::now(); }
};

template <class Interface, class Default>
void fill(std::shared_ptr<Interface>& service) {
    if (!service) service = std::make_shared<Default>();
}

}  // namespace

// The worker could have put a link, a second name of a private file or a FIFO at the copy's name,
// and may swap it again at any time: the name is opened once, and only that descriptor is read.
bool PrintJob::take() {
    SafeFiles::ReadableFile copy = SafeFiles::openUntrusted(path, maxBytes);
    std::array<char, 5> head{};
    if (!copy.fd || ::pread(copy.fd.get(), head.data(), head.size(), 0) != 5 ||
        std::string_view(head.data(), head.size()) != "%PDF-") {
        return false;
    }
    size = copy.size;
    file = std::make_shared<const Descriptor>(std::move(copy.fd));
    return true;
}

void PrintJob::read(const std::function<void(const char*, std::size_t)>& take) const {
    if (!file || !*file)
        throw std::system_error(EBADF, std::generic_category(), "the PDF to print was not opened");
    std::array<char, 1 << 16> buffer{};
    // By offset, so no earlier read moves where this one starts, and never past the size checked
    // at the open, whatever the worker appends since.
    for (std::int64_t done = 0; done < size;) {
        const auto want = static_cast<std::size_t>(std::min<std::int64_t>(size - done, buffer.size()));
        const ssize_t got = ::pread(file->get(), buffer.data(), want, static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0)
            throw std::system_error(errno, std::generic_category(), "the PDF to print could not be read");
        if (got == 0) throw std::system_error(EIO, std::generic_category(), "the PDF to print was cut short");
        take(buffer.data(), static_cast<std::size_t>(got));
        done += got;
    }
}

std::optional<std::string> KeychainKeyStore::read(const std::string& provider) {
    return KeychainKey::read(provider);
}

std::optional<KeychainKey::Place> KeychainKeyStore::storedPlace(const std::string& provider) {
    return KeychainKey::placeOf(provider);
}

KeychainKey::Place KeychainKeyStore::save(const std::string& key, const std::string& provider) {
    return KeychainKey::save(key, provider);
}

void KeychainKeyStore::remove(const std::string& provider) { KeychainKey::remove(provider); }

double MainScreen::backingScale() const {
    const QScreen* screen = qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr
                                ? QGuiApplication::primaryScreen()
                                : nullptr;
    return screen != nullptr ? screen->devicePixelRatio() : 2.0;
}

WorkspaceServices WorkspaceServices::withDefaults() const {
    WorkspaceServices services = *this;
    fill<WorkerHost, DesktopWorkerHost>(services.workerHost);
    fill<Prompts, CancellingPrompts>(services.prompts);
    fill<FileDialogs, ClosedFileDialogs>(services.fileDialogs);
    fill<Clipboard, NoClipboard>(services.clipboard);
    fill<PrintService, NoPrinter>(services.printer);
    fill<KeyStore, EmptyKeyStore>(services.keyStore);
    fill<Clock, SteadyClock>(services.clock);
    fill<EditorSettings, EditorSettings>(services.settings);
    fill<Screen, MainScreen>(services.screen);
    return services;
}

}  // namespace kivo
