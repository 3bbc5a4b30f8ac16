#include "ui/DBusDesktopNotices.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QFileInfo>
#include <QStringList>
#include <QVariantMap>

namespace {

// Whether a session bus is there to be reached, without starting one: libdbus
// would otherwise launch a new bus on an X display, where no notification
// service listens.
bool SessionBusNamed() {
  if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) return true;
  const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  return !runtime.isEmpty() && QFileInfo(runtime + QStringLiteral("/bus")).exists();
}

}  // namespace

QString DBusDesktopNotices::PlainText(const std::string& text) {
  return QString::fromStdString(text).toHtmlEscaped();
}

void DBusDesktopNotices::Notify(const std::string& summary, const std::string& body) {
  if (!SessionBusNamed()) return;
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return;
  QDBusMessage notify = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.Notifications"),
      QStringLiteral("/org/freedesktop/Notifications"),
      QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
  QVariantMap hints;
  hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("quillfen"));
  hints.insert(QStringLiteral("urgency"), QVariant::fromValue(static_cast<uchar>(1)));
  notify << QStringLiteral("Quillfen") << 0u << QStringLiteral("quillfen") << PlainText(summary)
         << PlainText(body) << QStringList() << hints << -1;
  // Sent, not called: the answer (the notice's number) is of no use, and a
  // service that hangs must not hold the program.
  if (!bus.send(notify)) return;
  QDBusMessage ping = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
      QStringLiteral("org.freedesktop.DBus.Peer"), QStringLiteral("Ping"));
  bus.call(ping, QDBus::Block, 2000);
}
