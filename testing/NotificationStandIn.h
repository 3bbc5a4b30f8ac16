// A private session bus (its own dbus-daemon) with a stand-in desktop
// notification service on it, which records every notice it is sent.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <memory>
#include <vector>

namespace quillfen::testing {

struct ReceivedNotice {
  QString appName;
  QString appIcon;
  QString summary;
  QString body;
  QVariantMap hints;
};

class NotificationStandIn : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

 public:
  // Starts the bus and registers the service on it; ok() tells whether both
  // worked, error() why not.
  NotificationStandIn();
  ~NotificationStandIn() override;

  bool ok() const { return error_.isEmpty(); }
  const QString& error() const { return error_; }
  // The bus's address, for DBUS_SESSION_BUS_ADDRESS.
  const QString& address() const { return address_; }
  const std::vector<ReceivedNotice>& notices() const { return notices_; }

 public slots:
  // The service's methods, as the desktop's notification daemon has them.
  uint Notify(const QString& appName, uint replacesId, const QString& appIcon,
              const QString& summary, const QString& body, const QStringList& actions,
              const QVariantMap& hints, int expireTimeout);
  QStringList GetCapabilities();

 private:
  QProcess daemon_;
  QString address_;
  QString error_;
  std::unique_ptr<QDBusConnection> bus_;
  std::vector<ReceivedNotice> notices_;
};

}  // namespace quillfen::testing
