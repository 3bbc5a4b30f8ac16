#include "engine/FileAgeCache.h"

#include <ctime>

#include "engine/Calendar.h"
#include "engine/DosAge.h"

namespace quillfen {
namespace {

int64_t FloorDiv(int64_t a, int64_t b) {
  const int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// Moments this far from 1970 go straight to PackFileAge: they clamp anyway,
// and the arithmetic above stays far from overflow.
constexpr int64_t kCachedRange = int64_t{1} << 40;

}  // namespace

bool LocalOffsetAt(int64_t unixSeconds, int64_t& offset) {
  const time_t t = static_cast<time_t>(unixSeconds);
  struct tm local;
  if (localtime_r(&t, &local) == nullptr) return false;
  const int64_t days =
      DaysFromCivil(int64_t{local.tm_year} + 1900, local.tm_mon + 1, local.tm_mday);
  offset = days * 86400 + local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec - unixSeconds;
  return true;
}

FileAgeValue PackLocalSeconds(int64_t localSeconds) {
  const int64_t days = FloorDiv(localSeconds, 86400);
  const int64_t inDay = localSeconds - days * 86400;
  const CivilDate date = CivilFromDays(days);
  return PackDosAge(date.year, date.month, date.day, inDay / 3600, inDay / 60 % 60, inDay % 60);
}

FileAgeCache::FileAgeCache() {
  entries_.fill(Entry{kEmpty, 0, false});
}

FileAgeValue FileAgeCache::Pack(int64_t unixSeconds) {
  if (unixSeconds <= -kCachedRange || unixSeconds >= kCachedRange) return PackFileAge(unixSeconds);
  const int64_t span = FloorDiv(unixSeconds, kSpan);
  Entry& entry = entries_[static_cast<size_t>(span) % entries_.size()];
  if (entry.span != span) {
    // The first moment of the next span is tested too, so that a change
    // falling on the span's last second (a leap second) is seen.
    int64_t first = 0;
    int64_t next = 0;
    const bool known =
        LocalOffsetAt(span * kSpan, first) && LocalOffsetAt(span * kSpan + kSpan, next);
    entry = Entry{span, first, known && first == next};
  }
  if (!entry.uniform) return PackFileAge(unixSeconds);
  return PackLocalSeconds(unixSeconds + entry.offset);
}

bool CopyDecided(bool haveSource, int64_t sourceSeconds, bool haveTarget, int64_t targetSeconds,
                 bool newer, FileAgeCache& ages) {
  if (!haveTarget) return newer ? haveSource : true;
  if (!haveSource || sourceSeconds == targetSeconds) return false;
  return CopyWanted(ages.Pack(sourceSeconds), ages.Pack(targetSeconds), newer);
}

}  // namespace quillfen
