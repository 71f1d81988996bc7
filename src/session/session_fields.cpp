#include <algorithm>
#include <map>

#include "pdfium/module.hpp"
#include "session/button_captions.hpp"
#include "session/running_command.hpp"
#include "session/session.hpp"
#include "session/session_internal.hpp"

namespace kivo {

using namespace pdfium;

std::vector<FormFieldInfo> Session::listFields() const {
    std::vector<FormFieldInfo> fields;
    session_detail::forEachWidget(*this, CommandPhase::readingFields,
                                  [&](OpenPage&, FPDF_ANNOTATION annotation, const std::string& pageId, int) {
                                      if (auto field = widgetField(annotation, pageId))
                                          fields.push_back(std::move(*field));
                                  });
    return session_detail::mergeRadioFields(fields);
}

std::optional<FormFieldInfo> Session::widgetField(FPDF_ANNOTATION annotation,
                                                  const std::string& pageId) const {
    std::optional<FormFieldInfo> field = session_detail::fieldInfo(formHandle(), annotation, pageId);
    // A push button takes no value, so the place of one tells what the button says.
    if (field && field->type == "button") {
        if (std::string caption = buttonCaption(annotation); !caption.empty())
            field->value = std::move(caption);
    }
    return field;
}

std::string Session::buttonCaption(FPDF_ANNOTATION annotation) const {
    const int number = EPDFAnnot_GetObjectNumber(annotation);
    if (number == 0 || !document_) return "";
    if (!captions_) {
        try {
            const DocumentBytes::Shared plain = DocumentBytes::writingPlain(document_.get());
            captions_ = ButtonCaptions::read(plain->data());
        } catch (const EngineFailure&) {
            // A document PDFium cannot write has no caption to show; a fault of the engine is not this.
            if (!pdfium::module::usable()) throw;
            captions_.emplace();
        }
    }
    const auto found = captions_->find(number);
    return found == captions_->end() ? "" : found->second;
}

namespace session_detail {

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

std::vector<FormFieldInfo> mergeRadioFields(const std::vector<FormFieldInfo>& fields) {
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

std::string readExportValue(FPDF_FORMHANDLE form, FPDF_ANNOTATION annotation) {
    if (!form) return "";
    return readWide([&](std::span<uint16_t> buffer) {
        return FPDFAnnot_GetFormFieldExportValue(form, annotation, buffer);
    });
}

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

}  // namespace session_detail
}  // namespace kivo
