#pragma once

// What the workspace asks of the application: everything that shows something to the user (file
// panels, prompts, the clipboard, printing), the key store, the clock, the worker's host and the
// settings. The application passes its desktop versions in; tests pass fakes. Left empty, each
// takes the quiet default of withDefaults(), with which the model runs without any window.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "assistant/keychain_key.hpp"
#include "core/descriptor.hpp"
#include "workspace/editor_settings.hpp"
#include "workspace/worker_host.hpp"

namespace kivo {

// Modal questions. Each returns what the user entered, or nothing when they cancelled.
class Prompts {
public:
    enum class StaleFileChoice { saveAs, overwrite, cancel };

    virtual ~Prompts() = default;

    // A masked field: an empty field confirmed counts as cancelled.
    virtual std::optional<std::string> askPassword(const std::string& title, const std::string& detail,
                                                   const std::string& button) = 0;
    // A plain one-line field, starting with `initialText`.
    virtual std::optional<std::string> askText(const std::string& title, const std::string& detail,
                                               const std::string& initialText, const std::string& button) = 0;
    // The file on disk changed since it was opened: save elsewhere, overwrite it, or neither. The
    // alert shows `staleFileMessage` and `staleFileDetail` over the buttons "Save As…" (the
    // default), "Overwrite" and "Cancel".
    virtual StaleFileChoice askStaleFile() = 0;

    static constexpr const char* staleFileMessage = "The file on disk has changed";
    static constexpr const char* staleFileDetail =
        "Overwrite the original, or save a new copy? The last valid file stays until you choose.";
};

// The system's file panels. An empty answer means the user closed the panel.
class FileDialogs {
public:
    virtual ~FileDialogs() = default;

    // Each panel is titled with what it is for (`title`: "Merge PDF", "Save As").
    virtual std::optional<std::filesystem::path> chooseOpenPdf(const std::string& title) = 0;
    // The panels open in `folder` (the open document's) when one is given, else where the desktop chooses.
    virtual std::optional<std::filesystem::path> chooseSavePdf(const std::string& title,
                                                               const std::string& suggestedName,
                                                               const std::filesystem::path& folder) = 0;
    // One PNG, JPEG or WebP image, for an image or signature overlay.
    virtual std::optional<std::filesystem::path> chooseImage(const std::filesystem::path& folder) = 0;
    // The desktop's panels pick files or folders, not both at once, so each has its own.
    enum class PathKind { files, folders };

    // Several files, or several folders, under `message`.
    virtual std::vector<std::filesystem::path> choosePaths(const std::string& message, PathKind kind) = 0;
};

class Clipboard {
public:
    virtual ~Clipboard() = default;
    virtual void setText(const std::string& text) = 0;
};

// One PDF file to print, exported by the worker for the purpose. The worker may write where the
// copy lies, so its name is opened once, checked, and only the descriptor is read after that.
struct PrintJob {
    // The largest copy taken: the worker's PDF module cannot hold a larger document.
    static constexpr std::int64_t maxBytes = std::int64_t{2} << 30;

    // Where the worker exported the copy.
    std::filesystem::path path;
    // The copy as the editor opened it: never through a link, a regular file of this user with
    // no second name, of `size` bytes at most maxBytes, starting as a PDF.
    std::shared_ptr<const Descriptor> file;
    std::int64_t size = 0;
    // The name the print queue shows for the job.
    std::string title;
    // The folder of the document's file, where "print to file" puts the file it names; empty when the
    // document has no file.
    std::filesystem::path folder;
    // For the dialog's page range; 0 when unknown.
    std::int64_t pageCount = 0;

    // Opens the copy at `path` for `file` and `size`. False, with nothing kept, when the name holds
    // anything else, or a file that does not start as a PDF. Never throws.
    bool take();

    // Hands the copy's `size` bytes to `take` in pieces, from the first, whatever was read before.
    // Throws std::system_error when a read fails or the copy ends early.
    void read(const std::function<void(const char* bytes, std::size_t count)>& take) const;
};

struct PrintOutcome {
    enum class Kind { printed, cancelled, failed };

