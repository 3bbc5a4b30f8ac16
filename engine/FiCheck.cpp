#include "engine/FiCheck.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <ctime>
#include <string>

#include "engine/DosAge.h"
#include "engine/Path.h"

namespace quillfen {
FileAgeValue PackFileAge(int64_t unixSeconds) {
  time_t t = static_cast<time_t>(unixSeconds);
  struct tm local;
  if (localtime_r(&t, &local) == nullptr) {
    // Out of the calendar's range altogether.
    return unixSeconds < 0 ? kEarliestDosAge : kLatestDosAge;
  }
  int second = local.tm_sec > 59 ? 59 : local.tm_sec;  // a leap second stays in its minute
  return PackDosAge(int64_t{local.tm_year} + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                    local.tm_min, second);
}

FileAgeValue FileAge(std::string_view path) {
  struct stat st;
  if (stat(std::string(path).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return kNoFile;
  return PackFileAge(st.st_mtim.tv_sec);
}

bool NeedsCopy(std::string_view source, std::string_view target, bool newer) {
  // A folder that cannot be made shows in the copy that follows.
  if (target.find('/') != std::string_view::npos) {
    static_cast<void>(MakeFolderPath(FolderOfFull(target)));
  }

  return CopyWanted(FileAge(source), FileAge(target), newer);
}

bool CopyWanted(FileAgeValue sourceAge, FileAgeValue targetAge, bool newer) {
  if (newer) return sourceAge != kNoFile && sourceAge > targetAge;
  if (targetAge == kNoFile) return true;
  return sourceAge != kNoFile && sourceAge < targetAge;
}

}  // namespace quillfen
