#include <algorithm>
#include <array>
#include <map>
#include <optional>
#include <set>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include "core/text.hpp"
#include "session/running_command.hpp"
#include "session/session.hpp"
#include "session/session_internal.hpp"

namespace kivo {

using namespace pdfium;
using namespace session_detail;

namespace {

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

std::vector<std::string> Session::fillField(const std::string& name, const std::string& value) {
    if (formTypeName_.rfind("xfa", 0) == 0) {
        throw EngineFailure(FailureCode::unsupported,
                            "XFA forms are outside alpha. This file was not filled.");
    }
    const FPDF_FORMHANDLE form = formHandle();
    if (!form) throw noSuchField(name);

    std::vector<std::string> pageIds;
    std::optional<int> type;
    forEachWidgetNamed(
        *this, form, name, [&](const OpenPage&, FPDF_ANNOTATION annotation, const std::string& pageId) {
            if (hasFlag(FPDFAnnot_GetFormFieldFlags(form, annotation), FPDF_FORMFLAG_READONLY)) {
                throw EngineFailure(FailureCode::readOnly, "Field " + name + " is read-only.");
            }
            if (!type) type = FPDFAnnot_GetFormFieldType(form, annotation);
            if (std::find(pageIds.begin(), pageIds.end(), pageId) == pageIds.end()) pageIds.push_back(pageId);
        });
    if (!type) throw noSuchField(name);
    census_.forget(pageIds);

    switch (*type) {
        case FPDF_FORMFIELD_CHECKBOX:
        case FPDF_FORMFIELD_RADIOBUTTON:
            fillButtons(*this, form, name, value, *type == FPDF_FORMFIELD_RADIOBUTTON);
            break;
        case FPDF_FORMFIELD_COMBOBOX:
        case FPDF_FORMFIELD_LISTBOX: fillChoice(*this, form, name, value, *type); break;
        case FPDF_FORMFIELD_TEXTFIELD: fillText(*this, form, name, value); break;
        default: throw EngineFailure(FailureCode::unsupported, "Field " + name + " does not take a value.");
    }
    return pageIds;
}

void Session::clearFormFields(const std::vector<std::string>& pageIds) {
    const FPDF_FORMHANDLE form = formHandle();
    if (!form) return;
    census_.forget(pageIds);
    const std::set<std::string> doomed(pageIds.begin(), pageIds.end());

    // Which pages each field name has widgets on.
    std::map<std::string, std::set<std::string>> pagesOfName;
    forEachWidget(*this, CommandPhase::clearingFields,
                  [&](OpenPage&, FPDF_ANNOTATION annotation, const std::string& pageId, int) {
                      const std::string name = readFormName(form, annotation);
                      if (!name.empty()) pagesOfName[name].insert(pageId);
                  });

    std::vector<std::string> targets;
    for (const PageInfo& info : pages_) {
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
        OpenPage page = loadPage(targets[static_cast<size_t>(j)]);
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

    if (!uncleared.empty()) {
        std::string names;
        // std::set iterates in ascending byte order, which for UTF-8 is code point order.
        for (const std::string& name : uncleared) names += (names.empty() ? "" : ", ") + name;
        warnings_.push_back(
            "Form fields from the deleted pages still hold their values in the file, because PDFium cannot "
            "clear "
            "them: " +
            names + ".");
    }
}

}  // namespace kivo
