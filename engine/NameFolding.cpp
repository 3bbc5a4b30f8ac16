#include "engine/NameFolding.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "engine/TemporaryFiles.h"

namespace quillfen {

bool MayFoldNames(int fd) {
  struct statfs fs;
  if (fstatfs(fd, &fs) != 0) return true;
  return MayFoldNamesOn(fd, static_cast<unsigned long>(fs.f_type));
}

bool MayFoldNamesOn(int fd, unsigned long fsType) {
  switch (fsType) {
    case EXT4_SUPER_MAGIC:
    case F2FS_SUPER_MAGIC:
    case TMPFS_MAGIC: {
      int flags = 0;
      if (ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) return (flags & FS_CASEFOLD_FL) != 0;
      // No flags here at all: no case-insensitive folders either.
      return errno != ENOTTY && errno != EINVAL && errno != EOPNOTSUPP;
    }
    case BTRFS_SUPER_MAGIC:
    case XFS_SUPER_MAGIC:
    case OVERLAYFS_SUPER_MAGIC:
    case NILFS_SUPER_MAGIC:
    case REISERFS_SUPER_MAGIC:
    case 0x2fc12fc1:  // ZFS
    case 0xca451a4e:  // bcachefs
      return false;
    default:
      return true;
  }
}

bool FoldsLetterCase(int fd) {
  if (!MayFoldNames(fd)) return false;
  const std::string name = NewTemporaryName();
  std::string capitals = name;
  for (char& c : capitals) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  const int made = openat(fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (made < 0) return true;
  close(made);
  struct stat st;
  const bool folds = fstatat(fd, capitals.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
  unlinkat(fd, name.c_str(), 0);
  return folds;
}

}  // namespace quillfen
