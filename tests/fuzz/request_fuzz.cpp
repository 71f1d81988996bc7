// Hostile request lines through the worker's codec and engine: bytes that are not JSON or not
// UTF-8, deep nesting, numbers beyond what a double or a float holds, U+0000 in every string,
// strings of every length, values of the wrong type, and well-formed requests of every method
// with such values in each parameter, on every channel, against an open document. A run fails on
// any death, hang or answer that is not one JSON line carrying the request's id.
//
//   kivo_request_fuzz [--seed N] [--inputs N] [--seconds S]   (or KIVO_FUZZ_SEED/INPUTS/SECONDS)

#include <sys/stat.h>

#include <chrono>
#include <iterator>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <random>

#include "fuzz_harness.hpp"
#include "test_pdfs.hpp"

namespace kivo::fuzz {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Random = std::mt19937_64;

std::size_t below(Random& random, std::size_t bound) { return bound == 0 ? 0 : random() % bound; }

// What the worker may be pointed at: places inside the scratch folder only, since a request may
// write wherever it names, and a few things that must never block or be read as documents.
struct Places {
    fs::path scratch;
    std::vector<std::string> paths;

    explicit Places(const fs::path& folder) : scratch(folder) {
        const fs::path files = folder / "files";
        fs::create_directories(files / "folder.pdf");
        testing::writeFile(files / "doc.pdf", testing::makePdf());
        testing::writeFile(files / "image.png", "\x89PNG\r\n\x1a\n not really");
        ::mkfifo((files / "pipe").c_str(), 0600);
        std::error_code ignored;
        fs::create_symlink(files / "doc.pdf", files / "link.pdf", ignored);
        const std::string base = files.string();
        paths = {base + "/doc.pdf",
                 base + "/out.pdf",
                 base + "/folder.pdf",
                 base + "/pipe",
                 base + "/link.pdf",
                 base + "/image.png",
                 base + "/",
                 base + "/new/x/../../out.pdf",
                 base + "/" + std::string(5000, 'n'),
                 base + "/out.pdf" + std::string(1, '\0') + ".txt",
                 base + "/missing/deeper/out.pdf",
                 "relative.pdf",
                 "",
                 "/dev/zero",
                 "/proc/self/status"};
    }
};

json randomString(Random& random, const Places& places) {
    switch (below(random, 7)) {
        case 0: return places.paths[below(random, places.paths.size())];
        case 1: return std::string(1, '\0') + "abc";
        case 2: return std::string(below(random, 200000), 'a');
        case 3: return "\xF0\x9F\x98\x80\xE2\x80\xAE\xEF\xBF\xBF";
        case 4: return std::string("a\0b", 3);
        case 5: return "";
        default: return "the";
    }
}

json randomNumber(Random& random) {
    static const double numbers[] = {0,    -0.0,   1,   -1,  1e308,   -1e308, 3.4e38, -3.4e38,
                                     1e39, 1e-320, 0.5, 1e7, 1e7 + 1, 100,    -100,   72};
    if (random() % 4 == 0) return static_cast<std::int64_t>(random());
    return numbers[below(random, std::size(numbers))];
}

json randomValue(Random& random, const Places& places, int depth = 0) {
    switch (below(random, depth > 2 ? 4 : 7)) {
        case 0: return randomString(random, places);
        case 1: return randomNumber(random);
        case 2: return random() % 2 == 0;
        case 3: return nullptr;
        case 4: {
            json array = json::array();
            const std::size_t count = below(random, 6);
            for (std::size_t i = 0; i < count; ++i) array.push_back(randomValue(random, places, depth + 1));
            return array;
        }
        case 5: {
            json rect = {{"left", randomNumber(random)},
                         {"bottom", randomNumber(random)},
                         {"right", randomNumber(random)},
                         {"top", randomNumber(random)}};
            return rect;
        }
        default: {
            json object = json::object();
            object["x"] = randomNumber(random);
            object["y"] = randomNumber(random);
            return object;
        }
    }
}

json randomInteger(Random& random) {
    static const std::int64_t integers[] = {0,
                                            -1,
                                            1,
                                            90,
                                            180,
                                            270,
                                            45,
                                            360,
                                            -90,
                                            1'000'000,
                                            64,
                                            65,
                                            2'147'483'648,
                                            std::numeric_limits<std::int64_t>::max(),
                                            std::numeric_limits<std::int64_t>::min()};
    return integers[below(random, std::size(integers))];
}

json randomRect(Random& random) {
    return {{"left", randomNumber(random)},
            {"bottom", randomNumber(random)},
            {"right", randomNumber(random)},
            {"top", randomNumber(random)}};
}

enum class Kind { text, number, integer, boolean, rect, points, texts, tiles };

// The type each parameter has, so that most hostile values get past the codec to the handlers.
const std::map<std::string, Kind>& parameterKinds() {
    static const std::map<std::string, Kind> kinds = {
        {"token", Kind::text},       {"path", Kind::text},
        {"password", Kind::text},    {"sessionId", Kind::text},
        {"pageId", Kind::text},      {"scale", Kind::number},
        {"pngPath", Kind::text},     {"rect", Kind::rect},
        {"fieldName", Kind::text},   {"value", Kind::text},
        {"pageIds", Kind::texts},    {"destination", Kind::text},
        {"sessionIds", Kind::texts}, {"permissions", Kind::texts},
        {"contents", Kind::text},    {"query", Kind::text},
        {"kind", Kind::text},        {"imagePath", Kind::text},
        {"fontSize", Kind::number},  {"rotation", Kind::integer},
        {"points", Kind::points},    {"annotationId", Kind::text},
        {"saveMode", Kind::text},    {"force", Kind::boolean},
        {"recoveryId", Kind::text},  {"scope", Kind::text},
        {"paths", Kind::texts},      {"renderAnnotations", Kind::boolean},
        {"tiles", Kind::tiles},      {"requestId", Kind::text},
        {"limit", Kind::integer}};
    return kinds;
}

// A hostile value of the parameter's own type, now and then one of any type.
json valueFor(const std::string& name, Random& random, const Places& places,
              const std::vector<std::string>& ids) {
    const auto found = parameterKinds().find(name);
    if (found == parameterKinds().end() || random() % 10 == 0) return randomValue(random, places);
    const auto text = [&]() -> json {
        if (!ids.empty() && random() % 3 == 0) return ids[below(random, ids.size())];
        static const char* const words[] = {"save", "saveAs", "saveCopy", "text", "image",    "signature",
                                            "read", "modify", "export",   "page", "document", "selection"};
        if (random() % 4 == 0) return words[below(random, std::size(words))];
        return randomString(random, places);
    };
    const auto listOf = [&](auto make, std::size_t most) {
        json list = json::array();
        const std::size_t count = below(random, most + 1);
        for (std::size_t i = 0; i < count; ++i) list.push_back(make());
        return list;
    };
    switch (found->second) {
        case Kind::text: return text();
        case Kind::number: return randomNumber(random);
        case Kind::integer: return randomInteger(random);
        case Kind::boolean: return random() % 2 == 0;
        case Kind::rect: return randomRect(random);
        case Kind::points:
            return listOf([&] { return json{{"x", randomNumber(random)}, {"y", randomNumber(random)}}; }, 5);
        case Kind::texts: return listOf(text, 4);
        case Kind::tiles:
            return listOf(
                [&] {
                    json tile = {{"x", randomInteger(random)},
                                 {"y", randomInteger(random)},
                                 {"width", randomInteger(random)},
                                 {"height", randomInteger(random)}};
                    if (random() % 2 == 0) tile["pngPath"] = randomString(random, places);
                    return tile;
                },
                70);
    }
    return nullptr;
}

const std::map<std::string, std::vector<const char*>>& methodParameters() {
    static const std::map<std::string, std::vector<const char*>> table = {
        {"open", {"path", "password"}},
        {"render_page", {"scale", "pngPath", "tiles", "renderAnnotations"}},
        {"search", {"query"}},
        {"add_highlight", {"rect", "contents"}},
        {"add_note", {"rect", "contents"}},
        {"add_ink", {"points", "contents"}},
        {"add_content", {"rect", "kind", "imagePath", "fontSize", "contents"}},
        {"fill_form", {"fieldName", "value"}},
        {"organize_pages", {"pageIds"}},
        {"rotate_pages", {"pageIds", "rotation"}},
        {"delete_pages", {"pageIds"}},
        {"merge_documents", {"path", "sessionIds"}},
        {"extract_pages", {"pageIds", "destination"}},
        {"update_annotation", {"annotationId", "rect", "contents"}},
        {"remove_annotation", {"annotationId"}},
        {"save_document", {"saveMode", "destination", "force"}},
        {"export_document", {"destination"}},
        {"set_grants", {"sessionIds", "permissions", "paths"}},
        {"restore_recovery", {"recoveryId"}},
        {"discard_recovery", {"recoveryId"}},
        {"ask_document", {"query", "scope", "limit"}},
        {"assistant_context", {"scope", "limit"}},
        {"cancel", {"requestId"}},
    };
    return table;
}

// A request of a random method with a few parameters, some of them sensible for the open
// document, the rest hostile.
json randomRequest(Random& random, const Places& places, const std::string& id, const std::string& sessionId,
                   const std::string& pageId) {
    json request = {{"id", id}};
    request["method"] = std::string(commandMethodWireNames[below(random, commandMethodWireNames.size())]);
    static const char* const channels[] = {"cli", "ui", "mcp"};
    request["channel"] = channels[below(random, 3)];
    json params = json::object();
    if (random() % 4 != 0) params["sessionId"] = sessionId;
    if (random() % 3 != 0) params["pageId"] = pageId;
    const std::vector<std::string> ids = {sessionId, pageId};
    const std::size_t count = below(random, 4);
    for (std::size_t i = 0; i < count; ++i) {
        const auto& name = std::next(parameterKinds().begin(), below(random, parameterKinds().size()))->first;
        params[name] = valueFor(name, random, places, ids);
    }
    // Half the time the parameters the method reads, so hostile values reach the handlers.
    if (const auto found = methodParameters().find(request["method"].get<std::string>());
        found != methodParameters().end() && random() % 2 == 0) {
        for (const char* name : found->second) {
            if (random() % 3 != 0) params[name] = valueFor(name, random, places, ids);
        }
    }
    request["params"] = params;
    if (random() % 3 == 0) request["expectedRevision"] = static_cast<std::int64_t>(below(random, 4));
    if (random() % 3 == 0) request["operationId"] = "op-" + std::to_string(random() % 8);
    return request;
}

std::string deepNesting(Random& random) {
    const std::size_t depth = 1000 + below(random, 500000);
    const bool objects = random() % 2 == 0;
    std::string text = R"({"id":"deep","method":"ping","params":{"contents":)";
    for (std::size_t i = 0; i < depth; ++i) text += objects ? R"({"a":)" : "[";
    text += "1";
    for (std::size_t i = 0; i < depth; ++i) text += objects ? "}" : "]";
    return text + "}}";
}

// A number as no writer of shortest forms spells it: many digits, many zeros, a far exponent.
std::string longNumber(Random& random) {
    std::string text = random() % 2 == 0 ? "" : "-";
    text += random() % 2 == 0 ? "0." + std::string(below(random, 400), '0')
                              : std::to_string(below(random, 10)) + ".";
    for (std::size_t i = below(random, 800) + 1; i > 0; --i)
        text += static_cast<char>('0' + below(random, 10));
    if (random() % 3 != 0) text += "e" + std::to_string(static_cast<long>(below(random, 801)) - 400);
    return text;
}

// A line that is not a well-formed request, and the id its answer carries.
std::pair<std::string, std::string> brokenLine(Random& random, const json& valid) {
    std::string text = valid.dump();
    switch (below(random, 7)) {
        case 0: {
            // Bytes that may happen to spell a request with some id.
            std::string bytes(below(random, 300), '\0');
            for (char& byte : bytes) {
                byte = static_cast<char>(random());
                if (byte == '\n') byte = ' ';
            }
            return {bytes, ""};
        }
        case 1: return {text.substr(0, below(random, text.size())), "invalid"};
        case 2: return {deepNesting(random), "invalid"};
        case 3: return {R"({"id":"n","method":"ping","params":{"scale":1e999}})", "invalid"};
        case 4: return {"\xFF\xFE" + text, "invalid"};
        case 5:
            return {R"({"id":"n","method":"ping","params":{"scale":)" + longNumber(random) + "}}", "invalid"};
        default: {
            // Mangled, it may still be a request, answered with whatever id it now holds.
            for (int i = 0; i < 4 && !text.empty(); ++i)
                text[below(random, text.size())] = "{}[]\",:\\0"[random() % 9];
            return {text, ""};
        }
    }
}

}  // namespace
}  // namespace kivo::fuzz

