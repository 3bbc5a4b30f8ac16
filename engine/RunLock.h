// One backup run at a time per settings file.
#pragma once

#include <string>
#include <string_view>

#include "engine/Status.h"

namespace quillfen {

// An advisory lock on "Quillfen.lock" beside the settings file, held while a
// run works, so that a run started by cron while the last one still works
// (or one from the window while cron's works) does not work on the same sets
// at the same time. The system drops the lock when the holder ends, however
// it ends: a run that was killed leaves nothing stale behind.
class RunLock {
 public:
  // Takes the lock for the settings file at `settingsPath`, without waiting.
  // busy() tells whether another run holds it. Where the lock file cannot be
  // made or locked (a read-only folder, a file system without locks) the run
  // may go on unguarded: status() says why, and busy() is false.
  explicit RunLock(std::string_view settingsPath);
  ~RunLock();
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;

  bool busy() const { return busy_; }
  bool held() const { return fd_ >= 0 && !busy_; }
  const Status& status() const { return status_; }
  const std::string& path() const { return path_; }

  // "<settings folder>/Quillfen.lock".
  static std::string PathBeside(std::string_view settingsPath);

 private:
  std::string path_;
  int fd_ = -1;
  bool busy_ = false;
  Status status_ = Status::Ok();
};

}  // namespace quillfen
