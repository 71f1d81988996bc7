#pragma once

// Updates: the editor's one software-update holder, made once by the application. Its controller
// exists only when the installation names an update feed (UpdateFeed::configuredFeed); without one,
// "Check for Updates…" stays disabled. The holder never changes after it is made.
//
// UpdateController: checks the feed when the user asks. The fetch runs on a thread of its own, so the
// window never waits for the network; the outcome comes back on the GUI thread as `checked`. One check
// at a time: asking again while one runs does nothing. Destroying the controller stops a running check
// at once, and its outcome is then never reported. GUI thread only; nothing throws.

#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <QObject>

#include "app/shell/update_feed.hpp"

namespace kivo {

class UpdateController : public QObject {
    Q_OBJECT

public:
    // Checks `feed` for a version newer than `currentVersion`.
    UpdateController(Http::Address feed, std::string currentVersion, QObject* parent = nullptr);
    ~UpdateController() override;

    const Http::Address& feed() const { return feed_; }
    bool checking() const { return checking_; }

public slots:
    void checkForUpdates();

signals:
    void checked(const kivo::UpdateFeed::Outcome& outcome);

private:
    const Http::Address feed_;
    const std::string currentVersion_;
    bool checking_ = false;
    std::jthread thread_;
};

class Updates {
public:
    // A holder with a controller for `feed`, or none.
    explicit Updates(std::optional<Http::Address> feed, std::string currentVersion = currentEditorVersion());

    // This installation's: the feed its configuration file names, beside the running program.
    static std::unique_ptr<Updates> installed();
    // Where that configuration file lies: <folder of the program>/<relative path set at build time>.
    static std::filesystem::path installedConfiguration();
    // The version this editor was built as.
    static std::string currentEditorVersion();

    UpdateController* controller() const { return controller_.get(); }

private:
    std::unique_ptr<UpdateController> controller_;
};

}  // namespace kivo
