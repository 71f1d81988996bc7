// Mutated object-level files through the reader a merge repairs its form with: the sample forms
// and the merge reproducers, first saved by the worker so they are bytes PDFium writes, are damaged
// the ways a hostile file could steer them (flipped bytes, a cut end, offsets past the end or all
// alike, huge object numbers, /Parent and /Kids naming themselves, nesting, open strings, names with
// escapes, lying stream lengths), then indexed, every object read and resolved, an update appended,
// the form dictionary made whole as a save makes it, and the form marked and joined as a merge does.
// Everything runs in this process, so a sanitizer build reports any read out of bounds; a run fails
// on any exception other than the merge's own refusal.
//
//   kivo_merge_objects_fuzz [--seed N] [--inputs N] [--seconds S]   (or KIVO_FUZZ_SEED/INPUTS/SECONDS;
//   KIVO_FUZZ_KEEP=<folder> keeps the inputs behind each finding; KIVO_FUZZ_SEEDS=<folder> keeps
//   the saved seeds, and a run finding them there needs no worker)

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <random>

#include "core/engine_failure.hpp"
#include "fuzz_harness.hpp"
#include "session/form_dictionary.hpp"
#include "session/merged_form.hpp"
#include "session/pdf_objects.hpp"
#include "test_pdfs.hpp"

