#include "session/document_form.hpp"

#include <algorithm>
#include <array>
#include <map>
#include <set>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include "core/text.hpp"
#include "pdfium/module.hpp"
#include "session/running_command.hpp"
#include "session/session.hpp"
#include "session/session_internal.hpp"

namespace kivo {

using namespace pdfium;
using namespace session_detail;

namespace {

// ---- Reading a widget's field. Without a form-fill environment (`form` empty) the name and value
// come from the widget's own "T" and "V", and a field has no options or export value.

std::string readFormName(FPDF_FORMHANDLE form, FPDF_ANNOTATION annotation) {
    if (!form) return readStringKey(annotation, "T");
    return readWide(
        [&](std::span<uint16_t> buffer) { return FPDFAnnot_GetFormFieldName(form, annotation, buffer); });
}

std::string readFormValue(FPDF_FORMHANDLE form, FPDF_ANNOTATION annotation) {
    if (!form) return readStringKey(annotation, "V");
    return readWide(
        [&](std::span<uint16_t> buffer) { return FPDFAnnot_GetFormFieldValue(form, annotation, buffer); });
}

std::string readExportValue(FPDF_FORMHANDLE form, FPDF_ANNOTATION annotation) {
    if (!form) return "";
    return readWide([&](std::span<uint16_t> buffer) {
        return FPDFAnnot_GetFormFieldExportValue(form, annotation, buffer);
    });
}

std::vector<std::string> optionLabels(FPDF_FORMHANDLE form, FPDF_ANNOTATION annotation) {
    std::vector<std::string> labels;
    if (!form) return labels;
    const int count = FPDFAnnot_GetOptionCount(form, annotation);
    for (int i = 0; i < count; ++i) {
        labels.push_back(readWide([&](std::span<uint16_t> buffer) {
            return FPDFAnnot_GetOptionLabel(form, annotation, i, buffer);
        }));
    }
    return labels;
}

// The PDFium form field type's name: "button", "checkbox", "radio", "combo", "list", "text",
// "signature", else "unknown".
std::string formFieldTypeName(std::int32_t type) {
    switch (type) {
        case FPDF_FORMFIELD_PUSHBUTTON: return "button";
        case FPDF_FORMFIELD_CHECKBOX: return "checkbox";
        case FPDF_FORMFIELD_RADIOBUTTON: return "radio";
        case FPDF_FORMFIELD_COMBOBOX: return "combo";
        case FPDF_FORMFIELD_LISTBOX: return "list";
        case FPDF_FORMFIELD_TEXTFIELD: return "text";
        case FPDF_FORMFIELD_SIGNATURE: return "signature";
        default: return "unknown";
    }
}

// A form value as a user reads it: a CR LF pair or a lone CR is one line break, "\n".
std::string normalisedLineBreaks(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\r') {
            out.push_back('\n');
            if (i + 1 < value.size() && value[i + 1] == '\n') ++i;
        } else {
            out.push_back(value[i]);
        }
    }
    return out;
}