    Kind kind = Kind::printed;
    // Why it failed, a phrase without a final full stop; empty otherwise.
    std::string reason;

    static PrintOutcome printed() { return {Kind::printed, {}}; }
    static PrintOutcome cancelled() { return {Kind::cancelled, {}}; }
    static PrintOutcome failed(std::string reason) { return {Kind::failed, std::move(reason)}; }
};

// What the user chose in the print dialog.
struct PrintChoice {
    enum class Sides { printerDefault, oneSided, longEdge, shortEdge };

    // The CUPS destination, "name" or "name/instance"; empty means the user's default.
    std::string printer{};
    int copies = 1;
    bool collate = true;
    // CUPS's form, "1-3,5"; empty prints every page.
    std::string pageRanges{};
    Sides sides = Sides::printerDefault;
    // Print to file: the PDF is copied there and no printer is involved.
    std::filesystem::path outputFile{};
    // The last page comes out first.
    bool reverse = false;

    bool operator==(const PrintChoice&) const = default;
};

class PrintService {
public:
    virtual ~PrintService() = default;
    // Shows the print dialog for the job: what the user chose, or nothing when they closed it.
    virtual std::optional<PrintChoice> choose(const PrintJob& job) = 0;
    // Hands the job's file to the chosen printer, or copies it to the chosen file. Returns once the
    // system has taken the job, so the file may then be deleted. Never throws: a refusal comes back
    // as `failed` with its reason.
    virtual PrintOutcome output(const PrintJob& job, const PrintChoice& choice) = 0;
};

// The model providers' keys, one per provider id. Each throws a std::exception when the store fails.
class KeyStore {
public:
    virtual ~KeyStore() = default;
    virtual std::optional<std::string> read(const std::string& provider) = 0;
    // Where the key that read() gives is kept; nothing when none is stored.
    virtual std::optional<KeychainKey::Place> storedPlace(const std::string& provider) = 0;
    // Answers whether the key went to the keyring or to the owner-only file.
    virtual KeychainKey::Place save(const std::string& key, const std::string& provider) = 0;
    virtual void remove(const std::string& provider) = 0;
};

// The desktop's key store: the keyring, or the owner-only file when no keyring answers.
class KeychainKeyStore : public KeyStore {
public:
    std::optional<std::string> read(const std::string& provider) override;
    std::optional<KeychainKey::Place> storedPlace(const std::string& provider) override;
    KeychainKey::Place save(const std::string& key, const std::string& provider) override;
    void remove(const std::string& provider) override;
};

// Monotonic time, for counting worker stops.
class Clock {
public:
    virtual ~Clock() = default;
    virtual std::chrono::steady_clock::time_point now() const = 0;
};

// The screen pages are shown on: its backing scale, device pixels per point, read afresh at every
// render. The desktop's is MainScreen; tests pass a fixed one.
class Screen {
public:
    virtual ~Screen() = default;
    virtual double backingScale() const = 0;
};

// The primary screen's devicePixelRatio; 2.0 when there is none (no QGuiApplication, or no screen).
class MainScreen : public Screen {
public:
    double backingScale() const override;
};

struct WorkspaceServices {
    std::shared_ptr<WorkerHost> workerHost;
    std::shared_ptr<Prompts> prompts;
    std::shared_ptr<FileDialogs> fileDialogs;
    std::shared_ptr<Clipboard> clipboard;
    std::shared_ptr<PrintService> printer;
    std::shared_ptr<KeyStore> keyStore;
    std::shared_ptr<Clock> clock;
    std::shared_ptr<EditorSettings> settings;
    std::shared_ptr<Screen> screen;

    // Fills the empty ones: the desktop worker host, prompts that cancel, panels that choose
    // nothing, a clipboard that does nothing, a printer that cancels, a key store without keys (the desktop
    // passes KeychainKeyStore), the steady
    // clock, the settings of the environment's defaults suite, and the main screen.
    WorkspaceServices withDefaults() const;
};

}  // namespace kivo
