#pragma once

// The editor's user defaults: one INI store with typed getters and one change signal. No other code
// reads QSettings by string keys.

#include <QObject>
#include <QSettings>

#include <optional>
#include <string>

namespace kivo {

class EditorSettings : public QObject {
    Q_OBJECT

public:
    // The store of organisation "kivo-pdf" and application suiteName(), in the user's config folder.
    explicit EditorSettings(QObject* parent = nullptr);

    // KIVO_PDF_DEFAULTS_SUITE when it is set, not empty, holds no "/" and does not start with ".";
    // otherwise "kivo-pdf".
    static QString suiteName();

    // The chosen assistant provider and model; nothing when none was ever stored.
    std::optional<std::string> assistantProvider() const;
    void setAssistantProvider(const std::string& provider);
    std::optional<std::string> assistantModel() const;
    void setAssistantModel(const std::string& model);

    // The interface text scale; 1.0 when none was stored, or when the stored value is no number
    // between 0.5 and 4 (a hand-edited file must not make the window unusable).
    double interfaceTextScale() const;
    void setInterfaceTextScale(double scale);
    // The raw value of the inspector tab last chosen, "assistant" when none was stored. The value
    // is returned as stored: the window decides what an unknown one shows.
    std::string inspectorTab() const;
    void setInspectorTab(const std::string& tab);

signals:
    void changed();

private:
    std::optional<std::string> text(const char* key) const;
    void setText(const char* key, const std::string& value);

    QSettings store_;
};

}  // namespace kivo
