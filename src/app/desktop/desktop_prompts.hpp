#pragma once

// The desktop's answers to the workspace's questions: PromptDialog for passwords and texts, and a message
// box for the stale-file choice ("The file on disk has changed": "Save As…", the default, "Overwrite",
// "Cancel"). Each is window-modal over the window given with setWindow() (none until then) and waits with
// waitForDialog(), so worker results keep arriving while it is open. A closed or destroyed dialog answers
// as cancelled. GUI thread only.

#include <QPointer>
#include <QWidget>

#include "workspace/workspace_services.hpp"

namespace kivo {

class DesktopPrompts : public Prompts {
public:
    void setWindow(QWidget* window) { window_ = window; }

    std::optional<std::string> askPassword(const std::string& title, const std::string& detail,
                                           const std::string& button) override;
    std::optional<std::string> askText(const std::string& title, const std::string& detail,
                                       const std::string& initialText, const std::string& button) override;
    StaleFileChoice askStaleFile() override;

private:
    QPointer<QWidget> window_;
};

}  // namespace kivo