namespace kivo::fuzz {
namespace {

namespace fs = std::filesystem;
using Random = std::mt19937_64;

// How far the inputs got: indexed, marked for a merge, and joined.
struct Reached {
    std::size_t indexed = 0, prepared = 0, joined = 0;
} reached;

std::size_t below(Random& random, std::size_t bound) { return bound == 0 ? 0 : random() % bound; }

template <typename T>
const T& pick(Random& random, const std::vector<T>& from) {
    return from[below(random, from.size())];
}

// Replaces the number after some occurrences of `key` with one of `values`.
void replaceNumbersAfter(std::string& pdf, const std::string& key, Random& random,
                         const std::vector<std::string>& values) {
    for (std::size_t at = pdf.find(key); at != std::string::npos; at = pdf.find(key, at + 1)) {
        if (random() % 3 != 0) continue;
        std::size_t start = at + key.size();
        while (start < pdf.size() && pdf[start] == ' ') ++start;
        std::size_t end = start;
        while (end < pdf.size() && std::isdigit(static_cast<unsigned char>(pdf[end]))) ++end;
        if (end != start) pdf.replace(start, end - start, pick(random, values));
    }
}

// Some text inserted at a random place, or just before some occurrence of `anchor`.
void insertNear(std::string& pdf, const std::string& anchor, const std::string& text, Random& random) {
    std::vector<std::size_t> places;
    for (std::size_t at = pdf.find(anchor); at != std::string::npos && places.size() < 64;
         at = pdf.find(anchor, at + 1))
        places.push_back(at);
    pdf.insert(places.empty() ? below(random, pdf.size() + 1) : pick(random, places), text);
}

std::string mutate(const std::string& original, Random& random, std::string& how) {
    std::string pdf = original;
    const std::vector<std::string> numbers = {
        "0",          "1",          "2",       "3",           "7",
        "4294967295", "4294967296", "8388607", "99999999999", "18446744073709551615",
        "12",         "5",          "1000000"};
    const std::size_t rounds = random() % 4 == 0 ? 2 : 1;
    for (std::size_t round = 0; round < rounds; ++round) {
        switch (below(random, 12)) {
            case 0: {
                const std::size_t flips = 1 + below(random, 16);
                for (std::size_t i = 0; i < flips && !pdf.empty(); ++i)
                    pdf[below(random, pdf.size())] = static_cast<char>(random());
                how += " bytes flipped;";
                break;
            }
            case 1:
                pdf.resize(below(random, pdf.size() + 1));
                how += " cut;";
                break;
            case 2:
                replaceNumbersAfter(pdf, "startxref", random, numbers);
                replaceNumbersAfter(pdf, "\n0 ", random, numbers);
                how += " cross-reference numbers;";
                break;
            case 3: {
                // Offsets in the table: all alike, past the end, or pointing into other objects.
                const std::string same = std::to_string(below(random, pdf.size() + 1));
                for (std::size_t at = pdf.find(" 00000 n"); at != std::string::npos && at >= 10;
                     at = pdf.find(" 00000 n", at + 1)) {
                    if (random() % 2 == 0) continue;
                    std::string offset =
                        random() % 2 ? same : std::to_string(below(random, pdf.size() * 2 + 1));
                    offset = std::string(10 - std::min<std::size_t>(10, offset.size()), '0') + offset;
                    pdf.replace(at - 10, 10, offset.substr(0, 10));
                }
                how += " offsets moved;";
                break;
            }
            case 4:
                replaceNumbersAfter(pdf, "/Parent ", random, numbers);
                replaceNumbersAfter(pdf, "/Kids [", random, numbers);
                replaceNumbersAfter(pdf, "/AcroForm ", random, numbers);
                replaceNumbersAfter(pdf, "/Fields [", random, numbers);
                replaceNumbersAfter(pdf, "/DR ", random, numbers);
                replaceNumbersAfter(pdf, "/Root ", random, numbers);
                how += " references renumbered;";
                break;
            case 5:
                replaceNumbersAfter(pdf, "\n", random, numbers);  // object headers and table rows
                replaceNumbersAfter(pdf, "/Size ", random, numbers);
                how += " object numbers changed;";
                break;
            case 6: {
                const std::size_t depth = 1 + below(random, 3000);
                insertNear(pdf, "/Subtype", "/Deep " + nested(depth, random() % 2 == 0) + " ", random);
                how += " nesting " + std::to_string(depth) + ";";
                break;
            }
            case 7: {
                const std::vector<std::string> tokens = {"(",
                                                         "(\\",
                                                         "((((",
                                                         "(a\\)",
                                                         "<",
                                                         "<FE",
                                                         "<FEFF00",
                                                         "<<",
                                                         ">",
                                                         "/#",
                                                         "/Wid#67et",
                                                         "/T#",
                                                         "%",
                                                         "\\",
                                                         "/T (\\377\\376\\0",
                                                         "/T <FEFFD800>",
                                                         "/T <FEFFDC00D800>"};
                insertNear(pdf, random() % 2 ? "/T " : "/Subtype", pick(random, tokens), random);
                how += " an open token;";
                break;
            }
            case 8:
                replaceNumbersAfter(pdf, "/Length ", random, numbers);
                how += " stream lengths;";
                break;
            case 9: {
                // A field, widget or popup that names itself or another as parent and kid.
                const std::string reference = pick(random, numbers) + " 0 R";
                insertNear(pdf, "/Subtype",
                           random() % 2 ? "/Parent " + reference + " "
                                        : "/Kids [" + reference + " " + reference + "] ",
                           random);
                how += " parent or kid " + reference + ";";
                break;
            }
            case 10: {
                const std::size_t at = below(random, pdf.size() + 1);
                const std::size_t length = below(random, std::min<std::size_t>(2048, pdf.size() - at) + 1);
                if (random() % 2 == 0) {
                    pdf.insert(at, pdf.substr(at, length));
                } else {
                    pdf.erase(at, length);
                }
                how += " a run repeated or removed;";
                break;
            }
            default:
                insertNear(pdf, "/Type /Catalog",
                           "/AcroForm << /Fields [] /DR " + pick(random, numbers) + " 0 R >> ", random);
                how += " a form with borrowed resources;";
                break;
        }
    }
    return pdf;
}

// Every call a merge makes on one file's objects, reading each object, following each reference
// once and appending the objects back.
void readAll(std::span<const uint8_t> bytes) {
    const std::optional<PdfObjects::File> file = PdfObjects::File::index(bytes);
    if (!file) return;
    ++reached.indexed;
    std::map<uint32_t, PdfObjects::Value> changed;
    for (const auto& [number, offset] : file->offsets()) {
        (void)file->span(number);
        auto object = file->object(number);
        if (!object) continue;
        PdfObjects::serialise(object->first);
        for (const auto& [key, entry] : object->first.entries) {
            (void)file->resolvedDictionary(&entry);
            (void)PdfObjects::decodedText(entry);
        }
        if (changed.size() < 8 && object->first.isDictionary())
            changed.emplace(number, std::move(object->first));
    }
    (void)file->resolvedDictionary(file->trailer().find("Root"));
    (void)file->size();
    (void)file->appended(changed);
    (void)FormDictionary::withAppearancesKept(bytes);
    (void)FormDictionary::soundForOtherReaders(bytes);
}

// A merge's two steps on the bytes: marking them as the appended document, then joining the marked
// bytes as if they were the merged one, once as they are and once damaged again.
void merge(std::span<const uint8_t> bytes, Random& random) {
    const auto taken = [] { return std::set<std::string>{"name", "agree", "person", "Text1", "A"}; };
    std::optional<MergedForm::Prepared> prepared;
    try {
        prepared = MergedForm::prepare(bytes, taken);
    } catch (const EngineFailure&) {
        return;
    }
    if (!prepared) return;
    ++reached.prepared;
    try {
        MergedForm::join(testing::bytesOf(prepared->bytes), prepared->carried);
        ++reached.joined;
    } catch (const EngineFailure&) {}
    std::string how;
    const std::string damaged = mutate(prepared->bytes, random, how);
    try {
        MergedForm::join(testing::bytesOf(damaged), prepared->carried);
    } catch (const EngineFailure&) {}
}

// The join of a merged file whose marks carry `key`.
void joinMarked(std::span<const uint8_t> bytes, const std::string& key) {
    MergedForm::Carried carried;
    carried.key = key;
    carried.needAppearances = bytes.size() % 2 == 0;
    try {
        MergedForm::join(bytes, carried);
        ++reached.joined;
    } catch (const EngineFailure&) {}
}

// The seed documents as the worker saves them, since a merge reads only bytes PDFium wrote.
std::vector<std::pair<std::string, std::string>> seeds(FuzzWorker& worker) {
    std::vector<std::pair<std::string, fs::path>> files;
    const auto made = [&](const std::string& name, const std::string& bytes) {
        files.emplace_back(name, worker.scratch() / (name + ".pdf"));
        testing::writeFile(files.back().second, bytes);
    };
    made("made-form", testing::makeFormPdf());
    made("made-field-tree", testing::makeFieldTreePdf());
    made("made-fill-form", testing::makeFillFormPdf());
    for (const char* name : {"merge-form-two-pages.pdf", "merge-form-readonly-fields.pdf"}) {
        if (const fs::path file = testing::repro(name); !file.empty()) files.emplace_back(name, file);
    }
    for (const char* name : {"pdflatex-forms.pdf", "libreoffice-form.pdf", "annotated.pdf"}) {
        if (const fs::path file = testing::corpus(name); !file.empty() && fs::exists(file))
            files.emplace_back(name, file);
    }
    int next = 0;
    // The file as the worker saves it, or nothing (said why) when it cannot.
    const auto savedCopy = [&](const std::string& name, const fs::path& file) -> std::optional<std::string> {
        CommandParams open;
        open.path = file.string();
        const Answer opened = worker.send(line(std::to_string(++next), CommandMethod::open, open), "", name);
        CommandParams save;
        save.sessionId =
            opened.response && opened.response->ok ? opened.response->result->sessionId : std::nullopt;
        const fs::path copy = worker.scratch() / ("saved-" + std::to_string(next) + ".pdf");
        save.saveMode = "saveCopy";
        save.destination = copy.string();
        const Answer saved =
            worker.send(line(std::to_string(++next), CommandMethod::saveDocument, save), "", name);
        if (save.sessionId) worker.send(line(std::to_string(++next), CommandMethod::close, save), "", name);
        if (saved.response && saved.response->ok) return testing::readFile(copy);
        std::cout << "seed " << name << " not saved: "
                  << (saved.response && saved.response->error ? saved.response->error->message : saved.detail)
                  << '\n';
        return std::nullopt;
    };
    std::vector<std::pair<std::string, std::string>> found;
    for (const auto& [name, file] : files) {
        std::optional<std::string> bytes = savedCopy(name, file);
        if (!bytes) continue;
        found.emplace_back(name, *bytes);
        // The same file marked for a merge and saved again stands for a merged file the join reads;
        // the name carries the merge's key.
        try {
            const auto prepared =
                MergedForm::prepare(testing::bytesOf(*bytes), [] { return std::set<std::string>{}; });
            if (!prepared) continue;
            const fs::path marked = worker.scratch() / "marked.pdf";
            testing::writeFile(marked, prepared->bytes);
            if (auto saved = savedCopy(name, marked))
                found.emplace_back("marked-" + prepared->carried.key + "-" + name, *saved);
        } catch (const EngineFailure&) {}
    }
    return found;
}

}  // namespace
}  // namespace kivo::fuzz

