#include "engine/DateTime.h"

#include <time.h>

#include <cmath>
#include <cstdio>

#include "engine/Calendar.h"

namespace quillfen {
namespace {

constexpr int64_t kMsPerDay = 86400000;

// Day 0 of the date-time count, 1899-12-30, as days from 1970-01-01.
const int64_t kEpochOffset = DaysFromCivil(1899, 12, 30);

bool IsLeap(int y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysInMonth(int y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

// Calendar day (relative to day 0) and millisecond of the day of `dt`. Before
// day 0 the fraction counts forward from the start of the day, as in the
// encoding: -1.25 is 1899-12-29 06:00.
void SplitDayMs(DateTime dt, int64_t& day, int64_t& ms) {
  const double whole = std::trunc(dt);
  day = static_cast<int64_t>(whole);
  ms = std::llround(std::fabs(dt - whole) * kMsPerDay);
  if (ms >= kMsPerDay) {
    ++day;
    ms -= kMsPerDay;
  }
}

// A point in time as milliseconds on a single line, for differences.
int64_t LinearMs(DateTime dt) {
  int64_t day, ms;
  SplitDayMs(dt, day, ms);
  return day * kMsPerDay + ms;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// Reads 1 to 9 decimal digits at text[pos]; advances pos.
bool ReadNumber(std::string_view text, size_t& pos, int& value) {
  size_t start = pos;
  int64_t v = 0;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 9) {
    v = v * 10 + (text[pos] - '0');
    ++pos;
  }
  if (pos == start || (pos < text.size() && text[pos] >= '0' && text[pos] <= '9')) return false;
  value = static_cast<int>(v);
  return true;
}

bool Expect(std::string_view text, size_t& pos, char c) {
  if (pos < text.size() && text[pos] == c) {
    ++pos;
    return true;
  }
  return false;
}

}  // namespace

DateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                        int millisecond) {
  const double date = static_cast<double>(DaysFromCivil(year, month, day) - kEpochOffset);
  const double time =
      static_cast<double>(((hour * 60 + minute) * 60 + second) * 1000 + millisecond) / kMsPerDay;
  return date < 0 ? date - time : date + time;
}

DateTimeParts DecodeDateTime(DateTime dt) {
  int64_t day, ms;
  SplitDayMs(dt, day, ms);
  DateTimeParts p{};
  const CivilDate date = CivilFromDays(day + kEpochOffset);
  p.year = static_cast<int>(date.year);
  p.month = static_cast<int>(date.month);
  p.day = static_cast<int>(date.day);
  p.millisecond = static_cast<int>(ms % 1000);
  const int64_t secs = ms / 1000;
  p.second = static_cast<int>(secs % 60);
  p.minute = static_cast<int>(secs / 60 % 60);
  p.hour = static_cast<int>(secs / 3600);
  return p;
}

std::string FormatDateTime(DateTime dt) {
  int64_t day, ms;
  SplitDayMs(dt, day, ms);
  int64_t secs = (ms + 500) / 1000;  // whole seconds; 23:59:59.5 becomes the next day
  if (secs >= 86400) {
    ++day;
    secs -= 86400;
  }
  const CivilDate date = CivilFromDays(day + kEpochOffset);
  const int y = static_cast<int>(date.year), mo = static_cast<int>(date.month),
            d = static_cast<int>(date.day);
  char buf[64];
  if (secs == 0) {
    std::snprintf(buf, sizeof buf, "%04d/%02d/%02d", y, mo, d);
  } else {
    std::snprintf(buf, sizeof buf, "%04d/%02d/%02d %d:%02d:%02d", y, mo, d,
                  static_cast<int>(secs / 3600), static_cast<int>(secs / 60 % 60),
                  static_cast<int>(secs % 60));
  }
  return buf;
}

std::optional<DateTime> ParseDateTime(std::string_view text) {
  size_t begin = 0, end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  text = text.substr(begin, end - begin);

  size_t pos = 0;
  int y, mo, d, h = 0, mi = 0, s = 0;
  if (!ReadNumber(text, pos, y) || !Expect(text, pos, '/') || !ReadNumber(text, pos, mo) ||
      !Expect(text, pos, '/') || !ReadNumber(text, pos, d)) {
    return std::nullopt;
  }
  if (pos < text.size()) {
    if (!IsBlank(text[pos])) return std::nullopt;
    while (pos < text.size() && IsBlank(text[pos])) ++pos;
    if (!ReadNumber(text, pos, h) || !Expect(text, pos, ':') || !ReadNumber(text, pos, mi)) {
      return std::nullopt;
    }
    if (pos < text.size() && (!Expect(text, pos, ':') || !ReadNumber(text, pos, s))) {
      return std::nullopt;
    }
    if (pos != text.size()) return std::nullopt;
  }
  if (y < 1 || y > 9999 || mo < 1 || mo > 12 || d < 1 || d > DaysInMonth(y, mo)) {
    return std::nullopt;
  }
  if (h > 23 || mi > 59 || s > 59) return std::nullopt;
  return EncodeDateTime(y, mo, d, h, mi, s);
}

int64_t WholeHoursBetween(DateTime a, DateTime b) {
  int64_t diff = LinearMs(a) - LinearMs(b);
  if (diff < 0) diff = -diff;
  return diff / 3600000;
}

DateTime DateTimeFromUnix(int64_t seconds, int64_t nanoseconds) {
  seconds += nanoseconds / 1000000000;
  nanoseconds %= 1000000000;
  if (nanoseconds < 0) {
    nanoseconds += 1000000000;
    --seconds;
  }
  const time_t t = static_cast<time_t>(seconds);
  struct tm tm {};
  if (localtime_r(&t, &tm) == nullptr) {
    // Out of the range localtime handles: use the time as UTC.
    const int64_t days = (seconds >= 0 ? seconds : seconds - 86399) / 86400;
    const double frac = static_cast<double>(seconds - days * 86400) / 86400.0;
    return static_cast<double>(days - kEpochOffset) + frac;
  }
  const int sec = tm.tm_sec > 59 ? 59 : tm.tm_sec;  // a leap second stays in its minute
  const DateTime whole =
      EncodeDateTime(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, sec);
  const double frac = static_cast<double>(nanoseconds) / 1e9 / 86400.0;
  return whole < 0 ? whole - frac : whole + frac;
}

DateTime SystemClock::Now() const {
  struct timespec ts {};
  clock_gettime(CLOCK_REALTIME, &ts);
  return DateTimeFromUnix(ts.tv_sec, ts.tv_nsec);
}

}  // namespace quillfen
