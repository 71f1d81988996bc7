#include "app/shell/announcer.hpp"

#include <QAccessible>

namespace kivo {

Announcer::Announcer(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("announcer"));
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
    // Not hidden: assistive technologies ignore what is hidden. One pixel that paints nothing.
    setGeometry(0, 0, 1, 1);
}

void Announcer::announce(const QString& text) {
    text_ = text;
    QAccessibleEvent changed(this, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&changed);
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
    QAccessibleAnnouncementEvent announcement(this, text);
    announcement.setPoliteness(QAccessible::AnnouncementPoliteness::Assertive);
    QAccessible::updateAccessibility(&announcement);
#endif
    emit announced(text);
}

}  // namespace kivo
