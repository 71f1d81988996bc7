#include "core/command_json.hpp"

#include <algorithm>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

#include "core/text.hpp"

namespace kivo {

CommandCodecError CommandCodecError::lineTooLong(std::int64_t byteCount) {
    return CommandCodecError(
        Kind::lineTooLong, byteCount,
        "A message on the Kivo PDF socket passed " + std::to_string(byteCount) + " bytes without ending.");
}

CommandCodecError CommandCodecError::notUTF8() {
    return CommandCodecError(Kind::notUTF8, 0, "A message on the Kivo PDF socket was not UTF-8.");
}

CommandDecodingError::CommandDecodingError(std::string path, std::string reason)
    : std::runtime_error(path.empty() ? "The message could not be read: " + reason + "."
                                      : "The message could not be read at " + path + ": " + reason + "."),
      path_(std::move(path)),
      reason_(std::move(reason)) {}

namespace {

using Json = rapidjson::Value;

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};
template <class T>
struct IsOptional<SharedValue<T>> : std::true_type {};

template <class T>
struct IsVector : std::false_type {};
template <class T>
struct IsVector<std::vector<T>> : std::true_type {};

template <class T>
struct IsStringMap : std::false_type {};
template <class T>
struct IsStringMap<std::map<std::string, T>> : std::true_type {};

template <class R, class T>
concept Is = std::same_as<std::remove_const_t<R>, T>;

// ---------------------------------------------------------------------------
// Field lists. Each names every field of a record with its key, keys in byte
// order (the writer refuses any other order). One list serves both encoding
// and decoding, so the two cannot drift apart.

template <Is<PDFRect> R, class V>
void describe(R& r, V& v) {
    v("bottom", r.bottom);
    v("left", r.left);
    v("right", r.right);
    v("top", r.top);
}

template <Is<PDFPoint> R, class V>
void describe(R& r, V& v) {
    v("x", r.x);
    v("y", r.y);
}

template <Is<PageInfo> R, class V>
void describe(R& r, V& v) {
    v("box", r.box);
    v("height", r.height);
    v("id", r.id);
    v("index", r.index);
    v("rotation", r.rotation);
    v("width", r.width);
}

template <Is<TextRun> R, class V>
void describe(R& r, V& v) {
    v("bottom", r.bottom);
    v("index", r.index);
    v("left", r.left);
    v("right", r.right);
    v("top", r.top);
    v("unicode", r.unicode);
}

template <Is<AnnotationInfo> R, class V>
void describe(R& r, V& v) {
    v("contents", r.contents);
    v("id", r.id);
    v("kind", r.kind);
    v("pageId", r.pageId);
    v("rect", r.rect);
}

template <Is<FormFieldInfo> R, class V>
void describe(R& r, V& v) {
    v("checked", r.checked);
    v("multiline", r.multiline);
    v("name", r.name);
    v("options", r.options);
    v("pageId", r.pageId);
    v("readOnly", r.readOnly);
    v("type", r.type);
    v("value", r.value);
}

template <Is<SearchHit> R, class V>
void describe(R& r, V& v) {
    v("count", r.count);
    v("index", r.index);
    v("pageId", r.pageId);
    v("preview", r.preview);
    v("rects", r.rects);
}

template <Is<DocumentSummary> R, class V>
void describe(R& r, V& v) {
    v("pageCount", r.pageCount);
    v("path", r.path);
    v("readOnly", r.readOnly);
    v("revision", r.revision);
    v("sessionId", r.sessionId);
}

template <Is<RecoveryInfo> R, class V>
void describe(R& r, V& v) {
    v("dirty", r.dirty);
    v("pageCount", r.pageCount);
    v("recoveryId", r.recoveryId);
    v("revision", r.revision);
    v("sourcePath", r.sourcePath);
    v("updatedAt", r.updatedAt);
}

template <Is<RenderTile> R, class V>
void describe(R& r, V& v) {
    v("height", r.height);
    v("pngPath", r.pngPath);
    v("width", r.width);
    v("x", r.x);
    v("y", r.y);
}

template <Is<ContextPage> R, class V>
void describe(R& r, V& v) {
    v("height", r.height);
    v("pageId", r.pageId);
    v("pageIndex", r.pageIndex);
    v("text", r.text);
    v("truncated", r.truncated);
    v("width", r.width);
}

template <Is<ContextSelection> R, class V>
void describe(R& r, V& v) {
    v("pageId", r.pageId);
    v("pageIndex", r.pageIndex);
    v("rect", r.rect);
    v("text", r.text);
}

template <Is<AnswerUsage> R, class V>
void describe(R& r, V& v) {
    v("outputTokens", r.outputTokens);
    v("promptTokens", r.promptTokens);
    v("seconds", r.seconds);
}

template <Is<Citation> R, class V>
void describe(R& r, V& v) {
    v("pageId", r.pageId);
    v("pageIndex", r.pageIndex);
    v("preview", r.preview);
    v("rects", r.rects);
    v("revision", r.revision);
    v("source", r.source);
}

template <Is<CommandParams> R, class V>
void describe(R& r, V& v) {
    v("annotationId", r.annotationId);
    v("contents", r.contents);
    v("destination", r.destination);
    v("fieldName", r.fieldName);
    v("fontSize", r.fontSize);
    v("force", r.force);
    v("imagePath", r.imagePath);
    v("kind", r.kind);
    v("limit", r.limit);
    v("pageId", r.pageId);
    v("pageIds", r.pageIds);
    v("password", r.password);
    v("path", r.path);
    v("paths", r.paths);
    v("permissions", r.permissions);
    v("pngPath", r.pngPath);
    v("points", r.points);
    v("query", r.query);
    v("recoveryId", r.recoveryId);
    v("rect", r.rect);
    v("renderAnnotations", r.renderAnnotations);
    v("requestId", r.requestId);
    v("rotation", r.rotation);
    v("saveMode", r.saveMode);
    v("scale", r.scale);
    v("scope", r.scope);
    v("sessionId", r.sessionId);
    v("sessionIds", r.sessionIds);
    v("tiles", r.tiles);
    v("token", r.token);
    v("value", r.value);
}

template <Is<ProposedEdit> R, class V>
void describe(R& r, V& v) {
    v("expectedRevision", r.expectedRevision);
    v("limitation", r.limitation);
    v("method", r.method);
    v("operationId", r.operationId);
    v("params", r.params);
    v("summary", r.summary);
}

template <Is<AssistantContext> R, class V>
void describe(R& r, V& v) {
    v("characters", r.characters);
    v("fields", r.fields);
    v("limitations", r.limitations);
    v("pageCount", r.pageCount);
    v("pages", r.pages);
    v("revision", r.revision);
    v("scan", r.scan);
    v("scope", r.scope);
    v("selection", r.selection);
    v("truncated", r.truncated);
}

template <Is<AssistantAnswer> R, class V>
void describe(R& r, V& v) {
    v("citations", r.citations);
    v("fromDocument", r.fromDocument);
    v("incomplete", r.incomplete);
    v("model", r.model);
    v("notes", r.notes);
    v("proposals", r.proposals);
    v("read", r.read);
    v("revision", r.revision);
    v("scan", r.scan);
    v("scope", r.scope);
    v("text", r.text);
    v("usage", r.usage);
}

template <Is<CommandErrorPayload> R, class V>
void describe(R& r, V& v) {
    v("code", r.code);
    v("message", r.message);
}

template <Is<CommandResult> R, class V>
void describe(R& r, V& v) {
    v("affectedPages", r.affectedPages);
    v("annotationSubtypes", r.annotationSubtypes);
    v("annotations", r.annotations);
    v("answer", r.answer);
    v("assistantContext", r.assistantContext);
    v("cancelled", r.cancelled);
    v("chars", r.chars);
    v("dirty", r.dirty);
    v("documents", r.documents);
    v("fields", r.fields);
    v("formType", r.formType);
    v("height", r.height);
    v("matches", r.matches);
    v("metadata", r.metadata);
    v("pageCount", r.pageCount);
    v("pages", r.pages);
    v("pngPath", r.pngPath);
    v("pong", r.pong);
    v("readOnly", r.readOnly);
    v("recoveries", r.recoveries);
    v("redoAvailable", r.redoAvailable);
    v("revision", r.revision);
    v("saveState", r.saveState);
    v("sessionId", r.sessionId);
    v("sourceChanged", r.sourceChanged);
    v("sourcePath", r.sourcePath);
    v("text", r.text);
    v("undoAvailable", r.undoAvailable);
    v("warnings", r.warnings);
    v("width", r.width);
}

template <Is<CommandRequest> R, class V>
void describe(R& r, V& v) {
    v("channel", r.channel);
    v("expectedRevision", r.expectedRevision);
    v("id", r.id);
    v("method", r.method);
    v("operationId", r.operationId);
    v("params", r.params);
    v("progress", r.progress);
}

template <Is<CommandResponse> R, class V>
void describe(R& r, V& v) {
    v("error", r.error);
    v("id", r.id);
    v("ok", r.ok);
    v("result", r.result);
}

template <Is<CommandProgress> R, class V>
void describe(R& r, V& v) {
    v("completed", r.completed);
    v("event", r.event);
    v("id", r.id);
    v("phase", r.phase);
    v("total", r.total);
}

// ---------------------------------------------------------------------------
// Encoding

template <class T>
void writeValue(JsonWriter& w, const T& value);

struct FieldWriter {
    JsonWriter& w;

