#include "engine/OpenFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "engine/UniqueFd.h"

namespace quillfen {

int OpenRegularFileAt(int folderFd, const char* name, struct stat& st) {
  // The name itself, not a link: a regular file (a device node can only be
  // made by root, a FIFO does not block with O_NONBLOCK). Anything else is
  // closed unread.
  int fd = openat(folderFd, name, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
  if (fd >= 0) {
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) return fd;
    const int err = fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    close(fd);
    errno = err;
    return -1;
  }
  if (errno != ELOOP) return -1;
  // A link, which may name anything: a handle that only names what it leads
  // to acts on nothing.
  UniqueFd path(openat(folderFd, name, O_PATH | O_CLOEXEC));
  if (!path.valid()) return -1;
  if (fstat(path.get(), &st) != 0) return -1;
  if (!S_ISREG(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return -1;
  }
  // The same file opened for reading through the handle, so that nothing
  // swapped in at the name meanwhile is opened instead.
  char procName[40];
  std::snprintf(procName, sizeof procName, "/proc/self/fd/%d", path.get());
  fd = open(procName, O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0 && errno == ENOENT) {
    // No /proc: open by name without blocking on a FIFO, and check again.
    fd = openat(folderFd, name, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    struct stat now;
    if (fd >= 0 && (fstat(fd, &now) != 0 || !S_ISREG(now.st_mode))) {
      close(fd);
      errno = EINVAL;
      return -1;
    }
  }
  return fd;
}

}  // namespace quillfen
