#include "test_pdfs.hpp"

#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace kivo::testing {

std::string assemblePdf(const std::vector<std::string>& objects) {
    std::string out = "%PDF-1.7\n%\xE2\xE3\xCF\xD3\n";
    std::vector<size_t> offsets;
    for (size_t i = 0; i < objects.size(); ++i) {
        offsets.push_back(out.size());
        out += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    const size_t xref = out.size();
    out += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (size_t offset : offsets) {
        char line[32];
        std::snprintf(line, sizeof line, "%010zu 00000 n \n", offset);
        out += line;
    }
    out += "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
           std::to_string(xref) + "\n%%EOF\n";
    return out;
}

static std::string stream(const std::string& content) {
    return "<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "\nendstream";
}

static std::string appearance(const std::string& content) {
    return "<< /Type /XObject /Subtype /Form /BBox [0 0 18 18] /Length " + std::to_string(content.size()) +
           " >>\nstream\n" + content + "\nendstream";
}

std::string makePdf(const std::vector<TestPage>& pages) {
    // 1 catalog, 2 pages, 3 font, then a page and its content per page.
    std::vector<std::string> objects(3);
    std::string kids;
    for (size_t i = 0; i < pages.size(); ++i) {
        const TestPage& page = pages[i];
        const size_t pageObject = 4 + i * 2;
        kids += std::to_string(pageObject) + " 0 R ";
        std::ostringstream content;
        if (page.blackBox) content << "0 0 0 rg 100 100 200 150 re f\n";
        if (!page.text.empty())
            content << "BT /F1 24 Tf 72 " << page.height - 100 << " Td (" << page.text << ") Tj ET\n";
        std::ostringstream pageDict;
        pageDict << "<< /Type /Page /Parent 2 0 R /MediaBox [" << page.mediaLeft << " " << page.mediaBottom
                 << " " << page.mediaLeft + page.width << " " << page.mediaBottom + page.height << "]";
        if (page.rotation != 0) pageDict << " /Rotate " << page.rotation;
        if (page.cropBox.size() == 4) {
            pageDict << " /CropBox [" << page.cropBox[0] << " " << page.cropBox[1] << " " << page.cropBox[2]
                     << " " << page.cropBox[3] << "]";
        }
        pageDict << " /Resources << /Font << /F1 3 0 R >> >> /Contents " << pageObject + 1 << " 0 R >>";
        objects.push_back(pageDict.str());
        objects.push_back(stream(content.str()));
    }
    objects[0] = "<< /Type /Catalog /Pages 2 0 R >>";
    objects[1] = "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages.size()) + " >>";
    objects[2] = "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>";
    return assemblePdf(objects);
}

std::string makeLongTextPdf(int pages) {
    std::vector<std::string> objects = {"<< /Type /Catalog /Pages 2 0 R >>", "",
                                        "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"};
    std::string kids;
    for (int page = 0; page < pages; ++page) {
        std::string text = "BT /F1 10 Tf 72 700 Td 12 TL";
        for (int line = 0; line < 40; ++line)
            text += " (Line " + std::to_string(line) + " of ordinary words) '";
        text += " ET";
        const int object = 4 + page * 2;
        kids += std::to_string(object) + " 0 R ";
        objects.push_back(
            "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Resources << /Font << /F1 3 0 R "
            ">> >> /Contents " +
            std::to_string(object + 1) + " 0 R >>");
        objects.push_back("<< /Length " + std::to_string(text.size()) + " >>\nstream\n" + text +
                          "\nendstream");
    }
    objects[1] = "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages) + " >>";
    return assemblePdf(objects);
}

std::string makeFormPdf() {
    return assemblePdf({
        "<< /Type /Catalog /Pages 2 0 R /AcroForm << /Fields [5 0 R 6 0 R] /NeedAppearances true "
        "/DA (/Helv 12 Tf 0 g) /DR << /Font << /Helv 3 0 R >> >> >> >>",
        "<< /Type /Pages /Kids [4 0 R] /Count 1 >>",
        "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Annots [5 0 R 6 0 R] >>",
        "<< /Type /Annot /Subtype /Widget /FT /Tx /T (name) /V (Ada) /Rect [72 700 300 724] /P 4 0 R "
        "/DA (/Helv 12 Tf 0 g) /F 4 >>",
        "<< /Type /Annot /Subtype /Widget /FT /Btn /T (agree) /V /Off /AS /Off /Rect [72 650 90 668] /P 4 0 "
        "R "
        "/F 4 /MK << >> /AP << /N << /Yes 7 0 R /Off 8 0 R >> >> >>",
        appearance("0 0 0 rg 2 2 14 14 re f"),
        appearance(""),
    });
}

static std::string rectAt(int x, int y, int width, int height);

std::string makeFieldTreePdf() {
    const std::string widget = "<< /Type /Annot /Subtype /Widget /F 4 ";
    return assemblePdf({
        // 1-5: catalog, pages, font, two pages. Inheritable entries live only in the form.
        "<< /Type /Catalog /Pages 2 0 R /AcroForm << /Fields [6 0 R] /DA (/Helv 10 Tf 0 g) "
        "/DR << /Font << /Helv 3 0 R >> >> >> >>",
        "<< /Type /Pages /Kids [4 0 R 5 0 R] /Count 2 >>",
        "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Annots [9 0 R 11 0 R 12 0 R] >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Annots [10 0 R 13 0 R 14 0 R] >>",
        // 6-8: person, person.name, person.address
        "<< /T (person) /Kids [7 0 R 8 0 R 15 0 R] >>",
        "<< /T (name) /FT /Tx /V (Ada) /Parent 6 0 R /Kids [9 0 R] >>",
        "<< /T (address) /Parent 6 0 R /Kids [16 0 R] >>",
        // 9-10: the widgets of person.name (page 1) and person.address.city (page 2)
        widget + rectAt(72, 700, 200, 20) + " /Parent 7 0 R /P 4 0 R >>",
        widget + rectAt(72, 700, 200, 20) + " /Parent 16 0 R /P 5 0 R >>",
        // 11-12: a highlight on page 1 and its popup
        "<< /Type /Annot /Subtype /Highlight /Rect [72 600 200 620] /QuadPoints [72 620 200 620 72 600 200 "
        "600] "
        "/C [1 1 0] /Contents (Look here) /Popup 12 0 R /P 4 0 R >>",
        "<< /Type /Annot /Subtype /Popup /Parent 11 0 R /Rect [220 560 400 660] /P 4 0 R >>",
        // 13-15: the radio group person.pick, its second button on
        widget + rectAt(72, 600, 18, 18) +
            " /Parent 15 0 R /P 5 0 R /MK << >> /AS /Off /AP << /N << /A 17 0 R /Off 18 0 R >> >> >>",
        widget + rectAt(100, 600, 18, 18) +
            " /Parent 15 0 R /P 5 0 R /MK << >> /AS /B /AP << /N << /B 17 0 R /Off 18 0 R >> >> >>",
        "<< /T (pick) /FT /Btn /Ff 49152 /V /B /Parent 6 0 R /Kids [13 0 R 14 0 R] >>",
        // 16: person.address.city, read-only
        "<< /T (city) /FT /Tx /V (Paris) /Ff 1 /Parent 8 0 R /Kids [10 0 R] >>",
        appearance("0 0 0 rg 4 4 10 10 re f"),
        appearance(""),
    });
}

namespace {

std::filesystem::path present(const std::filesystem::path& path) {
    return std::filesystem::exists(path) ? path : std::filesystem::path();
}

}  // namespace

std::filesystem::path corpus(const std::string& name) {
    return present(std::filesystem::path(KIVO_CORPUS_DIR) / name);
}

std::filesystem::path repro(const std::string& name) {
    return present(std::filesystem::path(KIVO_REPRO_DIR) / name);
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kivo-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void writeFile(const std::filesystem::path& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary);
    out << contents;
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// ---- Form filling, overlays and page organisation

static std::string rectAt(int x, int y, int width, int height) {
    return "/Rect [" + std::to_string(x) + " " + std::to_string(y) + " " + std::to_string(x + width) + " " +
           std::to_string(y + height) + "]";
}

static const char* const kFormCatalogTail = " /DA (/Helv 12 Tf 0 g) /DR << /Font << /Helv 3 0 R >> >> >> >>";

std::string makeFillFormPdf() {
    const std::string widget = "<< /Type /Annot /Subtype /Widget /P 4 0 R /F 4 /DA (/Helv 12 Tf 0 g) ";
    const auto radioKid = [](const std::string& state, int y) {
        return "<< /Type /Annot /Subtype /Widget /Parent 13 0 R /P 4 0 R /F 4 " + rectAt(72, y, 18, 18) +
               " /AS /Off /MK << >> /AP << /N << /" + state + " 16 0 R /Off 17 0 R >> >> >>";
    };
    return assemblePdf({
        std::string(
            "<< /Type /Catalog /Pages 2 0 R /AcroForm << /Fields [5 0 R 6 0 R 7 0 R 8 0 R 9 0 R 10 0 R "
            "11 0 R 12 0 R 13 0 R]") +
            kFormCatalogTail,
        "<< /Type /Pages /Kids [4 0 R] /Count 1 >>",
        "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Annots [5 0 R 6 0 R 7 0 R 8 0 R 9 0 R 10 0 R "
        "11 0 R 12 0 R 14 0 R 15 0 R] >>",
        widget + "/FT /Tx /T (name) /Ff 4096 /V (Ada) " + rectAt(72, 700, 228, 48) + " >>",
        widget + "/FT /Tx /T (short) /MaxLen 3 /V (ab) " + rectAt(72, 650, 228, 24) + " >>",
        widget + "/FT /Tx /T (locked) /Ff 1 /V (fixed) " + rectAt(72, 600, 228, 24) + " >>",
        widget + "/FT /Btn /T (submit) /Ff 65536 /MK << /CA (Go) >> " + rectAt(72, 550, 100, 24) + " >>",
        widget + "/FT /Ch /T (answer) /Ff 131072 /Opt [(Yes) (No)] /V (No) " + rectAt(72, 500, 150, 24) +
            " >>",
        widget + "/FT /Ch /T (answerEdit) /Ff 393216 /Opt [(Yes) (No)] " + rectAt(72, 450, 150, 24) + " >>",
        widget + "/FT /Ch /T (colours) /Ff 2097152 /Opt [(Red) (Green) (Blue)] /V [(Red) (Blue)] /I [0 2] " +
            rectAt(72, 330, 150, 100) + " >>",
        widget +
            "/FT /Btn /T (agree) /V /Off /AS /Off /MK << >> /AP << /N << /Agreed 16 0 R /Off 17 0 R >> >> " +
            rectAt(72, 290, 18, 18) + " >>",
        "<< /FT /Btn /Ff 49152 /T (direction) /V /Off /Kids [14 0 R 15 0 R] >>",
        radioKid("North", 250),
        radioKid("South", 210),
        appearance("0 0 0 rg 2 2 14 14 re f"),
        appearance(""),
    });
}

std::string makeSpreadFormPdf() {
    const auto kid = [](int parent, int page, int y) {
        return "<< /Type /Annot /Subtype /Widget /Parent " + std::to_string(parent) + " 0 R /P " +
               std::to_string(page) + " 0 R /F 4 " + rectAt(72, y, 228, 24) + " >>";
    };
    const auto radioKid = [](int parent, const std::string& state, int y) {
        return "<< /Type /Annot /Subtype /Widget /Parent " + std::to_string(parent) + " 0 R /P 5 0 R /F 4 " +
               rectAt(72, y, 18, 18) + " /AS /" + state + " /MK << >> /AP << /N << /" + state +
               " 20 0 R /Off 21 0 R >> >> >>";
    };
    const std::string page = "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Annots [";
    return assemblePdf({
        std::string("<< /Type /Catalog /Pages 2 0 R /AcroForm << /Fields [7 0 R 10 0 R 13 0 R 15 0 R 17 0 R "
                    "19 0 R]") +
            kFormCatalogTail,
        "<< /Type /Pages /Kids [4 0 R 5 0 R 6 0 R] /Count 3 >>",
        "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
        page + "9 0 R 11 0 R] >>",
        page + "12 0 R 14 0 R 16 0 R 18 0 R 19 0 R] >>",
        page + "8 0 R] >>",
        "<< /FT /Tx /T (spread) /V (old) /DA (/Helv 12 Tf 0 g) /Kids [8 0 R 9 0 R] >>",
        kid(7, 6, 700),
        kid(7, 4, 700),
        "<< /FT /Tx /T (kept) /V (keep me) /DA (/Helv 12 Tf 0 g) /Kids [11 0 R 12 0 R] >>",
        kid(10, 4, 600),
        kid(10, 5, 600),
        "<< /FT /Btn /Ff 49152 /T (zeta) /V /Z1 /Kids [14 0 R] >>",
        radioKid(13, "Z1", 500),
        "<< /FT /Btn /Ff 49152 /T (alpha) /V /A1 /Kids [16 0 R] >>",
        radioKid(15, "A1", 450),
        "<< /FT /Tx /T (gone) /V (bye) /DA (/Helv 12 Tf 0 g) /Kids [18 0 R] >>",
        kid(17, 5, 400),
        "<< /Type /Annot /Subtype /Widget /FT /Tx /T (solo) /V (solo) /DA (/Helv 12 Tf 0 g) /P 5 0 R /F 4 " +
            rectAt(72, 350, 228, 24) + " >>",
        appearance("0 0 0 rg 2 2 14 14 re f"),
        appearance(""),
    });
}

std::string makeXfaPdf() {
    return assemblePdf({
        std::string("<< /Type /Catalog /Pages 2 0 R /AcroForm << /Fields [5 0 R] /XFA (<xdp:xdp/>)") +
            kFormCatalogTail,
        "<< /Type /Pages /Kids [4 0 R] /Count 1 >>",
        "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Annots [5 0 R] >>",
        "<< /Type /Annot /Subtype /Widget /FT /Tx /T (name) /V (Ada) /P 4 0 R /F 4 /DA (/Helv 12 Tf 0 g) " +
            rectAt(72, 700, 228, 24) + " >>",
    });
}

std::string makeSignedPdf() {
    return assemblePdf({
        "<< /Type /Catalog /Pages 2 0 R /AcroForm << /Fields [4 0 R] /SigFlags 3 >> >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Annots [4 0 R] >>",
        "<< /Type /Annot /Subtype /Widget /FT /Sig /T (signature) /Rect [0 0 0 0] /P 3 0 R /V 5 0 R >>",
        "<< /Type /Sig /Filter /Adobe.PPKLite /SubFilter /adbe.pkcs7.detached /ByteRange [0 0 0 0] "
        "/Contents <00> >>",
    });
}

namespace {

using Bytes = std::string;

Bytes digest(const EVP_MD* kind, const Bytes& data) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), out, &length, kind, nullptr) != 1)
        throw std::runtime_error("digest");
    return Bytes(reinterpret_cast<const char*>(out), length);
}

