#include "engine/NameFolding.h"

#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/vfs.h>

#include <cerrno>

namespace quillfen {

bool MayFoldNames(int fd) {
  struct statfs fs;
  if (fstatfs(fd, &fs) != 0) return true;
  switch (static_cast<unsigned long>(fs.f_type)) {
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

}  // namespace quillfen
