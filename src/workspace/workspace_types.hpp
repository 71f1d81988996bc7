#pragma once

// The small values the workspace publishes and keeps: the canvas tool and fit mode, the save phase and
// the overlay kinds (each enum with one table of raw names), the command in progress, render stamps and
// cached images, the document lost at a worker stop, and the notice shown after one. Plain values,
// compared field by field; nothing here fails.

#include <QByteArray>
#include <QImage>
#include <QRectF>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/command_types.hpp"
#include "core/document_records.hpp"

namespace kivo {

enum class EditorTool { select, highlight, note, text, ink, image, signature };

inline constexpr std::array<EditorTool, 7> allEditorTools = {
    EditorTool::select, EditorTool::highlight, EditorTool::note,      EditorTool::text,
    EditorTool::ink,    EditorTool::image,     EditorTool::signature,
};

std::string_view rawValue(EditorTool tool) noexcept;

enum class FitMode { manual, page, width };

std::string_view rawValue(FitMode mode) noexcept;

// Where the open document stands against its file: a save in flight or failed outranks the dirty flag.
enum class SavePhase { saved, unsaved, saving, failed };

std::string_view rawValue(SavePhase phase) noexcept;
// Exact and case-sensitive; an unknown name gives no value.
template <>
std::optional<SavePhase> fromRawValue<SavePhase>(std::string_view rawName) noexcept;

// What a placed overlay holds; its raw value is the add command's kind.
enum class OverlayKind { text, image, signature };

std::string_view rawValue(OverlayKind kind) noexcept;

// The long command shown by the progress indicator; it follows the command's progress lines.
struct CommandActivity {
    std::string requestId{};
    std::string title{};
    CommandPhase phase = CommandPhase::started;
    std::int64_t completed = 0;
    std::int64_t total = 0;
    bool visible = false;
    bool cancelling = false;

    // What the indicator says under the title, with the counts in the user's locale.
    std::string detail() const;

    bool operator==(const CommandActivity&) const = default;
};

// The document state a rendered image was made from.
struct PageVersion {
    std::int64_t document = 0;
    std::int64_t page = 0;

    bool operator==(const PageVersion&) const = default;
};

// The value of the page, tile and thumbnail caches; `cost` counts 4 bytes a pixel.
struct RenderedPage {
    QImage image{};
    PageVersion version{};
    std::int64_t cost = 0;
    std::optional<std::vector<TextRun>> chars{};
    // A cached page's PNG file, as the worker wrote it. A page away from the one shown keeps only the file, a
    // small part of its pixels' bytes, with a null `image` and that image's size and pixels a point, and is
    // decoded again from it before it is shown.
    QByteArray png{};
    QSize pixels{};
    double ratio = 1;

    bool operator==(const RenderedPage&) const = default;
};

struct PageTile {
    std::string id{};
    QImage image{};
    QRectF frame{};

    bool operator==(const PageTile&) const = default;
};

// The document open when the worker stopped, to be brought back by the next worker.
struct LostDocument {
    std::string sessionId{};
    std::optional<std::string> sourcePath{};
    std::int64_t pageIndex = 0;
    std::string name{};
    bool dirty = false;

    bool operator==(const LostDocument&) const = default;
};

struct WorkerNotice {
    std::string message{};
    bool offersRestart = false;
    // Whether the message names the document shown when it was given: it is no longer true of another.
    bool namesDocument = false;

    bool operator==(const WorkerNotice&) const = default;
};

}  // namespace kivo
