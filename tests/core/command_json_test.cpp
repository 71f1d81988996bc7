#include "core/command_json.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <variant>

namespace kivo {
namespace {

// Every field of the big records set, so a field missing from the codec's
// field lists shows up as a round-trip inequality.
CommandParams fullParams() {
    CommandParams p;
    p.token = "t";
    p.path = "/a/b.pdf";
    p.password = "pw";
    p.sessionId = "S";
    p.pageId = "P";
    p.scale = 1.5;
    p.pngPath = "/tmp/x.png";
    p.rect = PDFRect{1, 2, 3, 4};
    p.fieldName = "Name";
    p.value = "Ada";
    p.pageIds = std::vector<std::string>{"P1", "P2"};
    p.destination = "/d.pdf";
    p.sessionIds = std::vector<std::string>{};
    p.permissions = std::vector<std::string>{"modify"};
    p.contents = "note";
    p.query = "q";
    p.kind = "text";
    p.imagePath = "/i.png";
    p.fontSize = 12;
    p.rotation = -90;
    p.points = std::vector<PDFPoint>{{0.1, 0.2}, {3, 4}};
    p.annotationId = "A";
    p.saveMode = "saveAs";
    p.force = true;
    p.recoveryId = "R";
    p.scope = "page";
    p.paths = std::vector<std::string>{"/x"};
    p.renderAnnotations = false;
    p.tiles = std::vector<RenderTile>{{0, 0, 1024, 1024, "/t0.png"}, {1024, 0, 2, 1024, std::nullopt}};
    p.requestId = "REQ";
    p.limit = 5000;
    return p;
}

CommandResult fullResult() {
    ProposedEdit proposal{"OP", "Fill Name", std::nullopt, CommandMethod::fillForm, CommandParams{}, 3};
    proposal.params.fieldName = "Name";
    ProposedEdit refusal{"OP2", "Cannot redact", "Redaction is not offered.", std::nullopt, {}, 3};
    CommandResult r;
    r.sessionId = "S";
    r.revision = 3;
    r.pageCount = 1;
    r.pages = std::vector<PageInfo>{{"P", 0, 612, 792, 1}, {"Q", 1, 350, 640, 0, PDFRect{50, 60, 400, 700}}};
    r.formType = "acroform";
    r.readOnly = false;
    r.warnings = std::vector<std::string>{"w"};
    r.pngPath = "/p.png";
    r.width = 918;
    r.height = 1188;
    r.text = "Hi\n";
    r.chars = std::vector<TextRun>{{0, "H", 1, 2, 3, 4}};
    r.fields = std::vector<FormFieldInfo>{{"Name", "text", "Ada", false, "P", {}, std::nullopt, true},
                                          {"Ok", "checkbox", "Yes", true, "P", {"Yes"}, true, false}};
    r.documents = std::vector<DocumentSummary>{{"S", std::nullopt, 1, 3, false}, {"T", "/t.pdf", 2, 0, true}};
    r.affectedPages = std::vector<std::string>{"P"};
    r.undoAvailable = true;
    r.redoAvailable = false;
    r.pong = true;
    r.dirty = true;
    r.saveState = "unsaved";
    r.sourcePath = "/s.pdf";
    r.sourceChanged = false;
    r.annotations = std::vector<AnnotationInfo>{{"A", "highlight", "P", {1, 2, 3, 4}, "c"}};
    r.matches = std::vector<SearchHit>{{"P", 4, 2, {{1, 2, 3, 4}}, "Hi"}};
    r.recoveries = std::vector<RecoveryInfo>{{"R", std::nullopt, 2, 1, "2024-01-02T03:04:05Z", true}};
    r.answer = AssistantAnswer{"It says hi.",
                               {{"P", 0, 3, "Hi", {{1, 2, 3, 4}}, "document"}},
                               {proposal, refusal},
                               false,
                               "page",
                               true,
                               3,
                               "m",
                               std::vector<std::string>{"n"},
                               AnswerUsage{10, 20, 1.25},
                               "length",
                               "1 page"};
    r.metadata = std::map<std::string, std::string>{{"Title", "T"}, {"Author", "A"}};
    r.annotationSubtypes =
        std::map<std::string, std::map<std::string, std::int64_t>>{{"P", {{"Highlight", 1}}}};
    r.cancelled = false;
    r.assistantContext = AssistantContext{3,
                                          "selection",
                                          1,
                                          {{"P", 0, 612, 792, "Hi", false}},
                                          ContextSelection{"P", 0, "Hi", PDFRect{1, 2, 3, 4}},
                                          {},
                                          {refusal},
                                          false,
                                          true,
                                          2};
    return r;
}

TEST(CommandJSONEncoding, GoldenBytes) {
    CommandResult pong;
    pong.pong = true;
    CommandResult order;
    order.annotations = std::vector<AnnotationInfo>{};
    order.annotationSubtypes = std::map<std::string, std::map<std::string, std::int64_t>>{
        {"p2", {{"ink", 1}, {"Ink", 2}}}, {"P1", {{"Link", 3}}}};
    CommandResult badKeys;
    badKeys.metadata = std::map<std::string, std::string>{{"a\xFE", "1"}, {"a\xFF", "2"}, {"b", "3"}};
    CommandRequest ping{"1",          CommandMethod::ping, {}, std::nullopt, CommandChannel::cli,
                        std::nullopt, std::nullopt};

    struct Case {
        const char* name;
        std::string actual;
        std::string expected;
    };
    const Case cases[] = {
        {"failure",
         CommandJSON::encode(CommandResponse::failure("7", FailureCode::notFound,
                                                      "No page 1/2 at /tmp/a.pdf. Nothing changed.")),
         "{\"error\":{\"code\":\"not_found\",\"message\":\"No page 1\\/2 at \\/tmp\\/a.pdf. Nothing "
         "changed.\"},"
         "\"id\":\"7\",\"ok\":false}\n"},
        {"pong only", CommandJSON::encode(CommandResponse::success("1", pong)),
         "{\"id\":\"1\",\"ok\":true,\"result\":{\"pong\":true}}\n"},
        {"byte order of keys", CommandJSON::encodeBody(order),
         "{\"annotationSubtypes\":{\"P1\":{\"Link\":3},\"p2\":{\"Ink\":2,\"ink\":1}},\"annotations\":[]}"},
        {"request", CommandJSON::encode(ping),
         "{\"channel\":\"cli\",\"id\":\"1\",\"method\":\"ping\",\"params\":{}}\n"},
        {"progress", CommandJSON::encode(CommandProgress{"progress", "9", CommandPhase::readingText, 2, 5}),
         "{\"completed\":2,\"event\":\"progress\",\"id\":\"9\",\"phase\":\"reading_text\",\"total\":5}\n"},
        {"answer without optionals",
         CommandJSON::encodeBody(AssistantAnswer{"a", {}, {}, false, "page", false, 0}),
         "{\"citations\":[],\"fromDocument\":false,\"proposals\":[],\"revision\":0,\"scan\":false,\"scope\":"
         "\"page\","
         "\"text\":\"a\"}"},
        {"refusal", CommandJSON::encodeBody(ProposedEdit{"O", "s", "no", std::nullopt, {}, 1}),
         "{\"expectedRevision\":1,\"limitation\":\"no\",\"operationId\":\"O\",\"params\":{},\"summary\":"
         "\"s\"}"},
        {"empty usage", CommandJSON::encodeBody(AnswerUsage{}), "{}"},
        {"selection without rect", CommandJSON::encodeBody(ContextSelection{"P", 0, "t", std::nullopt}),
         "{\"pageId\":\"P\",\"pageIndex\":0,\"text\":\"t\"}"},
        {"field without checked",
         CommandJSON::encodeBody(FormFieldInfo{"n", "text", "", false, "P", {}, std::nullopt, false}),
         "{\"multiline\":false,\"name\":\"n\",\"options\":[],\"pageId\":\"P\",\"readOnly\":false,\"type\":"
         "\"text\","
         "\"value\":\"\"}"},
        {"ask travels as ask_document", CommandJSON::encodeBody(CommandMethod::ask), "\"ask_document\""},
        {"bad map keys stay unique", CommandJSON::encodeBody(badKeys),
         "{\"metadata\":{\"a\xEF\xBF\xBD\":\"2\",\"b\":\"3\"}}"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.actual, c.expected) << c.name;
}

TEST(CommandJSONEncoding, StringsAndNumbers) {
    struct Case {
        std::string input;
        const char* expected;
    };
    const Case strings[] = {
        {"a/b\"c\\d", R"("a\/b\"c\\d")"},
        {"\n\r\t\b\f", R"("\n\r\t\b\f")"},
        {std::string("\x00\x01\x1f\x7f", 4), "\"\\u0000\\u0001\\u001f\x7f\""},
        {"gr\xC3\xBC\xC3\x9F \xF0\x9F\x98\x80", "\"gr\xC3\xBC\xC3\x9F \xF0\x9F\x98\x80\""},
        // Ill-formed UTF-8 never reaches the wire: each bad sequence becomes U+FFFD.
        {"a\xFF"
         "b\xC3",
         "\"a\xEF\xBF\xBD"
         "b\xEF\xBF\xBD\""},
        {"\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
    };
    for (const auto& c : strings) {
        CommandErrorPayload payload{c.input, ""};
        EXPECT_EQ(CommandJSON::encodeBody(payload),
                  std::string("{\"code\":") + c.expected + ",\"message\":\"\"}");
    }

    const std::pair<double, const char*> numbers[] = {
        {0.1, "0.1"},
        {2.0, "2"},
        {-0.0, "0"},
        {1e22, "1e+22"},
        {5e-324, "5e-324"},
        {73.44, "73.44"},
        {1.0 / 3.0, "0.3333333333333333"},
    };
    for (const auto& [value, text] : numbers) {
        const auto encoded = CommandJSON::encodeBody(PDFPoint{value, 0});
        EXPECT_EQ(encoded, std::string("{\"x\":") + text + ",\"y\":0}");
        EXPECT_EQ(CommandJSON::decode<PDFPoint>(encoded).x, value);
    }
}

TEST(CommandJSONEncoding, NonFiniteNumbersAreErrors) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    for (double bad : {std::nan(""), inf, -inf}) {
        CommandParams params;
        params.scale = bad;
        CommandRequest request{"1", CommandMethod::renderPage, params, std::nullopt, CommandChannel::ui, {},
                               {}};
        EXPECT_THROW((void)CommandJSON::encode(request), CommandEncodingError);
    }
}

TEST(CommandJSONEncoding, WriterRefusesKeysOutOfOrder) {
    std::string out;
    JsonWriter writer(out);
    writer.beginObject();
    writer.key("b");
    writer.integer(1);
    EXPECT_THROW(writer.key("a"), CommandEncodingError);
    EXPECT_THROW(writer.key("b"), CommandEncodingError);
}

// The memo copies text it wrote before: over a run of answers where the big members stay, change a
// little, change only in how a number is written, or go missing, each answer must be the bytes the plain
// encoder gives.
TEST(CommandJSONEncoding, AnswerMemoWritesWhatThePlainEncoderWrites) {
    using SubtypeCounts = std::map<std::string, std::map<std::string, std::int64_t>>;
    // Link counts on `pages` pages, then `change`.
    const auto counted = [](int pages, const std::function<void(SubtypeCounts&)>& change,
                            std::size_t pad = 0) {
        return [=](CommandResult& r) {
            SubtypeCounts counts;
            for (int i = 0; i < pages; ++i)
                counts["page " + std::string(pad, '-') + std::to_string(i)]["Link"] = i % 5;
            change(counts);
            r.annotationSubtypes = std::move(counts);
        };
    };
    const auto answer = [](const std::function<void(CommandResult&)>& change) {
        CommandResult result = fullResult();
        change(result);
        return CommandResponse::success("1", std::move(result));
    };
    const std::vector<std::pair<const char*, CommandResponse>> answers = {
        {"first", answer([](CommandResult&) {})},
        {"the same again", answer([](CommandResult&) {})},
        {"a page turned", answer([](CommandResult& r) { (*r.pages)[1].rotation = 1; })},
        {"a width of -0 where 0 was", answer([](CommandResult& r) { (*r.pages)[0].width = -0.0; })},
        {"back to 0", answer([](CommandResult& r) { (*r.pages)[0].width = 0.0; })},
        {"a crop box gone", answer([](CommandResult& r) { (*r.pages)[1].box.reset(); })},
        {"a page fewer", answer([](CommandResult& r) { r.pages->pop_back(); })},
        {"one more highlight",
         answer([](CommandResult& r) { (*r.annotationSubtypes)["P"]["Highlight"] = 2; })},
        {"a key that is not UTF-8",
         answer([](CommandResult& r) { (*r.annotationSubtypes)["\xff"]["Ink"] = 1; })},
        {"many pages counted", answer(counted(300, [](SubtypeCounts&) {}))},
        {"one of them changed", answer(counted(300, [](SubtypeCounts& c) { c["page 150"]["Ink"] = 1; }))},
        {"one gone and one before them all", answer(counted(300,
                                                            [](SubtypeCounts& c) {
                                                                c.erase("page 7");
                                                                c["/a \"b\""]["Text"] = 2;
                                                            }))},
        {"two keys that are one once repaired", answer(counted(300,
                                                               [](SubtypeCounts& c) {
                                                                   c["\xfe"]["Ink"] = 1;
                                                                   c["\xff"]["Ink"] = 2;
                                                               }))},
        {"subtypes of a counted page that are one once repaired",
         answer(counted(300,
                        [](SubtypeCounts& c) {
                            c["page 3"]["\xfe"] = 1;
                            c["page 3"]["\xff"] = 2;
                            c["page 4"]["Link/\"x\""] = 1;
                        }))},
        {"counts past what is remembered", answer(counted(
                                               9'000, [](SubtypeCounts&) {}, 1'000))},
        {"the same many counts again", answer(counted(
                                           9'000, [](SubtypeCounts&) {}, 1'000))},
        {"no pages or counts", answer([](CommandResult& r) {
             r.pages.reset();
             r.annotationSubtypes.reset();
         })},
        {"more pages than are remembered",
         answer([](CommandResult& r) { r.pages->resize(160'000, (*r.pages)[0]); })},
        {"the same many again", answer([](CommandResult& r) { r.pages->resize(160'000, (*r.pages)[0]); })},
        {"a failure", CommandResponse::failure("2", FailureCode::invalidPage, "Unknown page id.")},
        {"the first again", answer([](CommandResult&) {})},
        {"a number that is not finite",
         answer([](CommandResult& r) { (*r.pages)[0].height = std::numeric_limits<double>::infinity(); })},
        {"the first after it", answer([](CommandResult&) {})},
    };
    CommandJSON::AnswerMemo memo;
    for (const auto& [what, response] : answers) {
        SCOPED_TRACE(what);
        std::string plain;
        try {
            plain = CommandJSON::encode(response);
        } catch (const CommandEncodingError&) {
            EXPECT_THROW(CommandJSON::encode(response, memo), CommandEncodingError);
            continue;
        }
        EXPECT_EQ(CommandJSON::encode(response, memo), plain);
    }
}

TEST(CommandJSONDecoding, ReplyMemoReadsWhatThePlainDecoderReads) {
    CommandResult result = fullResult();
    for (int i = 2; i < 40; ++i) result.pages->push_back({"PAGE-" + std::to_string(i), i, 612, 792, 0});
    (*result.annotationSubtypes)["Q"]["Link"] = 4;
    // A quote and a member name inside a string must not be taken for the line's structure.
    result.sourcePath = R"(/a","pages":[],"x\\":")";
    const std::string plain = CommandJSON::encodeBody(CommandResponse::success("1", result));
    CommandResult onlyPages;
    onlyPages.pages = result.pages;
    const std::string wrapped = CommandJSON::encodeBody(onlyPages);
    const std::string pages = wrapped.substr(9, wrapped.size() - 10);  // {"pages":...}
    const auto edited = [&](std::string_view from, std::string_view to) {
        std::string line = plain;
        const std::size_t at = line.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return line.replace(at, from.size(), to);
    };
    const std::string pagesMember = "\"pages\":" + pages;
    CommandResult turned = result;
    (*turned.pages)[3].rotation = 2;
    CommandResult counted = result;
    (*counted.annotationSubtypes)["P"]["Highlight"] = 9;
    const std::string progress =
        CommandJSON::encodeBody(CommandProgress{"progress", "1", CommandPhase::searching, 1, 2});
    struct Case {
        const char* what;
        std::string line;
        std::size_t reused;  // members taken as kept, over all lines so far
    };
    const Case cases[] = {
        {"first", plain, 0},
        {"the same again, now kept", plain, 0},
        {"the same a third time", plain, 2},
        {"spaces around the member", edited(pagesMember, "\"pages\" :\n " + pages + " "), 4},
        {"a page turned", CommandJSON::encodeBody(CommandResponse::success("2", turned)), 5},
        {"the first again, seen once", plain, 6},
        {"the first again, kept", plain, 7},
        {"one more highlight", CommandJSON::encodeBody(CommandResponse::success("3", counted)), 8},
        // Of equal keys the last counts: none of these may take what was kept.
        {"the kept pages and then others", edited(pagesMember, pagesMember + R"(,"pages":[])"), 8},
        {"the same under an escaped name", edited(pagesMember, pagesMember + R"(,"pag\u0065s":[])"), 8},
        {"a second result", edited(R"("ok":true)", R"("ok":true,"result":{"pages":[]})"), 8},
        {"a second result after it", plain.substr(0, plain.size() - 1) + R"(,"result":{"pages":[]}})", 8},
        {"the kept pages", plain, 9},
        {"the kept pages as null", edited(pagesMember, "\"pages\":null"), 9},
        {"the kept pages, then a bracket too many", edited(pagesMember, pagesMember + "]"), 9},
        {"the kept pages, the line cut after them",
         plain.substr(0, plain.find(pagesMember) + pagesMember.size()), 9},
        {"a number no double holds after them", edited(pagesMember, pagesMember + R"(,"x":1e999)"), 9},
        {"a progress line", progress, 9},
        {"bytes that are not UTF-8", edited("/a", "/\xff"), 9},
        {"a failure", CommandJSON::encodeBody(CommandResponse::failure("4", FailureCode::invalidPage, "No.")),
         9},
        {"the kept pages once more", plain, 11},
    };
    const auto read = [](const std::string& line, CommandJSON::ReplyMemo* memo) -> std::string {
        try {
            const CommandReply reply =
                memo ? CommandJSON::decodeReply(line, *memo) : CommandJSON::decodeReply(line);
            if (const auto* response = std::get_if<CommandResponse>(&reply))
                return CommandJSON::encodeBody(*response);
            return "progress " + CommandJSON::encodeBody(std::get<CommandProgress>(reply));
        } catch (const CommandCodecError& e) {
            return std::string("codec: ") + e.what();
        } catch (const CommandDecodingError& e) {
            return "decoding: " + e.path() + ": " + e.reason();
        }
    };
    CommandJSON::ReplyMemo memo;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(read(c.line, &memo), read(c.line, nullptr));
        EXPECT_EQ(memo.reused(), c.reused);
    }
    // What an answer takes from the memo is its own: changing it leaves the next answer as it reads.
    {
        CommandReply reply = CommandJSON::decodeReply(plain, memo);
        CommandResult& taken = *std::get<CommandResponse>(reply).result;
        (*taken.annotationSubtypes)["P"]["Ink"] = 5;
        (*taken.pages)[0].rotation = 3;
    }
    EXPECT_EQ(read(plain, &memo), read(plain, nullptr)) << "an answer changed what the memo keeps";

    // Where the members are a small part of a line (thousands of annotations), the next fifteen lines
    // are read without them being taken; then they are again.
    CommandResult annotated = result;
    annotated.annotations->resize(2000, annotated.annotations->front());
    const std::string crowded = CommandJSON::encodeBody(CommandResponse::success("5", annotated));
    const std::size_t before = memo.reused();
    for (int i = 0; i < 16; ++i) EXPECT_EQ(read(crowded, &memo), read(crowded, nullptr));
    EXPECT_EQ(read(plain, &memo), read(plain, nullptr));
    EXPECT_EQ(memo.reused(), before + 4);
}

TEST(CommandJSONRoundTrip, EveryFieldSurvives) {
    CommandRequest request{"R1", CommandMethod::addContent, fullParams(), 7, CommandChannel::mcp, "OP", true};
    const auto requestLine = CommandJSON::encode(request);
    ASSERT_EQ(requestLine.back(), '\n');
    ASSERT_EQ(requestLine.find('\n'), requestLine.size() - 1);
    const auto withoutNewline = std::string_view(requestLine).substr(0, requestLine.size() - 1);
    const auto decodedRequest = CommandJSON::decodeRequest(withoutNewline);
    EXPECT_EQ(decodedRequest, request);

    const auto response = CommandResponse::success("R1", fullResult());
    const auto body = CommandJSON::encodeBody(response);
    const auto decoded = CommandJSON::decodeResponse(body);
    EXPECT_EQ(decoded, response);
    // Equal values give identical bytes.
    EXPECT_EQ(CommandJSON::encodeBody(decoded), body);
}

TEST(CommandJSONDecoding, Requests) {
    struct Case {
        std::string line;
        bool decodes;
    };
    // Nested `levels` deep; the message's own object is one level more.
    const auto nested = [](int levels) {
        return std::string(static_cast<size_t>(levels), '[') + "0" +
               std::string(static_cast<size_t>(levels), ']');
    };
    const int most = CommandJSON::maxNestingDepth;
    const Case cases[] = {
        {R"({"id":"1","method":"ping","params":{},"channel":"cli"})", true},
        {R"({"id":"1","method":"ping","channel":"cli"})", false},
        {R"({"id":"1","method":"ask","params":{},"channel":"cli"})", false},
        {R"({"id":"1","method":"ask_document","params":{},"channel":"cli"})", true},
        {R"({"id":"1","method":"ping","params":{},"channel":"UI"})", false},
        {R"({"id":"1","method":"ping","params":{"foo":1},"channel":"cli","foo":{"bar":[1,{}]}})", true},
        {R"({"id":"1","method":"ping","params":{},"channel":"cli","expectedRevision":null})", true},
        {R"({"id":"1","method":"ping","params":{},"channel":"cli","expectedRevision":3.5})", false},
        {R"({"id":1,"method":"ping","params":{},"channel":"cli"})", false},
        {R"({"id":null,"method":"ping","params":{},"channel":"cli"})", false},
        {R"({"id":"1","method":"ping","params":{},"channel":"cli","progress":"yes"})", false},
        {R"({"id":"1","method":"ping","params":{"rect":{"left":1,"bottom":2,"right":3}},"channel":"cli"})",
         false},
        {R"({"id":"1","method":"ping","params":{"pageIds":["a",null]},"channel":"cli"})", false},
        {R"({"id":"1","method":"ping","params":{"limit":1e400},"channel":"cli"})", false},
        {R"({"id":"1","method":"ping","params":[],"channel":"cli"})", false},
        {R"([{"id":"1","method":"ping","params":{},"channel":"cli"}])", false},
        {R"({"id":"1","method":"ping","params":{},"channel":"cli"} x)", false},
        {"", false},
        {"{", false},
        // Of equal keys the last one counts, for every reader of the line alike.
        {R"({"id":"1","method":"ping","params":{},"channel":"UI","channel":"cli"})", true},
        {R"({"id":"1","method":"ping","params":{},"channel":"cli","channel":"UI"})", false},
        // An escaped surrogate must be half of a pair: the text it stands for is Unicode.
        {R"({"id":"\ud83d\ude00","method":"ping","params":{},"channel":"cli"})", true},
        {R"({"id":"\udc00","method":"ping","params":{},"channel":"cli"})", false},
        {R"({"id":"\ud800","method":"ping","params":{},"channel":"cli"})", false},
        // A key is text too, even one no reader looks for.
        {R"({"id":"1","method":"ping","params":{"\udc00":1},"channel":"cli"})", false},
        // Brackets inside a string do not nest, whatever its escapes; outside, one level too many is refused.
        {R"({"id":"\"\\)" + nested(most) + R"(","method":"ping","params":{},"channel":"cli","x":)" +
             nested(most - 1) + "}",
         true},
        {R"({"id":"\\","method":"ping","params":{},"channel":"cli","x":)" + nested(most) + "}", false},
    };
    for (const auto& c : cases) {
        if (c.decodes) {
            EXPECT_NO_THROW((void)CommandJSON::decodeRequest(c.line)) << c.line;
        } else {
            EXPECT_THROW((void)CommandJSON::decodeRequest(c.line), CommandDecodingError) << c.line;
        }
    }

    const auto plain = CommandJSON::decodeRequest(cases[0].line);
    EXPECT_FALSE(plain.expectedRevision || plain.operationId || plain.progress);
    EXPECT_EQ(plain.params, CommandParams{});
    EXPECT_EQ(CommandJSON::decodeRequest(cases[3].line).method, CommandMethod::ask);
    EXPECT_THROW((void)CommandJSON::decodeRequest("{\"id\":\"\xC3\"}"), CommandCodecError);
}

TEST(CommandJSONDecoding, IntegersAcceptWholeNumbersOnly) {
    // A number written as a float but whole, such as 3.0 or 1e2, is taken as
    // an integer; a fraction or a value outside 64 bits is refused.
    const std::pair<const char*, std::optional<std::int64_t>> cases[] = {
        {"3", 3},
        {"3.0", 3},
        {"1e2", 100},
        {"-0.0", 0},
        {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
        {"9223372036854775807", std::numeric_limits<std::int64_t>::max()},
        {"3.5", std::nullopt},
        {"9223372036854775808", std::nullopt},
        {"9.3e18", std::nullopt},
        {"99999999999999999999", std::nullopt},
        {"0e99999999999", 0},
        {"-0E+400", 0},
        {"1e300", std::nullopt},
        {"\"3\"", std::nullopt},
        {"true", std::nullopt},
    };
    for (const auto& [text, expected] : cases) {
        const std::string json = std::string("{\"x\":") + text + ",\"y\":0,\"width\":1,\"height\":1}";
        if (expected) {
            EXPECT_EQ(CommandJSON::decode<RenderTile>(json).x, *expected) << text;
        } else {
            EXPECT_THROW((void)CommandJSON::decode<RenderTile>(json), CommandDecodingError) << text;
        }
    }
}

// Every number reads as the nearest double, however many digits it is written with and however
// large its exponent; one past the largest double is refused, one below the smallest reads as zero.
TEST(CommandJSONDecoding, NumbersReadAsTheNearestDouble) {
    const std::string hundredDigits = "1" + std::string(99, '0');
    const std::pair<std::string, std::optional<double>> cases[] = {
        {"0.184467440737095516159", 0.184467440737095516159},
        {"3.57305959472317e-339", 0.0},
        {"2.4703282292062327e-324", 0.0},
        {"4.9406564584124654e-324", 4.9406564584124654e-324},
        {"1e-400", 0.0},
        {"0.000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
         "0000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
         "0000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
         "00000000000000000000000000000000000000000000000000000000000000000001",
         0.0},
        {"1.7976931348623157e308", 1.7976931348623157e308},
        {"1.7976931348623159e308", std::nullopt},
        {"2e308", std::nullopt},
        {"-2e308", std::nullopt},
        {"123456789012345678901234567890", 123456789012345678901234567890.0},
        {"0e99999999999", 0.0},
        {"-0.000e999", 0.0},
        {"0e-99999999999", 0.0},
        {"1e-99999999999", 0.0},
        {hundredDigits + hundredDigits + hundredDigits + hundredDigits + "e-390", 1e9},
        {"1e309", std::nullopt},
        {"0.1e310", std::nullopt},
        {hundredDigits + hundredDigits + hundredDigits + hundredDigits, std::nullopt},
    };
    for (const auto& [text, expected] : cases) {
        const std::string json = R"({"left":)" + text + R"(,"bottom":0,"right":1,"top":1})";
        if (expected) {
            EXPECT_EQ(CommandJSON::decode<PDFRect>(json).left, *expected) << text;
        } else {
            EXPECT_THROW((void)CommandJSON::decode<PDFRect>(json), CommandDecodingError) << text;
        }
    }
    // Of equal keys in a map, only the last is read.
    const auto answer =
        CommandJSON::decodeResponse(R"({"id":"1","ok":true,"result":{"metadata":{"a":null,"a":"2"}}})");
    ASSERT_TRUE(answer.result && answer.result->metadata);
    EXPECT_EQ(*answer.result->metadata, (std::map<std::string, std::string>{{"a", "2"}}));
}

TEST(CommandJSONDecoding, Records) {
    const auto rect = CommandJSON::decode<PDFRect>(R"({"left":1,"bottom":2,"right":3,"top":4})");
    EXPECT_EQ(rect.width(), 2);
    EXPECT_EQ(rect.height(), 2);
    EXPECT_EQ((PDFRect{10, 0, 4, 0}).width(), -6);
    EXPECT_FALSE(CommandJSON::decode<DocumentSummary>(
                     R"({"sessionId":"S","path":null,"pageCount":1,"revision":0,"readOnly":false})")
                     .path);
    EXPECT_FALSE(
        CommandJSON::decode<AssistantAnswer>(R"({"text":"","citations":[],"proposals":[],"scan":false,)"
                                             R"("scope":"page","fromDocument":false,"revision":0})")
            .usage);

    // Each decodes a line missing or mistyping one value; the error names where.
    const std::pair<std::function<void()>, const char*> failures[] = {
        {[] {
             (void)CommandJSON::decode<FormFieldInfo>(
                 R"({"name":"n","type":"text","value":"","readOnly":false,"pageId":"P","multiline":false})");
         },
         "options"},
        {[] {
             (void)CommandJSON::decode<RecoveryInfo>(
                 R"({"recoveryId":"R","revision":1,"pageCount":1,"dirty":false})");
         },
         "updatedAt"},
        {[] {
             (void)CommandJSON::decode<AssistantAnswer>(
                 R"({"text":"","citations":[],"proposals":[],"scan":false,"scope":"page","revision":0})");
         },
         "fromDocument"},
        {[] {
             (void)CommandJSON::decode<CommandProgress>(
                 R"({"event":"progress","id":"1","phase":"started","total":0})");
         },
         "completed"},
        {[] {
             (void)CommandJSON::decode<CommandProgress>(
                 R"({"event":"progress","id":"1","phase":"Started","completed":0,"total":0})");
         },
         "phase"},
        {[] {
             (void)CommandJSON::decodeResponse(R"({"id":"1","ok":true,"result":{"metadata":{"Title":1}}})");
         },
         "result.metadata.Title"},
        {[] {
             (void)CommandJSON::decodeResponse(
                 R"({"id":"1","ok":true,"result":{"annotationSubtypes":{"P":{"Ink":1.5}}}})");
         },
         "result.annotationSubtypes.P.Ink"},
        {[] {
             (void)CommandJSON::decodeResponse(
                 R"({"id":"1","ok":true,"result":{"pages":[{"id":"P","index":0,"width":1,"height":1,"rotation":0},)"
                 R"({"id":"Q"}]}})");
         },
         "result.pages[1].height"},
    };
    for (const auto& [decode, path] : failures) {
        try {
            decode();
            ADD_FAILURE() << "decoded despite a bad " << path;
        } catch (const CommandDecodingError& e) {
            EXPECT_EQ(e.path(), path);
        }
    }
}

TEST(CommandJSONDecoding, NestingIsCapped) {
    const auto nested = [](int depth) {
        return R"({"id":"1","ok":true,"extra":)" + std::string(depth, '[') + std::string(depth, ']') + "}";
    };
    EXPECT_NO_THROW((void)CommandJSON::decodeResponse(nested(CommandJSON::maxNestingDepth - 1)));
    EXPECT_THROW((void)CommandJSON::decodeResponse(nested(CommandJSON::maxNestingDepth)),
                 CommandDecodingError);
    EXPECT_THROW((void)CommandJSON::decodeResponse(nested(1'000'000)), CommandDecodingError);
}

TEST(CommandJSONDecoding, Replies) {
    const std::string progress =
        R"({"event":"progress","id":"1","phase":"searching","completed":1,"total":3})";
    const auto padded = [&](std::size_t size) { return progress + std::string(size - progress.size(), ' '); };

    const auto asProgress = CommandJSON::decodeReply(padded(1023));
    ASSERT_TRUE(std::holds_alternative<CommandProgress>(asProgress));
    EXPECT_EQ(std::get<CommandProgress>(asProgress).phase, CommandPhase::searching);
    // From 1,024 bytes on a line is always a response, which this one is not.
    EXPECT_THROW((void)CommandJSON::decodeReply(padded(1024)), CommandDecodingError);
    const std::string capitalised =
        R"({"event":"Progress","id":"1","phase":"searching","completed":1,"total":3})";
    EXPECT_THROW((void)CommandJSON::decodeReply(capitalised), CommandDecodingError);
    const auto response = CommandJSON::decodeReply(R"({"id":"1","ok":true})");
    ASSERT_TRUE(std::holds_alternative<CommandResponse>(response));
    EXPECT_TRUE(std::get<CommandResponse>(response).ok);
    EXPECT_THROW((void)CommandJSON::decodeReply("\xFF"), CommandCodecError);
}

TEST(CommandVocabulary, WireNames) {
    EXPECT_EQ(fromRawValue<CommandMethod>("render_page"), CommandMethod::renderPage);
    EXPECT_EQ(rawValue(CommandMethod::cancel), "cancel");
    EXPECT_EQ(rawValue(CommandPhase::readingText), "reading_text");
    EXPECT_EQ(fromRawValue<CommandMethod>("ask"), std::nullopt);
    EXPECT_EQ(fromRawValue<CommandMethod>("Ping"), std::nullopt);
    EXPECT_EQ(fromRawValue<CommandChannel>("mcp"), CommandChannel::mcp);
    EXPECT_EQ(rawValue(FailureCode::invalidJSON), "invalid_json");
    EXPECT_EQ(rawValue(FailureCode::passwordRequired), "password_required");
    EXPECT_EQ(fromRawValue<FailureCode>("Cancelled"), std::nullopt);
    // Every code reads back from its own wire name.
    for (std::size_t i = 0; i < failureCodeWireNames.size(); ++i) {
        const auto code = static_cast<FailureCode>(i);
        EXPECT_EQ(fromRawValue<FailureCode>(rawValue(code)), code) << rawValue(code);
    }
    const std::pair<SaveMode, std::string_view> saveModes[] = {
        {SaveMode::save, "save"}, {SaveMode::saveAs, "saveAs"}, {SaveMode::saveCopy, "saveCopy"}};
    for (const auto& [mode, name] : saveModes) {
        EXPECT_EQ(rawValue(mode), name);
        EXPECT_EQ(fromRawValue<SaveMode>(name), mode) << name;
    }
    EXPECT_EQ(fromRawValue<SaveMode>("save_as"), std::nullopt);
    const std::pair<AnswerEnd, std::string_view> answerEnds[] = {{AnswerEnd::cancelled, "cancelled"},
                                                                 {AnswerEnd::timedOut, "timed_out"},
                                                                 {AnswerEnd::length, "length"},
                                                                 {AnswerEnd::disconnected, "disconnected"}};
    for (const auto& [end, name] : answerEnds) {
        EXPECT_EQ(rawValue(end), name);
        EXPECT_EQ(fromRawValue<AnswerEnd>(name), end) << name;
    }
    EXPECT_EQ(CommandCodecError::lineTooLong(67108865).what(),
              std::string("A message on the Kivo PDF socket passed 67108865 bytes without ending."));
    EXPECT_EQ(CommandCodecError::notUTF8().what(),
              std::string("A message on the Kivo PDF socket was not UTF-8."));
}

}  // namespace
}  // namespace kivo
