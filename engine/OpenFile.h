// Opening a file for reading only when it is a regular file.
#pragma once

#include <sys/stat.h>

namespace quillfen {

// Opens `name` in the folder `folderFd` (or AT_FDCWD) for reading, following a
// link at the name, but only when it is a regular file: a FIFO, a socket or a
// device (which a link may name, and whose opening alone can act, as a
// watchdog or a tape drive does) is looked at, never opened. Fills `st` with
// the file's status. Returns the descriptor, or -1 with errno set (EISDIR for
// a folder, EINVAL for anything else that is no regular file).
int OpenRegularFileAt(int folderFd, const char* name, struct stat& st);

}  // namespace quillfen
