#pragma once

// The page tree of a file PDFium wrote (see pdf_objects.hpp), for the one change PDFium offers no
// call for: a tree may list one page object at several places, and every page it stands for then
// takes an edit of any of them, a turn above all; other readers take each place for a page of its own.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kivo::PageTree {

// The bytes PDFium wrote whole followed by an update that gives the page at `index` a page object of
// its own: a copy of the one it shares, with what it inherited as PDFium read it, in place of the
// tree's entry for it. `objects` is the object number of each page as PDFium reads the tree. Nothing
// when the tree read here lists other pages than `objects` says, or when the copy would not read as
// the page does (strings of an encrypted file are encrypted for the object holding them).
std::optional<std::string> withOwnPageObject(std::span<const uint8_t> written,
                                             const std::vector<int>& objects, int index);

// The bytes PDFium wrote whole followed by an update that takes out of each node's /Kids every entry
// naming that node or one above it. PDFium passes over such an entry, and writes it back as it was;
// other readers refuse the file. Nothing when no node lists one, or the tree is not read here.
std::optional<std::string> withoutLoops(std::span<const uint8_t> written);

}  // namespace kivo::PageTree