    template <class T>
    void operator()(std::string_view key, const T& field) {
        if constexpr (IsOptional<T>::value) {
            // An absent optional is left out; null is never written.
            if (!field) return;
            w.key(key);
            writeValue(w, *field);
        } else {
            w.key(key);
            writeValue(w, field);
        }
    }
};

template <class T>
void writeValue(JsonWriter& w, const T& value) {
    if constexpr (std::is_same_v<T, bool>) {
        w.boolean(value);
    } else if constexpr (std::is_same_v<T, std::int64_t>) {
        w.integer(value);
    } else if constexpr (std::is_same_v<T, double>) {
        w.number(value);
    } else if constexpr (std::is_same_v<T, std::string>) {
        w.string(value);
    } else if constexpr (std::is_enum_v<T>) {
        w.string(rawValue(value));
    } else if constexpr (IsVector<T>::value) {
        w.beginArray();
        for (const auto& element : value) writeValue(w, element);
        w.endArray();
    } else if constexpr (IsStringMap<T>::value) {
        // Keys are repaired like any string; two bad keys could then collide,
        // so repair them up front and keep one entry per written key.
        for (const auto& [key, element] : value) {
            if (isValidUTF8(key)) continue;
            T repaired;
            for (const auto& [rawKey, rawElement] : value) {
                std::string fixed;
                appendRepairedUTF8(fixed, rawKey);
                repaired.insert_or_assign(std::move(fixed), rawElement);
            }
            writeValue(w, repaired);
            return;
        }
        w.beginObject();
        for (const auto& [key, element] : value) {
            w.key(key);
            writeValue(w, element);
        }
        w.endObject();
    } else {
        w.beginObject();
        FieldWriter fields{w};
        describe(value, fields);
        w.endObject();
    }
}

// ---------------------------------------------------------------------------
// Encoding with a memo

using SubtypeCounts = std::map<std::string, std::map<std::string, std::int64_t>>;

constexpr std::size_t maxRememberedBytes = 8u << 20;

template <class T>
struct MemoSlot {
    std::optional<T> value;
    std::string text;

