#include "assistant/json_value.hpp"

#include <charconv>
#include <cmath>
#include <nlohmann/json.hpp>

#include "core/text.hpp"
#include "core/text_match.hpp"

namespace kivo {
namespace {

constexpr double kIntegerReadLimit = 1e9;
constexpr double kIntegerWriteLimit = 9e15;

// Whole when rounding (halves away from zero) gives the number back; NaN never is.
bool isWhole(double number, double limit) noexcept {
    return std::round(number) == number && std::fabs(number) < limit;
}

std::string shortestText(double number) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, number);
    return std::string(buffer, result.ptr);
}

std::optional<std::int64_t> decimalInteger(std::string_view text) {
    if (text.empty()) return std::nullopt;
    std::string_view digits = text;
    bool negative = false;
    if (digits.front() == '+' || digits.front() == '-') {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    if (digits.empty()) return std::nullopt;
    for (const char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
    }
    // Read with the sign attached so that the most negative value fits.
    const std::string signedDigits = (negative ? "-" : "") + std::string(digits);
    std::int64_t value = 0;
    const auto result =
        std::from_chars(signedDigits.data(), signedDigits.data() + signedDigits.size(), value);
    if (result.ec != std::errc() || result.ptr != signedDigits.data() + signedDigits.size())
        return std::nullopt;
    return value;
}

nlohmann::json toJSON(const JSONValue& value) {
    switch (value.kind()) {
        case JSONValue::Kind::string: return *value.string();
        case JSONValue::Kind::number: {
            const double number = *value.number();
            if (isWhole(number, kIntegerWriteLimit)) return static_cast<std::int64_t>(number);
            if (!std::isfinite(number))
                throw JSONValue::EncodingError("JSON cannot carry a number that is not finite.");
            return number;
        }
        case JSONValue::Kind::boolean: return *value.boolean();
        case JSONValue::Kind::array: {
            auto out = nlohmann::json::array();
            for (const auto& item : *value.array()) out.push_back(toJSON(item));
            return out;
        }
        case JSONValue::Kind::object: {
            auto out = nlohmann::json::object();
            for (const auto& [key, member] : *value.object()) out[key] = toJSON(member);
            return out;
        }
        case JSONValue::Kind::null: break;
    }
    return nullptr;
}

// Builds values straight from the parser's events, refusing nesting past the limit before it
// is walked.
class Builder : public nlohmann::json_sax<nlohmann::json> {
public:
    bool null() override { return put(JSONValue()); }
    bool boolean(bool flag) override { return put(JSONValue(flag)); }
    bool number_integer(number_integer_t n) override { return put(JSONValue(static_cast<double>(n))); }
    bool number_unsigned(number_unsigned_t n) override { return put(JSONValue(static_cast<double>(n))); }
    bool number_float(number_float_t n, const string_t&) override { return put(JSONValue(n)); }
    bool string(string_t& text) override { return put(JSONValue(std::move(text))); }
    bool binary(binary_t&) override { return false; }
    bool start_object(std::size_t) override { return open(true); }
    bool key(string_t& name) override {
        keys_.back() = std::move(name);
        return true;
    }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(false); }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }

    bool tooDeep() const noexcept { return tooDeep_; }
    JSONValue take() { return std::move(result_); }

private:
    struct Open {
        bool isObject = false;
        JSONValue::Array items;
        JSONValue::Object members;
    };

    bool open(bool isObject) {
        if (stack_.size() >= static_cast<std::size_t>(JSONValue::maximumDepth)) {
            tooDeep_ = true;
            return false;
        }
        stack_.push_back(Open{isObject, {}, {}});
        keys_.emplace_back();
        return true;
    }

    bool close() {
        Open top = std::move(stack_.back());
        stack_.pop_back();
        keys_.pop_back();
        return top.isObject ? put(JSONValue(std::move(top.members))) : put(JSONValue(std::move(top.items)));
    }

    bool put(JSONValue value) {
        if (stack_.empty()) {
            result_ = std::move(value);
        } else if (stack_.back().isObject) {
            stack_.back().members.insert_or_assign(keys_.back(), std::move(value));
        } else {
            stack_.back().items.push_back(std::move(value));
        }
        return true;
    }

    std::vector<Open> stack_;
    std::vector<std::string> keys_;
    JSONValue result_;
    bool tooDeep_ = false;
};

}  // namespace

JSONValue::Kind JSONValue::kind() const noexcept {
    switch (value_.index()) {
        case 1: return Kind::string;
        case 2: return Kind::number;
        case 3: return Kind::boolean;
        case 4: return Kind::array;
        case 5: return Kind::object;
        default: return Kind::null;
    }
}

const JSONValue* JSONValue::operator[](std::string_view key) const {
    const auto* members = object();
    if (members == nullptr) return nullptr;
    if (const auto exact = members->find(std::string(key)); exact != members->end()) return &exact->second;
    const std::string wanted = TextMatch::composed(key);
    for (const auto& [name, member] : *members) {
        if (TextMatch::composed(name) == wanted) return &member;
    }
    return nullptr;
}

std::optional<std::string> JSONValue::stringValue() const {
    if (const auto* text = string()) return *text;
    return std::nullopt;
}

std::optional<std::int64_t> JSONValue::intValue() const {
    if (const auto* n = number()) {
        if (isWhole(*n, kIntegerReadLimit)) return static_cast<std::int64_t>(*n);
        return std::nullopt;
    }
    if (const auto* text = string()) return decimalInteger(trimBlanks(*text));
    return std::nullopt;
}

std::optional<std::string> JSONValue::textValue() const {
    if (const auto* text = string()) return *text;
    if (const auto* n = number()) {
        if (isWhole(*n, kIntegerWriteLimit)) return std::to_string(static_cast<std::int64_t>(*n));
        return shortestText(*n);
    }
    if (const auto* flag = boolean()) return *flag ? "true" : "false";
    return std::nullopt;
}

std::string JSONValue::encode() const {
    return toJSON(*this).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

JSONValue JSONValue::decode(std::string_view json) {
    Builder builder;
    const bool parsed = nlohmann::json::sax_parse(json, &builder);
    if (builder.tooDeep()) throw DecodingError("The JSON is nested too deeply.");
    if (!parsed) throw DecodingError("The text is not valid JSON.");
    return builder.take();
}

bool operator==(const JSONValue& a, const JSONValue& b) {
    if (a.kind() != b.kind()) return false;
    switch (a.kind()) {
        case JSONValue::Kind::string:
            return *a.string() == *b.string() ||
                   TextMatch::composed(*a.string()) == TextMatch::composed(*b.string());
        case JSONValue::Kind::number: return *a.number() == *b.number();
        case JSONValue::Kind::boolean: return *a.boolean() == *b.boolean();
        case JSONValue::Kind::array: return *a.array() == *b.array();
        case JSONValue::Kind::object: {
            if (a.object()->size() != b.object()->size()) return false;
            for (const auto& [key, member] : *a.object()) {
                const JSONValue* other = b[key];
                if (other == nullptr || !(member == *other)) return false;
            }
            return true;
        }
        case JSONValue::Kind::null: return true;
    }
    return false;
}

}  // namespace kivo
