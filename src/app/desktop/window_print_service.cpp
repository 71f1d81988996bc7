#include "app/desktop/window_print_service.hpp"

#include "app/print/desktop_print_service.hpp"

namespace kivo {

std::optional<PrintChoice> WindowPrintService::choose(const PrintJob& job) {
    return DesktopPrintService(window_).choose(job);
}

PrintOutcome WindowPrintService::output(const PrintJob& job, const PrintChoice& choice) {
    return DesktopPrintService::carryOut(job, choice);
}

}  // namespace kivo
