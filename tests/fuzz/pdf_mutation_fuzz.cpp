// Mutated PDFs through the worker: each sample document (and a few made by hand) is damaged the
// ways files arrive damaged or hostile (flipped bytes, a cut end, a broken cross-reference table
// or stream length, deep nesting, an image declaring a huge size, a page tree that loops), then
// opened, inspected, rendered, read, searched and saved as a copy that qpdf checks. A run fails on
// any death, hang or answer that is not one JSON line.
//
//   kivo_pdf_mutation_fuzz [--seed N] [--inputs N] [--seconds S]   (or KIVO_FUZZ_SEED/INPUTS/SECONDS;
//   KIVO_FUZZ_KEEP=<folder> keeps the inputs behind each finding)

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <iostream>
#include <random>
#include <regex>

#include "fuzz_harness.hpp"
#include "test_pdfs.hpp"

namespace kivo::fuzz {
namespace {

namespace fs = std::filesystem;
using Random = std::mt19937_64;

std::size_t below(Random& random, std::size_t bound) { return bound == 0 ? 0 : random() % bound; }

// Replaces the number after each occurrence of `key` with `value`, or with random ones.
std::string replaceNumbersAfter(std::string pdf, const std::string& key, Random& random,
                                const std::vector<std::string>& values) {
    for (std::size_t at = pdf.find(key); at != std::string::npos; at = pdf.find(key, at + 1)) {
        std::size_t start = at + key.size();
        while (start < pdf.size() && pdf[start] == ' ') ++start;
        std::size_t end = start;
        while (end < pdf.size() && (std::isdigit(static_cast<unsigned char>(pdf[end])) || pdf[end] == '-'))
            ++end;
        if (end == start) continue;
        pdf.replace(start, end - start, values[below(random, values.size())]);
    }
    return pdf;
}

// The object number of the first object whose body holds `marker`.
std::optional<std::string> objectHolding(const std::string& pdf, const std::string& marker) {
    const auto at = pdf.find(marker);
    if (at == std::string::npos) return std::nullopt;
    const auto header = pdf.rfind(" 0 obj", at);
    if (header == std::string::npos) return std::nullopt;
    auto start = header;
    while (start > 0 && std::isdigit(static_cast<unsigned char>(pdf[start - 1]))) --start;
    if (start == header) return std::nullopt;
    return pdf.substr(start, header - start);
}

std::string mutate(const std::string& original, Random& random, std::string& how) {
    std::string pdf = original;
    switch (below(random, 8)) {
        case 0: {
            const std::size_t flips = 1 + below(random, 32);
            for (std::size_t i = 0; i < flips && !pdf.empty(); ++i) {
                pdf[below(random, pdf.size())] = static_cast<char>(random());
            }
            how = std::to_string(flips) + " bytes flipped";
            break;
        }
        case 1:
            pdf.resize(below(random, pdf.size()));
            how = "cut to " + std::to_string(pdf.size()) + " bytes";
            break;
        case 2:
            pdf = replaceNumbersAfter(pdf, "startxref", random, {"0", "1", "999999999", "-5", "17"});
            pdf = replaceNumbersAfter(pdf, "xref\n0", random, {"0", "1", "100000", "-1"});
            how = "cross-reference table broken";
            break;
        case 3:
            pdf = replaceNumbersAfter(pdf, "/Length", random,
                                      {"0", "1", "-1", "2147483647", "99999999999", "7"});
            how = "stream lengths changed";
            break;
        case 4: {
            const std::size_t depth = 1000 + below(random, 200000);
            const auto at = pdf.find("/Type /Catalog");
            pdf.insert(at == std::string::npos ? pdf.size() / 2 : at,
                       "/Deep " + nested(depth, random() % 2 == 0) + " ");
            how = "nesting " + std::to_string(depth) + " deep";
            break;
        }
        case 5:
            pdf = replaceNumbersAfter(pdf, "/Width", random, {"2000000000", "65536", "-1", "0", "99999999"});
            pdf = replaceNumbersAfter(pdf, "/Height", random, {"2000000000", "65536", "-1", "0", "99999999"});
            pdf = replaceNumbersAfter(pdf, "/BitsPerComponent", random, {"16", "32", "0", "1"});
            how = "huge declared image sizes";
            break;
        case 6: {
            // A page tree that names itself, or its parent, among its kids.
            if (const auto pages = objectHolding(pdf, "/Type /Pages")) {
                const auto kids = pdf.find("/Kids [", pdf.find("/Type /Pages"));
                if (kids != std::string::npos) pdf.insert(kids + 7, *pages + " 0 R ");
            }
            if (random() % 2 == 0)
                pdf = replaceNumbersAfter(pdf, "/Count", random, {"0", "-1", "1000000", "3"});
            how = "page tree loops";
            break;
        }
        default: {
            // A run of bytes repeated or removed in the middle.
            const std::size_t at = below(random, pdf.size());
            const std::size_t length = below(random, std::min<std::size_t>(4096, pdf.size() - at));
            if (random() % 2 == 0) {
                pdf.insert(at, pdf.substr(at, length));
            } else {
                pdf.erase(at, length);
            }
            how = "a run of " + std::to_string(length) + " bytes repeated or removed";
            break;
        }
    }
    return pdf;
}

std::vector<std::pair<std::string, std::string>> seeds() {
    std::vector<std::pair<std::string, std::string>> found = {
        {"made: two pages", testing::makePdf({testing::TestPage{}, testing::TestPage{300, 400, "Second"}})},
        {"made: form", testing::makeFillFormPdf()},
        {"made: spread form", testing::makeSpreadFormPdf()},
    };
    const fs::path folder = testing::corpus("");
    std::error_code error;
    std::vector<fs::path> samples;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        if (entry.path().extension() == ".pdf" && entry.file_size(error) < 4 * 1024 * 1024) {
            samples.push_back(entry.path());
        }
    }
    std::sort(samples.begin(), samples.end());
    for (const fs::path& sample : samples)
        found.emplace_back(sample.filename().string(), testing::readFile(sample));
    return found;
}

// 0 when qpdf accepts the file (warnings included), 1 when it reports errors, -1 without qpdf.
int qpdfCheck(const fs::path& file) {
    const std::string command = "qpdf --check '" + file.string() + "' >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    if (status < 0 || !WIFEXITED(status)) return -1;
    const int code = WEXITSTATUS(status);
    if (code == 127) return -1;
    return code == 0 || code == 3 ? 0 : 1;
}

void exercise(FuzzWorker& worker, Tally& tally, const std::string& input) {
    int next = 0;
    const auto ask = [&](CommandMethod method, const CommandParams& params) {
        const std::string id = std::to_string(++next);
        return worker.send(line(id, method, params), id, input);
    };
    CommandParams open;
    open.path = (worker.scratch() / "input.pdf").string();
    const Answer opened = ask(CommandMethod::open, open);
    if (!opened.response || !opened.response->ok) return;
    const CommandResult& result = *opened.response->result;
    CommandParams on;
    on.sessionId = result.sessionId;

    std::size_t pages = 0;
    for (const PageInfo& page : result.pages.value_or(std::vector<PageInfo>{})) {
        if (++pages > 3) break;
        CommandParams paged = on;
        paged.pageId = page.id;
        CommandParams render = paged;
        render.scale = 0.3;
        render.pngPath = (worker.scratch() / "page.png").string();
        ask(CommandMethod::renderPage, render);
        ask(CommandMethod::extractText, paged);
    }
    ask(CommandMethod::inspect, on);
    ask(CommandMethod::listAnnotations, on);
    CommandParams search = on;
    search.query = "the";
    ask(CommandMethod::search, search);

    const fs::path copy = worker.scratch() / "copy.pdf";
    std::error_code ignored;
    fs::remove(copy, ignored);
    CommandParams save = on;
    save.saveMode = "saveCopy";
    save.destination = copy.string();
    const Answer saved = ask(CommandMethod::saveDocument, save);
    // A copy keeps whatever damage the input's own objects carry; only a copy worse than its
    // input is a finding.
    if (saved.response && saved.response->ok && qpdfCheck(copy) == 1) {
        ++tally.copiesRejected;
        if (qpdfCheck(worker.scratch() / "input.pdf") == 0) {
            ++tally.copiesWorse;
            if (tally.findings.size() < 20)
                tally.findings.push_back(input + ": qpdf rejects the copy, not the input");
        }
    }
    ask(CommandMethod::close, on);
}

}  // namespace
}  // namespace kivo::fuzz