// The widget as a field of the census; nothing for a widget without a name.
std::optional<FormFieldInfo> fieldInfo(FPDF_FORMHANDLE form, FPDF_ANNOTATION annotation,
                                       const std::string& pageId) {
    FormFieldInfo field;
    field.name = readFormName(form, annotation);
    if (field.name.empty()) return std::nullopt;
    const int type = form ? FPDFAnnot_GetFormFieldType(form, annotation) : 0;
    const int flags = form ? FPDFAnnot_GetFormFieldFlags(form, annotation) : 0;
    std::string value = readFormValue(form, annotation);
    const std::string exportValue = readExportValue(form, annotation);
    field.options = optionLabels(form, annotation);
    if (type == FPDF_FORMFIELD_RADIOBUTTON) {
        if (!exportValue.empty() &&
            std::find(field.options.begin(), field.options.end(), exportValue) == field.options.end()) {
            field.options.push_back(exportValue);
        }
        if (form) {
            field.checked = FPDFAnnot_IsChecked(form, annotation);
            if (*field.checked && !exportValue.empty()) value = exportValue;
        }
    } else if (type == FPDF_FORMFIELD_CHECKBOX && form) {
        field.checked = FPDFAnnot_IsChecked(form, annotation);
        // Readers draw the appearance /AS names. PDFium takes a box whose field has /Opt to be on only in
        // a state named by its position, and calls a box drawn checked under its own name off.
        const std::string shown = readStringKey(annotation, "AS");
        const bool drawn = readWide([&](std::span<uint16_t> buffer) {
                               return FPDFAnnot_GetAP(annotation, FPDF_ANNOT_APPEARANCEMODE_NORMAL, buffer);
                           }).size() > 0;
        if (!*field.checked && !shown.empty() && shown != "Off" && drawn) {
            field.checked = true;
            if (value.empty() || value == "Off") value = shown;
        }
    }
    field.value = normalisedLineBreaks(value);
    field.type = formFieldTypeName(type);
    field.readOnly = (flags & FPDF_FORMFLAG_READONLY) != 0;
    field.multiline = (flags & FPDF_FORMFLAG_TEXT_MULTILINE) != 0;
    field.pageId = pageId;
    return field;
}

// The widget a field tree lists but PDFium places in no field, as a field of the census; the names
// and flags are those PDFium reads for a widget it does place.
FormFieldInfo unparentedInfo(const FieldTree::Widget& widget, const std::string& pageId) {
    constexpr std::int64_t radioFlag = 1 << 15, pushButtonFlag = 1 << 16;
    FormFieldInfo field;
    field.name = widget.name;
    field.pageId = pageId;
    field.readOnly = (widget.flags & FPDF_FORMFLAG_READONLY) != 0;
    std::string value = widget.value;
    const bool shownOn = !widget.shownState.empty() && widget.shownState != "Off";
    if (widget.fieldType == "Btn") {
        if ((widget.flags & pushButtonFlag) != 0) {
            field.type = "button";
        } else if ((widget.flags & radioFlag) != 0) {
            field.type = "radio";
            if (!widget.onState.empty()) field.options.push_back(widget.onState);
            field.checked = shownOn;
            if (shownOn && !widget.onState.empty()) value = widget.onState;
        } else {
            field.type = "checkbox";
            field.checked = shownOn;
            if (shownOn && (value.empty() || value == "Off")) value = widget.shownState;
        }
    } else if (widget.fieldType == "Tx") {
        field.type = "text";
        field.multiline = (widget.flags & FPDF_FORMFLAG_TEXT_MULTILINE) != 0;
    } else if (widget.fieldType == "Ch") {
        field.type = (widget.flags & FPDF_FORMFLAG_CHOICE_COMBO) != 0 ? "combo" : "list";
        field.options = widget.options;
    } else {
        field.type = widget.fieldType == "Sig" ? "signature" : "unknown";
    }
    field.value = normalisedLineBreaks(value);
    return field;
}

// ---- Filling

bool equalIgnoringCase(std::string_view a, std::string_view b) {
    return icu::UnicodeString::fromUTF8(a).caseCompare(icu::UnicodeString::fromUTF8(b),
                                                       U_FOLD_CASE_DEFAULT) == 0;
}

std::string foldedCase(std::string_view text) {
    std::string out;
    icu::UnicodeString::fromUTF8(text).foldCase(U_FOLD_CASE_DEFAULT).toUTF8String(out);
    return out;
}

bool isCheckboxOnWord(std::string_view value) {
    static constexpr std::array<std::string_view, 5> words = {"yes", "on", "true", "1", "checked"};
    const std::string folded = foldedCase(trimWhitespaceAndNewlines(value));
    return std::find(words.begin(), words.end(), folded) != words.end();
}

std::string joined(const std::vector<std::string>& items) {
    std::string out;
    for (const std::string& item : items) {
        if (!out.empty()) out += ", ";
        out += item;
    }
    return out;
}

