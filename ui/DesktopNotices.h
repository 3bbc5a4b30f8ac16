// A notice to the user's desktop (a notification bubble), for what an
// unattended run wants the user to know. Tests record the notices.
#pragma once

#include <string>

class DesktopNotices {
 public:
  virtual ~DesktopNotices() = default;
  // Shows `summary` and `body` (plain UTF-8 text, lines separated by '\n')
  // if a notification service can be reached; never waits for the user, and
  // never for the service's answer.
  virtual void Notify(const std::string& summary, const std::string& body) = 0;
};
