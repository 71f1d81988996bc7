#include "app/shell/updates.hpp"

#include <system_error>

#include <QMetaObject>

namespace kivo {

UpdateController::UpdateController(Http::Address feed, std::string currentVersion, QObject* parent)
    : QObject(parent), feed_(std::move(feed)), currentVersion_(std::move(currentVersion)) {
    qRegisterMetaType<UpdateFeed::Outcome>();
}

// The jthread asks the fetch to stop and joins it before the members it reads go.
UpdateController::~UpdateController() = default;

void UpdateController::checkForUpdates() {
    if (checking_) return;
    checking_ = true;
    if (thread_.joinable()) thread_.join();
    thread_ = std::jthread([this, feed = feed_, current = currentVersion_](std::stop_token stop) {
        UpdateFeed::Outcome outcome = UpdateFeed::check(feed, current, stop);
        if (stop.stop_requested()) return;
        // Posted to the controller: when it is gone first, the outcome is dropped with its events.
        QMetaObject::invokeMethod(
            this,
            [this, outcome = std::move(outcome)] {
                checking_ = false;
                emit checked(outcome);
            },
            Qt::QueuedConnection);
    });
}

Updates::Updates(std::optional<Http::Address> feed, std::string currentVersion) {
    if (feed) controller_ = std::make_unique<UpdateController>(std::move(*feed), std::move(currentVersion));
}

std::unique_ptr<Updates> Updates::installed() {
    return std::make_unique<Updates>(UpdateFeed::configuredFeed(installedConfiguration()));
}

std::filesystem::path Updates::installedConfiguration() {
    std::error_code error;
    const auto program = std::filesystem::canonical("/proc/self/exe", error);
    if (error) return {};
    return (program.parent_path() / KIVO_UPDATE_CONFIGURATION).lexically_normal();
}

std::string Updates::currentEditorVersion() { return KIVO_PDF_VERSION; }

}  // namespace kivo