// PDFium builds a choice field's whole option list, at a cost that grows faster than the list, each
// time the field takes the focus: 4,000 options took four seconds and 12,000 half a minute, while
// every other document waited. A field with more options is not filled.
constexpr int choiceOptionLimit = 2'000;

bool tooManyOptions(FPDF_FORMHANDLE form, FPDF_ANNOTATION annotation) {
    return FPDFAnnot_GetOptionCount(form, annotation) > choiceOptionLimit;
}

bool hasFlag(int flags, int flag) { return flags >= 0 && (flags & flag) != 0; }

EngineFailure noSuchField(const std::string& name) {
    return EngineFailure(FailureCode::notFound, "No form field named " + name + ".");
}

EngineFailure notAnOption(const std::string& name, const std::string& value,
                          const std::vector<std::string>& options) {
    return EngineFailure(FailureCode::invalidArgument,
                         value + " is not an option of " + name + ". Options: " + joined(options) + ".");
}

// Calls `visit(page, annotation, pageId)` for every widget of the field, on every page in order.
// Handles are never kept from one walk to the next; a visitor failure closes the annotation and
// the page on its way out.
template <class Visit>
void forEachWidgetNamed(const Session& session, FPDF_FORMHANDLE form, const std::string& name,
                        Visit&& visit) {
    forEachWidget(session, CommandPhase::findingFields,
                  [&](OpenPage& page, FPDF_ANNOTATION annotation, const std::string& pageId, int) {
                      if (readFormName(form, annotation) == name) visit(page, annotation, pageId);
                  });
}

// One left click at the widget's centre, as a user toggling a checkbox or choosing a radio option.
void clickWidget(FPDF_FORMHANDLE form, FPDF_ANNOTATION annotation, FPDF_PAGE page) {
    if (!form) return;
    FS_RECTF rect;
    if (!FPDFAnnot_GetRect(annotation, &rect)) return;
    const float x = (rect.left + rect.right) * 0.5f;
    const float y = (rect.top + rect.bottom) * 0.5f;
    FORM_OnLButtonDown(form, page, 0, static_cast<double>(x), static_cast<double>(y));
    FORM_OnLButtonUp(form, page, 0, static_cast<double>(x), static_cast<double>(y));
    FORM_ForceToKillFocus(form);
}

// Focuses the widget, selects all its text and types `text` over it. False when the widget would
// not take the focus; nothing is typed then.
bool typeInto(FPDF_FORMHANDLE form, FPDF_ANNOTATION annotation, FPDF_PAGE page, std::u16string_view text) {
    if (!FORM_SetFocusedAnnot(form, annotation)) return false;
    FORM_SelectAllText(form, page);
    FORM_ReplaceSelection(form, page, text);
    FORM_ForceToKillFocus(form);
    return true;
}

void fillText(const Session& session, FPDF_FORMHANDLE form, const std::string& name,
              const std::string& value) {
    const std::string wanted = normalisedLineBreaks(value);
    bool done = false;
    // Every widget shows the one field value, so the first is enough.
    forEachWidgetNamed(
        session, form, name, [&](const OpenPage& page, FPDF_ANNOTATION annotation, const std::string&) {
            if (done) return;
            done = true;
            if (normalisedLineBreaks(readFormValue(form, annotation)) == wanted) return;
            typeInto(form, annotation, page.get(), toUtf16(value));
            if (normalisedLineBreaks(readFormValue(form, annotation)) != wanted) {
                throw EngineFailure(FailureCode::formFailed,
                                    "Field " + name +
                                        " did not take that value. It may be longer, or have more lines, "
                                        "than the field allows.");
            }
        });
}

// PDFium keeps the value of text fields sharing a name in the first of them, and draws every
// widget of the name from it; each other field would still hold its old value in the file.
void writeIntoNamesakes(const Session& session, FPDF_FORMHANDLE form, const std::string& name) {
    std::optional<std::string> held;
    forEachWidgetNamed(
        session, form, name, [&](const OpenPage&, FPDF_ANNOTATION annotation, const std::string&) {
            if (!held) held = readFormValue(form, annotation);
            if (readStringKey(annotation, "V") == *held) return;
            setAnnotString(annotation, "V", *held);
            if (readStringKey(annotation, "V") != *held) {
                throw EngineFailure(FailureCode::formFailed, "Field " + name + " did not take that value.");
            }
        });
}

