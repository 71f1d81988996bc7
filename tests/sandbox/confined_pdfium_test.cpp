#include <gtest/gtest.h>

#include <memory>
#include <sstream>

#include "child_process.hpp"
#include "pdfium/fpdf.hpp"
#include "pdfium/support.hpp"
#include "sandbox/worker_sandbox.hpp"
#include "test_pdfs.hpp"

namespace kivo {
namespace {

namespace fs = std::filesystem;
using namespace kivo::pdfium;
using testing::inChild;
using testing::writeAll;

// The worker does all its PDF work after it has confined itself: PDFium's
// runtime (its memory, its fault handling) must keep working in the sandbox.
TEST(ConfinedPdfium, LoadsRendersAndSavesInsideTheSandbox) {
    if (!testing::landlockAvailable()) GTEST_SKIP() << "Landlock is not available on this machine";
    testing::TempDir root;
    const auto home = root.path() / "home";
    const auto support = home / ".local" / "share" / "kivo-pdf";
    fs::create_directories(home / "Documents");
    fs::create_directories(home / ".config");
    fs::create_directories(support / "ipc");
    testing::writeFile(home / "Documents" / "in.pdf", testing::makePdf({testing::TestPage{}, testing::TestPage{}}));

    const auto outcome = inChild([&](int report) {
        initLibrary();
        try {
            WorkerSandbox::apply(support / "ipc", support, home);
        } catch (const std::exception& error) {
            writeAll(report, error.what());
            return 1;
        }
        auto bytes = std::make_shared<std::string>(testing::readFile(home / "Documents" / "in.pdf"));
        Document document = Document::load(testing::bytesOf(*bytes), bytes, nullptr);
        if (!document) return 2;
        std::ostringstream text;
        text << "pages=" << FPDF_GetPageCount(document.get()) << '\n';
        {
            ScopedPage page(FPDF_LoadPage(document.get(), 0));
            ScopedBitmap bitmap(FPDFBitmap_Create(64, 64, 1));
            FPDF_RenderPageBitmap(bitmap.get(), page.get(), 0, 0, 64, 64, 0, 0);
            text << "rendered=" << (page && bitmap ? 1 : 0) << '\n';
        }
        text << "saved to Documents=" << saveToFile(document.get(), (home / "Documents" / "out.pdf").c_str()) << '\n';
        text << "saved to support=" << saveToFile(document.get(), (support / "checkpoint.pdf").c_str()) << '\n';
        text << "saved to dot-folder=" << saveToFile(document.get(), (home / ".config" / "out.pdf").c_str()) << '\n';
        writeAll(report, text.str());
        return 0;
    });
    ASSERT_EQ(outcome.exitStatus, 0) << outcome.report;
    EXPECT_EQ(outcome.report, "pages=2\nrendered=1\nsaved to Documents=1\nsaved to support=1\nsaved to dot-folder=0\n");
    EXPECT_TRUE(fs::exists(home / "Documents" / "out.pdf"));
    EXPECT_FALSE(fs::exists(home / ".config" / "out.pdf"));
}

}  // namespace
}  // namespace kivo
