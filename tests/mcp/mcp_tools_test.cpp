#include "mcp/mcp_tools.hpp"

#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "core/command_json.hpp"

namespace kivo {
namespace {

using nlohmann::json;

struct ExpectedTool {
    const char* name;
    const char* wireName;
    bool readOnly;
    bool destructive;
    std::vector<std::string> required;  // as the definition shows it
};

const std::vector<ExpectedTool>& expectedTools() {
    static const std::vector<ExpectedTool> tools = {
        {"list_documents", "list_documents", true, false, {}},
        {"inspect_document", "inspect", true, false, {"sessionId"}},
        {"extract_text", "extract_text", true, false, {"sessionId", "pageId"}},
        {"search_document", "search", true, false, {"sessionId", "query"}},
        {"ask_document", "ask_document", true, false, {"sessionId", "query"}},
        {"render_page", "render_page", true, false, {"sessionId", "pageId"}},
        {"add_annotation",
         "add_highlight",
         false,
         false,
         {"sessionId", "pageId", "rect", "expectedRevision", "operationId"}},
        {"add_note",
         "add_note",
         false,
         false,
         {"sessionId", "pageId", "rect", "contents", "expectedRevision", "operationId"}},
        {"add_ink",
         "add_ink",
         false,
         false,
         {"sessionId", "pageId", "points", "expectedRevision", "operationId"}},
        {"add_content",
         "add_content",
         false,
         false,
         {"sessionId", "pageId", "kind", "rect", "expectedRevision", "operationId"}},
        {"update_annotation",
         "update_annotation",
         false,
         true,
         {"sessionId", "annotationId", "expectedRevision", "operationId"}},
        {"remove_annotation",
         "remove_annotation",
         false,
         true,
         {"sessionId", "annotationId", "expectedRevision", "operationId"}},
        {"fill_form",
         "fill_form",
         false,
         true,
         {"sessionId", "fieldName", "value", "expectedRevision", "operationId"}},
        {"organize_pages",
         "organize_pages",
         false,
         true,
         {"sessionId", "pageIds", "expectedRevision", "operationId"}},
        {"rotate_pages",
         "rotate_pages",
         false,
         true,
         {"sessionId", "pageIds", "rotation", "expectedRevision", "operationId"}},
        {"delete_pages",
         "delete_pages",
         false,
         true,
         {"sessionId", "pageIds", "expectedRevision", "operationId"}},
        {"merge_documents",
         "merge_documents",
         false,
         false,
         {"sessionId", "expectedRevision", "operationId"}},
        {"extract_pages",
         "extract_pages",
         false,
         true,
         {"sessionId", "pageIds", "expectedRevision", "operationId"}},
        {"save_document", "save_document", false, true, {"sessionId", "expectedRevision", "operationId"}},
        {"export_document",
         "export_document",
         false,
         true,
         {"sessionId", "destination", "expectedRevision", "operationId"}},
        {"undo", "undo", false, true, {"sessionId", "expectedRevision", "operationId"}},
        {"redo", "redo", false, true, {"sessionId", "expectedRevision", "operationId"}},
    };
    return tools;
}

std::set<std::string> keysOf(const json& object) {
    std::set<std::string> keys;
    for (const auto& [key, value] : object.items()) keys.insert(key);
    return keys;
}

TEST(MCPTools, TableInOrderWithMethodsAndHints) {
    const auto& tools = MCPTools::all();
    ASSERT_EQ(tools.size(), 22u);
    std::set<CommandMethod> methods;
    for (std::size_t i = 0; i < tools.size(); ++i) {
        const auto& expected = expectedTools()[i];
        const auto& tool = tools[i];
        SCOPED_TRACE(expected.name);
        EXPECT_EQ(tool.name, expected.name);
        EXPECT_EQ(rawValue(tool.method), expected.wireName);
        methods.insert(tool.method);

        const json definition = tool.definition();
        EXPECT_EQ(keysOf(definition),
                  (std::set<std::string>{"name", "title", "description", "inputSchema", "annotations"}));
        EXPECT_EQ(definition["name"], tool.name);
        EXPECT_EQ(definition["title"], tool.title);
        EXPECT_FALSE(tool.description.empty());

        const json& schema = definition["inputSchema"];
        EXPECT_EQ(keysOf(schema), (std::set<std::string>{"type", "properties", "required"}));
        EXPECT_EQ(schema["type"], "object");
        EXPECT_TRUE(schema["properties"].is_object());
        EXPECT_EQ(schema["required"].get<std::vector<std::string>>(), expected.required);
        for (const auto& name : expected.required) EXPECT_TRUE(schema["properties"].contains(name)) << name;
        EXPECT_EQ(schema["properties"].contains("expectedRevision"), !expected.readOnly);
        EXPECT_EQ(schema["properties"].contains("operationId"), !expected.readOnly);

        const json& annotations = definition["annotations"];
        EXPECT_EQ(annotations, (json{{"title", tool.title},
                                     {"readOnlyHint", expected.readOnly},
                                     {"destructiveHint", expected.destructive},
                                     {"idempotentHint", true},
                                     {"openWorldHint", false}}));
        // Definitions are built afresh and never change the stored tool.
        EXPECT_EQ(tool.definition(), definition);
    }
    EXPECT_EQ(methods.size(), 22u) << "each method is reached by exactly one tool";
}

TEST(MCPTools, SchemaDetails) {
    const auto definitionOf = [](const char* name) { return MCPTools::byName().at(name)->definition(); };

    const json list = definitionOf("list_documents")["inputSchema"];
    EXPECT_EQ(list.dump(), R"({"properties":{},"required":[],"type":"object"})");

    EXPECT_EQ(keysOf(definitionOf("inspect_document")["inputSchema"]["properties"]),
              (std::set<std::string>{"sessionId"}));
    EXPECT_EQ(keysOf(definitionOf("add_note")["inputSchema"]["properties"]),
              (std::set<std::string>{"sessionId", "pageId", "rect", "contents", "expectedRevision",
                                     "operationId"}));
    EXPECT_EQ(keysOf(definitionOf("redo")["inputSchema"]["properties"]),
              (std::set<std::string>{"sessionId", "expectedRevision", "operationId"}));
    EXPECT_EQ(keysOf(definitionOf("save_document")["inputSchema"]["properties"]),
              (std::set<std::string>{"sessionId", "saveMode", "destination", "force", "expectedRevision",
                                     "operationId"}));

    EXPECT_EQ(definitionOf("render_page")["inputSchema"]["properties"]["scale"].dump(),
              R"({"description":"Zoom factor, default 1.5.","maximum":2,"minimum":0.25,"type":"number"})");
    EXPECT_EQ(definitionOf("rotate_pages")["inputSchema"]["properties"]["rotation"]["enum"].dump(),
              "[90,180,270,-90]");
    EXPECT_EQ(definitionOf("save_document")["inputSchema"]["properties"]["saveMode"]["enum"].dump(),
              R"(["save","saveAs","saveCopy"])");
    EXPECT_EQ(definitionOf("add_ink")["inputSchema"]["properties"]["points"].dump(),
              R"({"description":"Stroke points in PDF user space (points, origin at the bottom-left).",)"
              R"("items":{"properties":{"x":{"type":"number"},"y":{"type":"number"}},"required":["x","y"],)"
              R"("type":"object"},"minItems":2,"type":"array"})");
    EXPECT_EQ(definitionOf("add_annotation")["inputSchema"]["properties"]["rect"]["required"].dump(),
              R"(["left","bottom","right","top"])");
    EXPECT_EQ(definitionOf("ask_document")["inputSchema"]["properties"]["query"]["description"],
              "The question or requested edit, for example \"Fill FullName with Ilse Marwood\".");
    EXPECT_EQ(definitionOf("search_document")["inputSchema"]["properties"]["pageId"]["description"],
              "Optional: search only this page.");
    EXPECT_EQ(definitionOf("add_content")["inputSchema"]["properties"]["fontSize"].dump(),
              R"({"type":"number"})");
    EXPECT_EQ(definitionOf("undo")["inputSchema"]["properties"]["operationId"]["type"], "string");
    EXPECT_EQ(definitionOf("undo")["inputSchema"]["properties"]["expectedRevision"]["type"], "integer");
}

TEST(MCPTools, LookupIsExact) {
    const auto& index = MCPTools::byName();
    EXPECT_EQ(index.size(), 22u);
    ASSERT_TRUE(index.contains("undo"));
    EXPECT_EQ(index.at("undo"), &MCPTools::all()[20]);
    for (const char* missing : {"Undo", "inspect", "add_highlight", "", "undo "}) {
        EXPECT_FALSE(index.contains(missing)) << missing;
    }
}

CommandRequest mapped(const json& arguments, const char* tool = "undo") {
    return MCPTools::request(*MCPTools::byName().at(tool), arguments);
}

TEST(MCPTools, RequestCarriesOnlyWhatTheArgumentsGive) {
    const auto request = mapped(json::object(), "add_note");
    EXPECT_EQ(request.method, CommandMethod::addNote);
    EXPECT_EQ(request.channel, CommandChannel::mcp);
    EXPECT_EQ(request.params, CommandParams{});
    EXPECT_FALSE(request.expectedRevision);
    EXPECT_FALSE(request.operationId);
    EXPECT_FALSE(request.progress);
    EXPECT_TRUE(
        std::regex_match(request.id, std::regex("[0-9A-Fa-f]{8}(-[0-9A-Fa-f]{4}){3}-[0-9A-Fa-f]{12}")));
    EXPECT_NE(mapped(json::object()).id, mapped(json::object()).id);
}

// Each case: the arguments and the whole expected parameter record.
TEST(MCPTools, ArgumentMapping) {
    struct Case {
        const char* label;
        json arguments;
        CommandParams expected;
    };
    const auto params = [](auto fill) {
        CommandParams p;
        fill(p);
        return p;
    };
    const std::vector<Case> cases = {
        {"camelCase wins over alias", {{"pageId", "A"}, {"page_id", "B"}}, params([](auto& p) {
             p.pageId = "A";
         })},
        {"ill-typed camelCase falls to alias", {{"pageId", 3}, {"page_id", "B"}}, params([](auto& p) {
             p.pageId = "B";
         })},
        {"ill-typed alone sends nothing", {{"pageId", 3}}, {}},
        {"session_id is no alias", {{"session_id", "S"}}, {}},
        {"document_session_id is", {{"document_session_id", "S"}}, params([](auto& p) {
             p.sessionId = "S";
         })},
        {"mixed page list is no list", {{"pageIds", json::array({"a", 1})}}, {}},
        {"mixed list falls to page_ids",
         {{"pageIds", json::array({"a", 1})}, {"page_ids", json::array({"b"})}},
         params([](auto& p) { p.pageIds = std::vector<std::string>{"b"}; })},
        {"empty list is a list", {{"sessionIds", json::array()}}, params([](auto& p) {
             p.sessionIds = std::vector<std::string>{};
         })},
        {"rotation 90", {{"rotation", 90}}, params([](auto& p) { p.rotation = 90; })},
        {"rotation 90.0", json::parse(R"({"rotation":90.0})"), params([](auto& p) { p.rotation = 90; })},
        {"rotation -90", {{"rotation", -90}}, params([](auto& p) { p.rotation = -90; })},
        {"rotation 90.5", {{"rotation", 90.5}}, {}},
        {"rotation as string", {{"rotation", "90"}}, {}},
        {"rotation beyond int64", json::parse(R"({"rotation":9223372036854775808})"), {}},
        {"rotation 1e300", json::parse(R"({"rotation":1e300})"), {}},
        {"scale integer", {{"scale", 2}}, params([](auto& p) { p.scale = 2.0; })},
        {"scale true is no number", {{"scale", true}}, {}},
        {"font_size alias", {{"font_size", 11.5}}, params([](auto& p) { p.fontSize = 11.5; })},
        {"force as string", {{"force", "true"}}, {}},
        {"force 1 is no boolean", {{"force", 1}}, {}},
        {"force false", {{"force", false}}, params([](auto& p) { p.force = false; })},
        {"rect without top", {{"rect", {{"left", 1}, {"bottom", 2}, {"right", 3}}}}, {}},
        {"rect with string top", {{"rect", {{"left", 1}, {"bottom", 2}, {"right", 3}, {"top", "4"}}}}, {}},
        {"rect as array", {{"rect", json::array({1, 2, 3, 4})}}, {}},
        {"rect with extras",
         {{"rect", {{"left", 1}, {"bottom", 2}, {"right", 3}, {"top", 4.5}, {"z", 9}}}},
         params([](auto& p) {
             p.rect = PDFRect{1, 2, 3, 4.5};
         })},
        {"points skip a bad middle",
         {{"points", json::array({{{"x", 1}, {"y", 2}}, {{"x", "3"}, {"y", 4}}, {{"x", 5}, {"y", 6}}})}},
         params([](auto& p) {
             p.points = std::vector<PDFPoint>{{1, 2}, {5, 6}};
         })},
        {"points skip a missing y", {{"points", json::array({{{"x", 1}}})}}, params([](auto& p) {
             p.points = std::vector<PDFPoint>{};
         })},
        {"points empty", {{"points", json::array()}}, params([](auto& p) {
             p.points = std::vector<PDFPoint>{};
         })},
        {"points of numbers", {{"points", json::array({1, 2})}}, {}},
        {"points with one non-object", {{"points", json::array({{{"x", 1}, {"y", 2}}, 7})}}, {}},
        {"aliases",
         {{"field_name", "F"}, {"image_path", "/i.png"}, {"annotation_id", "N"}, {"save_mode", "saveAs"}},
         params([](auto& p) {
             p.fieldName = "F";
             p.imagePath = "/i.png";
             p.annotationId = "N";
             p.saveMode = "saveAs";
         })},
        {"never-mapped fields stay absent",
         {{"token", "t"},
          {"password", "p"},
          {"pngPath", "/x.png"},
          {"limit", 3},
          {"paths", json::array({"/a"})},
          {"recoveryId", "r"},
          {"requestId", "q"},
          {"renderAnnotations", true}},
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(mapped(c.arguments).params, c.expected);
    }
}

TEST(MCPTools, QueryReachesAnyTool) { EXPECT_EQ(mapped({{"query", "q"}}, "undo").params.query, "q"); }

TEST(MCPTools, RevisionAndOperationId) {
    struct Case {
        json arguments;
        std::optional<std::int64_t> revision;
        std::optional<std::string> operationId;
    };
    const std::vector<Case> cases = {
        {{{"expectedRevision", 4}, {"operationId", "op"}}, 4, "op"},
        {{{"expected_revision", 5}, {"operation_id", "op2"}}, 5, "op2"},
        {{{"expectedRevision", "4"}, {"expected_revision", 6}}, 6, std::nullopt},
        {{{"expectedRevision", 4.5}, {"operationId", 7}}, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.dump());
        const auto request = mapped(c.arguments, "fill_form");
        EXPECT_EQ(request.expectedRevision, c.revision);
        EXPECT_EQ(request.operationId, c.operationId);
    }
}

}  // namespace
}  // namespace kivo