// Encrypts with the cipher, without padding unless `pad`.
Bytes encrypt(const EVP_CIPHER* cipher, const Bytes& key, const Bytes& iv, const Bytes& data,
              bool pad = false) {
    std::unique_ptr<EVP_CIPHER_CTX, void (*)(EVP_CIPHER_CTX*)> context(EVP_CIPHER_CTX_new(),
                                                                       EVP_CIPHER_CTX_free);
    Bytes out(data.size() + 32, '\0');
    int written = 0;
    int last = 0;
    const auto* k = reinterpret_cast<const unsigned char*>(key.data());
    const auto* v = iv.empty() ? nullptr : reinterpret_cast<const unsigned char*>(iv.data());
    if (EVP_EncryptInit_ex(context.get(), cipher, nullptr, k, v) != 1 ||
        EVP_CIPHER_CTX_set_padding(context.get(), pad ? 1 : 0) != 1 ||
        EVP_EncryptUpdate(context.get(), reinterpret_cast<unsigned char*>(out.data()), &written,
                          reinterpret_cast<const unsigned char*>(data.data()),
                          static_cast<int>(data.size())) != 1 ||
        EVP_EncryptFinal_ex(context.get(), reinterpret_cast<unsigned char*>(out.data()) + written, &last) !=
            1) {
        throw std::runtime_error("encrypt");
    }
    out.resize(static_cast<size_t>(written + last));
    return out;
}

