#pragma once

// Carries the form of an appended document into the one it is merged into. PDFium's page import
// copies each page with everything it reaches except through /Parent, so a widget arrives without
// its field (the entry keeps the old file's object number, which in the target names nothing or
// something unrelated), a Popup without its markup, and the field tree never reaches the target's
// /AcroForm. Both steps work on bytes PDFium wrote (see pdf_objects.hpp):
//
//   prepare  before the import, in the appended document: every /Parent of a widget, a field or a
//            Popup is repeated under a key of this merge's own, which the import does follow; the
//            top-level fields are marked, given what they inherited from their /AcroForm (/DA, /Q;
//            /DR goes along under a key of its own), and renamed where the target has the name.
//   join     after the import, in the merged document: the repeated keys become /Parent again and
//            the marked fields join the target's /AcroForm /Fields, their resources its /DR.

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/engine_failure.hpp"

namespace kivo::MergedForm {

struct Carried {
    std::string key;  // the prefix of this merge's own keys, random so that no file can hold them
    bool needAppearances = false;
    std::vector<std::pair<std::string, std::string>> renamed;  // top-level names: old, new
};

struct Prepared {
    std::string bytes;  // the appended document with its marks
    Carried carried;
};

// The appended document, written by PDFium without encryption, marked for the import; empty
// when it has no widget or Popup to carry. A top-level field whose name is among `takenNames()`
// (the target's top-level names, asked for only when there are fields) gets the first free name of
// "name_2", "name_3" and so on. Throws EngineFailure(mergeFailed) when the bytes are not a file
// PDFium wrote.
std::optional<Prepared> prepare(std::span<const uint8_t> appended,
                                const std::function<std::set<std::string>()>& takenNames);

// The merged document, written by PDFium after the import of prepared pages, with its fields
// joined; throws as `prepare` does.
std::string join(std::span<const uint8_t> merged, const Carried& carried);

// The failure of a merge whose fields cannot be carried over.
EngineFailure notCarried();

// The sentence a merge adds when it renamed fields.
std::string renamedSentence(const std::vector<std::pair<std::string, std::string>>& renamed);

}  // namespace kivo::MergedForm
