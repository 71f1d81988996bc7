#pragma once

// The two desktop settings the editor follows, read from the settings portal
// (org.freedesktop.portal.Settings on the session bus): "color-scheme" of "org.freedesktop.appearance"
// and "enable-animations" of "org.gnome.desktop.interface". Values are read once when start() runs and
// then kept current from the portal's SettingChanged signal. Without a session bus, a portal or the
// setting, the value stays absent; nothing here throws.

#include <optional>

#include <QObject>
#include <QString>

class QDBusVariant;

namespace kivo {

class DesktopPortal : public QObject {
    Q_OBJECT

public:
    explicit DesktopPortal(QObject* parent = nullptr);

    // Reads both settings (each call waits at most half a second) and subscribes to changes.
    void start();

    std::optional<quint32> colorScheme() const { return colorScheme_; }
    std::optional<bool> animationsEnabled() const { return animationsEnabled_; }

signals:
    void changed();

private slots:
    // Connected by name: QtDBus in Qt 6.4 offers no pointer-to-member connect for bus signals.
    void onSettingChanged(const QString& group, const QString& key, const QDBusVariant& value);

private:
    bool store(const QString& group, const QString& key, const QVariant& value);

    std::optional<quint32> colorScheme_;
    std::optional<bool> animationsEnabled_;
};

}  // namespace kivo