// The password hash of the 256-bit standard security handler, revision 6.
Bytes passwordHash(const Bytes& password, const Bytes& salt, const Bytes& userKey) {
    Bytes k = digest(EVP_sha256(), password + salt + userKey);
    Bytes e;
    for (int round = 0; round < 64 || static_cast<unsigned char>(e.back()) > round - 32; ++round) {
        Bytes k1;
        for (int i = 0; i < 64; ++i) k1 += password + k + userKey;
        e = encrypt(EVP_aes_128_cbc(), k.substr(0, 16), k.substr(16, 16), k1);
        int sum = 0;
        for (int i = 0; i < 16; ++i) sum += static_cast<unsigned char>(e[static_cast<size_t>(i)]);
        const EVP_MD* kinds[] = {EVP_sha256(), EVP_sha384(), EVP_sha512()};
        k = digest(kinds[sum % 3], e);
    }
    return k.substr(0, 32);
}

std::string hex(const Bytes& bytes) {
    std::string out = "<";
    for (const char c : bytes) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", static_cast<unsigned char>(c));
        out += pair;
    }
    return out + ">";
}

}  // namespace

std::string makeUnkeptEncryptedPdf() {
    const Bytes fileKey(32, '\x5a');
    const Bytes zeroIv(16, '\0');
    const Bytes userSalts = "uvalsaltukeysalt";
    const Bytes ownerSalts = "ovalsaltokeysalt";
    const Bytes owner = "owner";
    const Bytes u = passwordHash("", userSalts.substr(0, 8), "") + userSalts;
    const Bytes ue = encrypt(EVP_aes_256_cbc(), passwordHash("", userSalts.substr(8), ""), zeroIv, fileKey);
    const Bytes o = passwordHash(owner, ownerSalts.substr(0, 8), u) + ownerSalts;
    const Bytes oe =
        encrypt(EVP_aes_256_cbc(), passwordHash(owner, ownerSalts.substr(8), u), zeroIv, fileKey);
    // P = -4 (every permission), little-endian, then "T" (metadata encrypted) and "adb".
    const Bytes perms =
        encrypt(EVP_aes_256_ecb(), fileKey, "", Bytes("\xfc\xff\xff\xff\xff\xff\xff\xffTadb\0\0\0\0", 16));

    const Bytes contentIv = "content-iv-16byt";
    const Bytes content = contentIv + encrypt(EVP_aes_256_cbc(), fileKey, contentIv,
                                              "BT /F1 24 Tf 72 692 Td (Hello PDF) Tj ET", true);
    std::string pdf = assemblePdf({
        "<< /Type /Catalog /Pages 2 0 R >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R /Resources << /Font << /F1 5 0 "
        "R >> >> "
        ">>",
        "<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "\nendstream",
        "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
        "<< /Filter /Standard /V 5 /R 6 /Length 256 /P -4 /StmF /StdCF /StrF /StdCF "
        "/CF << /StdCF << /CFM /AESV3 /AuthEvent /DocOpen /Length 32 >> >> "
        "/U 7 0 R /UE " +
            hex(ue) + " /O " + hex(o) + " /OE " + hex(oe) + " /Perms " + hex(perms) + " >>",
        hex(u),
    });
    const std::string root = "/Root 1 0 R";
    pdf.replace(pdf.find(root), root.size(),
                root +
                    " /Encrypt 6 0 R /ID [<00112233445566778899aabbccddeeff> "
                    "<00112233445566778899aabbccddeeff>]");
    return pdf;
}

}  // namespace kivo::testing
