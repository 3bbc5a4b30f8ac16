// A calendar time packed in the DOS date-time layout, the form in which the
// program compares file ages: bits 25 and up year-1980, 21-24 month, 16-20
// day, 11-15 hour, 5-10 minute, 0-4 seconds/2. Held in 64 bits, so that ages
// after 2044 (bit 31 set) still order after earlier ones.
#pragma once

#include <cstdint>

namespace quillfen {

// The fields in their bits, unchecked.
constexpr int64_t DosFields(int64_t year, int64_t month, int64_t day, int64_t hour, int64_t minute,
                            int64_t second) {
  return ((year - 1980) << 25) | (month << 21) | (day << 16) | (hour << 11) | (minute << 5) |
         (second / 2);
}

// The ends of the layout: 1980-01-01 00:00:00 and 2107-12-31 23:59:58.
constexpr int64_t kEarliestDosAge = DosFields(1980, 1, 1, 0, 0, 0);
constexpr int64_t kLatestDosAge = DosFields(2107, 12, 31, 23, 59, 58);

// The packed time of the given fields, taken as they are (no check of the
// day against the month). Only the years 1980 to 2107 fit: a year before
// counts as kEarliestDosAge, a year after as kLatestDosAge, whatever the
// other fields hold.
constexpr int64_t PackDosAge(int64_t year, int64_t month, int64_t day, int64_t hour, int64_t minute,
                             int64_t second) {
  if (year < 1980) return kEarliestDosAge;
  if (year > 2107) return kLatestDosAge;
  return DosFields(year, month, day, hour, minute, second);
}

}  // namespace quillfen