int main(int argc, char** argv) {
    using namespace kivo::fuzz;
    const Bounds bounds = boundsFrom(argc, argv, Bounds{1, 120, 40});
    const auto started = std::chrono::steady_clock::now();
    const auto elapsed = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    };
    kivo::testing::TempDir scratch;
    Tally tally;
    FuzzWorker worker(scratch.path(), tally);
    const auto originals = seeds();
    Random random(bounds.seed);
    while (tally.inputs < bounds.inputs && elapsed() < bounds.seconds) {
        const auto& [name, original] = originals[tally.inputs % originals.size()];
        std::string how;
        const std::string pdf = mutate(original, random, how);
        kivo::testing::writeFile(scratch.path() / "input.pdf", pdf);
        ++tally.inputs;
        const std::size_t findings = tally.findings.size();
        exercise(worker, tally, name + " with " + how + " (input " + std::to_string(tally.inputs) + ")");
        // KIVO_FUZZ_KEEP names a folder that receives every input that made a finding.
        if (const char* keep = std::getenv("KIVO_FUZZ_KEEP");
            keep != nullptr && tally.findings.size() > findings) {
            kivo::testing::writeFile(
                std::filesystem::path(keep) / ("input-" + std::to_string(tally.inputs) + ".pdf"), pdf);
        }
    }
    tally.print("kivo_pdf_fuzz seed " + std::to_string(bounds.seed), elapsed());
    return tally.clean() ? 0 : 1;
}