void fillChoice(const Session& session, FPDF_FORMHANDLE form, const std::string& name,
                const std::string& value, int type) {
    bool done = false;
    forEachWidgetNamed(
        session, form, name, [&](const OpenPage& page, FPDF_ANNOTATION annotation, const std::string&) {
            if (done) return;
            done = true;
            if (tooManyOptions(form, annotation)) {
                throw EngineFailure(FailureCode::resourceLimit,
                                    "Field " + name + " has " +
                                        groupedDigits(FPDFAnnot_GetOptionCount(form, annotation)) +
                                        " options, more than the " + groupedDigits(choiceOptionLimit) +
                                        " Kivo PDF chooses among, so it was not filled.");
            }
            const std::vector<std::string> labels = optionLabels(form, annotation);
            const auto found = std::find(labels.begin(), labels.end(), value);
            if (found == labels.end()) {
                const int flags = FPDFAnnot_GetFormFieldFlags(form, annotation);
                if (type != FPDF_FORMFIELD_COMBOBOX || !hasFlag(flags, FPDF_FORMFLAG_CHOICE_EDIT)) {
                    throw notAnOption(name, value, labels);
                }
                typeInto(form, annotation, page.get(), toUtf16(value));
                if (readFormValue(form, annotation) != value) {
                    throw EngineFailure(FailureCode::formFailed,
                                        "Field " + name + " did not take that value.");
                }
                return;
            }
            const int k = static_cast<int>(found - labels.begin());
            const int count = static_cast<int>(labels.size());
            const auto selectedOnlyK = [&] {
                for (int i = 0; i < count; ++i) {
                    if (FPDFAnnot_IsOptionSelected(form, annotation, i) != (i == k)) return false;
                }
                return true;
            };
            if (selectedOnlyK()) return;
            if (!FORM_SetFocusedAnnot(form, annotation)) {
                throw EngineFailure(FailureCode::formFailed,
                                    "Field " + name + " could not be selected for filling.");
            }
            for (int i = 0; i < count; ++i) {
                if (i != k && FORM_IsIndexSelected(form, page.get(), i))
                    FORM_SetIndexSelected(form, page.get(), i, false);
            }
            FORM_SetIndexSelected(form, page.get(), k, true);
            FORM_ForceToKillFocus(form);
            if (!selectedOnlyK()) {
                throw EngineFailure(FailureCode::formFailed,
                                    "Field " + name + " did not select " + value + ".");
            }
        });
}

void fillButtons(const Session& session, FPDF_FORMHANDLE form, const std::string& name,
                 const std::string& value, bool radio) {
    std::vector<std::string> exports;
    bool anyOn = false;
    forEachWidgetNamed(session, form, name,
                       [&](const OpenPage&, FPDF_ANNOTATION annotation, const std::string&) {
                           exports.push_back(readExportValue(form, annotation));
                           if (!anyOn) anyOn = FPDFAnnot_IsChecked(form, annotation);
                       });

    const bool onWord = !radio && isCheckboxOnWord(value);
    const auto matches = [&](const std::string& exportValue) {
        return onWord || (!exportValue.empty() && equalIgnoringCase(exportValue, value));
    };

    if (radio) {
        std::vector<std::string> options;
        for (const std::string& e : exports) {
            if (!e.empty()) options.push_back(e);
        }
        const bool known =
            std::any_of(options.begin(), options.end(), [&](const std::string& e) { return matches(e); });
        if (!known) {
            if (value.empty() || equalIgnoringCase(value, "off")) {
                if (!anyOn) return;
                throw EngineFailure(FailureCode::unsupported, "PDFium cannot clear the radio group " + name +
                                                                  ". Choose one of its options instead.");
            }
            throw notAnOption(name, value, options);
        }
    }

    forEachWidgetNamed(session, form, name,
                       [&](const OpenPage& page, FPDF_ANNOTATION annotation, const std::string&) {
                           const bool wanted = matches(readExportValue(form, annotation));
                           const bool on = FPDFAnnot_IsChecked(form, annotation);
                           // A radio option goes off when another one is chosen, never by clicking it.
                           if (wanted == on || (radio && on)) return;
                           clickWidget(form, annotation, page.get());
                       });

    forEachWidgetNamed(
        session, form, name, [&](const OpenPage&, FPDF_ANNOTATION annotation, const std::string&) {
            if (FPDFAnnot_IsChecked(form, annotation) != matches(readExportValue(form, annotation))) {
                throw EngineFailure(FailureCode::formFailed,
                                    "Field " + name + " did not take the value " + value + ".");
            }
        });
}