    void write(JsonWriter& w, const T& now) {
        // The writer gives equal values equal bytes (0 and -0 alike), so equality is enough.
        if (!value || !(*value == now)) {
            std::string fresh;
            JsonWriter own(fresh);
            writeValue(own, now);
            // Forgotten first: a copy that fails halfway leaves nothing to match.
            value.reset();
            text.clear();
            // Past this, what is remembered would outweigh what it saves a connection.
            if (fresh.size() > maxRememberedBytes) return w.written(fresh);
            text = std::move(fresh);
            value = now;
        }
        w.written(text);
    }
};

// Counts by page, remembered page by page: an edit changes the counts of one page of a long document,
// so the member of every other page is copied as it was written, and only the pages that changed are
// written and kept anew.
struct CountsSlot {
    struct Entry {
        std::string page;
        std::map<std::string, std::int64_t> counts;
        // The member as the writer writes it inside the object: "page":{...}.
        std::string text;
    };
    std::vector<Entry> entries;

    static std::string memberText(const std::string& page,
                                  const std::map<std::string, std::int64_t>& counts) {
        std::string object;
        JsonWriter own(object);
        own.beginObject();
        own.key(page);
        writeValue(own, counts);
        own.endObject();
        return object.substr(1, object.size() - 2);
    }

    void write(JsonWriter& w, const SubtypeCounts& now) {
        // A key that is not UTF-8 is repaired, which may make two keys one: that is the plain writer's.
        if (!std::all_of(now.begin(), now.end(),
                         [](const auto& entry) { return isValidUTF8(entry.first); })) {
            entries.clear();
            return writeValue(w, now);
        }
        std::vector<Entry> next;
        next.reserve(now.size());
        std::string object = "{";
        try {
            auto old = entries.begin();
            for (const auto& [page, counts] : now) {
                while (old != entries.end() && old->page < page) ++old;
                if (old != entries.end() && old->page == page && old->counts == counts) {
                    next.push_back(std::move(*old++));
                } else {
                    next.push_back(Entry{page, counts, memberText(page, counts)});
                }
                if (next.size() > 1) object.push_back(',');
                object.append(next.back().text);
            }
        } catch (...) {
            // Entries moved from are no longer what they say.
            entries.clear();
            throw;
        }
        object.push_back('}');
        // Past this, what is remembered would outweigh what it saves a connection.
        if (object.size() > maxRememberedBytes) next.clear();
        entries = std::move(next);
        w.written(object);
    }
};

// A response whose result takes its largest members from the memo; everything else as FieldWriter.
struct MemoWriter {
    JsonWriter& w;
    CommandJSON::AnswerMemo::Slots& slots;

    template <class T>
    void operator()(std::string_view key, const T& field);
};

}  // namespace

struct CommandJSON::AnswerMemo::Slots {
    MemoSlot<std::vector<PageInfo>> pages;
    CountsSlot subtypes;
};

