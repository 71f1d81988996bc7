#pragma once

// The editor's road from a PDF file to paper: the choices of the print dialog as CUPS options, the
// job handed to the CUPS scheduler (every page scaled to fit the paper), and "print to file",
// which copies the PDF. No dialog here: desktop_print_service.hpp shows it.
//
// Each operation throws PrintFailure with the reason for the user; nothing fails silently.

#include <filesystem>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "workspace/workspace_services.hpp"

namespace kivo {

// A reason for the user, a phrase without a final full stop ("the printer or class does not exist").
class PrintFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

namespace CupsPrinting {

using Options = std::vector<std::pair<std::string, std::string>>;

// The options of a job for the choice: always "fit-to-page", then copies, collation, page
// ranges and sides where the choice says something.
Options options(const PrintChoice& choice);

// Submits the job's PDF, read through its descriptor, as one job titled with the job's title to the
// choice's printer (with the options of its instance under ours) and returns the job id. Throws
// PrintFailure with the scheduler's reason, or when the PDF cannot be read whole (the job is then
// cancelled).
int submit(const PrintJob& job, const PrintChoice& choice);

// Copies the job's PDF, read through its descriptor, to `destination`, replacing a file there only once
// the copy is whole, through a link only when it is this user's. Throws PrintFailure when the PDF
// cannot be read, the copy cannot be written or the destination is a link of another user (the
// destination is then as it was), and when something else took the destination's name as the copy
// was put there.
void copyToFile(const PrintJob& job, const std::filesystem::path& destination);

}  // namespace CupsPrinting

}  // namespace kivo
