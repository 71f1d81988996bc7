#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kivo {

// All rectangles and points are in PDF user space of their page: points,
// origin at the bottom-left corner, y growing upwards.
struct PDFRect {
    double left = 0;
    double bottom = 0;
    double right = 0;
    double top = 0;

    // No absolute value: a reversed rectangle has a negative size.
    double width() const noexcept { return right - left; }
    double height() const noexcept { return top - bottom; }

    bool operator==(const PDFRect&) const = default;
};

struct PDFPoint {
    double x = 0;
    double y = 0;

    bool operator==(const PDFPoint&) const = default;
};

// `width` and `height` are the page as it is shown: its crop box, turned by `rotation`.
struct PageInfo {
    std::string id{};
    std::int64_t index = 0;
    double width = 0;
    double height = 0;
    // Quarter turns clockwise, 0 to 3.
    std::int64_t rotation = 0;
    // The crop box in user space, before the turn; absent when it is defaultBox().
    std::optional<PDFRect> box{};

    // A box at the origin of the page's size before the turn: what a page without `box` has.
    PDFRect defaultBox() const noexcept {
        const bool sideways = rotation % 2 != 0;
        return PDFRect{0, 0, sideways ? height : width, sideways ? width : height};
    }
    PDFRect cropBox() const noexcept { return box.value_or(defaultBox()); }

    bool operator==(const PageInfo&) const = default;
};

// One character of a page's extracted text with its box.
struct TextRun {
    std::int64_t index = 0;
    std::string unicode{};
    double left = 0;
    double bottom = 0;
    double right = 0;
    double top = 0;

    bool operator==(const TextRun&) const = default;
};

struct AnnotationInfo {
    std::string id{};
    std::string kind{};
    std::string pageId{};
    PDFRect rect{};
    std::string contents{};

    bool operator==(const AnnotationInfo&) const = default;
};

struct FormFieldInfo {
    std::string name{};
    std::string type{};
    std::string value{};
    bool readOnly = false;
    std::string pageId{};
    std::vector<std::string> options{};
    // Only check boxes and radio buttons have an on/off state.
    std::optional<bool> checked{};
    bool multiline = false;

    bool operator==(const FormFieldInfo&) const = default;
};

struct SearchHit {
    std::string pageId{};
    std::int64_t index = 0;
    std::int64_t count = 0;
    std::vector<PDFRect> rects{};
    std::string preview{};

    bool operator==(const SearchHit&) const = default;
};

struct DocumentSummary {
    std::string sessionId{};
    std::optional<std::string> path{};
    std::int64_t pageCount = 0;
    std::int64_t revision = 0;
    bool readOnly = false;

    bool operator==(const DocumentSummary&) const = default;
};

struct RecoveryInfo {
    std::string recoveryId{};
    std::optional<std::string> sourcePath{};
    std::int64_t revision = 0;
    std::int64_t pageCount = 0;
    // ISO 8601 date and time.
    std::string updatedAt{};
    bool dirty = false;

    bool operator==(const RecoveryInfo&) const = default;
};

}  // namespace kivo
