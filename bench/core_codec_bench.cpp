// Encoding and decoding speed of a large inspection result, the biggest
// message the worker sends routinely.
#include <benchmark/benchmark.h>

#include <string>

#include "core/command_json.hpp"

namespace {

// A thousand pages with `annotationCount` annotations and `fieldCount` form fields.
kivo::CommandResponse largeInspection(int annotationCount = 5000, int fieldCount = 500) {
    using namespace kivo;
    CommandResult result;
    result.sessionId = "6F9619FF-8B86-D011-B42D-00C04FC964FF";
    result.revision = 42;
    result.pageCount = 1000;
    result.formType = "acroform";
    result.readOnly = false;
    result.dirty = true;
    result.saveState = "unsaved";
    result.sourcePath = "/home/user/Documents/Quarterly report/report.pdf";
    result.undoAvailable = true;
    result.redoAvailable = false;

    std::vector<PageInfo> pages;
    for (int i = 0; i < 1000; ++i) {
        pages.push_back({"PAGE-" + std::to_string(100000 + i), i, 612, 792, i % 4});
    }
    std::vector<AnnotationInfo> annotations;
    std::map<std::string, std::map<std::string, std::int64_t>> subtypes;
    for (int i = 0; i < annotationCount; ++i) {
        const auto& page = pages[static_cast<std::size_t>(i % 1000)];
        const double x = 36.5 + (i % 17) * 30.25;
        annotations.push_back({"ANNOT-" + std::to_string(i), i % 3 == 0 ? "highlight" : "note", page.id,
                               PDFRect{x, 700.125 - (i % 23) * 25, x + 120.75, 712.5 - (i % 23) * 25},
                               "Check the figures in this paragraph / table " + std::to_string(i) + "."});
        ++subtypes[page.id][i % 3 == 0 ? "Highlight" : "Text"];
    }
    std::vector<FormFieldInfo> fields;
    for (int i = 0; i < fieldCount; ++i) {
        const bool checkBox = i % 5 == 0;
        FormFieldInfo field;
        field.name = "form.section" + std::to_string(i / 10) + ".field" + std::to_string(i);
        field.type = checkBox ? "checkbox" : "text";
        field.value = checkBox ? "Yes" : "Value \"" + std::to_string(i) + "\"";
        field.readOnly = i % 7 == 0;
        field.pageId = pages[static_cast<std::size_t>(i)].id;
        if (checkBox) {
            field.options = {"Yes", "Off"};
            field.checked = i % 2 == 0;
        }
        field.multiline = i % 3 == 0;
        fields.push_back(std::move(field));
    }
    result.pages = std::move(pages);
    result.annotations = std::move(annotations);
    result.annotationSubtypes = std::move(subtypes);
    result.fields = std::move(fields);
    result.metadata =
        std::map<std::string, std::string>{{"Title", "Quarterly report"}, {"Producer", "Kivo PDF"}};
    return CommandResponse::success("0A5D2F34-0A2B-4C4E-9C1E-6D7B0F2E8A11", std::move(result));
}

void BM_EncodeInspection(benchmark::State& state) {
    const auto response = largeInspection();
    std::size_t bytes = 0;
    for (auto _ : state) {
        auto line = kivo::CommandJSON::encode(response);
        bytes = line.size();
        benchmark::DoNotOptimize(line);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
    state.counters["message_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_EncodeInspection)->Unit(benchmark::kMillisecond);

void BM_DecodeInspection(benchmark::State& state) {
    auto line = kivo::CommandJSON::encode(largeInspection());
    line.pop_back();
    for (auto _ : state) {
        auto response = kivo::CommandJSON::decodeResponse(line);
        benchmark::DoNotOptimize(response);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * line.size()));
    state.counters["message_bytes"] = static_cast<double>(line.size());
}
BENCHMARK(BM_DecodeInspection)->Unit(benchmark::kMillisecond);

// The answers of one session, read on one connection: every one repeats the session's pages and
// counts. Argument 0: each read afresh; 1: with what the connection's reader keeps. A long document
// with few annotations, where the pages are most of an answer; and the large inspection above, where
// they are not and the reader reads everything afresh.
void BM_DecodeRepeatedAnswer(benchmark::State& state) {
    const bool annotated = state.range(1) != 0;
    auto line = kivo::CommandJSON::encode(annotated ? largeInspection() : largeInspection(20, 0));
    line.pop_back();
    kivo::CommandJSON::ReplyMemo memo;
    for (auto _ : state) {
        auto reply = state.range(0) != 0 ? kivo::CommandJSON::decodeReply(line, memo)
                                         : kivo::CommandJSON::decodeReply(line);
        benchmark::DoNotOptimize(reply);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * line.size()));
    state.counters["message_bytes"] = static_cast<double>(line.size());
}
BENCHMARK(BM_DecodeRepeatedAnswer)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->ArgNames({"kept", "annotated"})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
