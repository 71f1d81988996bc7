#include "session/button_captions.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace kivo {
namespace {

// A file as PDFium writes it whole: one classic table, every object numbered from 1.
std::string plainFile(const std::vector<std::string>& objects) {
    std::string file = "%PDF-1.7\n";
    std::vector<std::size_t> offsets;
    for (std::size_t i = 0; i < objects.size(); ++i) {
        offsets.push_back(file.size());
        file += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    const std::size_t table = file.size();
    file += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (const std::size_t offset : offsets) {
        char line[32];
        std::snprintf(line, sizeof line, "%010zu 00000 n \n", offset);
        file += line;
    }
    file += "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
            std::to_string(table) + "\n%%EOF\n";
    return file;
}

std::map<int, std::string> captionsOf(const std::string& file) {
    return ButtonCaptions::read(std::span(reinterpret_cast<const std::uint8_t*>(file.data()), file.size()));
}

// Widgets may share one caption string of any size: it is read once, so every one of them shows
// it, while a file of many large strings of their own is read only up to what one read may look
// at, and the read ends.
TEST(ButtonCaptions, ASharedStringIsReadOnceAndManyLargeOnesOnlyUpToTheBound) {
    const std::string large = "(Go" + std::string(1 << 20, 'x') + ")";
    const auto widget = [](const std::string& caption) {
        return "<< /Type /Annot /Subtype /Widget /FT /Btn /MK << /CA " + caption + " >> >>";
    };
    constexpr int sharing = 2000;
    std::vector<std::string> shared = {"<< /Type /Catalog >>", large};
    for (int i = 0; i < sharing; ++i) shared.push_back(widget("2 0 R"));
    const auto sharedCaptions = captionsOf(plainFile(shared));
    ASSERT_EQ(sharedCaptions.size(), static_cast<std::size_t>(sharing));
    const std::string& first = sharedCaptions.begin()->second;
    EXPECT_TRUE(first.starts_with("Goxxx")) << first.substr(0, 20);
    EXPECT_TRUE(first.ends_with("\u2026"));

    constexpr int owning = 100;
    std::vector<std::string> own = {"<< /Type /Catalog >>"};
    for (int i = 0; i < owning; ++i) {
        own.push_back(large);
        own.push_back(widget(std::to_string(own.size()) + " 0 R"));
    }
    const auto ownCaptions = captionsOf(plainFile(own));
    const std::size_t boundInStrings = ButtonCaptions::mostLookedAtBytes / large.size();
    EXPECT_GE(ownCaptions.size(), boundInStrings - 2);
    EXPECT_LE(ownCaptions.size(), boundInStrings);
}

}  // namespace
}  // namespace kivo
