#pragma once

// The /AcroForm field tree read downwards, from /Fields through every /Kids, in a file PDFium wrote
// (see pdf_objects.hpp). PDFium finds a widget's field only upwards, through the widget's /Parent,
// so a kid whose dictionary names no parent is to it a widget of no field at all, though the field
// lists it and every other reader shows it as that field: such a form lost a field in the census
// and its name and value in a merge.

#include <cstdint>
#include <map>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "session/pdf_objects.hpp"

namespace kivo::FieldTree {

// Deeper than this a field tree is malformed, and what lies below is not read.
inline constexpr int maxDepth = 64;

// Each kid of the tree whose /Parent names no dictionary, by its object number, with the field that
// lists it. Every node is read once, however many paths of the tree reach it.
std::map<uint32_t, uint32_t> unnamedParents(const PdfObjects::File& file);

// A widget PDFium cannot place, as the fields above it in the tree make it.
struct Widget {
    std::string name;                  // the full name, the /T of each field above joined by dots
    std::string fieldType;             // /FT, inherited: "Btn", "Tx", "Ch", "Sig", or empty
    std::int64_t flags = 0;            // /Ff, inherited
    std::string value;                 // /V, inherited, as text (a name without its slash)
    std::vector<std::string> options;  // what /Opt shows, inherited
    std::string onState;               // the widget's appearance state that is not Off
    std::string shownState;            // the widget's /AS
};

// What the census and a fill need of the tree of a file PDFium wrote whole and unencrypted; nothing
// when the bytes are not such a file. Steps the running command now and then, so a cancel ends it.
struct Reading {
    // The widgets that are kids of a named field but name no parent, by object number.
    std::map<int, Widget> unparented;
    // The full names that more than one field shows, each with the object numbers of those fields:
    // of each widget of the name, the dictionary nearest above it (itself included) that holds a /T.
    // PDFium takes such fields for one, and writes a value into the first of them only.
    std::map<std::string, std::set<uint32_t>> namesakes;
};
Reading read(std::span<const uint8_t> plainFile);

}  // namespace kivo::FieldTree
