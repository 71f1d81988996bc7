#include "core/text.hpp"

#include <gtest/gtest.h>

#include <regex>
#include <set>

namespace kivo {
namespace {

TEST(Text, GraphemeCount) {
    const std::pair<const char*, std::int64_t> cases[] = {
        {"", 0},
        {"abc", 3},
        {"e\xCC\x81", 1},                         // e + combining acute
        {"\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA", 1},  // flag: two regional indicators
        {"\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7", 1},  // family (ZWJ)
        {"\r\n", 1},
        {"\xE1\x84\x80\xE1\x85\xA1", 1},  // Hangul jamo L + V
        {"a\xFF"
         "b",
         3},
    };
    for (const auto& [text, count] : cases) EXPECT_EQ(graphemeCount(text), count) << text;
}

TEST(Text, TrimAndValidate) {
    EXPECT_EQ(trimWhitespaceAndNewlines(" \t\r\n\xC2\x85\xE2\x80\xA8\xE3\x80\x80 a b\xC2\xA0\n"), "a b");
    EXPECT_EQ(trimWhitespaceAndNewlines(" \n "), "");
    EXPECT_EQ(trimWhitespaceAndNewlines("\xE2\x80\x8B"
                                        "x"),
              "\xE2\x80\x8B"
              "x");  // zero-width space stays
    EXPECT_TRUE(isValidUTF8("gr\xC3\xBC\xC3\x9F"));
    for (const char* bad : {"\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82", "\x80"}) {
        EXPECT_FALSE(isValidUTF8(bad)) << bad;
    }
}

TEST(Text, UUIDs) {
    const std::regex form("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        const auto uuid = newUUIDString();
        EXPECT_TRUE(std::regex_match(uuid, form)) << uuid;
        seen.insert(uuid);
    }
    EXPECT_EQ(seen.size(), 100u);
}

}  // namespace
}  // namespace kivo