namespace {

template <class T>
void MemoWriter::operator()(std::string_view key, const T& field) {
    if constexpr (std::is_same_v<T, std::optional<CommandResult>>) {
        if (!field) return;
        w.key(key);
        w.beginObject();
        describe(*field, *this);
        w.endObject();
    } else if constexpr (std::is_same_v<T, std::optional<std::vector<PageInfo>>>) {
        if (!field) return;
        w.key(key);
        slots.pages.write(w, *field);
    } else if constexpr (std::is_same_v<T, SharedValue<SubtypeCounts>>) {
        if (!field) return;
        w.key(key);
        slots.subtypes.write(w, *field);
    } else {
        FieldWriter{w}(key, field);
    }
}

// ---------------------------------------------------------------------------
// Decoding

[[noreturn]] void fail(std::string reason) { throw CommandDecodingError("", std::move(reason)); }

std::string joinPath(std::string_view outer, const std::string& inner) {
    if (inner.empty()) return std::string(outer);
    if (inner.front() == '[') return std::string(outer) + inner;
    return std::string(outer) + "." + inner;
}

template <class T>
void readValue(const Json& j, T& out);

// Runs one nested read; a failure inside gets this step prefixed to its path.
template <class F>
void within(std::string_view key, F&& read) {
    try {
        read();
    } catch (const CommandDecodingError& e) {
        throw CommandDecodingError(joinPath(key, e.path()), e.reason());
    }
}

template <class F>
void withinElement(std::size_t index, F&& read) {
    try {
        read();
    } catch (const CommandDecodingError& e) {
        throw CommandDecodingError(joinPath("[" + std::to_string(index) + "]", e.path()), e.reason());
    }
}

// The last of equal keys counts, as it always did here, so that no reader of the same line takes
// another value than this one.
const Json* member(const Json& object, std::string_view key) {
    for (auto m = object.MemberEnd(); m != object.MemberBegin();) {
        --m;
        if (std::string_view(m->name.GetString(), m->name.GetStringLength()) == key) return &m->value;
    }
    return nullptr;
}

struct FieldReader {
    const Json& object;

    template <class T>
    void operator()(std::string_view key, T& field) {
        const Json* found = member(object, key);
        if constexpr (IsOptional<T>::value) {
            // Missing and null both mean "no value".
            if (found == nullptr || found->IsNull()) {
                field.reset();
                return;
            }
            typename T::value_type value{};
            within(key, [&] { readValue(*found, value); });
            field = std::move(value);
        } else {
            if (found == nullptr) throw CommandDecodingError(std::string(key), "the key is missing");
            if (found->IsNull())
                throw CommandDecodingError(std::string(key), "a value is required, not null");
            within(key, [&] { readValue(*found, field); });
        }
    }
};

std::int64_t readInteger(const Json& j) {
    if (j.IsInt64()) return j.GetInt64();
    if (j.IsUint64()) fail("the integer is too large");
    if (j.IsDouble()) {
        // A number written with a fraction part but an integral value, such as
        // 3.0, is taken; a real fraction is not.
        const double d = j.GetDouble();
        if (!std::isfinite(d) || std::trunc(d) != d) fail("expected a whole number");
        if (d < -0x1p63 || d >= 0x1p63) fail("the integer is too large");
        return static_cast<std::int64_t>(d);
    }
    fail("expected an integer");
}

// Every string was found to be UTF-8 as it was read (see CheckedEvents).
std::string readString(const Json& j) { return std::string(j.GetString(), j.GetStringLength()); }

template <class T>
void readValue(const Json& j, T& out) {
    if constexpr (std::is_same_v<T, bool>) {
        if (!j.IsBool()) fail("expected a boolean");
        out = j.GetBool();
    } else if constexpr (std::is_same_v<T, std::int64_t>) {
        out = readInteger(j);
    } else if constexpr (std::is_same_v<T, double>) {
        if (!j.IsNumber()) fail("expected a number");
        out = j.GetDouble();
    } else if constexpr (std::is_same_v<T, std::string>) {
        if (!j.IsString()) fail("expected a string");
        out = readString(j);
    } else if constexpr (std::is_enum_v<T>) {
        if (!j.IsString()) fail("expected a string");
        const std::string name = readString(j);
        const auto value = fromRawValue<T>(name);
        if (!value) fail("\"" + name + "\" is not a known value");
        out = *value;
    } else if constexpr (IsVector<T>::value) {
        if (!j.IsArray()) fail("expected an array");
        out.clear();
        out.resize(j.Size());
        std::size_t index = 0;
        for (const Json& element : j.GetArray()) {
            withinElement(index, [&] { readValue(element, out[index]); });
            ++index;
        }
    } else if constexpr (IsStringMap<T>::value) {
        if (!j.IsObject()) fail("expected an object");
        out.clear();
        // Of equal keys only the last is read, as for the fields of a record.
        std::map<std::string, const Json*> last;
        for (const auto& m : j.GetObject()) last.insert_or_assign(readString(m.name), &m.value);
        for (const auto& [key, element] : last) {
            if (element->IsNull()) throw CommandDecodingError(key, "a value is required, not null");
            typename T::mapped_type value{};
            within(key, [&] { readValue(*element, value); });
            out.emplace(key, std::move(value));
        }
    } else {
        if (!j.IsObject()) fail("expected an object");
        FieldReader fields{j};
        describe(out, fields);
    }
}

// Where members stand in a line, read from its brackets and quotes alone: a string is stepped over from
// quote to quote, any other value to the bracket that closes it. Every byte it passes is still read by
// the parser, which alone judges the line; `bad` only means the outline cannot be told.
class Outline {
public:
    static constexpr std::size_t bad = std::string_view::npos;

    explicit Outline(std::string_view text) : text_(text) {}

    std::size_t space(std::size_t i) const {
        while (i < text_.size() &&
               (text_[i] == ' ' || text_[i] == '\t' || text_[i] == '\n' || text_[i] == '\r'))
            ++i;
        return i;
    }

