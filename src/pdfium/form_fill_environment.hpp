#pragma once

// One document's form-fill environment: the callback record PDFium calls the host through, in
// module memory, and the environment PDFium builds on it. The worker shows nothing and runs no
// scripts, so every callback answers with nothing. A Document owns the environment opened on it,
// which is how it always closes before its document.

#include "pdfium/handles.hpp"
#include "pdfium/module.hpp"

namespace kivo::pdfium {

class FormFillEnvironment {
public:
    FormFillEnvironment() = default;
    // Builds the record and the environment on `document`. Throws EngineFailure(internal) "Could
    // not create form-fill callbacks." when the module has no memory for the record. PDFium may
    // give no environment (the handle is then empty): every caller then leaves form calls out.
    explicit FormFillEnvironment(FPDF_DOCUMENT document);
    FormFillEnvironment(FormFillEnvironment&& other) noexcept;
    FormFillEnvironment& operator=(FormFillEnvironment&& other) noexcept;
    FormFillEnvironment(const FormFillEnvironment&) = delete;
    FormFillEnvironment& operator=(const FormFillEnvironment&) = delete;
    ~FormFillEnvironment() { close(); }

    FPDF_FORMHANDLE handle() const { return handle_; }
    // The record's address in module memory, 0 when closed.
    Address record() const { return record_; }

    // Exits the environment, then frees its record. Safe to call repeatedly; after a trap the
    // module is left alone: its instance is dead or already replaced.
    void close() noexcept;

private:
    Address record_ = 0;
    FPDF_FORMHANDLE handle_{};
    uint32_t generation_ = 0;
};

}  // namespace kivo::pdfium