bool isClearedValue(const std::string& value) { return value.empty() || value == "Off"; }

// Clears the value a kid widget shares with its parent field through the form-fill environment.
// False when that is not possible for this kind of field, or did not work.
bool clearParentValue(FPDF_FORMHANDLE form, FPDF_ANNOTATION annotation, FPDF_PAGE page) {
    if (isClearedValue(readFormValue(form, annotation))) return true;
    if (tooManyOptions(form, annotation)) return false;
    switch (FPDFAnnot_GetFormFieldType(form, annotation)) {
        case FPDF_FORMFIELD_CHECKBOX: clickWidget(form, annotation, page); break;
        case FPDF_FORMFIELD_COMBOBOX:
        case FPDF_FORMFIELD_TEXTFIELD:
            if (!typeInto(form, annotation, page, std::u16string_view())) return false;
            break;
        case FPDF_FORMFIELD_LISTBOX: {
            // A negative count is PDFium failing to read the options: nothing can be deselected.
            const int count = FPDFAnnot_GetOptionCount(form, annotation);
            if (count < 0) return false;
            if (!FORM_SetFocusedAnnot(form, annotation)) return false;
            for (int i = 0; i < count; ++i) {
                if (FORM_IsIndexSelected(form, page, i)) FORM_SetIndexSelected(form, page, i, false);
            }
            FORM_ForceToKillFocus(form);
            break;
        }
        default:
            // Radio groups included: the form-fill environment cannot turn every option off.
            return false;
    }
    return isClearedValue(readFormValue(form, annotation));
}

}  // namespace

std::string DocumentForm::fieldName(FPDF_FORMHANDLE form, FPDF_ANNOTATION annotation) {
    return readFormName(form, annotation);
}

std::vector<FormFieldInfo> DocumentForm::mergeRadioFields(const std::vector<FormFieldInfo>& fields) {
    std::map<std::string, FormFieldInfo> groups;
    for (const FormFieldInfo& field : fields) {
        if (field.type != "radio") continue;
        const auto [entry, first] = groups.try_emplace(field.name, field);
        if (first) continue;
        FormFieldInfo& merged = entry->second;
        std::vector<std::string> options = merged.options;
        options.insert(options.end(), field.options.begin(), field.options.end());
        // Byte order of UTF-8 is the order of the scalar values.
        std::sort(options.begin(), options.end());
        options.erase(std::unique(options.begin(), options.end()), options.end());
        merged.options = std::move(options);
        if (field.checked == true) {
            merged.checked = true;
            merged.value = field.value;
        }
    }
    std::vector<FormFieldInfo> out;
    out.reserve(fields.size());
    for (const FormFieldInfo& field : fields) {
        if (field.type != "radio") {
            out.push_back(field);
            continue;
        }
        const auto entry = groups.find(field.name);
        if (entry == groups.end()) continue;  // already emitted
        out.push_back(std::move(entry->second));
        groups.erase(entry);
    }
    return out;
}

void DocumentForm::bound(int formType) {
    const bool xfa = formType == FORMTYPE_XFA_FULL || formType == FORMTYPE_XFA_FOREGROUND;
    typeName_ = xfa ? "xfa" : formType == FORMTYPE_ACRO_FORM ? "acroform" : "none";
    tree_.reset();
}

