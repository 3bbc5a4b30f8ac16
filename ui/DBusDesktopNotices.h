// Desktop notices through the session bus's notification service
// (org.freedesktop.Notifications), as every Linux desktop provides it.
#pragma once

#include <QString>

#include "ui/DesktopNotices.h"

class DBusDesktopNotices : public DesktopNotices {
 public:
  // Sends the notice on the session bus named by DBUS_SESSION_BUS_ADDRESS, or
  // the user's bus in XDG_RUNTIME_DIR; without either (cron, a system service)
  // it does nothing, and it never starts a bus of its own. The call is sent
  // without waiting for the service's answer; a round trip to the bus itself
  // makes sure it has left before the program ends (at most two seconds).
  void Notify(const std::string& summary, const std::string& body) override;

  // `text` with the characters notification markup gives a meaning to
  // (& < >) written as entities, so that a set name shows as typed.
  static QString PlainText(const std::string& text);
};