    // Just past the string whose quote is at `i`. Most of a line is strings: they are stepped over
    // from quote to quote, and the next backslash is looked for once for the whole line, not per string.
    std::size_t stringEnd(std::size_t i) const {
        for (std::size_t from = i + 1;;) {
            if (escape_ < from) escape_ = text_.find('\\', from);
            const std::size_t quote = text_.find('"', from);
            if (quote == bad) return bad;
            if (escape_ < quote) {
                from = escape_ + 2;
                continue;
            }
            return quote + 1;
        }
    }

    // Just past the value that begins at `i`.
    std::size_t valueEnd(std::size_t i) const {
        if (i >= text_.size()) return bad;
        const char first = text_[i];
        if (first == '"') return stringEnd(i);
        if (first != '{' && first != '[') {
            while (i < text_.size() && std::string_view(",}] \t\n\r").find(text_[i]) == bad) ++i;
            return i;
        }
        int depth = 0;
        while (i < text_.size()) {
            switch (text_[i]) {
                case '"':
                    i = stringEnd(i);
                    if (i == bad) return bad;
                    continue;
                case '{':
                case '[': ++depth; break;
                case '}':
                case ']':
                    if (--depth == 0) return i + 1;
                    break;
                default: break;
            }
            ++i;
        }
        return bad;
    }

    // Calls `each(key, i)` for each member of the object at `i`, with `i` at the member's value; `each`
    // moves `i` past it, or answers false. The key is as written, escapes and all.
    template <class F>
    bool members(std::size_t& i, F&& each) const {
        i = space(i);
        if (i >= text_.size() || text_[i] != '{') return false;
        i = space(i + 1);
        if (i < text_.size() && text_[i] == '}') return ++i, true;
        for (;;) {
            if (i >= text_.size() || text_[i] != '"') return false;
            const std::size_t keyEnd = stringEnd(i);
            if (keyEnd == bad) return false;
            const std::string_view key = text_.substr(i + 1, keyEnd - i - 2);
            i = space(keyEnd);
            if (i >= text_.size() || text_[i] != ':') return false;
            i = space(i + 1);
            if (!each(key, i)) return false;
            i = space(i);
            if (i >= text_.size()) return false;
            if (text_[i] == '}') return ++i, true;
            if (text_[i] != ',') return false;
            i = space(i + 1);
        }
    }

private:
    std::string_view text_;
    // The first backslash at or after where strings were last looked into.
    mutable std::size_t escape_ = 0;
};

// Nesting depth of JSON text, counted over brackets outside strings. Exact for
// well-formed JSON; for anything else the parser refuses the text anyway.
int nestingDepth(std::string_view text) noexcept {
    const Outline outline(text);
    int depth = 0;
    int deepest = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        switch (text[i]) {
            case '"':
                i = outline.stringEnd(i);
                if (i == Outline::bad) return deepest;
                --i;
                break;
            case '{':
            case '[':
                deepest = std::max(deepest, ++depth);
                // Stop counting as soon as the answer is known.
                if (deepest > CommandJSON::maxNestingDepth) return deepest;
                break;
            case '}':
            case ']': --depth; break;
            default: break;
        }
    }
    return deepest;
}

// The double a JSON number's text stands for: the nearest one, and below the smallest, zero or the
// nearest subnormal as strtod reads it; none past the largest.
std::optional<double> numberValue(std::string_view text) {
    const char* const end = text.data() + text.size();
    double d = 0;
    const auto [stop, error] = std::from_chars(text.data(), end, d);
    if (error == std::errc{}) return stop == end ? std::optional<double>(d) : std::nullopt;
    if (error != std::errc::result_out_of_range) return std::nullopt;
    // The locale's decimal point is not ours; strtod reads up to a zero byte, which the copy ends in.
    static const locale_t plainC = newlocale(LC_ALL_MASK, "C", nullptr);
    if (plainC == nullptr) return std::nullopt;
    const std::string ended(text);
    char* tail = nullptr;
    const double near = strtod_l(ended.c_str(), &tail, plainC);
    if (tail != ended.c_str() + ended.size() || !std::isfinite(near)) return std::nullopt;
    return near;
}

// Hands every event on to the document, refusing a string that is not UTF-8 (an escaped lone surrogate
// decodes to such bytes), but reads each number with the C++ library: RapidJSON's
// own reading of long numbers reads outside its tables (a crash, from a number of 21 characters)
// or yields a wrong value, and lets a number past the largest double through as infinity.
struct CheckedEvents {
    rapidjson::Document& to;

    bool Null() { return to.Null(); }
    bool Bool(bool b) { return to.Bool(b); }
    bool Int(int i) { return to.Int(i); }
    bool Uint(unsigned u) { return to.Uint(u); }
    bool Int64(std::int64_t i) { return to.Int64(i); }
    bool Uint64(std::uint64_t u) { return to.Uint64(u); }
    bool Double(double d) { return to.Double(d); }
    // The line is refused whole, wherever the string stands, read or not.
    bool String(const char* s, rapidjson::SizeType n, bool copy) {
        return isValidUTF8({s, n}) && to.String(s, n, copy);
    }
    bool StartObject() { return to.StartObject(); }
    bool Key(const char* s, rapidjson::SizeType n, bool copy) {
        return isValidUTF8({s, n}) && to.Key(s, n, copy);
    }
    bool EndObject(rapidjson::SizeType members) { return to.EndObject(members); }
    bool StartArray() { return to.StartArray(); }
    bool EndArray(rapidjson::SizeType elements) { return to.EndArray(elements); }