std::vector<FormFieldInfo> DocumentForm::fields(const Session& session) const {
    std::vector<FormFieldInfo> fields;
    forEachWidget(session, CommandPhase::readingFields,
                  [&](OpenPage&, FPDF_ANNOTATION annotation, const std::string& pageId, int) {
                      if (auto field = widgetField(annotation, pageId)) fields.push_back(std::move(*field));
                  });
    return mergeRadioFields(fields);
}

std::vector<FormFieldInfo> DocumentForm::fieldsOrNone(const Session& session) const {
    try {
        return fields(session);
    } catch (const EngineFailure&) {
        if (!module::usable()) throw;
    }
    return {};
}

std::optional<FormFieldInfo> DocumentForm::widgetField(FPDF_ANNOTATION annotation,
                                                       const std::string& pageId) const {
    std::optional<FormFieldInfo> field = fieldInfo(handle(), annotation, pageId);
    if (!field) field = unparentedField(annotation, pageId);
    return field;
}

const FieldTree::Reading& DocumentForm::fieldTree() const {
    if (!tree_) {
        try {
            const DocumentBytes::Shared plain = DocumentBytes::writingPlain(document_.get());
            tree_ = FieldTree::read(plain->data());
        } catch (const EngineFailure& failure) {
            // As for captions, a document PDFium cannot write has none; a stopped command is not that.
            if (!pdfium::module::usable() || failure.code == FailureCode::cancelled ||
                failure.code == FailureCode::resourceLimit)
                throw;
            tree_.emplace();
        }
    }
    return *tree_;
}

std::optional<FormFieldInfo> DocumentForm::unparentedField(FPDF_ANNOTATION annotation,
                                                           const std::string& pageId) const {
    // A widget with a name of its own is a field PDFium reads; only one that leaves its name to a
    // field above it can be lost. The census meets few such widgets, and most documents none.
    if (!handle() || !document_ || FPDFAnnot_HasKey(annotation, "T")) return std::nullopt;
    const int number = EPDFAnnot_GetObjectNumber(annotation);
    if (number == 0) return std::nullopt;
    const std::map<int, FieldTree::Widget>& widgets = fieldTree().unparented;
    const auto found = widgets.find(number);
    if (found == widgets.end()) return std::nullopt;
    return unparentedInfo(found->second, pageId);
}

bool DocumentForm::hasFieldScripts(const Session& session) const {
    // Field scripts hang off AcroForm fields only; without a form there is nothing to find.
    const FPDF_FORMHANDLE form = handle();
    if (!form || typeName_ == "none") return false;
    static constexpr int events[] = {FPDF_ANNOT_AACTION_KEY_STROKE, FPDF_ANNOT_AACTION_FORMAT,
                                     FPDF_ANNOT_AACTION_VALIDATE, FPDF_ANNOT_AACTION_CALCULATE};
    bool found = false;
    const auto look = [&](FPDF_ANNOTATION annotation) {
        for (const int event : events) {
            // More than the two bytes of an empty terminator means a script is there.
            if (!found && FPDFAnnot_GetFormAdditionalActionJavaScript(form, annotation, event, {}) > 2)
                found = true;
        }
    };
    // A widget the form's field list leaves out becomes a field, scripts and all, only when its page
    // is loaded into the form environment; a widget the form knows by its name is read from the list.
    const auto known = [&](FPDF_ANNOTATION annotation) {
        return FPDFAnnot_GetSubtype(annotation) != FPDF_ANNOT_WIDGET ||
               FPDFAnnot_GetFormFieldType(form, annotation) >= 0;
    };
    // A page object the page tree lists more than once has the same widgets each time.
    std::set<int> looked;
    LoadedReads loaded;
    const std::vector<PageInfo>& pages = session.pages();
    const auto total = static_cast<std::int64_t>(pages.size());
    for (std::int64_t k = 0; k < total && !found; ++k) {
        RunningCommand::step(CommandPhase::checkingScripts, k, total);
        const PageInfo& info = pages[static_cast<size_t>(k)];
        const int pageObject =
            EPDFDoc_GetPageObjectNumberByIndex(document_.get(), static_cast<int>(info.index));
        if (pageObject != 0 && !looked.insert(pageObject).second) continue;
        if (forEachAnnotationUnparsed(document_.get(), static_cast<int>(info.index), known,
                                      [&](FPDF_ANNOTATION annotation, int) { look(annotation); }) ||
            found) {
            continue;
        }
        loaded.beforeLoading();
        OpenPage page;
        try {
            page = session.loadPage(info.id);
        } catch (const EngineFailure&) {
            if (!module::usable()) throw;
            continue;
        }
        forEachAnnotationOn(
            page, info.id,
            [&](OpenPage&, FPDF_ANNOTATION annotation, const std::string&, int) { look(annotation); });
    }
    return found;
}

