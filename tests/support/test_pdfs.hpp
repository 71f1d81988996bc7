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
    int rotation = 0;                // degrees clockwise, written as /Rotate
    // The media box starts here and is width x height.
    double mediaLeft = 0;
    double mediaBottom = 0;
    // The crop box as left, bottom, right, top; empty for none.
    std::vector<double> cropBox{};
};

std::string makePdf(const std::vector<TestPage>& pages);
inline std::string makePdf() { return makePdf({TestPage{}}); }

// `pages` Letter pages of 40 lines of Helvetica text each: large enough that reading or searching all of
// it takes a while.
std::string makeLongTextPdf(int pages);

// One page with an AcroForm text field named "name" and a checkbox named "agree".
std::string makeFormPdf();

// Two pages holding one field tree, "person": a text "person.name" (Ada) on page 1, a read-only text
// "person.address.city" (Paris) and a radio group "person.pick" (B of A and B) on page 2; every
// field and widget names its parent, and /DA and /DR are the form's only. Page 1 also has a
// highlight with a popup.
std::string makeFieldTreePdf();

inline std::span<const uint8_t> bytesOf(const std::string& pdf) {
    return {reinterpret_cast<const uint8_t*>(pdf.data()), pdf.size()};
}

// A document of the shared sample folder (of the reproducers), or an empty path when it is absent.
std::filesystem::path corpus(const std::string& name);
std::filesystem::path repro(const std::string& name);

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

// ---- Form filling, overlays and page organisation

// One page of fields to fill: a multi-line text "name" (Ada), a text "short" of at most 3
// characters, a read-only text "locked", a push button "submit", a combo "answer" and an
// editable combo "answerEdit" (both Yes/No, value No), a multi-select list "colours"
// (Red/Green/Blue, Red and Blue selected), a checkbox "agree" exporting "Agreed" (off), and a
// radio group "direction" whose kids, without names of their own, export North and South (none on).
std::string makeFillFormPdf();

// Three pages of fields. "spread" (text, "old") has kid widgets on page 3 and page 1, listed in
// that order; "kept" (text, "keep me") has kids on pages 1 and 2; on page 2 only: radio groups
// "zeta" and "alpha" with one nameless kid each, on; "gone" (text, "bye") with a nameless kid;
// "solo" (text, "solo") a widget with its own name.
std::string makeSpreadFormPdf();

// One page with an AcroForm that also carries an XFA entry, and a text field "name".
std::string makeXfaPdf();

// One page with a signature field whose value is a signature dictionary.
std::string makeSignedPdf();

// One page of text, encrypted with AES-256 and no password to open, whose encryption dictionary
// keeps its /U entry in an object of its own. PDFium opens it, but encrypts that object when it
// writes the document, so nothing it writes of it opens again.
std::string makeUnkeptEncryptedPdf();

}  // namespace kivo::testing
