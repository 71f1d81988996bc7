#include "core/json_writer.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "core/text.hpp"

namespace kivo {

void JsonWriter::beforeValue() {
    if (depth_ == 0) return;
    Level& level = levels_[depth_ - 1];
    if (level.isObject) {
        if (!level.expectingValue)
            throw CommandEncodingError("A JSON object member was written without its key.");
        level.expectingValue = false;
        return;
    }
    if (!level.empty) out_.push_back(',');
    level.empty = false;
}

void JsonWriter::written(std::string_view json) {
    beforeValue();
    out_.append(json);
}

void JsonWriter::beginObject() {
    beforeValue();
    out_.push_back('{');
    // Levels are reused so their key buffers keep their capacity.
    if (levels_.size() == depth_) levels_.emplace_back();
    Level& level = levels_[depth_++];
    level.isObject = true;
    level.empty = true;
    level.expectingValue = false;
    level.lastKey.clear();
}

void JsonWriter::endObject() {
    if (depth_ == 0 || !levels_[depth_ - 1].isObject || levels_[depth_ - 1].expectingValue) {
        throw CommandEncodingError("A JSON object was closed out of turn.");
    }
    --depth_;
    out_.push_back('}');
}

void JsonWriter::beginArray() {
    beforeValue();
    out_.push_back('[');
    if (levels_.size() == depth_) levels_.emplace_back();
    Level& level = levels_[depth_++];
    level.isObject = false;
    level.empty = true;
    level.expectingValue = false;
}

void JsonWriter::endArray() {
    if (depth_ == 0 || levels_[depth_ - 1].isObject)
        throw CommandEncodingError("A JSON array was closed out of turn.");
    --depth_;
    out_.push_back(']');
}

void JsonWriter::key(std::string_view name) {
    if (depth_ == 0 || !levels_[depth_ - 1].isObject || levels_[depth_ - 1].expectingValue) {
        throw CommandEncodingError("A JSON key was written outside an object.");
    }
    Level& level = levels_[depth_ - 1];
    if (!level.empty) {
        // std::string compares as unsigned bytes, which is the order required.
        if (!(std::string_view(level.lastKey) < name)) {
            throw CommandEncodingError("JSON key \"" + std::string(name) + "\" is out of order.");
        }
        out_.push_back(',');
    }
    level.empty = false;
    level.expectingValue = true;
    level.lastKey.assign(name);
    writeEscaped(name);
    out_.push_back(':');
}

void JsonWriter::string(std::string_view text) {
    beforeValue();
    writeEscaped(text);
}

void JsonWriter::integer(std::int64_t value) {
    beforeValue();
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out_.append(buffer, result.ptr);
}

void JsonWriter::number(double value) {
    if (!std::isfinite(value))
        throw CommandEncodingError("A number that is not finite cannot be written as JSON.");
    beforeValue();
    // -0.0 equals 0.0, and equal values must give equal bytes.
    if (value == 0) value = 0;
    // Shortest form that reads back to the same double; integral values have no ".0".
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out_.append(buffer, result.ptr);
}

void JsonWriter::boolean(bool value) {
    beforeValue();
    out_.append(value ? "true" : "false");
}

void JsonWriter::writeEscaped(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out_.push_back('"');
    // Keys, ids and most text are plain ASCII with nothing to escape: an answer about a long
    // document holds thousands of them.
    if (std::all_of(text.begin(), text.end(), [](char ch) {
            const auto c = static_cast<unsigned char>(ch);
            return c >= 0x20 && c < 0x80 && c != '"' && c != '\\' && c != '/';
        })) {
        out_.append(text);
        out_.push_back('"');
        return;
    }
    const bool valid = isValidUTF8(text);
    std::string repaired;
    if (!valid) {
        appendRepairedUTF8(repaired, text);
        text = repaired;
    }
    std::size_t runStart = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const char* escape = nullptr;
        char unicodeEscape[7];
        switch (c) {
            case '"': escape = "\\\""; break;
            case '\\': escape = "\\\\"; break;
            case '/': escape = "\\/"; break;
            case '\b': escape = "\\b"; break;
            case '\f': escape = "\\f"; break;
            case '\n': escape = "\\n"; break;
            case '\r': escape = "\\r"; break;
            case '\t': escape = "\\t"; break;
            default:
                if (c < 0x20) {
                    unicodeEscape[0] = '\\';
                    unicodeEscape[1] = 'u';
                    unicodeEscape[2] = '0';
                    unicodeEscape[3] = '0';
                    unicodeEscape[4] = kHex[c >> 4];
                    unicodeEscape[5] = kHex[c & 0x0F];
                    unicodeEscape[6] = '\0';
                    escape = unicodeEscape;
                }
                break;
        }
        if (escape != nullptr) {
            out_.append(text.substr(runStart, i - runStart));
            out_.append(escape);
            runStart = i + 1;
        }
    }
    out_.append(text.substr(runStart));
    out_.push_back('"');
}

}  // namespace kivo
