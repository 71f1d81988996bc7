#pragma once

// The print service of the window: the desktop's print dialog and CUPS (DesktopPrintService), over the
// window given with setWindow() once it exists (over none until then). Fails as DesktopPrintService does.

#include <QPointer>
#include <QWidget>

#include "workspace/workspace_services.hpp"

namespace kivo {

class WindowPrintService : public PrintService {
public:
    void setWindow(QWidget* window) { window_ = window; }

    std::optional<PrintChoice> choose(const PrintJob& job) override;
    PrintOutcome output(const PrintJob& job, const PrintChoice& choice) override;

private:
    QPointer<QWidget> window_;
};

}  // namespace kivo
