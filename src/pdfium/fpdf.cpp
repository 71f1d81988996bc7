#include "pdfium/fpdf.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <mutex>
#include <unordered_map>

extern "C" {
#include "pdfium.h"
}

#include "pdfium/saved_trailer.hpp"

namespace kivo::pdfium {
namespace {

template <class T>
u32 wasm(Handle<T> h) {
    return h.address;
}
inline u32 wasm(int v) { return static_cast<u32>(v); }
inline u32 wasm(unsigned int v) { return v; }
inline u32 wasm(unsigned long v) { return static_cast<u32>(v); }
inline u32 wasm(bool v) { return v ? 1u : 0u; }
inline u32 wasm(unsigned char v) { return v; }
inline f64 wasm(double v) { return v; }
inline f32 wasm(float v) { return v; }

template <class R, class Raw>
R from(Raw raw) {
    if constexpr (std::is_same_v<R, bool>) return raw != 0;
    else if constexpr (requires { R{}.address; }) return R{static_cast<Address>(raw)};
    else return static_cast<R>(raw);
}

// One call into the module: converts the arguments, runs under the trap guard and converts the
// result back. Each wrapper below is a single line of this.
template <class R, class Fn, class... A>
R call(Fn fn, A... args) {
    Z_pdfium_instance_t* m = module::instance();
    return module::guarded([&]() -> R {
        if constexpr (std::is_void_v<R>) fn(m, wasm(args)...);
        else return from<R>(fn(m, wasm(args)...));
    });
}

// A call with raw module arguments (addresses already placed in scratch memory).
template <class Fn, class... A>
auto raw(Fn fn, A... args) {
    Z_pdfium_instance_t* m = module::instance();
    return module::guarded([&] { return fn(m, args...); });
}

// The two-call string convention: the module writes into scratch space of the buffer's size,
// and as much as fits is copied back. Answers the module's own count.
template <class Fn>
unsigned long wideOut(std::span<uint16_t> buffer, size_t unitBytes, Fn&& fn) {
    Scratch scratch;
    const size_t bytes = buffer.size() * unitBytes;
    const Address out = buffer.empty() ? 0 : scratch.reserve(bytes);
    const u32 answer = module::guarded([&] { return fn(out, static_cast<u32>(bytes)); });
    if (!buffer.empty()) {
        std::memcpy(buffer.data(), module::hostPointer(out, bytes), bytes);
    }
    return answer;
}

template <class T>
T fetch(Address address) {
    return load<T>(address);
}

}  // namespace

#define M module::instance()

// ---------------------------------------------------------------------------------------------
// Library and documents.

unsigned long FPDF_GetLastError() { return call<unsigned long>(Z_pdfiumZ_FPDF_GetLastError); }

FPDF_DOCUMENT FPDF_CreateNewDocument() { return call<FPDF_DOCUMENT>(Z_pdfiumZ_FPDF_CreateNewDocument); }
void FPDF_CloseDocument(FPDF_DOCUMENT d) { call<void>(Z_pdfiumZ_FPDF_CloseDocument, d); }
int FPDF_GetPageCount(FPDF_DOCUMENT d) { return call<int>(Z_pdfiumZ_FPDF_GetPageCount, d); }
unsigned long FPDF_GetDocPermissions(FPDF_DOCUMENT d) {
    return call<unsigned long>(Z_pdfiumZ_FPDF_GetDocPermissions, d);
}
int FPDF_GetSecurityHandlerRevision(FPDF_DOCUMENT d) {
    return call<int>(Z_pdfiumZ_FPDF_GetSecurityHandlerRevision, d);
}
int FPDF_GetFormType(FPDF_DOCUMENT d) { return call<int>(Z_pdfiumZ_FPDF_GetFormType, d); }
int FPDF_GetSignatureCount(FPDF_DOCUMENT d) { return call<int>(Z_pdfiumZ_FPDF_GetSignatureCount, d); }
bool FPDF_DocumentHasValidCrossReferenceTable(FPDF_DOCUMENT d) {
    return call<int>(Z_pdfiumZ_FPDF_DocumentHasValidCrossReferenceTable, d) != 0;
}
int FPDFDoc_GetJavaScriptActionCount(FPDF_DOCUMENT d) {
    return call<int>(Z_pdfiumZ_FPDFDoc_GetJavaScriptActionCount, d);
}

bool FPDF_GetFileVersion(FPDF_DOCUMENT d, int* version) {
    Scratch s;
    const Address out = s.reserve(4);
    const bool ok = raw(Z_pdfiumZ_FPDF_GetFileVersion, d.address, out) != 0;
    if (version) *version = fetch<int32_t>(out);
    return ok;
}

bool FPDF_GetPageSizeByIndexF(FPDF_DOCUMENT d, int index, FS_SIZEF* size) {
    Scratch s;
    const Address out = s.reserve(sizeof(FS_SIZEF));
    const bool ok = raw(Z_pdfiumZ_FPDF_GetPageSizeByIndexF, d.address, wasm(index), out) != 0;
    if (size) *size = fetch<FS_SIZEF>(out);
    return ok;
}

int EPDF_GetPageRotationByIndex(FPDF_DOCUMENT d, int index) {
    return call<int>(Z_pdfiumZ_EPDF_GetPageRotationByIndex, d, index);
}

int EPDFDoc_GetPageObjectNumberByIndex(FPDF_DOCUMENT d, int index) {
    return call<int>(Z_pdfiumZ_EPDFDoc_GetPageObjectNumberByIndex, d, index);
}

bool EPDF_GetPageBoxByIndex(FPDF_DOCUMENT d, int index, int box, FS_RECTF* rect) {
    Scratch s;
    const Address out = s.reserve(sizeof(FS_RECTF));
    store<FS_RECTF>(out, FS_RECTF{});
    const bool ok = raw(Z_pdfiumZ_EPDF_GetPageBoxByIndex, d.address, wasm(index), wasm(box), out) != 0;
    if (rect) *rect = fetch<FS_RECTF>(out);
    return ok;
}

unsigned long FPDF_GetMetaText(FPDF_DOCUMENT d, std::string_view tag, std::span<uint16_t> buffer) {
    Scratch s;
    const Address key = s.bytes(tag);
    Z_pdfium_instance_t* m = M;
    return wideOut(buffer, 2, [&](Address out, u32 bytes) {
        return Z_pdfiumZ_FPDF_GetMetaText(m, d.address, key, out, bytes);
    });
}

unsigned long FPDF_GetPageLabel(FPDF_DOCUMENT d, int index, std::span<uint16_t> buffer) {
    Z_pdfium_instance_t* m = M;
    return wideOut(buffer, 2, [&](Address out, u32 bytes) {
        return Z_pdfiumZ_FPDF_GetPageLabel(m, d.address, wasm(index), out, bytes);
    });
}

bool EPDF_RemoveEncryption(FPDF_DOCUMENT d) { return call<bool>(Z_pdfiumZ_EPDF_RemoveEncryption, d); }

bool FPDF_ImportPagesByIndex(FPDF_DOCUMENT destination, FPDF_DOCUMENT source, std::span<const int> indices,
                             int insertIndex) {
    Scratch s;
    const Address list = s.copy({reinterpret_cast<const uint8_t*>(indices.data()), indices.size_bytes()});
    return raw(Z_pdfiumZ_FPDF_ImportPagesByIndex, destination.address, source.address,
               indices.empty() ? 0u : list, static_cast<u32>(indices.size()), wasm(insertIndex)) != 0;
}

bool FPDF_ImportPages(FPDF_DOCUMENT destination, FPDF_DOCUMENT source, std::string_view pageRange,
                      int insertIndex) {
    Scratch s;
    const Address range = pageRange.empty() ? 0 : s.bytes(pageRange);
    return raw(Z_pdfiumZ_FPDF_ImportPages, destination.address, source.address, range, wasm(insertIndex)) !=
           0;
}

bool FPDF_MovePages(FPDF_DOCUMENT d, std::span<const int> indices, int destinationIndex) {
    Scratch s;
    const Address list = s.copy({reinterpret_cast<const uint8_t*>(indices.data()), indices.size_bytes()});
    return raw(Z_pdfiumZ_FPDF_MovePages, d.address, list, static_cast<u32>(indices.size()),
               wasm(destinationIndex)) != 0;
}

void FPDFPage_Delete(FPDF_DOCUMENT d, int index) { call<void>(Z_pdfiumZ_FPDFPage_Delete, d, index); }
FPDF_PAGE FPDFPage_New(FPDF_DOCUMENT d, int index, double width, double height) {
    return call<FPDF_PAGE>(Z_pdfiumZ_FPDFPage_New, d, index, width, height);
}
bool FPDF_CopyViewerPreferences(FPDF_DOCUMENT destination, FPDF_DOCUMENT source) {
    return call<bool>(Z_pdfiumZ_FPDF_CopyViewerPreferences, destination, source);
}

// ---------------------------------------------------------------------------------------------
// Pages.

FPDF_PAGE FPDF_LoadPage(FPDF_DOCUMENT d, int index) {
    return call<FPDF_PAGE>(Z_pdfiumZ_FPDF_LoadPage, d, index);
}
void FPDF_ClosePage(FPDF_PAGE p) { call<void>(Z_pdfiumZ_FPDF_ClosePage, p); }
float FPDF_GetPageWidthF(FPDF_PAGE p) { return call<float>(Z_pdfiumZ_FPDF_GetPageWidthF, p); }
float FPDF_GetPageHeightF(FPDF_PAGE p) { return call<float>(Z_pdfiumZ_FPDF_GetPageHeightF, p); }
int FPDFPage_GetRotation(FPDF_PAGE p) { return call<int>(Z_pdfiumZ_FPDFPage_GetRotation, p); }
void FPDFPage_SetRotation(FPDF_PAGE p, int rotate) { call<void>(Z_pdfiumZ_FPDFPage_SetRotation, p, rotate); }
bool FPDFPage_GenerateContent(FPDF_PAGE p) { return call<bool>(Z_pdfiumZ_FPDFPage_GenerateContent, p); }
void FPDFPage_InsertObject(FPDF_PAGE p, FPDF_PAGEOBJECT o) {
    call<void>(Z_pdfiumZ_FPDFPage_InsertObject, p, o);
}
bool FPDFPage_RemoveObject(FPDF_PAGE p, FPDF_PAGEOBJECT o) {
    return call<bool>(Z_pdfiumZ_FPDFPage_RemoveObject, p, o);
}
int FPDFPage_CountObjects(FPDF_PAGE p) { return call<int>(Z_pdfiumZ_FPDFPage_CountObjects, p); }
FPDF_PAGEOBJECT FPDFPage_GetObject(FPDF_PAGE p, int index) {
    return call<FPDF_PAGEOBJECT>(Z_pdfiumZ_FPDFPage_GetObject, p, index);
}
bool FPDFPage_HasTransparency(FPDF_PAGE p) { return call<bool>(Z_pdfiumZ_FPDFPage_HasTransparency, p); }

namespace {
template <class Fn>
bool boxOut(Fn fn, FPDF_PAGE p, float* left, float* bottom, float* right, float* top) {
    Scratch s;
    const Address out = s.reserve(16);
    const bool ok = raw(fn, p.address, out, out + 4, out + 8, out + 12) != 0;
    if (left) *left = fetch<float>(out);
    if (bottom) *bottom = fetch<float>(out + 4);
    if (right) *right = fetch<float>(out + 8);
    if (top) *top = fetch<float>(out + 12);
    return ok;
}
}  // namespace

bool FPDFPage_GetMediaBox(FPDF_PAGE p, float* left, float* bottom, float* right, float* top) {
    return boxOut(Z_pdfiumZ_FPDFPage_GetMediaBox, p, left, bottom, right, top);
}
bool FPDFPage_GetCropBox(FPDF_PAGE p, float* left, float* bottom, float* right, float* top) {
    return boxOut(Z_pdfiumZ_FPDFPage_GetCropBox, p, left, bottom, right, top);
}

bool FPDF_GetPageBoundingBox(FPDF_PAGE p, FS_RECTF* rect) {
    Scratch s;
    const Address out = s.reserve(sizeof(FS_RECTF));
    const bool ok = raw(Z_pdfiumZ_FPDF_GetPageBoundingBox, p.address, out) != 0;
    if (rect) *rect = fetch<FS_RECTF>(out);
    return ok;
}

bool FPDF_PageToDevice(FPDF_PAGE p, int startX, int startY, int sizeX, int sizeY, int rotate, double pageX,
                       double pageY, int* deviceX, int* deviceY) {
    Scratch s;
    const Address out = s.reserve(8);
    const bool ok = raw(Z_pdfiumZ_FPDF_PageToDevice, p.address, wasm(startX), wasm(startY), wasm(sizeX),
                        wasm(sizeY), wasm(rotate), pageX, pageY, out, out + 4) != 0;
    if (deviceX) *deviceX = fetch<int32_t>(out);
    if (deviceY) *deviceY = fetch<int32_t>(out + 4);
    return ok;
}

bool FPDF_DeviceToPage(FPDF_PAGE p, int startX, int startY, int sizeX, int sizeY, int rotate, int deviceX,
                       int deviceY, double* pageX, double* pageY) {
    Scratch s;
    const Address out = s.reserve(16);
    const bool ok = raw(Z_pdfiumZ_FPDF_DeviceToPage, p.address, wasm(startX), wasm(startY), wasm(sizeX),
                        wasm(sizeY), wasm(rotate), wasm(deviceX), wasm(deviceY), out, out + 8) != 0;
    if (pageX) *pageX = fetch<double>(out);
    if (pageY) *pageY = fetch<double>(out + 8);
    return ok;
}

// ---------------------------------------------------------------------------------------------
// Bitmaps and rendering.

FPDF_BITMAP FPDFBitmap_Create(int width, int height, int alpha) {
    return call<FPDF_BITMAP>(Z_pdfiumZ_FPDFBitmap_Create, width, height, alpha);
}
FPDF_BITMAP FPDFBitmap_CreateEx(int width, int height, int format) {
    // No external buffer: the pixels must live in module memory.
    return call<FPDF_BITMAP>(Z_pdfiumZ_FPDFBitmap_CreateEx, width, height, format, 0, 0);
}
FPDF_BITMAP FPDFBitmap_CreateEx(int width, int height, int format, Address firstScan, int stride) {
    return call<FPDF_BITMAP>(Z_pdfiumZ_FPDFBitmap_CreateEx, width, height, format, firstScan, stride);
}
void FPDFBitmap_Destroy(FPDF_BITMAP b) { call<void>(Z_pdfiumZ_FPDFBitmap_Destroy, b); }
bool FPDFBitmap_FillRect(FPDF_BITMAP b, int left, int top, int width, int height, unsigned long color) {
    return call<bool>(Z_pdfiumZ_FPDFBitmap_FillRect, b, left, top, width, height, color);
}
int FPDFBitmap_GetWidth(FPDF_BITMAP b) { return call<int>(Z_pdfiumZ_FPDFBitmap_GetWidth, b); }
int FPDFBitmap_GetHeight(FPDF_BITMAP b) { return call<int>(Z_pdfiumZ_FPDFBitmap_GetHeight, b); }
int FPDFBitmap_GetStride(FPDF_BITMAP b) { return call<int>(Z_pdfiumZ_FPDFBitmap_GetStride, b); }
int FPDFBitmap_GetFormat(FPDF_BITMAP b) { return call<int>(Z_pdfiumZ_FPDFBitmap_GetFormat, b); }
Address FPDFBitmap_GetBuffer(FPDF_BITMAP b) { return call<Address>(Z_pdfiumZ_FPDFBitmap_GetBuffer, b); }

std::span<uint8_t> bitmapPixels(FPDF_BITMAP b) {
    const Address buffer = FPDFBitmap_GetBuffer(b);
    const int stride = FPDFBitmap_GetStride(b);
    const int height = FPDFBitmap_GetHeight(b);
    if (buffer == 0 || stride <= 0 || height <= 0) return {};
    const size_t length = static_cast<size_t>(stride) * static_cast<size_t>(height);
    return {module::hostPointer(buffer, length), length};
}

void FPDF_RenderPageBitmap(FPDF_BITMAP b, FPDF_PAGE p, int startX, int startY, int sizeX, int sizeY,
                           int rotate, int flags) {
    call<void>(Z_pdfiumZ_FPDF_RenderPageBitmap, b, p, startX, startY, sizeX, sizeY, rotate, flags);
}

void FPDF_RenderPageBitmapWithMatrix(FPDF_BITMAP b, FPDF_PAGE p, const FS_MATRIX& matrix,
                                     const FS_RECTF& clip, int flags) {
    Scratch s;
    const Address m = s.reserve(sizeof(FS_MATRIX));
    store(m, matrix);
    const Address c = s.reserve(sizeof(FS_RECTF));
    store(c, clip);
    raw(Z_pdfiumZ_FPDF_RenderPageBitmapWithMatrix, b.address, p.address, m, c, wasm(flags));
}

void FPDF_FFLDraw(FPDF_FORMHANDLE form, FPDF_BITMAP b, FPDF_PAGE p, int startX, int startY, int sizeX,
                  int sizeY, int rotate, int flags) {
    call<void>(Z_pdfiumZ_FPDF_FFLDraw, form, b, p, startX, startY, sizeX, sizeY, rotate, flags);
}

// ---------------------------------------------------------------------------------------------
// Text.

FPDF_TEXTPAGE FPDFText_LoadPage(FPDF_PAGE p) { return call<FPDF_TEXTPAGE>(Z_pdfiumZ_FPDFText_LoadPage, p); }
void FPDFText_ClosePage(FPDF_TEXTPAGE t) { call<void>(Z_pdfiumZ_FPDFText_ClosePage, t); }
int FPDFText_CountChars(FPDF_TEXTPAGE t) { return call<int>(Z_pdfiumZ_FPDFText_CountChars, t); }
unsigned int FPDFText_GetUnicode(FPDF_TEXTPAGE t, int index) {
    return call<unsigned int>(Z_pdfiumZ_FPDFText_GetUnicode, t, index);
}
int FPDFText_IsGenerated(FPDF_TEXTPAGE t, int index) {
    return call<int>(Z_pdfiumZ_FPDFText_IsGenerated, t, index);
}
double FPDFText_GetFontSize(FPDF_TEXTPAGE t, int index) {
    return call<double>(Z_pdfiumZ_FPDFText_GetFontSize, t, index);
}

bool FPDFText_GetCharBox(FPDF_TEXTPAGE t, int index, double* left, double* right, double* bottom,
                         double* top) {
    Scratch s;
    const Address out = s.reserve(32);
    const bool ok =
        raw(Z_pdfiumZ_FPDFText_GetCharBox, t.address, wasm(index), out, out + 8, out + 16, out + 24) != 0;
    if (left) *left = fetch<double>(out);
    if (right) *right = fetch<double>(out + 8);
    if (bottom) *bottom = fetch<double>(out + 16);
    if (top) *top = fetch<double>(out + 24);
    return ok;
}

bool FPDFText_GetLooseCharBox(FPDF_TEXTPAGE t, int index, FS_RECTF* rect) {
    Scratch s;
    const Address out = s.reserve(sizeof(FS_RECTF));
    const bool ok = raw(Z_pdfiumZ_FPDFText_GetLooseCharBox, t.address, wasm(index), out) != 0;
    if (rect) *rect = fetch<FS_RECTF>(out);
    return ok;
}

bool FPDFText_GetCharOrigin(FPDF_TEXTPAGE t, int index, double* x, double* y) {
    Scratch s;
    const Address out = s.reserve(16);
    const bool ok = raw(Z_pdfiumZ_FPDFText_GetCharOrigin, t.address, wasm(index), out, out + 8) != 0;
    if (x) *x = fetch<double>(out);
    if (y) *y = fetch<double>(out + 8);
    return ok;
}

int FPDFText_GetCharIndexAtPos(FPDF_TEXTPAGE t, double x, double y, double xTolerance, double yTolerance) {
    return call<int>(Z_pdfiumZ_FPDFText_GetCharIndexAtPos, t, x, y, xTolerance, yTolerance);
}

int FPDFText_GetText(FPDF_TEXTPAGE t, int startIndex, int count, std::span<uint16_t> buffer) {
    if (buffer.empty()) return 0;
    Z_pdfium_instance_t* m = M;
    return static_cast<int>(wideOut(buffer, 2, [&](Address out, u32) {
        return Z_pdfiumZ_FPDFText_GetText(m, t.address, wasm(startIndex), wasm(count), out);
    }));
}

int FPDFText_CountRects(FPDF_TEXTPAGE t, int startIndex, int count) {
    return call<int>(Z_pdfiumZ_FPDFText_CountRects, t, startIndex, count);
}

bool FPDFText_GetRect(FPDF_TEXTPAGE t, int rectIndex, double* left, double* top, double* right,
                      double* bottom) {
    Scratch s;
    const Address out = s.reserve(32);
    const bool ok =
        raw(Z_pdfiumZ_FPDFText_GetRect, t.address, wasm(rectIndex), out, out + 8, out + 16, out + 24) != 0;
    if (left) *left = fetch<double>(out);
    if (top) *top = fetch<double>(out + 8);
    if (right) *right = fetch<double>(out + 16);
    if (bottom) *bottom = fetch<double>(out + 24);
    return ok;
}

FPDF_SCHHANDLE FPDFText_FindStart(FPDF_TEXTPAGE t, std::u16string_view what, unsigned long flags,
                                  int startIndex) {
    Scratch s;
    const Address text = s.wide(what);
    return FPDF_SCHHANDLE{raw(Z_pdfiumZ_FPDFText_FindStart, t.address, text, wasm(flags), wasm(startIndex))};
}
bool FPDFText_FindNext(FPDF_SCHHANDLE h) { return call<bool>(Z_pdfiumZ_FPDFText_FindNext, h); }
int FPDFText_GetSchResultIndex(FPDF_SCHHANDLE h) {
    return call<int>(Z_pdfiumZ_FPDFText_GetSchResultIndex, h);
}
int FPDFText_GetSchCount(FPDF_SCHHANDLE h) { return call<int>(Z_pdfiumZ_FPDFText_GetSchCount, h); }
void FPDFText_FindClose(FPDF_SCHHANDLE h) { call<void>(Z_pdfiumZ_FPDFText_FindClose, h); }

// ---------------------------------------------------------------------------------------------
// Annotations.

int FPDFPage_GetAnnotCount(FPDF_PAGE p) { return call<int>(Z_pdfiumZ_FPDFPage_GetAnnotCount, p); }
int EPDFPage_GetAnnotCountRaw(FPDF_DOCUMENT d, int pageIndex) {
    return call<int>(Z_pdfiumZ_EPDFPage_GetAnnotCountRaw, d, pageIndex);
}
FPDF_ANNOTATION EPDFPage_GetAnnotRaw(FPDF_DOCUMENT d, int pageIndex, int index) {
    return call<FPDF_ANNOTATION>(Z_pdfiumZ_EPDFPage_GetAnnotRaw, d, pageIndex, index);
}
FPDF_ANNOTATION FPDFPage_GetAnnot(FPDF_PAGE p, int index) {
    return call<FPDF_ANNOTATION>(Z_pdfiumZ_FPDFPage_GetAnnot, p, index);
}
int FPDFPage_GetAnnotIndex(FPDF_PAGE p, FPDF_ANNOTATION a) {
    return call<int>(Z_pdfiumZ_FPDFPage_GetAnnotIndex, p, a);
}
FPDF_ANNOTATION FPDFPage_CreateAnnot(FPDF_PAGE p, int subtype) {
    return call<FPDF_ANNOTATION>(Z_pdfiumZ_FPDFPage_CreateAnnot, p, subtype);
}
bool FPDFPage_RemoveAnnot(FPDF_PAGE p, int index) {
    return call<bool>(Z_pdfiumZ_FPDFPage_RemoveAnnot, p, index);
}
void FPDFPage_CloseAnnot(FPDF_ANNOTATION a) { call<void>(Z_pdfiumZ_FPDFPage_CloseAnnot, a); }
int FPDFAnnot_GetSubtype(FPDF_ANNOTATION a) { return call<int>(Z_pdfiumZ_FPDFAnnot_GetSubtype, a); }
bool FPDFAnnot_IsSupportedSubtype(int subtype) {
    return call<bool>(Z_pdfiumZ_FPDFAnnot_IsSupportedSubtype, subtype);
}

bool FPDFAnnot_GetRect(FPDF_ANNOTATION a, FS_RECTF* rect) {
    Scratch s;
    const Address out = s.reserve(sizeof(FS_RECTF));
    const bool ok = raw(Z_pdfiumZ_FPDFAnnot_GetRect, a.address, out) != 0;
    if (rect) *rect = fetch<FS_RECTF>(out);
    return ok;
}

bool FPDFAnnot_SetRect(FPDF_ANNOTATION a, const FS_RECTF& rect) {
    Scratch s;
    const Address in = s.reserve(sizeof(FS_RECTF));
    store(in, rect);
    return raw(Z_pdfiumZ_FPDFAnnot_SetRect, a.address, in) != 0;
}

bool FPDFAnnot_SetColor(FPDF_ANNOTATION a, int colorType, unsigned int r, unsigned int g, unsigned int b,
                        unsigned int alpha) {
    return call<bool>(Z_pdfiumZ_FPDFAnnot_SetColor, a, colorType, r, g, b, alpha);
}

bool FPDFAnnot_GetColor(FPDF_ANNOTATION a, int colorType, unsigned int* r, unsigned int* g, unsigned int* b,
                        unsigned int* alpha) {
    Scratch s;
    const Address out = s.reserve(16);
    const bool ok =
        raw(Z_pdfiumZ_FPDFAnnot_GetColor, a.address, wasm(colorType), out, out + 4, out + 8, out + 12) != 0;
    if (r) *r = fetch<uint32_t>(out);
    if (g) *g = fetch<uint32_t>(out + 4);
    if (b) *b = fetch<uint32_t>(out + 8);
    if (alpha) *alpha = fetch<uint32_t>(out + 12);
    return ok;
}

bool FPDFAnnot_HasAttachmentPoints(FPDF_ANNOTATION a) {
    return call<bool>(Z_pdfiumZ_FPDFAnnot_HasAttachmentPoints, a);
}

bool FPDFAnnot_AppendAttachmentPoints(FPDF_ANNOTATION a, const FS_QUADPOINTSF& quad) {
    Scratch s;
    const Address in = s.reserve(sizeof quad);
    store(in, quad);
    return raw(Z_pdfiumZ_FPDFAnnot_AppendAttachmentPoints, a.address, in) != 0;
}

bool FPDFAnnot_SetAttachmentPoints(FPDF_ANNOTATION a, size_t index, const FS_QUADPOINTSF& quad) {
    Scratch s;
    const Address in = s.reserve(sizeof quad);
    store(in, quad);
    return raw(Z_pdfiumZ_FPDFAnnot_SetAttachmentPoints, a.address, static_cast<u32>(index), in) != 0;
}

size_t FPDFAnnot_CountAttachmentPoints(FPDF_ANNOTATION a) {
    return call<size_t>(Z_pdfiumZ_FPDFAnnot_CountAttachmentPoints, a);
}

bool FPDFAnnot_GetAttachmentPoints(FPDF_ANNOTATION a, size_t index, FS_QUADPOINTSF* quad) {
    Scratch s;
    const Address out = s.reserve(sizeof(FS_QUADPOINTSF));
    const bool ok =
        raw(Z_pdfiumZ_FPDFAnnot_GetAttachmentPoints, a.address, static_cast<u32>(index), out) != 0;
    if (quad) *quad = fetch<FS_QUADPOINTSF>(out);
    return ok;
}

int FPDFAnnot_AddInkStroke(FPDF_ANNOTATION a, std::span<const FS_POINTF> points) {
    Scratch s;
    const Address in = s.copy({reinterpret_cast<const uint8_t*>(points.data()), points.size_bytes()});
    return static_cast<int>(
        raw(Z_pdfiumZ_FPDFAnnot_AddInkStroke, a.address, in, static_cast<u32>(points.size())));
}

bool FPDFAnnot_RemoveInkList(FPDF_ANNOTATION a) { return call<bool>(Z_pdfiumZ_FPDFAnnot_RemoveInkList, a); }
unsigned long FPDFAnnot_GetInkListCount(FPDF_ANNOTATION a) {
    return call<unsigned long>(Z_pdfiumZ_FPDFAnnot_GetInkListCount, a);
}

unsigned long FPDFAnnot_GetInkListPath(FPDF_ANNOTATION a, unsigned long pathIndex,
                                       std::span<FS_POINTF> buffer) {
    Scratch s;
    const size_t bytes = buffer.size_bytes();
    const Address out = buffer.empty() ? 0 : s.reserve(bytes);
    const u32 count = raw(Z_pdfiumZ_FPDFAnnot_GetInkListPath, a.address, wasm(pathIndex), out,
                          static_cast<u32>(buffer.size()));
    if (!buffer.empty()) std::memcpy(buffer.data(), module::hostPointer(out, bytes), bytes);
    return count;
}

bool FPDFAnnot_HasKey(FPDF_ANNOTATION a, std::string_view key) {
    Scratch s;
    return raw(Z_pdfiumZ_FPDFAnnot_HasKey, a.address, s.bytes(key)) != 0;
}

int FPDFAnnot_GetValueType(FPDF_ANNOTATION a, std::string_view key) {
    Scratch s;
    return static_cast<int>(raw(Z_pdfiumZ_FPDFAnnot_GetValueType, a.address, s.bytes(key)));
}

bool FPDFAnnot_SetStringValue(FPDF_ANNOTATION a, std::string_view key, std::u16string_view value) {
    Scratch s;
    const Address k = s.bytes(key);
    const Address v = s.wide(value);
    return raw(Z_pdfiumZ_FPDFAnnot_SetStringValue, a.address, k, v) != 0;
}

unsigned long FPDFAnnot_GetStringValue(FPDF_ANNOTATION a, std::string_view key, std::span<uint16_t> buffer) {
    Scratch s;
    const Address k = s.bytes(key);
    Z_pdfium_instance_t* m = M;
    return wideOut(buffer, 2, [&](Address out, u32 bytes) {
        return Z_pdfiumZ_FPDFAnnot_GetStringValue(m, a.address, k, out, bytes);
    });
}

bool FPDFAnnot_GetNumberValue(FPDF_ANNOTATION a, std::string_view key, float* value) {
    Scratch s;
    const Address k = s.bytes(key);
    const Address out = s.reserve(4);
    const bool ok = raw(Z_pdfiumZ_FPDFAnnot_GetNumberValue, a.address, k, out) != 0;
    if (value) *value = fetch<float>(out);
    return ok;
}

bool FPDFAnnot_SetAP(FPDF_ANNOTATION a, int appearanceMode, const std::u16string* value) {
    Scratch s;
    const Address v = value ? s.wide(*value) : 0;
    return raw(Z_pdfiumZ_FPDFAnnot_SetAP, a.address, wasm(appearanceMode), v) != 0;
}

unsigned long FPDFAnnot_GetAP(FPDF_ANNOTATION a, int appearanceMode, std::span<uint16_t> buffer) {
    Z_pdfium_instance_t* m = M;
    return wideOut(buffer, 2, [&](Address out, u32 bytes) {
        return Z_pdfiumZ_FPDFAnnot_GetAP(m, a.address, wasm(appearanceMode), out, bytes);
    });
}

bool EPDFAnnot_HasAppearanceStream(FPDF_ANNOTATION a, int appearanceMode) {
    return call<bool>(Z_pdfiumZ_EPDFAnnot_HasAppearanceStream, a, appearanceMode);
}

int EPDFAnnot_GetObjectNumber(FPDF_ANNOTATION a) { return call<int>(Z_pdfiumZ_EPDFAnnot_GetObjectNumber, a); }

FPDF_ANNOTATION FPDFAnnot_GetLinkedAnnot(FPDF_ANNOTATION a, std::string_view key) {
    Scratch s;
    return FPDF_ANNOTATION{raw(Z_pdfiumZ_FPDFAnnot_GetLinkedAnnot, a.address, s.bytes(key))};
}

int FPDFAnnot_GetFlags(FPDF_ANNOTATION a) { return call<int>(Z_pdfiumZ_FPDFAnnot_GetFlags, a); }
bool FPDFAnnot_SetFlags(FPDF_ANNOTATION a, int flags) {
    return call<bool>(Z_pdfiumZ_FPDFAnnot_SetFlags, a, flags);
}
bool FPDFAnnot_SetBorder(FPDF_ANNOTATION a, float horizontalRadius, float verticalRadius, float borderWidth) {
    return call<bool>(Z_pdfiumZ_FPDFAnnot_SetBorder, a, horizontalRadius, verticalRadius, borderWidth);
}

bool FPDFAnnot_GetBorder(FPDF_ANNOTATION a, float* horizontalRadius, float* verticalRadius,
                         float* borderWidth) {
    Scratch s;
    const Address out = s.reserve(12);
    const bool ok = raw(Z_pdfiumZ_FPDFAnnot_GetBorder, a.address, out, out + 4, out + 8) != 0;
    if (horizontalRadius) *horizontalRadius = fetch<float>(out);
    if (verticalRadius) *verticalRadius = fetch<float>(out + 4);
    if (borderWidth) *borderWidth = fetch<float>(out + 8);
    return ok;
}

bool FPDFAnnot_AppendObject(FPDF_ANNOTATION a, FPDF_PAGEOBJECT o) {
    return call<bool>(Z_pdfiumZ_FPDFAnnot_AppendObject, a, o);
}
bool FPDFAnnot_UpdateObject(FPDF_ANNOTATION a, FPDF_PAGEOBJECT o) {
    return call<bool>(Z_pdfiumZ_FPDFAnnot_UpdateObject, a, o);
}
int FPDFAnnot_GetObjectCount(FPDF_ANNOTATION a) { return call<int>(Z_pdfiumZ_FPDFAnnot_GetObjectCount, a); }
FPDF_PAGEOBJECT FPDFAnnot_GetObject(FPDF_ANNOTATION a, int index) {
    return call<FPDF_PAGEOBJECT>(Z_pdfiumZ_FPDFAnnot_GetObject, a, index);
}
bool FPDFAnnot_RemoveObject(FPDF_ANNOTATION a, int index) {
    return call<bool>(Z_pdfiumZ_FPDFAnnot_RemoveObject, a, index);
}

int FPDFAnnot_GetFormFieldFlags(FPDF_FORMHANDLE f, FPDF_ANNOTATION a) {
    return call<int>(Z_pdfiumZ_FPDFAnnot_GetFormFieldFlags, f, a);
}
bool FPDFAnnot_SetFormFieldFlags(FPDF_FORMHANDLE f, FPDF_ANNOTATION a, int flags) {
    return call<bool>(Z_pdfiumZ_FPDFAnnot_SetFormFieldFlags, f, a, flags);
}
int FPDFAnnot_GetFormFieldType(FPDF_FORMHANDLE f, FPDF_ANNOTATION a) {
    return call<int>(Z_pdfiumZ_FPDFAnnot_GetFormFieldType, f, a);
}

#define KIVO_FORM_STRING(name)                                                             \
    unsigned long name(FPDF_FORMHANDLE f, FPDF_ANNOTATION a, std::span<uint16_t> buffer) { \
        Z_pdfium_instance_t* m = M;                                                        \
        return wideOut(buffer, 2, [&](Address out, u32 bytes) {                            \
            return Z_pdfiumZ_##name(m, f.address, a.address, out, bytes);                  \
        });                                                                                \
    }
KIVO_FORM_STRING(FPDFAnnot_GetFormFieldName)
KIVO_FORM_STRING(FPDFAnnot_GetFormFieldAlternateName)
KIVO_FORM_STRING(FPDFAnnot_GetFormFieldValue)
KIVO_FORM_STRING(FPDFAnnot_GetFormFieldExportValue)
#undef KIVO_FORM_STRING

int FPDFAnnot_GetOptionCount(FPDF_FORMHANDLE f, FPDF_ANNOTATION a) {
    return call<int>(Z_pdfiumZ_FPDFAnnot_GetOptionCount, f, a);
}

unsigned long FPDFAnnot_GetOptionLabel(FPDF_FORMHANDLE f, FPDF_ANNOTATION a, int index,
                                       std::span<uint16_t> buffer) {
    Z_pdfium_instance_t* m = M;
    return wideOut(buffer, 2, [&](Address out, u32 bytes) {
        return Z_pdfiumZ_FPDFAnnot_GetOptionLabel(m, f.address, a.address, wasm(index), out, bytes);
    });
}

bool FPDFAnnot_IsOptionSelected(FPDF_FORMHANDLE f, FPDF_ANNOTATION a, int index) {
    return call<bool>(Z_pdfiumZ_FPDFAnnot_IsOptionSelected, f, a, index);
}
bool FPDFAnnot_IsChecked(FPDF_FORMHANDLE f, FPDF_ANNOTATION a) {
    return call<bool>(Z_pdfiumZ_FPDFAnnot_IsChecked, f, a);
}
int FPDFAnnot_GetFormControlCount(FPDF_FORMHANDLE f, FPDF_ANNOTATION a) {
    return call<int>(Z_pdfiumZ_FPDFAnnot_GetFormControlCount, f, a);
}
int FPDFAnnot_GetFormControlIndex(FPDF_FORMHANDLE f, FPDF_ANNOTATION a) {
    return call<int>(Z_pdfiumZ_FPDFAnnot_GetFormControlIndex, f, a);
}

unsigned long FPDFAnnot_GetFormAdditionalActionJavaScript(FPDF_FORMHANDLE f, FPDF_ANNOTATION a, int event,
                                                          std::span<uint16_t> buffer) {
    Z_pdfium_instance_t* m = M;
    return wideOut(buffer, 2, [&](Address out, u32 bytes) {
        return Z_pdfiumZ_FPDFAnnot_GetFormAdditionalActionJavaScript(m, f.address, a.address, wasm(event),
                                                                     out, bytes);
    });
}

bool FPDFAnnot_SetFontColor(FPDF_FORMHANDLE f, FPDF_ANNOTATION a, unsigned int r, unsigned int g,
                            unsigned int b) {
    return call<bool>(Z_pdfiumZ_FPDFAnnot_SetFontColor, f, a, r, g, b);
}

bool FPDFAnnot_GetFontSize(FPDF_FORMHANDLE f, FPDF_ANNOTATION a, float* value) {
    Scratch s;
    const Address out = s.reserve(4);
    const bool ok = raw(Z_pdfiumZ_FPDFAnnot_GetFontSize, f.address, a.address, out) != 0;
    if (value) *value = fetch<float>(out);
    return ok;
}

// ---------------------------------------------------------------------------------------------
// Form-fill environment.

FPDF_FORMHANDLE FPDFDOC_InitFormFillEnvironment(FPDF_DOCUMENT d, Address formInfo) {
    return FPDF_FORMHANDLE{raw(Z_pdfiumZ_FPDFDOC_InitFormFillEnvironment, d.address, formInfo)};
}
void FPDFDOC_ExitFormFillEnvironment(FPDF_FORMHANDLE f) {
    call<void>(Z_pdfiumZ_FPDFDOC_ExitFormFillEnvironment, f);
}
void FORM_OnAfterLoadPage(FPDF_PAGE p, FPDF_FORMHANDLE f) {
    call<void>(Z_pdfiumZ_FORM_OnAfterLoadPage, p, f);
}
void FORM_OnBeforeClosePage(FPDF_PAGE p, FPDF_FORMHANDLE f) {
    call<void>(Z_pdfiumZ_FORM_OnBeforeClosePage, p, f);
}
bool FORM_SetFocusedAnnot(FPDF_FORMHANDLE f, FPDF_ANNOTATION a) {
    return call<bool>(Z_pdfiumZ_FORM_SetFocusedAnnot, f, a);
}
bool FORM_ForceToKillFocus(FPDF_FORMHANDLE f) { return call<bool>(Z_pdfiumZ_FORM_ForceToKillFocus, f); }
bool FORM_SelectAllText(FPDF_FORMHANDLE f, FPDF_PAGE p) {
    return call<bool>(Z_pdfiumZ_FORM_SelectAllText, f, p);
}

void FORM_ReplaceSelection(FPDF_FORMHANDLE f, FPDF_PAGE p, std::u16string_view text) {
    Scratch s;
    raw(Z_pdfiumZ_FORM_ReplaceSelection, f.address, p.address, s.wide(text));
}

unsigned long FORM_GetFocusedText(FPDF_FORMHANDLE f, FPDF_PAGE p, std::span<uint16_t> buffer) {
    Z_pdfium_instance_t* m = M;
    return wideOut(buffer, 2, [&](Address out, u32 bytes) {
        return Z_pdfiumZ_FORM_GetFocusedText(m, f.address, p.address, out, bytes);
    });
}

bool FORM_SetIndexSelected(FPDF_FORMHANDLE f, FPDF_PAGE p, int index, bool selected) {
    return call<bool>(Z_pdfiumZ_FORM_SetIndexSelected, f, p, index, selected);
}
bool FORM_IsIndexSelected(FPDF_FORMHANDLE f, FPDF_PAGE p, int index) {
    return call<bool>(Z_pdfiumZ_FORM_IsIndexSelected, f, p, index);
}
bool FORM_OnLButtonDown(FPDF_FORMHANDLE f, FPDF_PAGE p, int modifier, double x, double y) {
    return call<bool>(Z_pdfiumZ_FORM_OnLButtonDown, f, p, modifier, x, y);
}
bool FORM_OnLButtonUp(FPDF_FORMHANDLE f, FPDF_PAGE p, int modifier, double x, double y) {
    return call<bool>(Z_pdfiumZ_FORM_OnLButtonUp, f, p, modifier, x, y);
}
bool FORM_OnKeyDown(FPDF_FORMHANDLE f, FPDF_PAGE p, int keyCode, int modifier) {
    return call<bool>(Z_pdfiumZ_FORM_OnKeyDown, f, p, keyCode, modifier);
}
bool FORM_OnKeyUp(FPDF_FORMHANDLE f, FPDF_PAGE p, int keyCode, int modifier) {
    return call<bool>(Z_pdfiumZ_FORM_OnKeyUp, f, p, keyCode, modifier);
}
bool FORM_OnChar(FPDF_FORMHANDLE f, FPDF_PAGE p, int charCode, int modifier) {
    return call<bool>(Z_pdfiumZ_FORM_OnChar, f, p, charCode, modifier);
}
void FPDF_SetFormFieldHighlightAlpha(FPDF_FORMHANDLE f, unsigned char alpha) {
    call<void>(Z_pdfiumZ_FPDF_SetFormFieldHighlightAlpha, f, alpha);
}

// ---------------------------------------------------------------------------------------------
// Page objects.

FPDF_PAGEOBJECT FPDFPageObj_NewImageObj(FPDF_DOCUMENT d) {
    return call<FPDF_PAGEOBJECT>(Z_pdfiumZ_FPDFPageObj_NewImageObj, d);
}

FPDF_PAGEOBJECT FPDFPageObj_NewTextObj(FPDF_DOCUMENT d, std::string_view font, float fontSize) {
    Scratch s;
    return FPDF_PAGEOBJECT{raw(Z_pdfiumZ_FPDFPageObj_NewTextObj, d.address, s.bytes(font), fontSize)};
}

FPDF_PAGEOBJECT FPDFPageObj_CreateTextObj(FPDF_DOCUMENT d, FPDF_FONT font, float fontSize) {
    return call<FPDF_PAGEOBJECT>(Z_pdfiumZ_FPDFPageObj_CreateTextObj, d, font, fontSize);
}
FPDF_PAGEOBJECT FPDFPageObj_CreateNewRect(float x, float y, float width, float height) {
    return call<FPDF_PAGEOBJECT>(Z_pdfiumZ_FPDFPageObj_CreateNewRect, x, y, width, height);
}
FPDF_PAGEOBJECT FPDFPageObj_CreateNewPath(float x, float y) {
    return call<FPDF_PAGEOBJECT>(Z_pdfiumZ_FPDFPageObj_CreateNewPath, x, y);
}

FPDF_FONT FPDFText_LoadStandardFont(FPDF_DOCUMENT d, std::string_view font) {
    Scratch s;
    return FPDF_FONT{raw(Z_pdfiumZ_FPDFText_LoadStandardFont, d.address, s.bytes(font))};
}
void FPDFFont_Close(FPDF_FONT font) { call<void>(Z_pdfiumZ_FPDFFont_Close, font); }

bool FPDFText_SetText(FPDF_PAGEOBJECT o, std::u16string_view text) {
    Scratch s;
    return raw(Z_pdfiumZ_FPDFText_SetText, o.address, s.wide(text)) != 0;
}

void FPDFPageObj_Destroy(FPDF_PAGEOBJECT o) { call<void>(Z_pdfiumZ_FPDFPageObj_Destroy, o); }
int FPDFPageObj_GetType(FPDF_PAGEOBJECT o) { return call<int>(Z_pdfiumZ_FPDFPageObj_GetType, o); }
bool FPDFPageObj_SetFillColor(FPDF_PAGEOBJECT o, unsigned int r, unsigned int g, unsigned int b,
                              unsigned int a) {
    return call<bool>(Z_pdfiumZ_FPDFPageObj_SetFillColor, o, r, g, b, a);
}
bool FPDFPageObj_SetStrokeColor(FPDF_PAGEOBJECT o, unsigned int r, unsigned int g, unsigned int b,
                                unsigned int a) {
    return call<bool>(Z_pdfiumZ_FPDFPageObj_SetStrokeColor, o, r, g, b, a);
}
bool FPDFPageObj_SetStrokeWidth(FPDF_PAGEOBJECT o, float width) {
    return call<bool>(Z_pdfiumZ_FPDFPageObj_SetStrokeWidth, o, width);
}
void FPDFPageObj_Transform(FPDF_PAGEOBJECT o, double a, double b, double c, double d, double e, double f) {
    call<void>(Z_pdfiumZ_FPDFPageObj_Transform, o, a, b, c, d, e, f);
}

bool FPDFPageObj_SetMatrix(FPDF_PAGEOBJECT o, const FS_MATRIX& matrix) {
    Scratch s;
    const Address in = s.reserve(sizeof matrix);
    store(in, matrix);
    return raw(Z_pdfiumZ_FPDFPageObj_SetMatrix, o.address, in) != 0;
}

bool FPDFPageObj_GetBounds(FPDF_PAGEOBJECT o, float* left, float* bottom, float* right, float* top) {
    Scratch s;
    const Address out = s.reserve(16);
    const bool ok = raw(Z_pdfiumZ_FPDFPageObj_GetBounds, o.address, out, out + 4, out + 8, out + 12) != 0;
    if (left) *left = fetch<float>(out);
    if (bottom) *bottom = fetch<float>(out + 4);
    if (right) *right = fetch<float>(out + 8);
    if (top) *top = fetch<float>(out + 12);
    return ok;
}

bool FPDFPath_SetDrawMode(FPDF_PAGEOBJECT path, int fillMode, bool stroke) {
    return call<bool>(Z_pdfiumZ_FPDFPath_SetDrawMode, path, fillMode, stroke);
}
bool FPDFPath_MoveTo(FPDF_PAGEOBJECT path, float x, float y) {
    return call<bool>(Z_pdfiumZ_FPDFPath_MoveTo, path, x, y);
}
bool FPDFPath_LineTo(FPDF_PAGEOBJECT path, float x, float y) {
    return call<bool>(Z_pdfiumZ_FPDFPath_LineTo, path, x, y);
}
bool FPDFPath_Close(FPDF_PAGEOBJECT path) { return call<bool>(Z_pdfiumZ_FPDFPath_Close, path); }
bool FPDFImageObj_SetMatrix(FPDF_PAGEOBJECT image, double a, double b, double c, double d, double e,
                            double f) {
    return call<bool>(Z_pdfiumZ_FPDFImageObj_SetMatrix, image, a, b, c, d, e, f);
}

bool FPDFImageObj_SetBitmap(FPDF_PAGEOBJECT image, FPDF_BITMAP bitmap) {
    // No page list: the image is not yet on any page.
    return raw(Z_pdfiumZ_FPDFImageObj_SetBitmap, 0u, 0u, image.address, bitmap.address) != 0;
}

// ---------------------------------------------------------------------------------------------
// Documents and how PDFium reaches their bytes.

namespace {

// Documents read on demand: PDFium asks for blocks by an id, and the host copies them out of
// the document's own bytes. The module never sees more than the blocks it asks for.
std::unordered_map<uint32_t, std::span<const uint8_t>> g_readers;
uint32_t g_nextReader = 1;

u32 getBlock(void*, u32 readerId, u32 position, u32 buffer, u32 size) {
    const auto found = g_readers.find(readerId);
    if (found == g_readers.end()) return 0;
    const std::span<const uint8_t> bytes = found->second;
    if (static_cast<uint64_t>(position) + size > bytes.size()) return 0;
    std::memcpy(module::hostPointer(buffer, size), bytes.data() + position, size);
    return 1;
}

EngineFailure tooLarge() {
    return EngineFailure(FailureCode::file, "The document is too large for the PDF engine to open.");
}

}  // namespace

Document Document::load(std::span<const uint8_t> bytes, std::shared_ptr<const void> keepAlive,
                        const std::string* password, Source source) {
    Document document;
    document.keepAlive_ = std::move(keepAlive);
    document.generation_ = module::generation();
    Scratch s;
    const Address secret = password ? s.bytes(*password) : 0;
    if (source == Source::OnDemand) {
        // PDFium's file length is an unsigned long: 32 bits inside the module.
        if (bytes.size() > std::numeric_limits<uint32_t>::max()) throw tooLarge();
        const uint32_t slot = module::hostSlot<&getBlock>();
        document.access_ = module::allocate(12);
        if (document.access_ == 0) throw tooLarge();
        document.reader_ = g_nextReader++;
        g_readers[document.reader_] = bytes;
        store<uint32_t>(document.access_, static_cast<uint32_t>(bytes.size()));
        store<uint32_t>(document.access_ + 4, slot);
        store<uint32_t>(document.access_ + 8, document.reader_);
        document.handle_ = FPDF_DOCUMENT{raw(Z_pdfiumZ_FPDF_LoadCustomDocument, document.access_, secret)};
    } else {
        if (bytes.size() >= kMaxModuleMemory) throw tooLarge();
        document.moduleCopy_ = module::allocate(bytes.empty() ? 1 : bytes.size());
        if (document.moduleCopy_ == 0) throw tooLarge();
        if (!bytes.empty()) {
            std::memcpy(module::hostPointer(document.moduleCopy_, bytes.size()), bytes.data(), bytes.size());
        }
        document.handle_ = FPDF_DOCUMENT{raw(Z_pdfiumZ_FPDF_LoadMemDocument64, document.moduleCopy_,
                                             static_cast<u32>(bytes.size()), secret)};
    }
    if (!document.handle_) document.close();
    if (document.handle_) {
        SavedTrailer::noteLeftOutInfo(document.handle_, SavedTrailer::latestTrailerLeavesOutInfo(bytes));
    }
    return document;
}

Document Document::create() {
    Document document;
    document.generation_ = module::generation();
    document.handle_ = FPDF_CreateNewDocument();
    return document;
}

Document::Document(Document&& other) noexcept { *this = std::move(other); }

Document& Document::operator=(Document&& other) noexcept {
    if (this != &other) {
        close();
        form_ = std::move(other.form_);
        handle_ = std::exchange(other.handle_, FPDF_DOCUMENT{});
        moduleCopy_ = std::exchange(other.moduleCopy_, 0);
        access_ = std::exchange(other.access_, 0);
        reader_ = std::exchange(other.reader_, 0);
        keepAlive_ = std::move(other.keepAlive_);
        generation_ = other.generation_;
    }
    return *this;
}

Document::~Document() { close(); }

void Document::openFormFill() {
    form_.close();
    form_ = FormFillEnvironment(handle_);
}

void Document::close() {
    form_.close();
    // A document of an instance thrown away after a trap went with it; its addresses may name
    // something else in the instance that replaced it.
    const bool live = module::current(generation_);
    if (live) {
        try {
            if (handle_) FPDF_CloseDocument(handle_);
            module::release(moduleCopy_);
            module::release(access_);
        } catch (const EngineFailure&) {}
    }
    if (reader_ != 0) g_readers.erase(reader_);
    if (handle_ && generation_ == module::generation()) SavedTrailer::noteLeftOutInfo(handle_, false);
    handle_ = FPDF_DOCUMENT{};
    moduleCopy_ = 0;
    access_ = 0;
    reader_ = 0;
    keepAlive_.reset();
}

}  // namespace kivo::pdfium
