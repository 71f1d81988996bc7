// The merge rewrites objects it reads back byte for byte, so a value the reader cuts one byte
// short, or runs one byte past, corrupts every object the merge writes after it.

#include "session/pdf_objects.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "test_pdfs.hpp"

namespace kivo {
namespace {

using PdfObjects::File;
using PdfObjects::Value;

// Arrays `depth` deep, as written and as written back.
std::string nested(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }
std::string nestedBack(int depth) { return depth == 1 ? "[]" : "[" + nestedBack(depth - 1) + " ]"; }

TEST(PdfObjects, ReadsEachValueToItsLastByteAndNoFurther) {
    struct Case {
        const char* name;
        std::string body;
        // The value as written back, or nothing when the object is unreadable.
        std::optional<std::string> serialised;
        // The text of the entry /S, when the value is a dictionary holding one.
        std::optional<std::string> text = std::nullopt;
        bool stream = false;
    };
    const Case cases[] = {
        {"nested dictionaries and arrays", "<< /A << /B [1 [2 /N] << /C true >>] >> /D null >>",
         "<</A <</B [1 [2 /N ] <</C true >> ] >> /D null >>"},
        {"references among numbers that make none", "[1 0 R 12 5 R 3 4 /R 7 -1 0 R]",
         "[1 0 R 12 0 R 3 4 /R 7 -1 0 R ]"},
        {"an escaped and a balanced parenthesis", R"(<< /S (a\)b(c)d\\) /T (e) >>)",
         R"(<</S (a\)b(c)d\\) /T (e) >>)", R"(a)b(c)d\)"},
        {"escapes, octal codes and a broken line", "<< /S (x\\n\\101\\0612\\\r\ny\\q) >>",
         "<</S (x\\n\\101\\0612\\\r\ny\\q) >>", "x\nA12yq"},
        {"strings touching each other and the array's end", "[(a)(b)<41><42>()<>]",
         "[(a) (b) <41> <42> () <> ]"},
        {"a hex string of text with spaces and an odd digit", "<< /S <FEFF 0048 0069> /H <414> >>",
         "<</S <FEFF 0048 0069> /H <414> >>", "Hi"},
        {"a hex string in doc encoding", "<< /S <41 80 42> >>", "<</S <41 80 42> >>", "A\u2022B"},
        {"a comment between items", "[1 % not ] an item\n 2]", "[1 2 ]"},
        {"a key given twice keeps its last value", "<< /A 1 /B 2 /A (x) >>", "<</A (x) /B 2 >>"},
        {"a stream's dictionary", "<< /Length 3 >>\nstream\nabc\nendstream", "<</Length 3 >>", std::nullopt,
         true},
        {"as deep as may be read", nested(PdfObjects::maxDepth + 1), nestedBack(PdfObjects::maxDepth + 1)},
        {"one level deeper", nested(PdfObjects::maxDepth + 2), std::nullopt},
        {"a string never closed", "<< /S (open >>", std::nullopt},
        {"a string whose last parenthesis is escaped", R"(<< /S (open\) >>)", std::nullopt},
        {"a hex string never closed", "[<4142", std::nullopt},
        {"an array never closed", "<< /A [1 2 >>", std::nullopt},
        {"a dictionary never closed", "<< /A << /B 1 >>", std::nullopt},
        {"a key that is not a name", "<< (A) 1 >>", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Last in the file, so that the object's bytes end where the table begins.
        const std::string pdf = testing::assemblePdf({"<< /Type /Catalog >>", c.body});
        const std::optional<File> file = File::index(testing::bytesOf(pdf));
        ASSERT_TRUE(file);
        const auto object = file->object(2);
        ASSERT_EQ(object.has_value(), c.serialised.has_value());
        if (!object) continue;
        EXPECT_EQ(PdfObjects::serialise(object->first), *c.serialised);
        EXPECT_EQ(object->second, c.stream);
        if (c.text) {
            const Value* text = object->first.find("S");
            ASSERT_NE(text, nullptr);
            EXPECT_EQ(PdfObjects::decodedText(*text), *c.text);
        }
    }
}

}  // namespace
}  // namespace kivo
