#pragma once

// What readers other than the worker make of a file it wrote: qpdf and poppler's command-line
// tools, run as a person would run them.

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace kivo::testing {

struct ToolRun {
    int status = -1;
    std::string output;
};

// `program` (with its options) on `file`, standard error folded into the output unless left out.
ToolRun runTool(const std::string& program, const std::filesystem::path& file, bool withErrors = true);
bool haveTool(const char* name);
// Whether qpdf and pdfinfo are both installed.
bool haveOutsideReaders();

// "sound, N pages" when qpdf's check passes and pdfinfo counts N pages, or why not.
std::string outsideView(const std::filesystem::path& file);
// The page count pdfinfo reports, or -1 when it refuses the file.
int popplerPageCount(const std::filesystem::path& file);

// Each page's turn in degrees as pdfinfo reads it, in page order; empty when it refuses the file.
std::vector<int> popplerRotations(const std::filesystem::path& file);

// The fields qpdf lists, one entry for each widget of each: its full name and its value as qpdf
// writes it ("u:" before text, a slash before a name); empty when qpdf refuses the file.
std::vector<std::pair<std::string, std::string>> qpdfFieldValues(const std::filesystem::path& file);

// Each page's annotations as qpdf reads them, "page:Subtype" (pages counted from 1) in page
// order, popups left out; or one entry "qpdf refuses it: ..." when qpdf cannot read the file.
std::vector<std::string> qpdfAnnotations(const std::filesystem::path& file);

}  // namespace kivo::testing
