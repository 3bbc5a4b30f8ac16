// Reading the raw entries of an open folder: straight from the system, a
// batch at a time, without a stream object or a copy of any name.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <type_traits>

namespace quillfen {

// Reads of the open folder `folderFd` from now on leave its access time as it
// was (O_NOATIME), where this process may ask that (the folder's owner, or
// root): a run that only looks leaves nothing to write back, so the flush
// before its end time has nothing to do. Elsewhere the time is kept as ever.
inline void LeaveAccessTimeAlone(int folderFd) {
  if (fcntl(folderFd, F_SETFL, O_NOATIME) != 0) {
    // Not this process's folder: its access time is updated as usual.
  }
}

// Calls onEntry(entry) with the `const dirent64&` of every entry of the open
// folder `folderFd`, "." and ".." included, in the order the folder gives
// them, from where its reading stands (a caller that reads a folder again
// goes back to its start first). The folder's access time is left alone
// first (LeaveAccessTimeAlone). A read interrupted by a signal is made again.
// When onEntry returns bool, false stops the reading there; the folder's
// position then stands somewhere past that entry. Returns 0 when the folder was read to its
// end or onEntry stopped it, else the errno that stopped the reading (EBADF
// for a descriptor not open for reading, ENOTDIR for no folder).
template <typename OnEntry>
int ForEachFolderEntry(int folderFd, OnEntry&& onEntry) {
  LeaveAccessTimeAlone(folderFd);
  alignas(8) char buffer[32768];
  for (;;) {
    const ssize_t n = getdents64(folderFd, buffer, sizeof buffer);
    if (n == 0) return 0;
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    for (ssize_t pos = 0; pos < n;) {
      const auto* entry = reinterpret_cast<const struct dirent64*>(buffer + pos);
      pos += entry->d_reclen;
      if constexpr (std::is_same_v<decltype(onEntry(*entry)), bool>) {
        if (!onEntry(*entry)) return 0;
      } else {
        onEntry(*entry);
      }
    }
  }
}

}  // namespace quillfen
