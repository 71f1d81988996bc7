#pragma once

// The desktop's file panels for the workspace: Qt's file dialog, window-modal over the window given with
// setWindow(), for one existing PDF, a PDF to save (the suggested name filled in, ".pdf" added when
// missing), one PNG, JPEG or WebP image, any number of files, or one folder (Qt's panel picks one folder
// at a time). Each waits with waitForDialog(); a closed panel answers nothing. GUI thread only.

#include <QPointer>
#include <QWidget>

#include "workspace/workspace_services.hpp"

namespace kivo {

class DesktopFileDialogs : public FileDialogs {
public:
    void setWindow(QWidget* window) { window_ = window; }

    std::optional<std::filesystem::path> chooseOpenPdf(const std::string& title) override;
    std::optional<std::filesystem::path> chooseSavePdf(const std::string& title,
                                                       const std::string& suggestedName,
                                                       const std::filesystem::path& folder) override;
    std::optional<std::filesystem::path> chooseImage(const std::filesystem::path& folder) override;
    std::vector<std::filesystem::path> choosePaths(const std::string& message, PathKind kind) override;

private:
    QPointer<QWidget> window_;
};

}  // namespace kivo
