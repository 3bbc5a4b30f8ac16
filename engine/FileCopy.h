// The copy every part of the program uses.
#pragma once

#include <string_view>

#include "engine/DeferredCloser.h"
#include "engine/Status.h"

namespace quillfen {

// Copies `source` onto `target`, overwriting it: content, last-write time (to
// the nanosecond) and permission bits. Writes a temporary file in the target's
// folder and renames it over the target, so the target is always either the
// old file or the complete new one; on failure the temporary file is removed
// and the old target is untouched. A link at `target` is replaced, never
// written through. Tries a reflink clone, then copy_file_range, then
// read/write. The target's folder must exist.
// Error message: "<source> -> <target>: <reason>".
Status CopyFile(std::string_view source, std::string_view target);

// CopyFile for files named relative to open folders (descriptors, O_PATH ones
// too, or AT_FDCWD): `sourceName` in `sourceFolder` onto `targetName` in
// `targetFolder`. `source` and `target` are the same files' full paths, for
// the error message and for a file system where the copy must go through a
// named temporary file. The copy is written unnamed and named when complete,
// so a copy stopped at any moment leaves no temporary file.
// With `closer`, a replaced target's last close is left to it (see
// DeferredCloser); a copy that runs out of space while replaced files wait
// there waits for them and is tried once more.
Status CopyFileAt(int sourceFolder, const char* sourceName, int targetFolder,
                  const char* targetName, std::string_view source, std::string_view target,
                  DeferredCloser* closer = nullptr);

// Flushes the file system holding `path` to disk (syncfs).
Status SyncFileSystem(std::string_view path);

}  // namespace quillfen
