#include "engine/FileAgeCache.h"

#include <ctime>

namespace quillfen {
namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (month 1-12).
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t yoe = year - era * 400;
  const int64_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

// The date of a day count since 1970-01-01.
void CivilFromDays(int64_t days, int64_t& year, int64_t& month, int64_t& day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  day = doy - (153 * mp + 2) / 5 + 1;
  month = mp < 10 ? mp + 3 : mp - 9;
  year = yoe + era * 400 + (month <= 2 ? 1 : 0);
}

FileAgeValue PackFields(int64_t year, int64_t month, int64_t day, int64_t hour, int64_t minute,
                        int64_t second) {
  return ((year - 1980) << 25) | (month << 21) | (day << 16) | (hour << 11) | (minute << 5) |
         (second / 2);
}

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
  int64_t year = 0;
  int64_t month = 0;
  int64_t day = 0;
  CivilFromDays(days, year, month, day);
  if (year < 1980) return PackFields(1980, 1, 1, 0, 0, 0);
  if (year > 2107) return PackFields(2107, 12, 31, 23, 59, 58);
  return PackFields(year, month, day, inDay / 3600, inDay / 60 % 60, inDay % 60);
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

}  // namespace quillfen
