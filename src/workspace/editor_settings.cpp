#include "workspace/editor_settings.hpp"

#include <cmath>
#include <cstdlib>

namespace kivo {

EditorSettings::EditorSettings(QObject* parent)
    : QObject(parent), store_(QSettings::IniFormat, QSettings::UserScope, "kivo-pdf", suiteName()) {}

QString EditorSettings::suiteName() {
    const char* suite = std::getenv("KIVO_PDF_DEFAULTS_SUITE");
    const QString name = suite != nullptr ? QString::fromUtf8(suite) : QString();
    if (name.isEmpty() || name.contains('/') || name.startsWith('.')) return "kivo-pdf";
    return name;
}

std::optional<std::string> EditorSettings::text(const char* key) const {
    const QVariant value = store_.value(key);
    if (!value.isValid()) return std::nullopt;
    return value.toString().toStdString();
}

void EditorSettings::setText(const char* key, const std::string& value) {
    store_.setValue(key, QString::fromStdString(value));
    emit changed();
}

std::optional<std::string> EditorSettings::assistantProvider() const { return text("assistantProvider"); }

void EditorSettings::setAssistantProvider(const std::string& provider) {
    setText("assistantProvider", provider);
}

std::optional<std::string> EditorSettings::assistantModel() const { return text("assistantModel"); }

void EditorSettings::setAssistantModel(const std::string& model) { setText("assistantModel", model); }

double EditorSettings::interfaceTextScale() const {
    bool ok = false;
    const double scale = store_.value("interfaceTextScale").toDouble(&ok);
    if (!ok || !std::isfinite(scale) || scale < 0.5 || scale > 4.0) return 1.0;
    return scale;
}

void EditorSettings::setInterfaceTextScale(double scale) {
    store_.setValue("interfaceTextScale", scale);
    emit changed();
}

std::string EditorSettings::inspectorTab() const { return text("inspectorTab").value_or("assistant"); }

void EditorSettings::setInspectorTab(const std::string& tab) { setText("inspectorTab", tab); }

}  // namespace kivo
