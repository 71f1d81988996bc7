#include "engine/document_engine.hpp"

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <set>
#include <sstream>
#include <thread>
#include <utility>

#include "engine/method_kinds.hpp"
#include "engine/request_checks.hpp"
#include "pdfium/module.hpp"
#include "session/pdfium_runtime.hpp"
#include "session/session.hpp"
#include "core/engine_failure.hpp"

namespace kivo {
namespace {

constexpr auto lockSlice = std::chrono::milliseconds(50);
// std::mutex has no timed wait, so a waiting command polls; this keeps the wake-up delay small
// against the length of any command it waits for.
constexpr auto lockPoll = std::chrono::milliseconds(1);

// Errors that are not the engine's own carry a technical description; the user gets it inside a
// sentence rather than bare.
CommandResponse internalFailure(const std::string& id, const std::exception& error) {
    std::string description = error.what();
    while (!description.empty() && (description.back() == '.' || description.back() == ' '))
        description.pop_back();
    if (description.empty()) description = "an unexpected error";
    return CommandResponse::failure(id, FailureCode::internal,
                                    "Kivo PDF could not finish the command: " + description + ".");
}

// A file that cannot be written or read is the user's business (a full disk, a folder where a
// file was named, a name too long), not a fault of the engine that would call for a restart.
CommandResponse fileFailure(const std::string& id, const std::filesystem::filesystem_error& error) {
    std::string reason = error.code().message();
    if (!reason.empty()) reason[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(reason[0])));
    std::string place = error.path1().empty() ? std::string("a file") : error.path1().string();
    // A name far too long for the file system would otherwise fill the whole sentence.
    constexpr std::size_t longestPlace = 160;
    if (place.size() > longestPlace) place = place.substr(0, longestPlace) + "...";
    return CommandResponse::failure(
        id, FailureCode::file, "Kivo PDF could not use " + place + " (" + reason + "). Nothing changed.");
}

// A command that failed may have failed for memory: the page kept for the next read goes with it.
struct DropKeptPageOnFailure {
    const int unwinding = std::uncaught_exceptions();
    ~DropKeptPageOnFailure() {
        if (std::uncaught_exceptions() > unwinding) Session::dropKeptReads();
    }
};

// A worker started to test the bounds on commands names the methods (comma-separated) whose commands
// never finish inside the engine, as a page it cannot draw would not.
bool spunForTests(CommandMethod method) {
    static const std::set<CommandMethod> spun = [] {
        std::set<CommandMethod> methods;
        const char* names = std::getenv("KIVO_PDF_TEST_SPIN_METHODS");
        std::istringstream list(names ? names : "");
        for (std::string name; std::getline(list, name, ',');) {
            if (const auto found = fromRawValue<CommandMethod>(name)) methods.insert(*found);
        }
        return methods;
    }();
    return spun.contains(method);
}

}  // namespace

bool isMCPAllowedMethod(CommandMethod method) noexcept {
    switch (method) {
        case CommandMethod::ping:
        case CommandMethod::inspect:
        case CommandMethod::renderPage:
        case CommandMethod::extractText:
        case CommandMethod::search:
        case CommandMethod::listAnnotations:
        case CommandMethod::ask:
        case CommandMethod::listDocuments: return true;
        default: return isMutatingMethod(method);
    }
}

DocumentEngine::DocumentEngine(ResourceLimits limits) : configuredLimits_(limits) {
    PdfiumRuntime::addUser();
    const std::lock_guard lock(PdfiumRuntime::lock());
    settledMemory_ = pdfium::module::memorySize();
}

DocumentEngine::~DocumentEngine() {
    awaitCheckpoint(checkpointInFlight_);
    stopReadingAhead();
    teardownSessions();
    PdfiumRuntime::removeUser();
}

CommandResponse DocumentEngine::handle(const CommandRequest& request, const ProgressFunction& progress) {
    std::shared_future<void> checkpoint;
    CommandResponse response = handle(request, progress, checkpoint);
    awaitCheckpoint(checkpoint);
    return response;
}

