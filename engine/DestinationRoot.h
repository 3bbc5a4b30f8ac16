// Whether a missing destination folder may be made. A destination on a USB
// stick or a share that is not mounted looks like a missing folder on the
// local disk: making it there would back the set up onto the wrong disk and
// report success. So a missing destination root is made only where that
// cannot mean a medium or share that is not there.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "engine/Status.h"

namespace quillfen {

// Where media and shares are mounted: the system's table of file systems to
// mount, the table of those mounted now, and the folders under which desktops
// mount removable media.
struct MountTables {
  std::string fstab = "/etc/fstab";
  std::string mountInfo = "/proc/self/mountinfo";
  std::vector<std::string> mediaFolders = {"/media", "/run/media", "/mnt"};
};

// Ok when the destination root `root` is a folder, or is missing and may be
// made with its missing parents. It must not be made:
//  - when the set was backed up into it before (`backedUpBefore`): the root
//    is gone entirely, which is what an absent medium or share looks like (a
//    user who wants a fresh start makes the folder);
//  - when the nearest folder of its path that exists lies on no file system
//    mounted below a mount point of the fstab or a media folder: from that
//    folder upwards, a mount point of the fstab that is not mounted, or a
//    media folder itself, comes before any folder where something is mounted
//    now ("/media/me" while the stick that is mounted at "/media/me/STICK"
//    is not there).
Status MayMakeDestinationRoot(std::string_view root, bool backedUpBefore,
                              const MountTables& tables = MountTables());

// The mount points a table lists, with its escapes (\040 for a space)
// decoded: the second field of each fstab line (`fieldIndex` 1), or the
// fifth of each mountinfo line (`fieldIndex` 4). Empty when it cannot be read.
std::vector<std::string> MountPointsIn(const std::string& table, size_t fieldIndex);

}  // namespace quillfen
