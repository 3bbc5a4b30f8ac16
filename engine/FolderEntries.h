// Reading the entries of one open folder as listing sees them: folders, and
// files (links to regular files included) that are not the program's
// temporary files.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include "engine/FolderRead.h"
#include "engine/TemporaryFiles.h"

namespace quillfen {

// What a directory entry is, as far as listing cares.
enum class EntryKind { kOther, kFolder, kFile };

inline bool IsDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Classifies the entry `name` of the open folder `folderFd`, whose type the
// folder reported as `type`. Only entries of unknown type, and links, cost a
// stat: a link counts as a file when it leads to a regular file, and never as
// a folder (links to folders are not followed, which also rules out loops).
inline EntryKind Classify(int folderFd, const char* name, unsigned char type) {
  struct stat st;
  switch (type) {
    case DT_DIR:
      return EntryKind::kFolder;
    case DT_REG:
      return EntryKind::kFile;
    case DT_LNK:
      return fstatat(folderFd, name, &st, 0) == 0 && S_ISREG(st.st_mode) ? EntryKind::kFile
                                                                         : EntryKind::kOther;
    case DT_UNKNOWN:
      if (fstatat(folderFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return EntryKind::kOther;
      if (S_ISDIR(st.st_mode)) return EntryKind::kFolder;
      if (S_ISREG(st.st_mode)) return EntryKind::kFile;
      if (S_ISLNK(st.st_mode) && fstatat(folderFd, name, &st, 0) == 0 && S_ISREG(st.st_mode)) {
        return EntryKind::kFile;
      }
      return EntryKind::kOther;
    default:
      return EntryKind::kOther;
  }
}

// Calls visit(kind, name) for every entry of the open folder `folderFd` worth
// listing: folders, and files that are not the program's temporary files.
// Returns 0, or the errno that stopped the reading.
template <typename Visit>
int ReadFolder(int folderFd, Visit&& visit) {
  return ForEachFolderEntry(folderFd, [&](const struct dirent64& entry) {
    const char* name = entry.d_name;
    if (IsDotOrDotDot(name)) return;
    const EntryKind kind = Classify(folderFd, name, entry.d_type);
    if (kind == EntryKind::kOther) return;
    if (kind == EntryKind::kFile && name[0] == '.' && IsTemporaryName(name)) return;
    visit(kind, name);
  });
}

}  // namespace quillfen
