#pragma once

// What PDFium's security handler refuses before it tries a password: an encryption dictionary of
// version 4 or later whose streams and strings name different crypt filters (/StmF /StdCF beside
// /StrF /Identity: encrypted streams, plain strings), which the format allows and other readers
// open. PDFium answers such a file as one whose password is wrong, so when it does, the session
// reads the two names itself to say what is wrong instead of asking for a password that cannot help.

#include <cstdint>
#include <span>

namespace kivo::EncryptionFilters {

// Whether the first /StmF and the first /StrF of the bytes name different filters, an absent one
// counting as no name, as PDFium counts it. One pass over the bytes; a name is read to at most
// 127 bytes.
bool differ(std::span<const uint8_t> bytes);

}  // namespace kivo::EncryptionFilters
