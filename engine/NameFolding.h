// Whether a file system may take one name for another entry's (letter case
// folded), so that a look by name can meet another file than the one named.
#pragma once

namespace quillfen {

// Whether the file system of the open folder `fd` may take a name for another
// entry's (letter case folded, as FAT, exFAT, NTFS and network file systems
// may): not the common Linux ones, unless the folder is marked
// case-insensitive (ext4, f2fs, tmpfs). True when it cannot be told.
bool MayFoldNames(int fd);
// MayFoldNames where the kind of the file system (statfs's f_type) is known.
bool MayFoldNamesOn(int fd, unsigned long fsType);

// Whether the file system of the open folder `fd` folds letter case there,
// tried where MayFoldNames cannot rule it out: a temporary file is made in
// the folder and looked up under its name in capitals, then removed (a
// share's server may fold names or not whatever its file system's kind).
// True when it cannot be tried (a folder that cannot be written).
bool FoldsLetterCase(int fd);

}  // namespace quillfen
