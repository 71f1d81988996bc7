#include "workspace/open_document.hpp"

#include <algorithm>

namespace kivo {
namespace {

// The list a record field holds, or none when the record or the field is absent.
template <class Item>
std::span<const Item> listed(const std::optional<CommandResult>& record,
                             std::optional<std::vector<Item>> CommandResult::*field) noexcept {
    if (!record || !((*record).*field)) return {};
    return *((*record).*field);
}

template <class Value>
Value read(const std::optional<CommandResult>& record, std::optional<Value> CommandResult::*field,
           Value absent) {
    return record && ((*record).*field) ? *((*record).*field) : absent;
}

}  // namespace

std::span<const PageInfo> OpenDocument::pages() const noexcept {
    return listed(*record_, &CommandResult::pages);
}

const PageInfo* OpenDocument::page(std::string_view pageId) const noexcept {
    const auto at = position(pageId);
    return at ? &pages()[*at] : nullptr;
}

std::optional<std::size_t> OpenDocument::position(std::string_view pageId) const noexcept {
    const std::span<const PageInfo> all = pages();
    const auto found =
        std::find_if(all.begin(), all.end(), [&](const PageInfo& page) { return page.id == pageId; });
    if (found == all.end()) return std::nullopt;
    return static_cast<std::size_t>(found - all.begin());
}

std::span<const AnnotationInfo> OpenDocument::annotations() const noexcept {
    return listed(*record_, &CommandResult::annotations);
}

std::vector<AnnotationInfo> OpenDocument::annotationsOn(std::string_view pageId) const {
    std::vector<AnnotationInfo> on;
    for (const AnnotationInfo& annotation : annotations()) {
        if (annotation.pageId == pageId) on.push_back(annotation);
    }
    return on;
}

std::span<const FormFieldInfo> OpenDocument::fields() const noexcept {
    return listed(*record_, &CommandResult::fields);
}

std::span<const std::string> OpenDocument::warnings() const noexcept {
    return listed(*record_, &CommandResult::warnings);
}

std::optional<std::int64_t> OpenDocument::revision() const noexcept {
    return *record_ ? (*record_)->revision : std::nullopt;
}

bool OpenDocument::canUndo() const noexcept { return read(*record_, &CommandResult::undoAvailable, false); }

bool OpenDocument::canRedo() const noexcept { return read(*record_, &CommandResult::redoAvailable, false); }

bool OpenDocument::readOnly() const noexcept { return read(*record_, &CommandResult::readOnly, false); }

bool OpenDocument::sourceChanged() const noexcept {
    return read(*record_, &CommandResult::sourceChanged, false);
}

std::optional<std::string> OpenDocument::formType() const {
    return *record_ ? (*record_)->formType : std::nullopt;
}

}  // namespace kivo
