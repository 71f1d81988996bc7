#pragma once

// JSON of unfixed shape: tool schemas, tool-call arguments, provider request and reply bodies.
// A value is immutable once built and owns its nested arrays and objects.
//
// Decoding refuses anything that is not one well-formed JSON text (ill-formed UTF-8, trailing
// bytes, nesting deeper than `maximumDepth`) with `JSONValue::DecodingError`; encoding refuses a
// number that is not finite with `JSONValue::EncodingError`. The readers never fail.

#include <concepts>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kivo {

class JSONValue {
public:
    using Array = std::vector<JSONValue>;
    using Object = std::map<std::string, JSONValue>;

    enum class Kind { string, number, boolean, array, object, null };

    class DecodingError : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };
    class EncodingError : public std::invalid_argument {
    public:
        using std::invalid_argument::invalid_argument;
    };

    // A server's reply nested deeper than this is refused rather than walked.
    static constexpr int maximumDepth = 64;

    JSONValue() = default;
    JSONValue(std::nullptr_t) {}
    JSONValue(std::string text) : value_(std::move(text)) {}
    JSONValue(const char* text) : value_(std::string(text)) {}
    JSONValue(double number) : value_(number) {}
    template <std::integral T>
    requires(!std::same_as<T, bool>) JSONValue(T number) : value_(static_cast<double>(number)) {}
    JSONValue(bool flag) : value_(flag) {}
    JSONValue(Array items) : value_(std::move(items)) {}
    JSONValue(Object members) : value_(std::move(members)) {}

    Kind kind() const noexcept;
    bool isNull() const noexcept { return kind() == Kind::null; }

    // The payload when the value is of that case, else null.
    const std::string* string() const noexcept { return std::get_if<std::string>(&value_); }
    const double* number() const noexcept { return std::get_if<double>(&value_); }
    const bool* boolean() const noexcept { return std::get_if<bool>(&value_); }
    const Array* array() const noexcept { return std::get_if<Array>(&value_); }
    const Object* object() const noexcept { return std::get_if<Object>(&value_); }

    // The member of an object with that key (a canonically equivalent key also finds it); null
    // for a missing member and for every other case.
    const JSONValue* operator[](std::string_view key) const;

    // The payload of a string; nothing for every other case.
    std::optional<std::string> stringValue() const;
    // A whole number below 1e9 in magnitude, or a string of an optional sign and ASCII digits
    // (tab and space separators trimmed, not line breaks) within the 64-bit range.
    std::optional<std::int64_t> intValue() const;
    // A string unchanged, a number as text (whole numbers below 9e15 as integers), a boolean
    // as "true" or "false"; nothing for arrays, objects and null.
    std::optional<std::string> textValue() const;

    // Compact JSON. Whole numbers below 9e15 in magnitude are written as integers.
    std::string encode() const;
    static JSONValue decode(std::string_view json);

    // Strings compare under canonical equivalence, numbers as doubles (NaN equals nothing),
    // objects as sets of members.
    friend bool operator==(const JSONValue& a, const JSONValue& b);

private:
    std::variant<std::nullptr_t, std::string, double, bool, Array, Object> value_{nullptr};
};

}  // namespace kivo
