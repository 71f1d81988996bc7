#include "session/button_captions.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_pdfs.hpp"

namespace kivo {
namespace {

std::map<int, std::string> captionsOf(const std::vector<std::string>& objects) {
    return ButtonCaptions::read(testing::bytesOf(testing::assemblePdf(objects)));
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
    const auto sharedCaptions = captionsOf(shared);
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
    const auto ownCaptions = captionsOf(own);
    const std::size_t boundInStrings = ButtonCaptions::mostLookedAtBytes / large.size();
    EXPECT_GE(ownCaptions.size(), boundInStrings - 2);
    EXPECT_LE(ownCaptions.size(), boundInStrings);
}

}  // namespace
}  // namespace kivo
