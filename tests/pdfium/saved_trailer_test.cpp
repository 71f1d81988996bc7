#include "pdfium/saved_trailer.hpp"

#include <gtest/gtest.h>

namespace kivo::pdfium {
namespace {

// A table as PDFium writes it: subsections of 20-byte entries, then the trailer.
std::string table(const std::string& sections, const std::string& trailer) {
    return "xref\r\n" + sections + "trailer\r\n" + trailer + "\r\nstartxref\r\n9\r\n%%EOF\r\n";
}

std::string entries(int count) {
    std::string out;
    for (int i = 0; i < count; ++i) out += "0000000017 00000 n\r\n";
    return out;
}

TEST(SavedTrailer, SizeIsOneMoreThanTheHighestObjectTheTableLists) {
    const std::string gap = "0 7\r\n" + entries(7) + "8 7\r\n" + entries(7);
    const struct {
        const char* name;
        std::string tail;
        std::string mended;
    } cases[] = {
        {"a size past the table", table(gap, "<</Root 13 0 R /Size 16/ID[<AB><CD>]>>"),
         table(gap, "<</Root 13 0 R /Size 15/ID[<AB><CD>]>>")},
        {"a size that fits", table(gap, "<</Root 13 0 R /Size 15>>"),
         table(gap, "<</Root 13 0 R /Size 15>>")},
        {"a smaller size is left to its reader", table(gap, "<</Size 3>>"), table(gap, "<</Size 3>>")},
        {"a count past the end", table("0 99\r\n" + entries(2), "<</Size 400>>"),
         table("0 99\r\n" + entries(2), "<</Size 400>>")},
        {"no table keyword", "trailer\r\n<</Size 16>>", "trailer\r\n<</Size 16>>"},
        {"no trailer", "xref\r\n0 1\r\n" + entries(1), "xref\r\n0 1\r\n" + entries(1)},
    };
    for (const auto& c : cases) EXPECT_EQ(SavedTrailer::mended(c.tail), c.mended) << c.name;
}

TEST(SavedTrailer, InfoTheLatestRevisionLeftOutStaysOut) {
    const std::string gap = "0 2\r\n" + entries(2);
    EXPECT_EQ(SavedTrailer::mended(table(gap, "<</Info 14 0 R /Root 1 0 R /Size 2>>"), {true, true}),
              table(gap, "<< /Root 1 0 R /Size 2>>"));
    EXPECT_EQ(SavedTrailer::mended(table(gap, "<</Root 1 0 R /Info 14 0 R /Size 9>>"), {false, true}),
              table(gap, "<</Root 1 0 R /Size 9>>"));

    const auto leftOut = [](const std::string& file) {
        return SavedTrailer::latestTrailerLeavesOutInfo(
            std::span(reinterpret_cast<const uint8_t*>(file.data()), file.size()));
    };
    const std::string older =
        "1 0 obj\r<</Type/XRef/Info 3 0 R/Root 2 0 R/DecodeParms<</Columns 4>>>>stream\r\n";
    const std::string update =
        "xref\r\n0 1\r\n" + entries(1) + "trailer\r\n<</Size 18 /Root 2 0 R /Prev 0 >>\r\n";
    const std::string first = older + "startxref\r\n0\r\n%%EOF\r\n";
    const struct {
        const char* name;
        std::string file;
        bool leftOut;
    } cases[] = {
        {"a table's trailer without it",
         first + update + "startxref\r\n" + std::to_string(first.size()) + "\r\n%%EOF\r\n", true},
        {"a cross-reference stream with it", first, false},
        {"an offset past the end", older + "startxref\r\n99999\r\n%%EOF\r\n", false},
        {"no startxref", older, false},
    };
    for (const auto& c : cases) EXPECT_EQ(leftOut(c.file), c.leftOut) << c.name;
}

}  // namespace
}  // namespace kivo::pdfium
