#include "engine/RunLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "engine/Path.h"

namespace quillfen {

std::string OneLine(std::string_view text) {
  std::string line;
  line.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      line += escaped;
    } else {
      line += c;
    }
  }
  return line;
}

namespace {

// "yyyy-MM-dd HH:mm:ss", every line the same width.
std::string Stamp(DateTime now) {
  const DateTimeParts t = DecodeDateTime(now);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return text;
}

}  // namespace

std::string RunLog::PathBeside(std::string_view settingsPath) {
  return JoinPath(FolderOfFull(settingsPath), "Quillfen.log");
}

RunLog::RunLog(std::string path, const Clock& clock, int64_t maxBytes)
    : path_(std::move(path)), clock_(clock), maxBytes_(maxBytes) {}

Status RunLog::status() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return status_;
}

Status RunLog::Open() {
  // Never through a link: a log beside a settings file in a shared folder
  // must not let another user aim the writes of a run as root elsewhere.
  fd_.reset(open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd_.valid()) return PathError(path_, errno);
  struct stat st;
  if (fstat(fd_.get(), &st) != 0) return PathError(path_, errno);
  if (!S_ISREG(st.st_mode)) {
    fd_.reset();
    return PathError(path_, Status::Code::kInvalid, "not a regular file");
  }
  size_ = st.st_size;
  return Status::Ok();
}

Status RunLog::Rotate() {
  fd_.reset();
  const std::string older = path_ + ".1";
  if (rename(path_.c_str(), older.c_str()) != 0 && errno != ENOENT) return PathError(older, errno);
  return Open();
}

void RunLog::Append(std::string_view text) {
  std::string line = Stamp(clock_.Now());
  line += ' ';
  line += OneLine(text);
  line += '\n';
  const std::lock_guard<std::mutex> lock(mutex_);
  if (!status_.ok()) return;
  if (!opened_) {
    opened_ = true;
    status_ = Open();
  }
  if (status_.ok() && size_ > 0 && size_ + static_cast<int64_t>(line.size()) > maxBytes_) {
    status_ = Rotate();
  }
  if (!status_.ok()) return;
  // A line longer than the limit is cut, so the file stays bounded.
  const size_t size = std::min(line.size(), static_cast<size_t>(maxBytes_));
  if (size < line.size()) line[size - 1] = '\n';
  size_t done = 0;
  while (done < size) {
    const ssize_t written = write(fd_.get(), line.data() + done, size - done);
    if (written < 0) {
      if (errno == EINTR) continue;
      status_ = PathError(path_, errno);
      return;
    }
    done += static_cast<size_t>(written);
  }
  size_ += static_cast<int64_t>(size);
}

}  // namespace quillfen