DocumentForm::Target DocumentForm::target(const Session& session, const std::string& name) const {
    if (isXfa()) {
        throw EngineFailure(FailureCode::unsupported,
                            "XFA forms are outside alpha. This file was not filled.");
    }
    const FPDF_FORMHANDLE form = handle();
    if (!form) throw noSuchField(name);

    Target target;
    std::optional<int> type;
    std::set<int> widgets;
    bool eachHoldsTheName = true;
    forEachWidgetNamed(
        session, form, name, [&](const OpenPage&, FPDF_ANNOTATION annotation, const std::string& pageId) {
            // PDFium reads the flags of the first field of a name for every widget of it; one that holds
            // the name itself is a field with flags of its own.
            const bool ownName = FPDFAnnot_HasKey(annotation, "T");
            float ownFlags = 0;
            if (hasFlag(FPDFAnnot_GetFormFieldFlags(form, annotation), FPDF_FORMFLAG_READONLY) ||
                (ownName && FPDFAnnot_GetNumberValue(annotation, "Ff", &ownFlags) &&
                 hasFlag(static_cast<int>(ownFlags), FPDF_FORMFLAG_READONLY))) {
                throw EngineFailure(FailureCode::readOnly, "Field " + name + " is read-only.");
            }
            if (!type) type = FPDFAnnot_GetFormFieldType(form, annotation);
            if (std::find(target.pageIds.begin(), target.pageIds.end(), pageId) == target.pageIds.end())
                target.pageIds.push_back(pageId);
            widgets.insert(EPDFAnnot_GetObjectNumber(annotation));
            if (!ownName) eachHoldsTheName = false;
        });
    if (!type) {
        const std::map<int, FieldTree::Widget>& unplaced = fieldTree().unparented;
        if (std::any_of(unplaced.begin(), unplaced.end(),
                        [&](const auto& entry) { return entry.second.name == name; })) {
            throw EngineFailure(FailureCode::unsupported,
                                "Field " + name +
                                    " cannot be filled: its widgets do not name the field they belong to, "
                                    "so PDFium does not reach it. Nothing changed.");
        }
        throw noSuchField(name);
    }
    target.type = *type;
    // One widget is one field; only the tree tells whether several widgets are one field or more.
    if (widgets.size() < 2) return target;
    const auto found = fieldTree().namesakes.find(name);
    if (found == fieldTree().namesakes.end()) return target;
    // A text field's value can be written into each widget that holds it; a field above its
    // widgets, or the state of a button or a choice, PDFium writes for the first field alone.
    if (target.type != FPDF_FORMFIELD_TEXTFIELD || !eachHoldsTheName) {
        throw EngineFailure(
            FailureCode::unsupported,
            groupedDigits(static_cast<std::int64_t>(found->second.size())) +
                " fields of this document are named " + name +
                ", and Kivo PDF can fill only one field of a name, so none of them was filled.");
    }
    target.namesakes = true;
    return target;
}