    // The text is a JSON number already; a magnitude no double holds is refused.
    bool RawNumber(const char* text, rapidjson::SizeType length, bool) {
        const char* const end = text + length;
        if (std::find_if(text, end, [](char c) { return c == '.' || c == 'e' || c == 'E'; }) == end) {
            std::int64_t i = 0;
            if (std::from_chars(text, end, i).ec == std::errc{}) return to.Int64(i);
            std::uint64_t u = 0;
            if (std::from_chars(text, end, u).ec == std::errc{}) return to.Uint64(u);
        }
        const std::optional<double> d = numberValue({text, length});
        return d && to.Double(*d);
    }
};

// The number `token` (as a line holds it) written as the double it stands for, in at least as many
// bytes, when RapidJSON refuses it as too big although a double holds it: RapidJSON judges by how a
// number is written before it has its value, so a positive exponent past 308 fails whatever the digits
// (0e400 is 0), and so do some 309 digits before the point (a 400-digit integer times 1e-390).
std::optional<std::string> writtenAnew(std::string_view token) {
    if (token.find_first_of("eE") == std::string_view::npos && token.size() < 309) return std::nullopt;
    rapidjson::MemoryStream bytes(token.data(), token.size());
    rapidjson::EncodedInputStream<rapidjson::UTF8<>, rapidjson::MemoryStream> stream(bytes);
    rapidjson::BaseReaderHandler<> ignored;
    rapidjson::Reader reader;
    if (reader.Parse<rapidjson::kParseNumbersAsStringsFlag>(stream, ignored).Code() !=
        rapidjson::kParseErrorNumberTooBig)
        return std::nullopt;
    const std::optional<double> value = numberValue(token);
    if (!value) return std::nullopt;
    char digits[32];
    const auto written = std::to_chars(digits, digits + sizeof digits, *value, std::chars_format::scientific);
    std::string out(digits, written.ptr);
    // Spaces after it keep every later offset, those of a parse error too.
    if (out.size() < token.size()) out.resize(token.size(), ' ');
    return out;
}

// `text` with every number outside its strings that RapidJSON refuses but a double holds written anew;
// none when there is no such number.
std::optional<std::string> withNumbersWrittenAnew(std::string_view text) {
    const Outline outline(text);
    const auto inNumber = [](char c) {
        return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
    };
    std::string out;
    std::size_t copied = 0;
    bool changed = false;
    for (std::size_t i = 0; i < text.size();) {
        const char c = text[i];
        if (c == '"') {
            i = outline.stringEnd(i);
            if (i == Outline::bad) break;
            continue;
        }
        if (c != '-' && (c < '0' || c > '9')) {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < text.size() && inNumber(text[end])) ++end;
        if (const std::optional<std::string> anew = writtenAnew(text.substr(i, end - i))) {
            out.append(text.substr(copied, i - copied)).append(*anew);
            copied = end;
            changed = true;
        }
        i = end;
    }
    if (!changed) return std::nullopt;
    out.append(text.substr(copied));
    return out;
}

void parseLimited(std::string_view text, rapidjson::Document& parsed) {
    if (!isValidUTF8(text)) throw CommandCodecError::notUTF8();
    // Checked before parsing, so hostile nesting never reaches the parser.
    if (nestingDepth(text) > CommandJSON::maxNestingDepth) fail("the message is nested too deeply");
    rapidjson::ParseResult result;
    std::string_view source = text;
    const auto read = [&](rapidjson::Document& into) {
        rapidjson::MemoryStream bytes(source.data(), source.size());
        rapidjson::EncodedInputStream<rapidjson::UTF8<>, rapidjson::MemoryStream> stream(bytes);
        CheckedEvents checked{into};
        rapidjson::Reader reader;
        result = reader.Parse<rapidjson::kParseNumbersAsStringsFlag>(stream, checked);
        return !result.IsError();
    };
    parsed.Populate(read);
    // Only a line RapidJSON refused for a number pays for the second look.
    std::optional<std::string> anew;
    if (result.Code() == rapidjson::kParseErrorNumberTooBig && (anew = withNumbersWrittenAnew(text))) {
        source = *anew;
        parsed.Populate(read);
    }
    if (result.IsError()) {
        fail(std::string("not valid JSON (") + rapidjson::GetParseError_En(result.Code()) + " at byte " +
             std::to_string(result.Offset()) + ")");
    }
}

template <class T>
T decodeChecked(std::string_view text) {
    rapidjson::Document parsed;
    parseLimited(text, parsed);
    T out{};
    readValue(static_cast<const Json&>(parsed), out);
    return out;
}

}  // namespace

