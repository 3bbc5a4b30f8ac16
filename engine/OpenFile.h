// Opening a file for reading only when it is a regular file.
#pragma once

#include <sys/stat.h>

namespace quillfen {

// Opens `name` in the folder `folderFd` (or AT_FDCWD) for reading, following a
// link at the name, but only when it is a regular file. What a link names is
// looked at before it is opened, so that a FIFO, a socket or a device (whose
// opening alone can act, as a watchdog or a tape drive does) is never opened
// through one; a FIFO at the name itself is opened without waiting and closed
// unread (a device node can be made by root only). Fills `st` with
// the file's status. Returns the descriptor, or -1 with errno set (EISDIR for
// a folder, EINVAL for anything else that is no regular file).
int OpenRegularFileAt(int folderFd, const char* name, struct stat& st);

}  // namespace quillfen