void DocumentForm::fill(const Session& session, const std::string& name, const Target& target,
                        const std::string& value) {
    const FPDF_FORMHANDLE form = handle();
    switch (target.type) {
        case FPDF_FORMFIELD_CHECKBOX:
        case FPDF_FORMFIELD_RADIOBUTTON:
            fillButtons(session, form, name, value, target.type == FPDF_FORMFIELD_RADIOBUTTON);
            break;
        case FPDF_FORMFIELD_COMBOBOX:
        case FPDF_FORMFIELD_LISTBOX: fillChoice(session, form, name, value, target.type); break;
        case FPDF_FORMFIELD_TEXTFIELD:
            fillText(session, form, name, value);
            if (target.namesakes) writeIntoNamesakes(session, form, name);
            break;
        default: throw EngineFailure(FailureCode::unsupported, "Field " + name + " does not take a value.");
    }
}

std::optional<std::string> DocumentForm::clearOnPages(const Session& session,
                                                      const std::vector<std::string>& pageIds) {
    const FPDF_FORMHANDLE form = handle();
    if (!form) return std::nullopt;
    const std::set<std::string> doomed(pageIds.begin(), pageIds.end());

    // Which pages each field name has widgets on.
    std::map<std::string, std::set<std::string>> pagesOfName;
    forEachWidget(session, CommandPhase::clearingFields,
                  [&](OpenPage&, FPDF_ANNOTATION annotation, const std::string& pageId, int) {
                      const std::string name = readFormName(form, annotation);
                      if (!name.empty()) pagesOfName[name].insert(pageId);
                  });

    std::vector<std::string> targets;
    for (const PageInfo& info : session.pages()) {
        if (doomed.count(info.id) != 0) targets.push_back(info.id);
    }
    const auto livesOnlyOnDoomedPages = [&](const std::string& name) {
        const std::set<std::string>& where = pagesOfName[name];
        return std::all_of(where.begin(), where.end(),
                           [&](const std::string& id) { return doomed.count(id) != 0; });
    };

    std::set<std::string> uncleared;
    const auto targetCount = static_cast<std::int64_t>(targets.size());
    for (std::int64_t j = 0; j < targetCount; ++j) {
        RunningCommand::step(CommandPhase::clearingFields, j, targetCount);
        OpenPage page = session.loadPage(targets[static_cast<size_t>(j)]);
        const int count = FPDFPage_GetAnnotCount(page.get());
        for (int k = 0; k < count; ++k) {
            ScopedAnnotation annotation(FPDFPage_GetAnnot(page.get(), k));
            if (!annotation || FPDFAnnot_GetSubtype(annotation.get()) != FPDF_ANNOT_WIDGET) continue;
            const std::string name = readFormName(form, annotation.get());
            const int type = FPDFAnnot_GetFormFieldType(form, annotation.get());
            const bool button = type == FPDF_FORMFIELD_CHECKBOX || type == FPDF_FORMFIELD_RADIOBUTTON;
            if (!name.empty() && livesOnlyOnDoomedPages(name)) {
                if (!FPDFAnnot_HasKey(annotation.get(), "T") &&
                    !clearParentValue(form, annotation.get(), page.get())) {
                    uncleared.insert(name);
                }
                if (button) {
                    setAnnotString(annotation.get(), "V", "Off");
                    setAnnotString(annotation.get(), "AS", "Off");
                } else {
                    setAnnotString(annotation.get(), "V", "");
                }
            }
            // The text of a text-like widget lives on in its appearance streams.
            if (!button && type != FPDF_FORMFIELD_PUSHBUTTON) {
                for (const int mode : {0, 1, 2}) FPDFAnnot_SetAP(annotation.get(), mode, nullptr);
            }
        }
    }

    if (uncleared.empty()) return std::nullopt;
    std::string names;
    // std::set iterates in ascending byte order, which for UTF-8 is code point order.
    for (const std::string& name : uncleared) names += (names.empty() ? "" : ", ") + name;
    return "Form fields from the deleted pages still hold their values in the file, because PDFium cannot "
           "clear "
           "them: " +
           names + ".";
}

}  // namespace kivo