namespace CommandJSON {

template <CommandJSONValue T>
void write(JsonWriter& writer, const T& value) {
    writeValue(writer, value);
}

template <CommandJSONValue T>
std::string encodeBody(const T& value) {
    std::string out;
    JsonWriter writer(out);
    writeValue(writer, value);
    return out;
}

template <CommandJSONValue T>
std::string encode(const T& value) {
    std::string out = encodeBody(value);
    out.push_back('\n');
    return out;
}

template <CommandJSONValue T>
T decode(std::string_view text) {
    return decodeChecked<T>(text);
}

AnswerMemo::AnswerMemo() : slots_(std::make_unique<Slots>()) {}

AnswerMemo::~AnswerMemo() = default;

std::string encode(const CommandResponse& response, AnswerMemo& memo) {
    std::string out;
    JsonWriter writer(out);
    writer.beginObject();
    MemoWriter fields{writer, *memo.slots_};
    describe(response, fields);
    writer.endObject();
    out.push_back('\n');
    return out;
}

CommandRequest decodeRequest(std::string_view line) { return decodeChecked<CommandRequest>(line); }

CommandResponse decodeResponse(std::string_view line) { return decodeChecked<CommandResponse>(line); }

CommandReply decodeReply(std::string_view line) {
    if (!isValidUTF8(line)) throw CommandCodecError::notUTF8();
    if (line.size() <= maxProgressLineBytes) {
        try {
            auto progress = decodeChecked<CommandProgress>(line);
            if (progress.event == "progress") return progress;
        } catch (const CommandDecodingError&) {
            // Not progress; read it as a response below.
        }
    }
    return decodeChecked<CommandResponse>(line);
}

}  // namespace CommandJSON

namespace {

struct Span {
    std::size_t from = 0;
    std::size_t to = 0;
};

struct Spans {
    std::optional<Span> pages;
    std::optional<Span> subtypes;
};

// Where a response's result holds its pages and its counts by page. Told only where no doubt is
// left: one "result" holding an object, each member in it once, and no key in either object written
// with an escape (the parser would read it as another name). A member found with `known` text at its
// place is stepped over without reading it.
Spans memberSpans(std::string_view line, std::string_view knownPages, std::string_view knownSubtypes) {
    const Outline outline(line);
    Spans spans;
    int results = 0;
    const auto place = [&](std::optional<Span>& span, std::string_view known, std::size_t& i) {
        if (span) return false;
        std::size_t end =
            !known.empty() && line.substr(i, known.size()) == known ? i + known.size() : outline.valueEnd(i);
        if (end == Outline::bad) return false;
        span = Span{i, end};
        i = end;
        return true;
    };
    const auto inResult = [&](std::string_view key, std::size_t& i) {
        if (key.find('\\') != std::string_view::npos) return false;
        if (key == "pages") return place(spans.pages, knownPages, i);
        if (key == "annotationSubtypes") return place(spans.subtypes, knownSubtypes, i);
        i = outline.valueEnd(i);
        return i != Outline::bad;
    };
    std::size_t i = 0;
    const bool read = outline.members(i, [&](std::string_view key, std::size_t& at) {
        if (key.find('\\') != std::string_view::npos) return false;
        if (key == "result" && ++results == 1 && at < line.size() && line[at] == '{')
            return outline.members(at, inResult);
        at = outline.valueEnd(at);
        return at != Outline::bad;
    });
    if (!read || results != 1) return {};
    return spans;
}

// A member's text as the last answer had it, and what it reads as once it came twice in a row: a text
// seen once is only copied, so members that change with every answer cost no more than before.
template <class Held>
struct ReadSlot {
    std::string text;
    Held value;

    // The value kept for what `line` holds at `span`, if any.
    const Held* match(std::string_view line, const std::optional<Span>& span) const {
        if (!span || !value) return nullptr;
        return line.substr(span->from, span->to - span->from) == text ? &value : nullptr;
    }

    // An answer without the member, or whose outline could not be told, leaves what is kept as it was:
    // only equal text is ever taken.
    void keep(std::string_view line, const std::optional<Span>& span, const Held& read) {
        if (!span || !read) return;
        const std::string_view now = line.substr(span->from, span->to - span->from);
        if (now.size() > maxRememberedBytes) {
            value.reset();
            text.clear();
        } else if (now == text) {
            if (!value) value = read;
        } else {
            value.reset();
            text.assign(now);
        }
    }
};

}  // namespace

struct CommandJSON::ReplyMemo::Slots {
    ReadSlot<std::optional<std::vector<PageInfo>>> pages;
    // Shared with the answers that take it, which copy it only to change it.
    ReadSlot<SharedValue<SubtypeCounts>> subtypes;
    // Lines still to be read without an outline.
    int plainLines = 0;
};

