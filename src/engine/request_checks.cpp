#include "engine/request_checks.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <string_view>

#include "engine/document_engine.hpp"
#include "core/engine_failure.hpp"

namespace kivo::RequestChecks {
namespace {

namespace fs = std::filesystem;

EngineFailure invalid(std::string message) {
    return EngineFailure(FailureCode::invalidArgument, std::move(message));
}

void checkPath(const std::optional<std::string>& path, std::string_view name) {
    if (path && path->find('\0') != std::string::npos) {
        throw invalid(std::string(name) + " cannot hold the character U+0000. Nothing changed.");
    }
}

bool isReasonable(double value) { return std::isfinite(value) && std::fabs(value) <= maxCoordinate; }

void checkNumber(const std::optional<double>& value, std::string_view name) {
    if (value && !isReasonable(*value)) {
        throw invalid(std::string(name) + " must be a finite number of at most 10,000,000. Nothing changed.");
    }
}

}  // namespace

void check(CommandMethod method, const CommandParams& params) {
    using M = CommandMethod;
    // A value a method never looks at changes nothing, so it is no reason to refuse the request.
    const auto readBy = [method](std::initializer_list<CommandMethod> readers) {
        return std::find(readers.begin(), readers.end(), method) != readers.end();
    };
    if (readBy({M::open, M::mergeDocuments})) checkPath(params.path, "path");
    if (readBy({M::saveDocument, M::exportDocument, M::extractPages}))
        checkPath(params.destination, "destination");
    if (readBy({M::addContent})) checkPath(params.imagePath, "imagePath");
    if (readBy({M::setGrants})) {
        for (const std::string& path : params.paths.value_or(std::vector<std::string>{}))
            checkPath(path, "paths");
    }
    if (readBy({M::renderPage})) {
        checkPath(params.pngPath, "pngPath");
        for (const RenderTile& tile : params.tiles.value_or(std::vector<RenderTile>{}))
            checkPath(tile.pngPath, "tiles");
        checkNumber(params.scale, "scale");
    }

    const auto& rect = params.rect;
    if (rect && readBy({M::addHighlight, M::addNote, M::addContent, M::updateAnnotation, M::ask,
                        M::assistantContext})) {
        if (!isReasonable(rect->left) || !isReasonable(rect->bottom) || !isReasonable(rect->right) ||
            !isReasonable(rect->top)) {
            throw invalid("rect must hold finite coordinates of at most 10,000,000 points. Nothing changed.");
        }
    }
    if (readBy({M::addInk})) {
        for (const PDFPoint& point : params.points.value_or(std::vector<PDFPoint>{})) {
            if (!isReasonable(point.x) || !isReasonable(point.y)) {
                throw invalid(
                    "points must hold finite coordinates of at most 10,000,000 points. Nothing changed.");
            }
        }
    }
    if (readBy({M::addContent})) checkNumber(params.fontSize, "fontSize");
}

fs::path writeDestination(const std::string& destination, CommandChannel channel) {
    if (destination.empty()) throw invalid("The destination is empty; name a file. Nothing changed.");
    if (destination.back() == '/') {
        throw invalid("The destination " + destination + " ends in a slash; name a file. Nothing changed.");
    }
    if (channel != CommandChannel::mcp) return clientPath(destination);

    // The name as given, with "." and ".." taken away by their text alone: the grant check and
    // the write both see this one path, and no folder named on the way is ever made.
    const fs::path named = clientPath(destination).lexically_normal();
    struct stat status {};
    if (::lstat(named.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) {
        throw EngineFailure(FailureCode::permissionDenied, "MCP cannot write through the symbolic link " +
                                                               named.string() + ". Nothing changed.");
    }
    const fs::path written(canonicalPath(named.string()));
    std::error_code error;
    if (!fs::is_directory(written.parent_path(), error)) {
        throw EngineFailure(FailureCode::file,
                            "The folder of " + written.string() + " does not exist. Nothing changed.");
    }
    return written;
}

SafeFiles::ReplaceOptions writeOptions(CommandChannel channel) {
    SafeFiles::ReplaceOptions options;
    if (channel == CommandChannel::mcp) {
        options.followLink = false;
        options.createFolders = false;
    }
    return options;
}

}  // namespace kivo::RequestChecks
