#pragma once

// OpenDocument: what the windows read of the open document, in the editor's terms rather than the
// inspect record's optional fields. A view over the workspace's record: cheap to make and copy, const,
// and always showing the record as it is now; a page or annotation it hands out is valid until the next
// inspectChanged. Without a document every count is 0, every list empty and every lookup empty; nothing
// here fails.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/commands.hpp"

namespace kivo {

class OpenDocument {
public:
    // Reads `record`, which must outlive the view (the workspace's own record does).
    explicit OpenDocument(const std::optional<CommandResult>& record) noexcept : record_(&record) {}
    explicit OpenDocument(std::optional<CommandResult>&&) = delete;

    bool isOpen() const noexcept { return record_->has_value(); }

    // Pages in the document's order; the count is their number, 0 while the worker has listed none.
    std::span<const PageInfo> pages() const noexcept;
    std::size_t pageCount() const noexcept { return pages().size(); }
    const PageInfo* page(std::string_view pageId) const noexcept;
    // Where the page stands in the list, from 0; what the windows number pages by.
    std::optional<std::size_t> position(std::string_view pageId) const noexcept;

    // Every annotation in the document's order, or those on one page.
    std::span<const AnnotationInfo> annotations() const noexcept;
    std::vector<AnnotationInfo> annotationsOn(std::string_view pageId) const;

    std::span<const FormFieldInfo> fields() const noexcept;
    std::span<const std::string> warnings() const noexcept;

    std::optional<std::int64_t> revision() const noexcept;
    bool canUndo() const noexcept;
    bool canRedo() const noexcept;
    bool readOnly() const noexcept;
    bool sourceChanged() const noexcept;
    std::optional<std::string> formType() const;

private:
    const std::optional<CommandResult>* record_;
};

}  // namespace kivo
