// File age and the decision whether a file is to be copied onto another.
#pragma once

#include <cstdint>
#include <string_view>

namespace quillfen {

// A file's last-write time in local time packed in the DOS date-time layout
// (DosAge.h), in 64 bits so that ages order by real time after 2044. Times
// before 1980 count as 1980-01-01 00:00:00, times after 2107 as 2107-12-31
// 23:59:58. kNoFile when no regular file is at the path (nothing there, a
// folder, a dangling link).
using FileAgeValue = int64_t;
constexpr FileAgeValue kNoFile = -1;

FileAgeValue FileAge(std::string_view path);

// The packed age of a POSIX time, with the clamping above.
FileAgeValue PackFileAge(int64_t unixSeconds);

// Whether `source` is to be copied onto `target`.
// First, always: the folder part of `target` (up to its last '/') is created
// when missing, all missing parents too, outermost first (MakeFolderPath);
// failures are silent. Paths are looked up whole: the backup run and the
// selective copy decide through CopyPlaces instead, which never follows a
// link in the copy-to tree.
// newer == true (newer test): source exists and its age > target's age
// (a missing target counts -1).
// newer == false (keep-original test): target missing; or source exists and
// its age < target's age.
bool NeedsCopy(std::string_view source, std::string_view target, bool newer);

// The answer of NeedsCopy from the two files' ages.
bool CopyWanted(FileAgeValue sourceAge, FileAgeValue targetAge, bool newer);

}  // namespace quillfen