int main(int argc, char** argv) {
    using namespace kivo::fuzz;
    namespace fs = std::filesystem;
    const Bounds bounds = boundsFrom(argc, argv, Bounds{1, 2000, 40});
    const auto started = std::chrono::steady_clock::now();
    const auto since = [](std::chrono::steady_clock::time_point from) {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
    };
    kivo::testing::TempDir scratch;
    Tally tally;
    std::vector<std::pair<std::string, std::string>> originals;
    const char* kept = std::getenv("KIVO_FUZZ_SEEDS");
    std::error_code error;
    if (kept != nullptr) {
        for (const auto& entry : fs::directory_iterator(kept, error)) {
            const std::string file = entry.path().filename().string();  // "N-name"
            originals.emplace_back(file.substr(file.find('-') + 1), kivo::testing::readFile(entry.path()));
        }
        std::sort(originals.begin(), originals.end());
    }
    if (originals.empty()) {
        FuzzWorker worker(scratch.path(), tally, false);
        originals = seeds(worker);
        for (std::size_t i = 0; kept != nullptr && i < originals.size(); ++i) {
            fs::create_directories(kept, error);
            kivo::testing::writeFile(fs::path(kept) / (std::to_string(i) + "-" + originals[i].first),
                                     originals[i].second);
        }
    }
    if (originals.empty()) {
        std::cout << "no seed document could be saved by the worker\n0 passed, 1 failed\n";
        return 1;
    }
    Random random(bounds.seed);
    double slowest = 0;
    std::string slowestInput;
    while (tally.inputs < bounds.inputs && since(started) < bounds.seconds) {
        const auto& [name, original] = originals[tally.inputs % originals.size()];
        std::string how;
        const std::string pdf = mutate(original, random, how);
        ++tally.inputs;
        const std::string input = name + " with" + how + " (input " + std::to_string(tally.inputs) + ")";
        const auto began = std::chrono::steady_clock::now();
        try {
            readAll(kivo::testing::bytesOf(pdf));
            merge(kivo::testing::bytesOf(pdf), random);
            if (name.starts_with("marked-")) joinMarked(kivo::testing::bytesOf(pdf), name.substr(7, 12));
        } catch (const std::exception& error) {
            ++tally.internalFailures;
            tally.findings.push_back(input + ": " + error.what());
            if (const char* keep = std::getenv("KIVO_FUZZ_KEEP"); keep != nullptr)
                kivo::testing::writeFile(fs::path(keep) / ("input-" + std::to_string(tally.inputs) + ".pdf"),
                                         pdf);
        }
        if (const double took = since(began); took > slowest) {
            slowest = took;
            slowestInput = input;
        }
    }
    std::cout << "seeds: " << originals.size() << "; inputs indexed " << reached.indexed << ", marked "
              << reached.prepared << ", joined " << reached.joined << "; slowest input "
              << static_cast<int>(slowest * 1000) << " ms: " << slowestInput << '\n';
    tally.print("kivo_merge_objects_fuzz seed " + std::to_string(bounds.seed), since(started));
    return tally.clean() ? 0 : 1;
}
