#include "app/window_print_service.hpp"

#include "app/print/desktop_print_service.hpp"

namespace kivo {

PrintOutcome WindowPrintService::print(const PrintJob& job) { return DesktopPrintService(window_).print(job); }

}  // namespace kivo
