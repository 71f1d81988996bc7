#pragma once

// PDFium's C API as the rest of the worker sees it. The functions keep PDFium's names and
// argument order so that code reads like ordinary use of that API; underneath, each one marshals
// its arguments into the isolated module, calls it under the trap guard and copies results back.
//
// Handles are distinct types holding module addresses. Strings go in as UTF-16 (`std::u16string_view`,
// PDFium's FPDF_WIDESTRING) or UTF-8 bytes (`std::string_view`, FPDF_BYTESTRING); buffers and
// out-parameters are ordinary host memory. Every function may throw EngineFailure(FailureCode::internal)
// when the module traps.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "pdfium/form_fill_environment.hpp"
#include "pdfium/handles.hpp"
#include "pdfium/module.hpp"

namespace kivo::pdfium {

using FPDF_BOOL = int;
using FPDF_DWORD = unsigned long;

struct FS_RECTF {
    float left = 0, top = 0, right = 0, bottom = 0;
};
struct FS_SIZEF {
    float width = 0, height = 0;
};
struct FS_POINTF {
    float x = 0, y = 0;
};
struct FS_QUADPOINTSF {
    float x1 = 0, y1 = 0, x2 = 0, y2 = 0, x3 = 0, y3 = 0, x4 = 0, y4 = 0;
};
struct FS_MATRIX {
    float a = 1, b = 0, c = 0, d = 1, e = 0, f = 0;
};

// Error codes of FPDF_GetLastError.
inline constexpr unsigned long FPDF_ERR_SUCCESS = 0;
inline constexpr unsigned long FPDF_ERR_UNKNOWN = 1;
inline constexpr unsigned long FPDF_ERR_FILE = 2;
inline constexpr unsigned long FPDF_ERR_FORMAT = 3;
inline constexpr unsigned long FPDF_ERR_PASSWORD = 4;
inline constexpr unsigned long FPDF_ERR_SECURITY = 5;
inline constexpr unsigned long FPDF_ERR_PAGE = 6;

// Render flags.
inline constexpr int FPDF_ANNOT = 0x01;
inline constexpr int FPDF_LCD_TEXT = 0x02;
inline constexpr int FPDF_NO_NATIVETEXT = 0x04;
inline constexpr int FPDF_GRAYSCALE = 0x08;
inline constexpr int FPDF_REVERSE_BYTE_ORDER = 0x10;
inline constexpr int FPDF_PRINTING = 0x800;

// Bitmap formats.
inline constexpr int FPDFBitmap_Gray = 1;
inline constexpr int FPDFBitmap_BGR = 2;
inline constexpr int FPDFBitmap_BGRx = 3;
inline constexpr int FPDFBitmap_BGRA = 4;

// Form types.
inline constexpr int FORMTYPE_NONE = 0;
inline constexpr int FORMTYPE_ACRO_FORM = 1;
inline constexpr int FORMTYPE_XFA_FULL = 2;
inline constexpr int FORMTYPE_XFA_FOREGROUND = 3;

// Annotation subtypes.
inline constexpr int FPDF_ANNOT_UNKNOWN = 0;
inline constexpr int FPDF_ANNOT_TEXT = 1;
inline constexpr int FPDF_ANNOT_LINK = 2;
inline constexpr int FPDF_ANNOT_FREETEXT = 3;
inline constexpr int FPDF_ANNOT_LINE = 4;
inline constexpr int FPDF_ANNOT_SQUARE = 5;
inline constexpr int FPDF_ANNOT_CIRCLE = 6;
inline constexpr int FPDF_ANNOT_POLYGON = 7;
inline constexpr int FPDF_ANNOT_POLYLINE = 8;
inline constexpr int FPDF_ANNOT_HIGHLIGHT = 9;
inline constexpr int FPDF_ANNOT_UNDERLINE = 10;
inline constexpr int FPDF_ANNOT_SQUIGGLY = 11;
inline constexpr int FPDF_ANNOT_STRIKEOUT = 12;
inline constexpr int FPDF_ANNOT_STAMP = 13;
inline constexpr int FPDF_ANNOT_CARET = 14;
inline constexpr int FPDF_ANNOT_INK = 15;
inline constexpr int FPDF_ANNOT_POPUP = 16;
inline constexpr int FPDF_ANNOT_FILEATTACHMENT = 17;
inline constexpr int FPDF_ANNOT_SOUND = 18;
inline constexpr int FPDF_ANNOT_MOVIE = 19;
inline constexpr int FPDF_ANNOT_WIDGET = 20;
inline constexpr int FPDF_ANNOT_SCREEN = 21;
inline constexpr int FPDF_ANNOT_PRINTERMARK = 22;
inline constexpr int FPDF_ANNOT_TRAPNET = 23;
inline constexpr int FPDF_ANNOT_WATERMARK = 24;
inline constexpr int FPDF_ANNOT_THREED = 25;
inline constexpr int FPDF_ANNOT_RICHMEDIA = 26;
inline constexpr int FPDF_ANNOT_XFAWIDGET = 27;
inline constexpr int FPDF_ANNOT_REDACT = 28;

// Annotation colour types, appearance modes and flags.
inline constexpr int FPDFANNOT_COLORTYPE_Color = 0;
inline constexpr int FPDFANNOT_COLORTYPE_InteriorColor = 1;
inline constexpr int FPDF_ANNOT_APPEARANCEMODE_NORMAL = 0;
inline constexpr int FPDF_ANNOT_FLAG_NONE = 0;
inline constexpr int FPDF_ANNOT_FLAG_INVISIBLE = 1 << 0;
inline constexpr int FPDF_ANNOT_FLAG_HIDDEN = 1 << 1;
inline constexpr int FPDF_ANNOT_FLAG_PRINT = 1 << 2;
inline constexpr int FPDF_ANNOT_FLAG_NOZOOM = 1 << 3;
inline constexpr int FPDF_ANNOT_FLAG_NOROTATE = 1 << 4;
inline constexpr int FPDF_ANNOT_FLAG_NOVIEW = 1 << 5;
inline constexpr int FPDF_ANNOT_FLAG_READONLY = 1 << 6;
inline constexpr int FPDF_ANNOT_FLAG_LOCKED = 1 << 7;

// Additional-action events of form widgets (FPDFAnnot_GetFormAdditionalActionJavaScript).
inline constexpr int FPDF_ANNOT_AACTION_KEY_STROKE = 12;
inline constexpr int FPDF_ANNOT_AACTION_FORMAT = 13;
inline constexpr int FPDF_ANNOT_AACTION_VALIDATE = 14;
inline constexpr int FPDF_ANNOT_AACTION_CALCULATE = 15;

// Object value types (FPDFAnnot_GetValueType).
inline constexpr int FPDF_OBJECT_UNKNOWN = 0;
inline constexpr int FPDF_OBJECT_BOOLEAN = 1;
inline constexpr int FPDF_OBJECT_NUMBER = 2;
inline constexpr int FPDF_OBJECT_STRING = 3;
inline constexpr int FPDF_OBJECT_NAME = 4;
inline constexpr int FPDF_OBJECT_ARRAY = 5;
inline constexpr int FPDF_OBJECT_DICTIONARY = 6;
inline constexpr int FPDF_OBJECT_STREAM = 7;
inline constexpr int FPDF_OBJECT_NULLOBJ = 8;
inline constexpr int FPDF_OBJECT_REFERENCE = 9;

// Form field types and flags.
inline constexpr int FPDF_FORMFIELD_UNKNOWN = 0;
inline constexpr int FPDF_FORMFIELD_PUSHBUTTON = 1;
inline constexpr int FPDF_FORMFIELD_CHECKBOX = 2;
inline constexpr int FPDF_FORMFIELD_RADIOBUTTON = 3;
inline constexpr int FPDF_FORMFIELD_COMBOBOX = 4;
inline constexpr int FPDF_FORMFIELD_LISTBOX = 5;
inline constexpr int FPDF_FORMFIELD_TEXTFIELD = 6;
inline constexpr int FPDF_FORMFIELD_SIGNATURE = 7;
inline constexpr int FPDF_FORMFLAG_NONE = 0;
inline constexpr int FPDF_FORMFLAG_READONLY = 1 << 0;
inline constexpr int FPDF_FORMFLAG_REQUIRED = 1 << 1;
inline constexpr int FPDF_FORMFLAG_NOEXPORT = 1 << 2;
inline constexpr int FPDF_FORMFLAG_TEXT_MULTILINE = 1 << 12;
inline constexpr int FPDF_FORMFLAG_TEXT_PASSWORD = 1 << 13;
inline constexpr int FPDF_FORMFLAG_CHOICE_COMBO = 1 << 17;
inline constexpr int FPDF_FORMFLAG_CHOICE_EDIT = 1 << 18;
inline constexpr int FPDF_FORMFLAG_CHOICE_MULTI_SELECT = 1 << 21;

// Page objects, path fill modes, save flags, search flags.
inline constexpr int FPDF_PAGEOBJ_UNKNOWN = 0;
inline constexpr int FPDF_PAGEOBJ_TEXT = 1;
inline constexpr int FPDF_PAGEOBJ_PATH = 2;
inline constexpr int FPDF_PAGEOBJ_IMAGE = 3;
inline constexpr int FPDF_PAGEOBJ_SHADING = 4;
inline constexpr int FPDF_PAGEOBJ_FORM = 5;
inline constexpr int FPDF_FILLMODE_NONE = 0;
inline constexpr int FPDF_FILLMODE_ALTERNATE = 1;
inline constexpr int FPDF_FILLMODE_WINDING = 2;
inline constexpr int FPDF_INCREMENTAL = 1;
inline constexpr int FPDF_NO_INCREMENTAL = 2;
inline constexpr int FPDF_REMOVE_SECURITY = 3;
inline constexpr unsigned long FPDF_MATCHCASE = 0x00000001;
inline constexpr unsigned long FPDF_MATCHWHOLEWORD = 0x00000002;
inline constexpr unsigned long FPDF_CONSECUTIVE = 0x00000004;

// Key codes and modifiers for the form-fill environment.
inline constexpr int FWL_VKEY_Back = 0x08;
inline constexpr int FWL_VKEY_Tab = 0x09;
inline constexpr int FWL_VKEY_Return = 0x0D;
inline constexpr int FWL_VKEY_Delete = 0x2E;
inline constexpr int FWL_VKEY_A = 0x41;
inline constexpr int FWL_EVENTFLAG_ControlKey = 1 << 1;

// ---------------------------------------------------------------------------------------------
// Library and documents.

unsigned long FPDF_GetLastError();
// Loads a document from bytes that PDFium reads on demand from host memory; `bytes` must stay
// alive and unchanged until FPDF_CloseDocument. Refuses a document the module cannot address.
FPDF_DOCUMENT FPDF_LoadCustomDocument(std::span<const uint8_t> bytes, const std::string* password);
// Loads a document from a copy of `bytes` placed in module memory and kept until close.
FPDF_DOCUMENT FPDF_LoadMemDocument64(std::span<const uint8_t> bytes, const std::string* password);
FPDF_DOCUMENT FPDF_CreateNewDocument();
void FPDF_CloseDocument(FPDF_DOCUMENT document);
int FPDF_GetPageCount(FPDF_DOCUMENT document);
unsigned long FPDF_GetDocPermissions(FPDF_DOCUMENT document);
int FPDF_GetSecurityHandlerRevision(FPDF_DOCUMENT document);
int FPDF_GetFormType(FPDF_DOCUMENT document);
bool FPDF_GetFileVersion(FPDF_DOCUMENT document, int* version);
int FPDF_GetSignatureCount(FPDF_DOCUMENT document);
// False when the cross-reference table was damaged and PDFium rebuilt it by scanning the file.
bool FPDF_DocumentHasValidCrossReferenceTable(FPDF_DOCUMENT document);
int FPDFDoc_GetJavaScriptActionCount(FPDF_DOCUMENT document);
bool FPDF_GetPageSizeByIndexF(FPDF_DOCUMENT document, int index, FS_SIZEF* size);
// The page's /Rotate in quarter turns read from the page tree, without parsing the page's content
// (an addition of this PDFium build); -1 when the page cannot be found.
int EPDF_GetPageRotationByIndex(FPDF_DOCUMENT document, int index);
// A box of the page read from the page tree, inherited boxes included, as written (not cut to the media
// box): `box` 0 is the media box, 1 the crop box (an addition of this PDFium build). False when the page
// has no such box.
bool EPDF_GetPageBoxByIndex(FPDF_DOCUMENT document, int index, int box, FS_RECTF* rect);
// The object number of the page at `index` (an addition of this PDFium build): two indices of a page
// tree that lists one page twice answer the same; 0 when the page cannot be found.
int EPDFDoc_GetPageObjectNumberByIndex(FPDF_DOCUMENT document, int index);
// Two-call string getters: with an empty buffer they answer the byte length including the
// terminator; the buffer is in UTF-16 units.
unsigned long FPDF_GetMetaText(FPDF_DOCUMENT document, std::string_view tag, std::span<uint16_t> buffer);
unsigned long FPDF_GetPageLabel(FPDF_DOCUMENT document, int index, std::span<uint16_t> buffer);
// Makes the next save of the document write it without encryption (an addition of this PDFium build).
bool EPDF_RemoveEncryption(FPDF_DOCUMENT document);
bool FPDF_ImportPagesByIndex(FPDF_DOCUMENT destination, FPDF_DOCUMENT source, std::span<const int> indices,
                             int insertIndex);
bool FPDF_ImportPages(FPDF_DOCUMENT destination, FPDF_DOCUMENT source, std::string_view pageRange,
                      int insertIndex);
bool FPDF_MovePages(FPDF_DOCUMENT document, std::span<const int> indices, int destinationIndex);
void FPDFPage_Delete(FPDF_DOCUMENT document, int index);
// An empty page of this size in points, inserted before `index`; the caller closes it.
FPDF_PAGE FPDFPage_New(FPDF_DOCUMENT document, int index, double width, double height);
bool FPDF_CopyViewerPreferences(FPDF_DOCUMENT destination, FPDF_DOCUMENT source);

// Pages.
FPDF_PAGE FPDF_LoadPage(FPDF_DOCUMENT document, int index);
void FPDF_ClosePage(FPDF_PAGE page);
float FPDF_GetPageWidthF(FPDF_PAGE page);
float FPDF_GetPageHeightF(FPDF_PAGE page);
int FPDFPage_GetRotation(FPDF_PAGE page);
void FPDFPage_SetRotation(FPDF_PAGE page, int rotate);
bool FPDFPage_GetMediaBox(FPDF_PAGE page, float* left, float* bottom, float* right, float* top);
bool FPDFPage_GetCropBox(FPDF_PAGE page, float* left, float* bottom, float* right, float* top);
bool FPDF_GetPageBoundingBox(FPDF_PAGE page, FS_RECTF* rect);
bool FPDFPage_GenerateContent(FPDF_PAGE page);
void FPDFPage_InsertObject(FPDF_PAGE page, FPDF_PAGEOBJECT object);
bool FPDFPage_RemoveObject(FPDF_PAGE page, FPDF_PAGEOBJECT object);
int FPDFPage_CountObjects(FPDF_PAGE page);
FPDF_PAGEOBJECT FPDFPage_GetObject(FPDF_PAGE page, int index);
bool FPDFPage_HasTransparency(FPDF_PAGE page);
bool FPDF_PageToDevice(FPDF_PAGE page, int startX, int startY, int sizeX, int sizeY, int rotate, double pageX,
                       double pageY, int* deviceX, int* deviceY);
bool FPDF_DeviceToPage(FPDF_PAGE page, int startX, int startY, int sizeX, int sizeY, int rotate, int deviceX,
                       int deviceY, double* pageX, double* pageY);

// Bitmaps and rendering. The pixels of a bitmap live in module memory; `bitmapPixels` gives the
// host a direct view of them, valid until the bitmap is destroyed.
FPDF_BITMAP FPDFBitmap_Create(int width, int height, int alpha);
FPDF_BITMAP FPDFBitmap_CreateEx(int width, int height, int format);
// Over pixels the caller owns in module memory (`firstScan`), which PDFium neither clears nor frees.
FPDF_BITMAP FPDFBitmap_CreateEx(int width, int height, int format, Address firstScan, int stride);
void FPDFBitmap_Destroy(FPDF_BITMAP bitmap);
bool FPDFBitmap_FillRect(FPDF_BITMAP bitmap, int left, int top, int width, int height, unsigned long color);
int FPDFBitmap_GetWidth(FPDF_BITMAP bitmap);
int FPDFBitmap_GetHeight(FPDF_BITMAP bitmap);
int FPDFBitmap_GetStride(FPDF_BITMAP bitmap);
int FPDFBitmap_GetFormat(FPDF_BITMAP bitmap);
Address FPDFBitmap_GetBuffer(FPDF_BITMAP bitmap);
std::span<uint8_t> bitmapPixels(FPDF_BITMAP bitmap);
void FPDF_RenderPageBitmap(FPDF_BITMAP bitmap, FPDF_PAGE page, int startX, int startY, int sizeX, int sizeY,
                           int rotate, int flags);
void FPDF_RenderPageBitmapWithMatrix(FPDF_BITMAP bitmap, FPDF_PAGE page, const FS_MATRIX& matrix,
                                     const FS_RECTF& clip, int flags);
void FPDF_FFLDraw(FPDF_FORMHANDLE form, FPDF_BITMAP bitmap, FPDF_PAGE page, int startX, int startY, int sizeX,
                  int sizeY, int rotate, int flags);

// Text.
FPDF_TEXTPAGE FPDFText_LoadPage(FPDF_PAGE page);
void FPDFText_ClosePage(FPDF_TEXTPAGE textPage);
int FPDFText_CountChars(FPDF_TEXTPAGE textPage);
unsigned int FPDFText_GetUnicode(FPDF_TEXTPAGE textPage, int index);
int FPDFText_IsGenerated(FPDF_TEXTPAGE textPage, int index);
double FPDFText_GetFontSize(FPDF_TEXTPAGE textPage, int index);
bool FPDFText_GetCharBox(FPDF_TEXTPAGE textPage, int index, double* left, double* right, double* bottom,
                         double* top);
bool FPDFText_GetLooseCharBox(FPDF_TEXTPAGE textPage, int index, FS_RECTF* rect);
bool FPDFText_GetCharOrigin(FPDF_TEXTPAGE textPage, int index, double* x, double* y);
int FPDFText_GetCharIndexAtPos(FPDF_TEXTPAGE textPage, double x, double y, double xTolerance,
                               double yTolerance);
// Answers the number of UTF-16 units written, terminator included; `buffer` needs count + 1 units.
int FPDFText_GetText(FPDF_TEXTPAGE textPage, int startIndex, int count, std::span<uint16_t> buffer);
int FPDFText_CountRects(FPDF_TEXTPAGE textPage, int startIndex, int count);
bool FPDFText_GetRect(FPDF_TEXTPAGE textPage, int rectIndex, double* left, double* top, double* right,
                      double* bottom);
FPDF_SCHHANDLE FPDFText_FindStart(FPDF_TEXTPAGE textPage, std::u16string_view what, unsigned long flags,
                                  int startIndex);
bool FPDFText_FindNext(FPDF_SCHHANDLE search);
int FPDFText_GetSchResultIndex(FPDF_SCHHANDLE search);
int FPDFText_GetSchCount(FPDF_SCHHANDLE search);
void FPDFText_FindClose(FPDF_SCHHANDLE search);

// Annotations.
int FPDFPage_GetAnnotCount(FPDF_PAGE page);
FPDF_ANNOTATION FPDFPage_GetAnnot(FPDF_PAGE page, int index);
int FPDFPage_GetAnnotIndex(FPDF_PAGE page, FPDF_ANNOTATION annotation);
FPDF_ANNOTATION FPDFPage_CreateAnnot(FPDF_PAGE page, int subtype);
bool FPDFPage_RemoveAnnot(FPDF_PAGE page, int index);
void FPDFPage_CloseAnnot(FPDF_ANNOTATION annotation);
int FPDFAnnot_GetSubtype(FPDF_ANNOTATION annotation);
// A page's annotations read from its /Annots without loading the page, so without parsing its content
// (an addition of this PDFium build). The handles read and write the annotation's dictionary as
// FPDFPage_GetAnnot's do; the count is 0 when the page cannot be found. Each handle costs about 260
// bytes of module memory that neither closing it nor closing the document gives back.
int EPDFPage_GetAnnotCountRaw(FPDF_DOCUMENT document, int pageIndex);
FPDF_ANNOTATION EPDFPage_GetAnnotRaw(FPDF_DOCUMENT document, int pageIndex, int index);
bool FPDFAnnot_IsSupportedSubtype(int subtype);
bool FPDFAnnot_GetRect(FPDF_ANNOTATION annotation, FS_RECTF* rect);
bool FPDFAnnot_SetRect(FPDF_ANNOTATION annotation, const FS_RECTF& rect);
bool FPDFAnnot_SetColor(FPDF_ANNOTATION annotation, int colorType, unsigned int r, unsigned int g,
                        unsigned int b, unsigned int a);
bool FPDFAnnot_GetColor(FPDF_ANNOTATION annotation, int colorType, unsigned int* r, unsigned int* g,
                        unsigned int* b, unsigned int* a);
bool FPDFAnnot_HasAttachmentPoints(FPDF_ANNOTATION annotation);
bool FPDFAnnot_AppendAttachmentPoints(FPDF_ANNOTATION annotation, const FS_QUADPOINTSF& quad);
bool FPDFAnnot_SetAttachmentPoints(FPDF_ANNOTATION annotation, size_t index, const FS_QUADPOINTSF& quad);
size_t FPDFAnnot_CountAttachmentPoints(FPDF_ANNOTATION annotation);
bool FPDFAnnot_GetAttachmentPoints(FPDF_ANNOTATION annotation, size_t index, FS_QUADPOINTSF* quad);
int FPDFAnnot_AddInkStroke(FPDF_ANNOTATION annotation, std::span<const FS_POINTF> points);
bool FPDFAnnot_RemoveInkList(FPDF_ANNOTATION annotation);
unsigned long FPDFAnnot_GetInkListCount(FPDF_ANNOTATION annotation);
unsigned long FPDFAnnot_GetInkListPath(FPDF_ANNOTATION annotation, unsigned long pathIndex,
                                       std::span<FS_POINTF> buffer);
bool FPDFAnnot_HasKey(FPDF_ANNOTATION annotation, std::string_view key);
int FPDFAnnot_GetValueType(FPDF_ANNOTATION annotation, std::string_view key);
bool FPDFAnnot_SetStringValue(FPDF_ANNOTATION annotation, std::string_view key, std::u16string_view value);
unsigned long FPDFAnnot_GetStringValue(FPDF_ANNOTATION annotation, std::string_view key,
                                       std::span<uint16_t> buffer);
bool FPDFAnnot_GetNumberValue(FPDF_ANNOTATION annotation, std::string_view key, float* value);
bool FPDFAnnot_SetAP(FPDF_ANNOTATION annotation, int appearanceMode, const std::u16string* value);
unsigned long FPDFAnnot_GetAP(FPDF_ANNOTATION annotation, int appearanceMode, std::span<uint16_t> buffer);
// Whether the annotation carries its own appearance stream for the mode, without decoding it (an
// addition of this PDFium build).
bool EPDFAnnot_HasAppearanceStream(FPDF_ANNOTATION annotation, int appearanceMode);
// The object number of the annotation's dictionary (an addition of this PDFium build); 0 for a
// dictionary written inside its page's list.
int EPDFAnnot_GetObjectNumber(FPDF_ANNOTATION annotation);
FPDF_ANNOTATION FPDFAnnot_GetLinkedAnnot(FPDF_ANNOTATION annotation, std::string_view key);
int FPDFAnnot_GetFlags(FPDF_ANNOTATION annotation);
bool FPDFAnnot_SetFlags(FPDF_ANNOTATION annotation, int flags);
bool FPDFAnnot_SetBorder(FPDF_ANNOTATION annotation, float horizontalRadius, float verticalRadius,
                         float borderWidth);
bool FPDFAnnot_GetBorder(FPDF_ANNOTATION annotation, float* horizontalRadius, float* verticalRadius,
                         float* borderWidth);
bool FPDFAnnot_AppendObject(FPDF_ANNOTATION annotation, FPDF_PAGEOBJECT object);
bool FPDFAnnot_UpdateObject(FPDF_ANNOTATION annotation, FPDF_PAGEOBJECT object);
int FPDFAnnot_GetObjectCount(FPDF_ANNOTATION annotation);
FPDF_PAGEOBJECT FPDFAnnot_GetObject(FPDF_ANNOTATION annotation, int index);
bool FPDFAnnot_RemoveObject(FPDF_ANNOTATION annotation, int index);
int FPDFAnnot_GetFormFieldFlags(FPDF_FORMHANDLE form, FPDF_ANNOTATION annotation);
bool FPDFAnnot_SetFormFieldFlags(FPDF_FORMHANDLE form, FPDF_ANNOTATION annotation, int flags);
int FPDFAnnot_GetFormFieldType(FPDF_FORMHANDLE form, FPDF_ANNOTATION annotation);
unsigned long FPDFAnnot_GetFormFieldName(FPDF_FORMHANDLE form, FPDF_ANNOTATION annotation,
                                         std::span<uint16_t> buffer);
unsigned long FPDFAnnot_GetFormFieldAlternateName(FPDF_FORMHANDLE form, FPDF_ANNOTATION annotation,
                                                  std::span<uint16_t> buffer);
unsigned long FPDFAnnot_GetFormFieldValue(FPDF_FORMHANDLE form, FPDF_ANNOTATION annotation,
                                          std::span<uint16_t> buffer);
unsigned long FPDFAnnot_GetFormFieldExportValue(FPDF_FORMHANDLE form, FPDF_ANNOTATION annotation,
                                                std::span<uint16_t> buffer);
int FPDFAnnot_GetOptionCount(FPDF_FORMHANDLE form, FPDF_ANNOTATION annotation);
unsigned long FPDFAnnot_GetOptionLabel(FPDF_FORMHANDLE form, FPDF_ANNOTATION annotation, int index,
                                       std::span<uint16_t> buffer);
bool FPDFAnnot_IsOptionSelected(FPDF_FORMHANDLE form, FPDF_ANNOTATION annotation, int index);
bool FPDFAnnot_IsChecked(FPDF_FORMHANDLE form, FPDF_ANNOTATION annotation);
int FPDFAnnot_GetFormControlCount(FPDF_FORMHANDLE form, FPDF_ANNOTATION annotation);
int FPDFAnnot_GetFormControlIndex(FPDF_FORMHANDLE form, FPDF_ANNOTATION annotation);
bool FPDFAnnot_GetFontSize(FPDF_FORMHANDLE form, FPDF_ANNOTATION annotation, float* value);
bool FPDFAnnot_SetFontColor(FPDF_FORMHANDLE form, FPDF_ANNOTATION annotation, unsigned int r, unsigned int g,
                            unsigned int b);
unsigned long FPDFAnnot_GetFormAdditionalActionJavaScript(FPDF_FORMHANDLE form, FPDF_ANNOTATION annotation,
                                                          int event, std::span<uint16_t> buffer);

// The form-fill environment. `formInfo` is the address of a form-fill record in module memory
// (see FormFillEnvironment, which owns both), which must outlive the environment.
FPDF_FORMHANDLE FPDFDOC_InitFormFillEnvironment(FPDF_DOCUMENT document, Address formInfo);
void FPDFDOC_ExitFormFillEnvironment(FPDF_FORMHANDLE form);
void FORM_OnAfterLoadPage(FPDF_PAGE page, FPDF_FORMHANDLE form);
void FORM_OnBeforeClosePage(FPDF_PAGE page, FPDF_FORMHANDLE form);
bool FORM_SetFocusedAnnot(FPDF_FORMHANDLE form, FPDF_ANNOTATION annotation);
bool FORM_ForceToKillFocus(FPDF_FORMHANDLE form);
bool FORM_SelectAllText(FPDF_FORMHANDLE form, FPDF_PAGE page);
void FORM_ReplaceSelection(FPDF_FORMHANDLE form, FPDF_PAGE page, std::u16string_view text);
unsigned long FORM_GetFocusedText(FPDF_FORMHANDLE form, FPDF_PAGE page, std::span<uint16_t> buffer);
bool FORM_SetIndexSelected(FPDF_FORMHANDLE form, FPDF_PAGE page, int index, bool selected);
bool FORM_IsIndexSelected(FPDF_FORMHANDLE form, FPDF_PAGE page, int index);
bool FORM_OnLButtonDown(FPDF_FORMHANDLE form, FPDF_PAGE page, int modifier, double pageX, double pageY);
bool FORM_OnLButtonUp(FPDF_FORMHANDLE form, FPDF_PAGE page, int modifier, double pageX, double pageY);
bool FORM_OnKeyDown(FPDF_FORMHANDLE form, FPDF_PAGE page, int keyCode, int modifier);
bool FORM_OnKeyUp(FPDF_FORMHANDLE form, FPDF_PAGE page, int keyCode, int modifier);
bool FORM_OnChar(FPDF_FORMHANDLE form, FPDF_PAGE page, int charCode, int modifier);
void FPDF_SetFormFieldHighlightAlpha(FPDF_FORMHANDLE form, unsigned char alpha);

// Page objects.
FPDF_PAGEOBJECT FPDFPageObj_NewImageObj(FPDF_DOCUMENT document);
FPDF_PAGEOBJECT FPDFPageObj_NewTextObj(FPDF_DOCUMENT document, std::string_view font, float fontSize);
FPDF_PAGEOBJECT FPDFPageObj_CreateTextObj(FPDF_DOCUMENT document, FPDF_FONT font, float fontSize);
FPDF_PAGEOBJECT FPDFPageObj_CreateNewRect(float x, float y, float width, float height);
FPDF_PAGEOBJECT FPDFPageObj_CreateNewPath(float x, float y);
FPDF_FONT FPDFText_LoadStandardFont(FPDF_DOCUMENT document, std::string_view font);
void FPDFFont_Close(FPDF_FONT font);
bool FPDFText_SetText(FPDF_PAGEOBJECT textObject, std::u16string_view text);
void FPDFPageObj_Destroy(FPDF_PAGEOBJECT object);
int FPDFPageObj_GetType(FPDF_PAGEOBJECT object);
bool FPDFPageObj_SetFillColor(FPDF_PAGEOBJECT object, unsigned int r, unsigned int g, unsigned int b,
                              unsigned int a);
bool FPDFPageObj_SetStrokeColor(FPDF_PAGEOBJECT object, unsigned int r, unsigned int g, unsigned int b,
                                unsigned int a);
bool FPDFPageObj_SetStrokeWidth(FPDF_PAGEOBJECT object, float width);
void FPDFPageObj_Transform(FPDF_PAGEOBJECT object, double a, double b, double c, double d, double e,
                           double f);
bool FPDFPageObj_SetMatrix(FPDF_PAGEOBJECT object, const FS_MATRIX& matrix);
bool FPDFPageObj_GetBounds(FPDF_PAGEOBJECT object, float* left, float* bottom, float* right, float* top);
bool FPDFPath_SetDrawMode(FPDF_PAGEOBJECT path, int fillMode, bool stroke);
bool FPDFPath_MoveTo(FPDF_PAGEOBJECT path, float x, float y);
bool FPDFPath_LineTo(FPDF_PAGEOBJECT path, float x, float y);
bool FPDFPath_Close(FPDF_PAGEOBJECT path);
bool FPDFImageObj_SetMatrix(FPDF_PAGEOBJECT image, double a, double b, double c, double d, double e,
                            double f);
bool FPDFImageObj_SetBitmap(FPDF_PAGEOBJECT image, FPDF_BITMAP bitmap);

// ---------------------------------------------------------------------------------------------
// Owners: each closes its handle exactly once, on every path.

struct DocumentCloser {
    void operator()(FPDF_DOCUMENT d) const { FPDF_CloseDocument(d); }
};
struct PageCloser {
    void operator()(FPDF_PAGE p) const { FPDF_ClosePage(p); }
};
struct TextPageCloser {
    void operator()(FPDF_TEXTPAGE t) const { FPDFText_ClosePage(t); }
};
struct SearchCloser {
    void operator()(FPDF_SCHHANDLE s) const { FPDFText_FindClose(s); }
};
struct BlockCloser {
    void operator()(Address block) const { module::release(block); }
};
struct BitmapCloser {
    void operator()(FPDF_BITMAP b) const { FPDFBitmap_Destroy(b); }
};
struct AnnotationCloser {
    void operator()(FPDF_ANNOTATION a) const { FPDFPage_CloseAnnot(a); }
};
struct FontCloser {
    void operator()(FPDF_FONT f) const { FPDFFont_Close(f); }
};
struct PageObjectCloser {
    void operator()(FPDF_PAGEOBJECT o) const { FPDFPageObj_Destroy(o); }
};

template <class H, class Closer>
class Owned {
public:
    Owned() = default;
    explicit Owned(H handle) : handle_(handle), generation_(module::generation()) {}
    Owned(Owned&& other) noexcept : generation_(other.generation_) { handle_ = other.release(); }
    Owned& operator=(Owned&& other) noexcept {
        if (this != &other) {
            const uint32_t generation = other.generation_;
            reset(other.release());
            generation_ = generation;
        }
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { reset(); }

    H get() const { return handle_; }
    explicit operator bool() const { return static_cast<bool>(handle_); }
    H release() {
        H h = handle_;
        handle_ = H{};
        return h;
    }
    void reset(H handle = H{}) {
        H old = handle_;
        const uint32_t generation = std::exchange(generation_, module::generation());
        handle_ = handle;
        // After a trap the handle's instance is dead, or already replaced by one it means nothing in.
        if (old && module::current(generation)) {
            try {
                Closer{}(old);
            } catch (const EngineFailure&) {}
        }
    }

private:
    H handle_{};
    uint32_t generation_ = 0;
};

using ScopedPage = Owned<FPDF_PAGE, PageCloser>;
using ScopedTextPage = Owned<FPDF_TEXTPAGE, TextPageCloser>;
using ScopedSearch = Owned<FPDF_SCHHANDLE, SearchCloser>;
using ScopedBitmap = Owned<FPDF_BITMAP, BitmapCloser>;
using ScopedBlock = Owned<Address, BlockCloser>;
using ScopedAnnotation = Owned<FPDF_ANNOTATION, AnnotationCloser>;
using ScopedFont = Owned<FPDF_FONT, FontCloser>;
using ScopedPageObject = Owned<FPDF_PAGEOBJECT, PageObjectCloser>;

// A loaded document together with whatever keeps its bytes reachable for PDFium (the module copy,
// or the host bytes and the record through which PDFium reads them on demand) and, once opened, its
// form-fill environment. Closing it (on every exit, by the destructor) closes the environment
// first, then the document, then what held its bytes.
class Document {
public:
    enum class Source { OnDemand, ModuleCopy };