namespace CommandJSON {

ReplyMemo::ReplyMemo() : slots_(std::make_unique<Slots>()) {}

ReplyMemo::~ReplyMemo() = default;

CommandReply decodeReply(std::string_view line, ReplyMemo& memo) {
    // A progress line is short; only a response's members are worth keeping.
    if (line.size() <= maxProgressLineBytes) return decodeReply(line);
    if (!isValidUTF8(line)) throw CommandCodecError::notUTF8();
    ReplyMemo::Slots& slots = *memo.slots_;
    // Where the members were a small part of the last line outlined (thousands of annotations), reading
    // the outline costs more than they spare: the next lines are read plainly, and every sixteenth is
    // outlined again so that another document's answers are learnt.
    if (slots.plainLines > 0) {
        --slots.plainLines;
        return decodeReply(line);
    }
    const Spans spans = memberSpans(line, slots.pages.value ? slots.pages.text : std::string_view(),
                                    slots.subtypes.value ? slots.subtypes.text : std::string_view());
    const std::optional<std::vector<PageInfo>>* const pages = slots.pages.match(line, spans.pages);
    const SharedValue<SubtypeCounts>* const subtypes = slots.subtypes.match(line, spans.subtypes);
    CommandResponse response;
    if (pages == nullptr && subtypes == nullptr) {
        response = decodeChecked<CommandResponse>(line);
    } else {
        // The kept members read as null, so the parser passes over them at once; the value in their
        // place was read whole before, so the line parses exactly when this one does.
        std::vector<Span> kept;
        if (pages != nullptr) kept.push_back(*spans.pages);
        if (subtypes != nullptr) kept.push_back(*spans.subtypes);
        std::sort(kept.begin(), kept.end(), [](const Span& a, const Span& b) { return a.from < b.from; });
        std::string shorter;
        std::size_t from = 0;
        for (const Span& span : kept) {
            shorter.append(line.substr(from, span.from - from)).append("null");
            from = span.to;
        }
        shorter.append(line.substr(from));
        bool read = false;
        try {
            response = decodeChecked<CommandResponse>(shorter);
            read = true;
        } catch (const CommandDecodingError&) {
            // The failure is told as the whole line gives it.
            response = decodeChecked<CommandResponse>(line);
        }
        if (read && response.result) {
            if (pages != nullptr) response.result->pages = *pages;
            if (subtypes != nullptr) response.result->annotationSubtypes = *subtypes;
            memo.reused_ += (pages != nullptr) + (subtypes != nullptr);
        }
    }
    const std::optional<CommandResult>& result = response.result;
    // Taken by reference either way: a long document's pages are not copied to be looked at.
    static const std::optional<std::vector<PageInfo>> noPages;
    static const SharedValue<SubtypeCounts> noCounts;
    slots.pages.keep(line, spans.pages, result ? result->pages : noPages);
    slots.subtypes.keep(line, spans.subtypes, result ? result->annotationSubtypes : noCounts);
    // Judged by answers that hold pages, the bulk of what is kept.
    if (spans.pages && result && result->pages) {
        const std::size_t members = spans.pages->to - spans.pages->from +
                                    (spans.subtypes ? spans.subtypes->to - spans.subtypes->from : 0);
        if (members < line.size() / 4) slots.plainLines = 15;
    }
    return response;
}

#define KIVO_COMMAND_JSON_INSTANTIATE(T)           \
    template void write<T>(JsonWriter&, const T&); \
    template std::string encodeBody<T>(const T&);  \
    template std::string encode<T>(const T&);      \
    template T decode<T>(std::string_view);

KIVO_COMMAND_JSON_INSTANTIATE(PDFRect)
KIVO_COMMAND_JSON_INSTANTIATE(PDFPoint)
KIVO_COMMAND_JSON_INSTANTIATE(PageInfo)
KIVO_COMMAND_JSON_INSTANTIATE(TextRun)
KIVO_COMMAND_JSON_INSTANTIATE(AnnotationInfo)
KIVO_COMMAND_JSON_INSTANTIATE(FormFieldInfo)
KIVO_COMMAND_JSON_INSTANTIATE(SearchHit)
KIVO_COMMAND_JSON_INSTANTIATE(DocumentSummary)
KIVO_COMMAND_JSON_INSTANTIATE(RecoveryInfo)
KIVO_COMMAND_JSON_INSTANTIATE(RenderTile)
KIVO_COMMAND_JSON_INSTANTIATE(ContextPage)
KIVO_COMMAND_JSON_INSTANTIATE(ContextSelection)
KIVO_COMMAND_JSON_INSTANTIATE(AnswerUsage)
KIVO_COMMAND_JSON_INSTANTIATE(Citation)
KIVO_COMMAND_JSON_INSTANTIATE(ProposedEdit)
KIVO_COMMAND_JSON_INSTANTIATE(AssistantContext)
KIVO_COMMAND_JSON_INSTANTIATE(AssistantAnswer)
KIVO_COMMAND_JSON_INSTANTIATE(CommandParams)
KIVO_COMMAND_JSON_INSTANTIATE(CommandErrorPayload)
KIVO_COMMAND_JSON_INSTANTIATE(CommandResult)
KIVO_COMMAND_JSON_INSTANTIATE(CommandRequest)
KIVO_COMMAND_JSON_INSTANTIATE(CommandResponse)
KIVO_COMMAND_JSON_INSTANTIATE(CommandProgress)
KIVO_COMMAND_JSON_INSTANTIATE(CommandMethod)
KIVO_COMMAND_JSON_INSTANTIATE(CommandChannel)
KIVO_COMMAND_JSON_INSTANTIATE(CommandPhase)

#undef KIVO_COMMAND_JSON_INSTANTIATE

}  // namespace CommandJSON
}  // namespace kivo