int main(int argc, char** argv) {
    using namespace kivo;
    using namespace kivo::fuzz;
    const Bounds bounds = boundsFrom(argc, argv, Bounds{1, 20000, 40});
    const auto started = std::chrono::steady_clock::now();
    const auto elapsed = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    };
    testing::TempDir scratch;
    // A request naming a relative path writes beside the worker: in the scratch folder, not where the
    // fuzzer was started.
    std::filesystem::current_path(scratch.path());
    Tally tally;
    FuzzWorker worker(scratch.path(), tally);
    const Places places(scratch.path());
    Random random(bounds.seed);

    std::string sessionId = "none";
    std::string pageId = "none";
    // One document at a time: each reopening closes the one before, so the worker's memory
    // measures what the requests do, not how many documents pile up.
    const auto openDocument = [&] {
        CommandParams previous;
        previous.sessionId = sessionId;
        worker.send(line("close", CommandMethod::close, previous), "close", "closing the document");
        CommandParams open;
        open.path = places.paths[0];
        const Answer opened =
            worker.send(line("open", CommandMethod::open, open), "open", "opening the document");
        if (opened.response && opened.response->ok) {
            sessionId = opened.response->result->sessionId.value_or("none");
            pageId = opened.response->result->pages->at(0).id;
        }
    };
    openDocument();
    while (tally.inputs < bounds.inputs && elapsed() < bounds.seconds) {
        const std::string id = std::to_string(++tally.inputs);
        const json request = randomRequest(random, places, id, sessionId, pageId);
        std::string text = request.dump(-1, ' ', false, json::error_handler_t::replace);
        std::string expected = id;
        if (random() % 4 == 0) std::tie(text, expected) = brokenLine(random, request);
        const Answer answer = worker.send(text, expected, "input " + id);
        // A closed document, or a stopped worker, is opened again, so requests keep reaching one.
        const bool closed = request["method"] == "close" && answer.response && answer.response->ok;
        if (closed || answer.kind == Answer::Kind::died || answer.kind == Answer::Kind::hung ||
            random() % 50 == 0) {
            openDocument();
        }
    }
    tally.print("kivo_request_fuzz seed " + std::to_string(bounds.seed), elapsed());
    return tally.clean() ? 0 : 1;
}
