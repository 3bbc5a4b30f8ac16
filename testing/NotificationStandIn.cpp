#include "testing/NotificationStandIn.h"

#include <QDBusConnectionInterface>

namespace quillfen::testing {

namespace {
const QString kConnectionName = QStringLiteral("quillfen-notification-stand-in");
}

NotificationStandIn::NotificationStandIn() {
  daemon_.start(QStringLiteral("dbus-daemon"),
                {QStringLiteral("--session"), QStringLiteral("--nofork"),
                 QStringLiteral("--nopidfile"), QStringLiteral("--print-address=1")});
  if (!daemon_.waitForStarted(10000)) {
    error_ =
        QStringLiteral("cannot start dbus-daemon (package dbus-daemon): ") + daemon_.errorString();
    return;
  }
  while (!daemon_.canReadLine() && daemon_.waitForReadyRead(10000)) {
  }
  address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
  if (address_.isEmpty()) {
    error_ = QStringLiteral("dbus-daemon printed no address");
    return;
  }
  bus_ =
      std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(address_, kConnectionName));
  if (!bus_->isConnected() ||
      !bus_->registerObject(QStringLiteral("/org/freedesktop/Notifications"), this,
                            QDBusConnection::ExportAllSlots) ||
      !bus_->registerService(QStringLiteral("org.freedesktop.Notifications"))) {
    error_ = QStringLiteral("cannot offer the notification service on the private bus");
  }
}

NotificationStandIn::~NotificationStandIn() {
  bus_.reset();
  QDBusConnection::disconnectFromBus(kConnectionName);
  daemon_.terminate();
  if (!daemon_.waitForFinished(5000)) daemon_.kill();
  daemon_.waitForFinished(5000);
}

uint NotificationStandIn::Notify(const QString& appName, uint, const QString& appIcon,
                                 const QString& summary, const QString& body, const QStringList&,
                                 const QVariantMap& hints, int) {
  notices_.push_back({appName, appIcon, summary, body, hints});
  return static_cast<uint>(notices_.size());
}

QStringList NotificationStandIn::GetCapabilities() {
  return {QStringLiteral("body")};
}

}  // namespace quillfen::testing
