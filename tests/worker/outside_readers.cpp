#include "outside_readers.hpp"

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include <nlohmann/json.hpp>

namespace kivo::testing {

ToolRun runTool(const std::string& program, const std::filesystem::path& file, bool withErrors) {
    std::string quoted = "'";
    for (char c : file.string()) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    quoted += "'";
    ToolRun run;
    FILE* pipe = ::popen((program + " " + quoted + (withErrors ? " 2>&1" : " 2>/dev/null")).c_str(), "r");
    if (pipe == nullptr) return run;
    char chunk[4096];
    while (std::size_t n = std::fread(chunk, 1, sizeof chunk, pipe)) run.output.append(chunk, n);
    const int status = ::pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

bool haveTool(const char* name) {
    return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

bool haveOutsideReaders() { return haveTool("qpdf") && haveTool("pdfinfo"); }

int popplerPageCount(const std::filesystem::path& file) {
    const ToolRun info = runTool("pdfinfo", file);
    if (info.status != 0) return -1;
    std::istringstream lines(info.output);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("Pages:")) return std::stoi(line.substr(6));
    }
    return -1;
}

std::vector<int> popplerRotations(const std::filesystem::path& file) {
    const int pages = popplerPageCount(file);
    std::vector<int> turns;
    if (pages < 1) return turns;
    const ToolRun info = runTool("pdfinfo -l " + std::to_string(pages), file, false);
    std::istringstream lines(info.output);
    for (std::string line; std::getline(lines, line);) {
        const size_t at = line.find(" rot:");
        if (line.starts_with("Page ") && at != std::string::npos)
            turns.push_back(std::stoi(line.substr(at + 5)));
    }
    return turns;
}

std::vector<std::pair<std::string, std::string>> qpdfFieldValues(const std::filesystem::path& file) {
    // qpdf exits with 3 for warnings it recovered from: the file was read.
    const ToolRun run = runTool("qpdf --json --json-key=acroform", file, false);
    const nlohmann::json parsed = nlohmann::json::parse(run.output, nullptr, false);
    std::vector<std::pair<std::string, std::string>> fields;
    if ((run.status != 0 && run.status != 3) || parsed.is_discarded() || !parsed.contains("acroform"))
        return fields;
    for (const nlohmann::json& field : parsed["acroform"]["fields"]) {
        const nlohmann::json& value = field["value"];
        fields.emplace_back(field.value("fullname", ""), value.is_string() ? value.get<std::string>() : "");
    }
    return fields;
}

std::string outsideView(const std::filesystem::path& file) {
    const ToolRun check = runTool("qpdf --check", file);
    if (check.status != 0) return "qpdf rejects it: " + check.output;
    const int pages = popplerPageCount(file);
    if (pages < 0) return "pdfinfo rejects it: " + runTool("pdfinfo", file).output;
    return "sound, " + std::to_string(pages) + " pages";
}

std::vector<std::string> qpdfAnnotations(const std::filesystem::path& file) {
    // qpdf exits with 3 for warnings it recovered from: the file was read.
    const ToolRun run = runTool("qpdf --json=2 --json-key=pages --json-key=qpdf", file, false);
    const nlohmann::json parsed = nlohmann::json::parse(run.output, nullptr, false);
    if ((run.status != 0 && run.status != 3) || parsed.is_discarded())
        return {"qpdf refuses it: " + run.output};
    const nlohmann::json& objects = parsed["qpdf"][1];
    const auto resolve = [&](const nlohmann::json& value) -> nlohmann::json {
        if (!value.is_string()) return value;
        const std::string key = "obj:" + value.get<std::string>();
        return objects.contains(key) ? objects[key].value("value", nlohmann::json()) : nlohmann::json();
    };
    std::vector<std::string> found;
    int number = 0;
    for (const nlohmann::json& page : parsed["pages"]) {
        ++number;
        const nlohmann::json dictionary = resolve(page["object"]);
        if (!dictionary.is_object() || !dictionary.contains("/Annots")) continue;
        const nlohmann::json annotations = resolve(dictionary["/Annots"]);
        if (!annotations.is_array()) continue;
        for (const nlohmann::json& entry : annotations) {
            const nlohmann::json annotation = resolve(entry);
            if (!annotation.is_object()) continue;
            const std::string subtype = annotation.value("/Subtype", std::string("/?")).substr(1);
            if (subtype != "Popup") found.push_back(std::to_string(number) + ":" + subtype);
        }
    }
    return found;
}

}  // namespace kivo::testing
