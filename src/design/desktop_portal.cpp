#include "design/desktop_portal.hpp"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>

namespace kivo {
namespace {

const QString service = QStringLiteral("org.freedesktop.portal.Desktop");
const QString path = QStringLiteral("/org/freedesktop/portal/desktop");
const QString settingsInterface = QStringLiteral("org.freedesktop.portal.Settings");
const QString appearanceGroup = QStringLiteral("org.freedesktop.appearance");
const QString colorSchemeKey = QStringLiteral("color-scheme");
const QString interfaceGroup = QStringLiteral("org.gnome.desktop.interface");
const QString animationsKey = QStringLiteral("enable-animations");

// A hung portal must not hold up the first window for long.
constexpr int readTimeoutMs = 500;

// Read() of the first portal version wraps the value in one variant more than the signal does.
QVariant unwrap(QVariant value) {
    for (int depth = 0; depth < 4 && value.canConvert<QDBusVariant>() &&
                        value.metaType() == QMetaType::fromType<QDBusVariant>();
         ++depth) {
        value = value.value<QDBusVariant>().variant();
    }
    return value;
}

}  // namespace

DesktopPortal::DesktopPortal(QObject* parent) : QObject(parent) {}

void DesktopPortal::start() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return;
    // The slot's argument type is matched by name, which works only once the type is registered.
    qRegisterMetaType<QDBusVariant>();
    bus.connect(service, path, settingsInterface, QStringLiteral("SettingChanged"), this,
                SLOT(onSettingChanged(QString, QString, QDBusVariant)));
    const std::pair<const QString*, const QString*> settings[] = {{&appearanceGroup, &colorSchemeKey},
                                                                  {&interfaceGroup, &animationsKey}};
    for (const auto& [group, key] : settings) {
        QDBusMessage call =
            QDBusMessage::createMethodCall(service, path, settingsInterface, QStringLiteral("Read"));
        call << *group << *key;
        const QDBusMessage reply = bus.call(call, QDBus::Block, readTimeoutMs);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
            // No portal at all: the second read would only wait again.
            if (reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
                reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NoReply"))
                break;
            continue;
        }
        store(*group, *key, reply.arguments().constFirst());
    }
}

void DesktopPortal::onSettingChanged(const QString& group, const QString& key, const QDBusVariant& value) {
    if (store(group, key, value.variant())) emit changed();
}

bool DesktopPortal::store(const QString& group, const QString& key, const QVariant& wrapped) {
    const QVariant value = unwrap(wrapped);
    if (group == appearanceGroup && key == colorSchemeKey) {
        bool ok = false;
        const quint32 scheme = value.toUInt(&ok);
        colorScheme_ = ok ? std::optional<quint32>(scheme) : std::nullopt;
        return true;
    }
    if (group == interfaceGroup && key == animationsKey) {
        animationsEnabled_ = value.metaType() == QMetaType::fromType<bool>()
                                 ? std::optional<bool>(value.toBool())
                                 : std::nullopt;
        return true;
    }
    return false;
}

}  // namespace kivo
