#pragma once

// Small PDFs written by hand for tests, so that the suites need no sample files.

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace kivo::testing {

// Assembles a PDF from object bodies numbered from 1 (object 1 must be the catalog), with a
// correct cross-reference table.
std::string assemblePdf(const std::vector<std::string>& objects);

struct TestPage {
    double width = 612;
    double height = 792;
    std::string text = "Hello PDF";  // drawn in Helvetica 24 at (72, height - 100)
    bool blackBox = true;            // a filled black rectangle at (100, 100), 200 x 150
};

std::string makePdf(const std::vector<TestPage>& pages);
inline std::string makePdf() { return makePdf({TestPage{}}); }

// One page with an AcroForm text field named "name" and a checkbox named "agree".
std::string makeFormPdf();

inline std::span<const uint8_t> bytesOf(const std::string& pdf) {
    return {reinterpret_cast<const uint8_t*>(pdf.data()), pdf.size()};
}

// The shared sample folder, or an empty path when it is absent.
std::filesystem::path corpus(const std::string& name);

// A fresh empty directory below the system's temporary folder, removed with the object.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

void writeFile(const std::filesystem::path& path, const std::string& contents);
std::string readFile(const std::filesystem::path& path);

}  // namespace kivo::testing
