#pragma once

// The thin layer through which the worker starts PDFium, builds the form-fill callbacks, fills
// image objects and saves documents.

#include <cstdint>
#include <cstdio>

#include "pdfium/fpdf.hpp"

namespace kivo {

void kivo_pdfium_init();
void kivo_pdfium_destroy();

// A zero-filled form-fill record in module memory with version 1 and the nine stub callbacks
// set; 0 when the module's memory is exhausted. It must outlive the environment built on it.
pdfium::Address kivo_formfill_create();
void kivo_formfill_free(pdfium::Address record);

// Puts a copy of the BGRA pixels (straight alpha, `stride` bytes per source row) into the
// image object. Nonzero on success.
int kivo_image_set_bgra(pdfium::FPDF_PAGEOBJECT image, const uint8_t* pixels, int32_t width, int32_t height,
                        int32_t stride);

// Write the whole document, never incrementally. Nonzero on success. The descriptor variant
// writes to a duplicate and leaves the caller's descriptor open.
int kivo_save_document(pdfium::FPDF_DOCUMENT document, const char* path);
int kivo_save_document_fd(pdfium::FPDF_DOCUMENT document, int descriptor);

// The host side of PDFium's file writer: the output stream and whether every write so far
// succeeded.
struct FileWriter {
    std::FILE* stream = nullptr;
    int ok = 1;
};

// PDFium's write callback: writes the block in one call; 1 when all of it was written, else
// clears `ok` and answers 0 (also when there is no stream).
int kivo_write_block(FileWriter& writer, const uint8_t* bytes, unsigned long length);

}  // namespace kivo
