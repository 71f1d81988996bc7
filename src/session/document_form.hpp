#pragma once

// The form of a session's document as its form-fill environment shows it: the kind of form, the
// environment's handle, the fields read and filled as a user fills them, and what a document's pages
// must lose before they go. The document and the environment are the session's; the form keeps only
// the kind of form, until another document is bound.
// Walks over the pages go through the session handed to each call. Every call runs with
// PdfiumRuntime::lock() held, as the session's own do.

#include <optional>
#include <string>
#include <vector>

#include "core/document_records.hpp"
#include "pdfium/fpdf.hpp"
#include "session/field_tree.hpp"

namespace kivo {

class Session;

class DocumentForm {
public:
    explicit DocumentForm(const pdfium::Document& document) : document_(document) {}
    DocumentForm(const DocumentForm&) = delete;
    DocumentForm& operator=(const DocumentForm&) = delete;

    // ---- The bound document

    // A document with a form of PDFium's `formType` is bound in place of the one before.
    void bound(int formType);
    // The bound document is closing, for good or for the next one bound: what was read of it goes with
    // it. The kind stays until the next bind.
    void closing() noexcept { tree_.reset(); }
    // "none", "acroform" or "xfa".
    const std::string& typeName() const { return typeName_; }
    bool isXfa() const { return typeName_ == "xfa"; }
    // The environment's handle; empty without a document, or when PDFium gave it none.
    pdfium::FPDF_FORMHANDLE handle() const { return document_.formHandle(); }

    // ---- Reading

    // Every named form field of `session`'s document, radio groups merged into one entry each.
    std::vector<FormFieldInfo> fields(const Session& session) const;
    // The same, or none when they cannot be read (a trap of the module still throws).
    std::vector<FormFieldInfo> fieldsOrNone(const Session& session) const;
    // The widget as a field of the listing and the census; nothing for a widget without a name. A
    // widget that names no parent is the field's that lists it (see field_tree.hpp).
    std::optional<FormFieldInfo> widgetField(pdfium::FPDF_ANNOTATION annotation,
                                             const std::string& pageId) const;
    // Whether a field of `session`'s document carries a script for a keystroke, a format, a check or a
    // calculation. Fails with `resourceLimit` as LoadedReads does.
    bool hasFieldScripts(const Session& session) const;

    // The full name of a widget's field; without an environment, the widget's own "T".
    static std::string fieldName(pdfium::FPDF_FORMHANDLE form, pdfium::FPDF_ANNOTATION annotation);
    // One entry per radio group, where the first of its widgets stood: the options of all of them,
    // sorted, and the value of the checked one.
    static std::vector<FormFieldInfo> mergeRadioFields(const std::vector<FormFieldInfo>& fields);

    // ---- Changing

    // The field a fill sets, before it is touched: the ids of the pages holding a widget of it, each
    // once, in page order, and its PDFium type.
    struct Target {
        std::vector<std::string> pageIds;
        int type = 0;
        // The name is that of several text fields, each widget holding its name and value itself:
        // the value goes into each, not only into the one PDFium writes.
        bool namesakes = false;
    };
    // The fields whose full name is exactly `name`: one, or text fields each holding its own value.
    // Fails with `unsupported` for an XFA form, a field whose widgets name no parent, and a name of
    // several fields of another kind; `notFound` and `readOnly`; nothing changed then.
    Target target(const Session& session, const std::string& name) const;
    // Sets the field as a user would (typing, selecting, clicking) and reads it back. Fails with
    // `unsupported` for a field that takes no value, `invalidArgument` (not one of the options),
    // `resourceLimit` (too many options to choose among) or `formFailed` (the field did not take it).
    void fill(const Session& session, const std::string& name, const Target& target,
              const std::string& value);
    // Empties the fields that live only on the pages `pageIds` (a set) and strips the appearances of
    // their text-like widgets. Answers the warning naming the fields PDFium could not clear, if any.
    std::optional<std::string> clearOnPages(const Session& session, const std::vector<std::string>& pageIds);

private:
    // What PDFium does not tell of the bound document's field tree, read from a plain whole save of
    // the document once asked for, and kept until another document is bound.
    const FieldTree::Reading& fieldTree() const;
    std::optional<FormFieldInfo> unparentedField(pdfium::FPDF_ANNOTATION annotation,
                                                 const std::string& pageId) const;

    const pdfium::Document& document_;
    std::string typeName_ = "none";
    mutable std::optional<FieldTree::Reading> tree_;
};

}  // namespace kivo
