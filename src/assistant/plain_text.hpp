#pragma once

// Literal, byte-wise text edits the prompt, the grounding and the run share. They never fail.

#include <string>
#include <string_view>
#include <vector>

namespace kivo::PlainText {

// Every occurrence of `target` (not empty) replaced, left to right, never rescanning a
// replacement.
inline void replaceAll(std::string& text, std::string_view target, std::string_view replacement) {
    std::size_t at = 0;
    while ((at = text.find(target, at)) != std::string::npos) {
        text.replace(at, target.size(), replacement);
        at += replacement.size();
    }
}

// Each piece cut at every occurrence of `separator` (not empty); empty parts stay.
inline std::vector<std::string> cutAt(const std::vector<std::string>& pieces, std::string_view separator) {
    std::vector<std::string> out;
    for (const auto& piece : pieces) {
        std::size_t from = 0;
        for (std::size_t at; (at = piece.find(separator, from)) != std::string::npos;
             from = at + separator.size()) {
            out.push_back(piece.substr(from, at - from));
        }
        out.push_back(piece.substr(from));
    }
    return out;
}

}  // namespace kivo::PlainText