CommandResponse DocumentEngine::handle(const CommandRequest& request, const ProgressFunction& progress,
                                       std::shared_future<void>& checkpoint) {
    if (request.method == CommandMethod::cancel) return cancel(request);

    ResourceLimits limits;
    {
        std::lock_guard guard(limitsLock_);
        limits = configuredLimits_;
    }
    RunningCommand::Report report;
    if (request.progress.value_or(false) && progress) report = progress;
    const std::shared_ptr<RunningCommand> command = running_.begin(request, limits, std::move(report));

    std::optional<CommandResponse> response;
    std::unique_lock lock(PdfiumRuntime::lock(), std::try_to_lock);
    if (!lock.owns_lock()) {
        const PdfiumRuntime::Waiting waiting;
        command->progress(CommandPhase::waiting, 0, 0);
        auto sliceEnd = std::chrono::steady_clock::now() + lockSlice;
        while (!lock.try_lock()) {
            if (std::chrono::steady_clock::now() >= sliceEnd) {
                if (command->cancelRequested()) break;
                sliceEnd = std::chrono::steady_clock::now() + lockSlice;
            }
            std::this_thread::sleep_for(lockPoll);
        }
    }
    PngWriter::Batch writes;
    if (lock.owns_lock()) {
        RunningCommand::Activation activation(*command);
        if (spunForTests(request.method)) pdfium::module::spinAtNextLoop();
        response = lockedBody(request);
        writes = std::move(renderWrites_);
        checkpoint = checkpointInFlight_;
    }
    if (lock.owns_lock()) lock.unlock();
    if (!response)
        response = CommandResponse::failure(request.id, FailureCode::cancelled, cancelledFailure().message);
    try {
        writes.finish();
    } catch (const EngineFailure& failure) {
        response = CommandResponse::failure(request.id, failure.code, failure.message);
    }
    running_.end(command);
    if (readAheadPending_ || settlePending_) {
        {
            std::lock_guard guard(readAheadLock_);
            ++commandsEnded_;
        }
        readAheadWake_.notify_one();
    }
    return std::move(*response);
}

CommandResponse DocumentEngine::lockedBody(const CommandRequest& request) {
    // Two writes of one checkpoint never overlap, nor a write and its discarding.
    awaitCheckpoint(std::exchange(checkpointInFlight_, {}));
    // The engine is replaced between commands only: after a fault of work of its own (the warm-up),
    // and once it holds as much memory of list reads as it may.
    if (!pdfium::module::usable() || PdfiumRuntime::listReadsSpent()) renewEngine();
    const std::uint64_t memoryBefore = pdfium::module::memorySize();
    CommandResponse response = answer(request);
    if (!pdfium::module::usable() && !engineLost_) return answerAfterFault(request, std::move(response));
    weighEngineMemory(request.method, memoryBefore);
    return response;
}

CommandResponse DocumentEngine::answer(const CommandRequest& request) {
    try {
        const DropKeptPageOnFailure dropOnFailure;
        if (request.method != CommandMethod::hello && request.channel == CommandChannel::mcp)
            denyUnknownMCP(request);
        RequestChecks::check(request.method, request.params);
        if (auto replayed = replay_.replayed(request, grants_.sessionIds)) return std::move(*replayed);
        RunningCommand::step(CommandPhase::started, 0, 0);
        refuseStoppedPage(request);
        CommandResponse response = dispatch(request);
        replay_.remember(request, response);
        return response;
    } catch (const EngineFailure& failure) {
        return CommandResponse::failure(request.id, failure.code, failure.message);
    } catch (const std::filesystem::filesystem_error& error) {
        return fileFailure(request.id, error);
    } catch (const std::exception& error) {
        return internalFailure(request.id, error);
    } catch (...) {
        return CommandResponse::failure(request.id, FailureCode::internal,
                                        "Kivo PDF could not finish the command: an unexpected error.");
    }
}

