#pragma once

// EditorDrafts: what the user typed or chose in the inspector and has not applied yet, owned by the
// window: form-field values by field name (the Form tab) and annotation contents by annotation id (the
// Page tab). A draft, once written, wins over the document's value wherever that field or annotation
// shows, and is never removed by applying it.
//
// Drafts belong to one document: they are all cleared when the user opens or restores another one, so
// text typed for one document never shows in, or is applied to, a same-named field of the next. They
// stay across the worker's restart, which brings the same document back. GUI thread only; nothing fails.

#include <map>
#include <optional>
#include <string>

#include <QObject>

namespace kivo {

class Workspace;

class EditorDrafts : public QObject {
    Q_OBJECT

public:
    // Follows `workspace` to know when another document replaced the open one.
    EditorDrafts(Workspace& workspace, QObject* parent = nullptr);

    std::optional<std::string> field(const std::string& name) const;
    void setField(const std::string& name, const std::string& value);
    std::optional<std::string> annotation(const std::string& id) const;
    void setAnnotation(const std::string& id, const std::string& contents);

    bool empty() const { return fields_.empty() && annotations_.empty(); }
    void clear();

signals:
    void fieldChanged(const std::string& name);
    void annotationChanged(const std::string& id);
    void cleared();

private:
    std::map<std::string, std::string> fields_;
    std::map<std::string, std::string> annotations_;
};

}  // namespace kivo