    // Loads `bytes` (which the caller keeps alive via `keepAlive`). Returns an empty Document when
    // PDFium refuses it; FPDF_GetLastError then says why. Throws EngineFailure(FailureCode::file) when the
    // document is too large for the module to hold.
    static Document load(std::span<const uint8_t> bytes, std::shared_ptr<const void> keepAlive,
                         const std::string* password, Source source = Source::OnDemand);
    static Document create();

    Document() = default;
    Document(Document&& other) noexcept;
    Document& operator=(Document&& other) noexcept;
    Document(const Document&) = delete;
    Document& operator=(const Document&) = delete;
    ~Document();

    FPDF_DOCUMENT get() const { return handle_; }
    explicit operator bool() const { return static_cast<bool>(handle_); }
    void close();

    // Opens the form-fill environment on the open document, in place of any earlier one. Fails as
    // FormFillEnvironment's constructor does; the document stays open without one then.
    void openFormFill();
    // The environment's handle; empty before openFormFill and when PDFium gave none.
    FPDF_FORMHANDLE formHandle() const { return form_.handle(); }

private:
    FormFillEnvironment form_;
    FPDF_DOCUMENT handle_{};
    Address moduleCopy_ = 0;
    Address access_ = 0;
    uint32_t reader_ = 0;
    std::shared_ptr<const void> keepAlive_;
    uint32_t generation_ = 0;
};

// Reads a PDFium string with the two-call convention: ask for the byte length, then fill a
// buffer of that many bytes and decode it. `get` is called with a span of UTF-16 units.
template <class Get>
std::vector<uint16_t> readUnits(Get&& get) {
    const unsigned long bytes = get(std::span<uint16_t>());
    if (bytes < 3) return {};
    std::vector<uint16_t> units(bytes / 2, 0);
    get(std::span<uint16_t>(units));
    return units;
}

}  // namespace kivo::pdfium
