#include "workspace/workspace_services.hpp"

#include <QGuiApplication>
#include <QScreen>

#include "assistant/keychain_key.hpp"

namespace kivo {
namespace {

class CancellingPrompts : public Prompts {
public:
    std::optional<std::string> askPassword(const std::string&, const std::string&, const std::string&) override {
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
    std::optional<std::filesystem::path> chooseOpenPdf() override { return std::nullopt; }
    std::optional<std::filesystem::path> chooseSavePdf(const std::string&, const std::filesystem::path&) override {
        return std::nullopt;
    }
    std::optional<std::filesystem::path> chooseImage(const std::filesystem::path&) override { return std::nullopt; }
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
    KeychainKey::Place save(const std::string&, const std::string&) override { return KeychainKey::Place::keyring; }
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

std::optional<std::string> KeychainKeyStore::read(const std::string& provider) { return KeychainKey::read(provider); }

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
