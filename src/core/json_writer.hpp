#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kivo {

// Raised when a value cannot be written as JSON (a number that is not finite)
// or a record would be written with its keys out of order.
class CommandEncodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Writes canonical JSON: compact, object keys strictly ascending in byte order
// (the writer refuses anything else, so equal values always give equal bytes),
// "/" written as "\/", control characters escaped, other characters as UTF-8
// with ill-formed sequences replaced by U+FFFD, doubles in their shortest
// round-trip form. There is no null.
class JsonWriter {
public:
    explicit JsonWriter(std::string& out) : out_(out) {}

    void beginObject();
    void endObject();
    void beginArray();
    void endArray();

    // The next member's key; must sort after the previous key of this object.
    void key(std::string_view name);

    void string(std::string_view text);
    void integer(std::int64_t value);
    void number(double value);
    void boolean(bool value);
    // A value this class wrote before, as it wrote it; the caller vouches for it.
    void written(std::string_view json);

private:
    struct Level {
        bool isObject = false;
        bool empty = true;
        bool expectingValue = false;
        std::string lastKey;
    };

    void beforeValue();
    void writeEscaped(std::string_view text);

    std::string& out_;
    std::vector<Level> levels_;
    std::size_t depth_ = 0;
};

}  // namespace kivo
