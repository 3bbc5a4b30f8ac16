// The log of what backups and selective copies did, kept beside the settings
// file so that a user who never sees standard error can still find which
// files failed and why: one line per event, "<local date-time> <text>",
// appended. It is bounded: once it would grow past its limit it becomes
// "<name>.1" (replacing the older one) and a new file is begun.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "engine/DateTime.h"
#include "engine/Status.h"
#include "engine/UniqueFd.h"

namespace quillfen {

// `text` as one line: control characters (a file name may hold a line
// break) written as \xNN, so that each report stays one line.
std::string OneLine(std::string_view text);

class RunLog {
 public:
  static constexpr int64_t kMaxBytes = int64_t{1} << 20;

  // The log that belongs to the settings file at `settingsPath`:
  // "Quillfen.log" in the same folder.
  static std::string PathBeside(std::string_view settingsPath);

  // A log at `path`, opened at the first Append; `clock` stamps the lines
  // and must outlive the log.
  RunLog(std::string path, const Clock& clock, int64_t maxBytes = kMaxBytes);

  // Appends "<date-time> <text>" as one line (one write, so that lines of
  // two programs appending at once never mix). Safe from any thread. A log
  // that cannot be written is given up after its first failure: the run it
  // records goes on, and status() says why.
  void Append(std::string_view text);

  const std::string& path() const { return path_; }
  // Ok, or the first failure to open or write the log.
  Status status() const;

 private:
  // Opens the file for appending; a link or anything but a regular file in
  // its place is refused.
  Status Open();
  // Moves a full log aside to "<path>.1" and begins a new one.
  Status Rotate();

  const std::string path_;
  const Clock& clock_;
  const int64_t maxBytes_;
  mutable std::mutex mutex_;
  UniqueFd fd_;
  int64_t size_ = 0;
  bool opened_ = false;
  Status status_ = Status::Ok();
};

}  // namespace quillfen
