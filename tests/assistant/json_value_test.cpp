#include "assistant/json_value.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace kivo {
namespace {

TEST(JSONValue, DecodesEachKindAndRefusesBadText) {
    EXPECT_EQ(JSONValue::decode("1").kind(), JSONValue::Kind::number);
    EXPECT_EQ(JSONValue::decode("true").kind(), JSONValue::Kind::boolean);
    EXPECT_EQ(JSONValue::decode("null").kind(), JSONValue::Kind::null);
    const auto value = JSONValue::decode(R"({"a":[1,"x",{"b":null}],"c":false})");
    ASSERT_NE(value["a"], nullptr);
    EXPECT_EQ(*value["a"], (JSONValue::Array{1, "x", JSONValue::Object{{"b", nullptr}}}));
    EXPECT_EQ(value["missing"], nullptr);
    EXPECT_EQ(JSONValue("text")["a"], nullptr);
    EXPECT_EQ(JSONValue(JSONValue::Array{})["a"], nullptr);

    for (const char* bad : {"", "{", "[1,]", "1 2", "\"\xFF\"", "{\"a\":1}x"}) {
        EXPECT_THROW(JSONValue::decode(bad), JSONValue::DecodingError) << bad;
    }
}

TEST(JSONValue, RefusesNestingDeeperThanSixtyFourLevels) {
    const auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    EXPECT_NO_THROW(JSONValue::decode(nested(64)));
    EXPECT_THROW(JSONValue::decode(nested(65)), JSONValue::DecodingError);
    // Far past any stack: refused before it is walked.
    EXPECT_THROW(JSONValue::decode(nested(1'000'000)), JSONValue::DecodingError);
}

TEST(JSONValue, EncodesWholeNumbersAsIntegersAndRefusesNaN) {
    const std::pair<JSONValue, const char*> cases[] = {
        {JSONValue(3.0), "3"},
        {JSONValue(3.25), "3.25"},
        {JSONValue(1e16), "1e+16"},
        {JSONValue(-0.0), "0"},
        {JSONValue(5e9), "5000000000"},
        {JSONValue(JSONValue::Object{{"b", true}, {"a", nullptr}}), R"({"a":null,"b":true})"},
        {JSONValue("sl/ash \"q\""), R"("sl/ash \"q\"")"},
    };
    for (const auto& [value, json] : cases) EXPECT_EQ(value.encode(), json);
    EXPECT_THROW(JSONValue(std::nan("")).encode(), JSONValue::EncodingError);
    EXPECT_THROW(JSONValue(JSONValue::Array{std::numeric_limits<double>::infinity()}).encode(),
                 JSONValue::EncodingError);
}

TEST(JSONValue, Readers) {
    struct Case {
        JSONValue value;
        std::optional<std::int64_t> integer;
        std::optional<std::string> text;
    };
    const Case cases[] = {
        {JSONValue(" 42\t"), 42, " 42\t"},
        {JSONValue("\xE2\x80\x83"
                   "42"),
         42,
         "\xE2\x80\x83"
         "42"},  // em space is a blank
        {JSONValue("+7"), 7, "+7"},
        {JSONValue("-7"), -7, "-7"},
        {JSONValue("-9223372036854775808"), std::numeric_limits<std::int64_t>::min(), "-9223372036854775808"},
        {JSONValue("9223372036854775808"), std::nullopt, "9223372036854775808"},
        {JSONValue("4.0"), std::nullopt, "4.0"},
        {JSONValue("0x10"), std::nullopt, "0x10"},
        {JSONValue("1,000"), std::nullopt, "1,000"},
        {JSONValue("\n42"), std::nullopt, "\n42"},
        {JSONValue(""), std::nullopt, ""},
        {JSONValue("+"), std::nullopt, "+"},
        {JSONValue(4.0), 4, "4"},
        {JSONValue(4.5), std::nullopt, "4.5"},
        {JSONValue(1.5e9), std::nullopt, "1500000000"},
        {JSONValue(12), 12, "12"},
        {JSONValue(-0.0), 0, "0"},
        {JSONValue(2.5), std::nullopt, "2.5"},
        {JSONValue(false), std::nullopt, "false"},
        {JSONValue(true), std::nullopt, "true"},
        {JSONValue(nullptr), std::nullopt, std::nullopt},
        {JSONValue(JSONValue::Object{}), std::nullopt, std::nullopt},
        {JSONValue(std::nan("")), std::nullopt, "nan"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.value.intValue(), c.integer) << c.value.encode();
        if (c.value.number() == nullptr || !std::isnan(*c.value.number())) {
            EXPECT_EQ(c.value.textValue(), c.text) << c.value.encode();
        }
    }
    EXPECT_EQ(JSONValue(3).stringValue(), std::nullopt);
    EXPECT_EQ(JSONValue("3").stringValue(), "3");
}

TEST(JSONValue, Equality) {
    // Precomposed and decomposed é.
    EXPECT_EQ(JSONValue("caf\xC3\xA9"), JSONValue("cafe\xCC\x81"));
    EXPECT_EQ(JSONValue(JSONValue::Object{{"caf\xC3\xA9", 1}}),
              JSONValue(JSONValue::Object{{"cafe\xCC\x81", 1}}));
    EXPECT_EQ(JSONValue::decode(R"({"a":1,"b":[true]})"), JSONValue::decode(R"({"b":[true],"a":1})"));
    EXPECT_EQ(JSONValue(0.0), JSONValue(-0.0));
    EXPECT_NE(JSONValue(std::nan("")), JSONValue(std::nan("")));
    EXPECT_NE(JSONValue(1), JSONValue("1"));
    EXPECT_NE(JSONValue(1), JSONValue(true));
    EXPECT_NE(JSONValue(JSONValue::Array{1, 2}), JSONValue(JSONValue::Array{2, 1}));
    EXPECT_NE(JSONValue::decode(R"({"a":1})"), JSONValue::decode(R"({"a":1,"b":2})"));
}

}  // namespace
}  // namespace kivo