CommandResponse DocumentEngine::dispatch(const CommandRequest& request) {
    if (isEditMethod(request.method)) return edit(request);
    switch (request.method) {
        case CommandMethod::ping:
        case CommandMethod::hello: {
            CommandResult result;
            result.pong = true;
            return CommandResponse::success(request.id, std::move(result));
        }
        case CommandMethod::open: return open(request);
        case CommandMethod::inspect:
        case CommandMethod::listAnnotations: return inspect(request);
        case CommandMethod::renderPage: return render(request);
        case CommandMethod::extractText: return extract(request);
        case CommandMethod::search: return search(request);
        case CommandMethod::close: return close(request);
        case CommandMethod::listDocuments: return list(request);
        case CommandMethod::setGrants: return setGrants(request);
        case CommandMethod::ask: return ask(request);
        case CommandMethod::assistantContext: return assistantContext(request);
        case CommandMethod::extractPages: return extractPages(request);
        case CommandMethod::undo: return applyHistory(request, true);
        case CommandMethod::redo: return applyHistory(request, false);
        case CommandMethod::saveDocument: return saveDocument(request);
        case CommandMethod::exportDocument: return exportDocument(request);
        case CommandMethod::listRecovery: return listRecovery(request);
        case CommandMethod::restoreRecovery: return restoreRecovery(request);
        case CommandMethod::discardRecovery: return discardRecovery(request);
        case CommandMethod::cancel:
            // Only reachable through handle's fast path; answered the same way here for safety.
            return cancel(request);
        default:
            // The edit methods, answered above.
            break;
    }
    throw EngineFailure(FailureCode::invalidArgument, "Unknown command method.");
}

CommandResponse DocumentEngine::cancel(const CommandRequest& request) {
    try {
        if (request.channel == CommandChannel::mcp) denyUnknownMCP(request);
        const auto& target = request.params.requestId;
        if (!target || target->empty())
            throw EngineFailure(FailureCode::invalidArgument, "cancel requires requestId.");
        CommandResult result;
        result.cancelled = running_.cancel(request.channel, *target);
        return CommandResponse::success(request.id, std::move(result));
    } catch (const EngineFailure& failure) {
        return CommandResponse::failure(request.id, failure.code, failure.message);
    } catch (const std::exception& error) {
        return internalFailure(request.id, error);
    }
}

void DocumentEngine::denyUnknownMCP(const CommandRequest& request) {
    if (!isMCPAllowedMethod(request.method)) {
        throw EngineFailure(FailureCode::unauthorized,
                            "MCP cannot call " + std::string(rawValue(request.method)) + ".");
    }
}

void DocumentEngine::requireMCPMutation(const CommandRequest& request) {
    if (request.channel != CommandChannel::mcp) return;
    if (!request.expectedRevision) {
        throw EngineFailure(FailureCode::invalidArgument, "MCP mutations require expectedRevision.");
    }
    if (!request.operationId || request.operationId->empty()) {
        throw EngineFailure(FailureCode::invalidArgument,
                            "MCP mutations require operationId for deduplication.");
    }
}

CommandResponse DocumentEngine::setGrants(const CommandRequest& request) {
    if (request.channel == CommandChannel::mcp) {
        throw EngineFailure(FailureCode::unauthorized, "Grants can only be changed from the editor.");
    }
    const CommandParams& params = request.params;
    GrantState grants;
    if (params.sessionIds) grants.sessionIds = {params.sessionIds->begin(), params.sessionIds->end()};
    if (params.permissions) grants.permissions = {params.permissions->begin(), params.permissions->end()};
    if (params.paths) {
        for (const std::string& path : *params.paths) grants.paths.insert(canonicalPath(path));
    }
    grants_ = std::move(grants);
    return CommandResponse::success(request.id, CommandResult{});
}

}  // namespace kivo
