// Local date-times as a count of days, and their text form in the settings file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillfen {

// A local date and time: whole days since 1899-12-30 00:00:00 plus the time of
// day as a fraction of a day. 0 is 1899-12-30 00:00:00 ("never").
using DateTime = double;

// The date-time of a local calendar date and time of day. Fields are not
// range-checked beyond what the encoding needs; callers pass valid values.
DateTime EncodeDateTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                        int millisecond = 0);

struct DateTimeParts {
  int year, month, day, hour, minute, second, millisecond;
};
// The calendar fields of `dt`, rounded to the nearest millisecond.
DateTimeParts DecodeDateTime(DateTime dt);

// Text form kept in the settings file: "yyyy/MM/dd H:mm:ss", or "yyyy/MM/dd"
// alone when the time of day is exactly 00:00:00 (e.g. "2010/04/01 9:05:07").
std::string FormatDateTime(DateTime dt);

// Reads the text form back. Accepts "y/M/d" and "y/M/d H:m:s" (also "H:m"),
// with or without leading zeros. Anything else, or an impossible date or time,
// gives nullopt.
std::optional<DateTime> ParseDateTime(std::string_view text);

// Whole hours between two date-times, sign ignored: |a - b| in hours,
// truncated toward zero. Computed on whole milliseconds so that exactly 24
// hours is 24, never 23.999.
int64_t WholeHoursBetween(DateTime a, DateTime b);

// The local time of a POSIX time (seconds and nanoseconds since the epoch).
DateTime DateTimeFromUnix(int64_t seconds, int64_t nanoseconds = 0);

// The source of "now". Windows and the backup run take it as an interface so
// that tests can set the time.
class Clock {
 public:
  virtual ~Clock() = default;
  // The current local date and time.
  virtual DateTime Now() const = 0;
};

// The system's clock, in local time.
class SystemClock : public Clock {
 public:
  DateTime Now() const override;
};

}  // namespace quillfen
