#include "engine/RunLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "engine/Path.h"

namespace quillfen {

std::string RunLock::PathBeside(std::string_view settingsPath) {
  return JoinPath(FolderOfFull(settingsPath), "Quillfen.lock");
}

RunLock::RunLock(std::string_view settingsPath) : path_(PathBeside(settingsPath)) {
  // Never through a link: a lock file planted as a link must not make the
  // run open (or create) a file elsewhere.
  fd_ = open(path_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
  if (fd_ < 0) {
    status_ = PathError(path_, errno);
    return;
  }
  struct stat st;
  if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
    status_ = PathError(path_, Status::Code::kInvalid, "not a regular file");
    close(fd_);
    fd_ = -1;
    return;
  }
  while (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    busy_ = errno == EWOULDBLOCK;
    status_ = PathError(path_, errno);
    if (!busy_) {
      close(fd_);
      fd_ = -1;
    }
    return;
  }
}

RunLock::~RunLock() {
  if (fd_ >= 0) close(fd_);
}

}  // namespace quillfen
