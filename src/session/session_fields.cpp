#include <algorithm>
#include <map>

#include "session/running_command.hpp"
#include "session/session.hpp"
#include "session/session_internal.hpp"

namespace kivo {

using namespace pdfium;
using session_detail::readWide;

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

namespace {

std::string normaliseLineBreaks(std::string value) {
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

}  // namespace

std::vector<FormFieldInfo> Session::listFields() const {
    std::vector<FormFieldInfo> fields;
    session_detail::forEachWidget(*this, CommandPhase::readingFields,
                                  [&](OpenPage&, FPDF_ANNOTATION annotation, const std::string& pageId, int) {
                                      if (auto field = fieldInfo(annotation, pageId))
                                          fields.push_back(std::move(*field));
                                  });
    return mergeRadioFields(fields);
}

std::optional<FormFieldInfo> Session::fieldInfo(FPDF_ANNOTATION annotation, const std::string& pageId) const {
    FormFieldInfo field;
    field.name = readFormName(annotation);
    if (field.name.empty()) return std::nullopt;
    const int type = formHandle() ? FPDFAnnot_GetFormFieldType(formHandle(), annotation) : 0;
    const int flags = formHandle() ? FPDFAnnot_GetFormFieldFlags(formHandle(), annotation) : 0;
    std::string value = readFormValue(annotation);
    const std::string exportValue = readExportValue(annotation);
    field.options = optionLabels(annotation);
    if (type == FPDF_FORMFIELD_RADIOBUTTON) {
        if (!exportValue.empty() &&
            std::find(field.options.begin(), field.options.end(), exportValue) == field.options.end()) {
            field.options.push_back(exportValue);
        }
        if (formHandle()) {
            field.checked = FPDFAnnot_IsChecked(formHandle(), annotation);
            if (*field.checked && !exportValue.empty()) value = exportValue;
        }
    } else if (type == FPDF_FORMFIELD_CHECKBOX && formHandle()) {
        field.checked = FPDFAnnot_IsChecked(formHandle(), annotation);
    }
    field.value = normaliseLineBreaks(std::move(value));
    field.type = formFieldTypeName(type);
    field.readOnly = (flags & FPDF_FORMFLAG_READONLY) != 0;
    field.multiline = (flags & FPDF_FORMFLAG_TEXT_MULTILINE) != 0;
    field.pageId = pageId;
    return field;
}

std::vector<FormFieldInfo> Session::mergeRadioFields(const std::vector<FormFieldInfo>& fields) {
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

std::vector<std::string> Session::optionLabels(FPDF_ANNOTATION annotation) const {
    std::vector<std::string> labels;
    if (!formHandle()) return labels;
    const int count = FPDFAnnot_GetOptionCount(formHandle(), annotation);
    for (int i = 0; i < count; ++i) {
        labels.push_back(readWide(
            [&](std::span<uint16_t> buffer) { return FPDFAnnot_GetOptionLabel(formHandle(), annotation, i, buffer); }));
    }
    return labels;
}

std::string Session::readExportValue(FPDF_ANNOTATION annotation) const {
    if (!formHandle()) return "";
    return readWide([&](std::span<uint16_t> buffer) {
        return FPDFAnnot_GetFormFieldExportValue(formHandle(), annotation, buffer);
    });
}

std::string Session::readFormString(FPDF_ANNOTATION annotation, bool name) const {
    if (!formHandle()) return readStringKey(annotation, name ? "T" : "V");
    return readWide([&](std::span<uint16_t> buffer) {
        return name ? FPDFAnnot_GetFormFieldName(formHandle(), annotation, buffer)
                    : FPDFAnnot_GetFormFieldValue(formHandle(), annotation, buffer);
    });
}

std::string Session::readFormName(FPDF_ANNOTATION annotation) const { return readFormString(annotation, true); }

std::string Session::readFormValue(FPDF_ANNOTATION annotation) const { return readFormString(annotation, false); }

}  // namespace kivo
