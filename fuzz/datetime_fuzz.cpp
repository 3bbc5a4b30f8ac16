// Fuzzes the date-time text reader and the date arithmetic: any text parses
// or is refused without a crash; an accepted text formats into a form that
// reads back as the same moment; file ages of any POSIX time stay in range.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "engine/DateTime.h"
#include "engine/FiCheck.h"

namespace {

// Stops the run with the failed condition named, so that libFuzzer keeps the input.
#define Check(condition)                                                                 \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (false)

// 0001-01-01 and 9999-12-31 as day counts.
constexpr double kFirstDay = -693593.0;
constexpr double kLastDay = 2958465.0;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const std::optional<quillfen::DateTime> parsed = quillfen::ParseDateTime(text);
  if (parsed) {
    Check(std::isfinite(*parsed));
    const std::string formatted = quillfen::FormatDateTime(*parsed);
    const std::optional<quillfen::DateTime> again = quillfen::ParseDateTime(formatted);
    Check(again.has_value());
    Check(quillfen::WholeHoursBetween(*again, *parsed) == 0);
    Check(std::fabs(*again - *parsed) * 86400.0 < 0.5);
    Check(quillfen::FormatDateTime(*again) == formatted);
  }

  // The first 16 bytes as two numbers: a day count in the calendar range and a
  // POSIX time of any size.
  if (size >= 16) {
    double days;
    int64_t seconds;
    std::memcpy(&days, data, sizeof days);
    std::memcpy(&seconds, data + 8, sizeof seconds);
    if (std::isfinite(days) && days >= kFirstDay && days <= kLastDay) {
      const quillfen::DateTimeParts p = quillfen::DecodeDateTime(days);
      Check(p.month >= 1 && p.month <= 12 && p.day >= 1 && p.day <= 31);
      Check(p.hour >= 0 && p.hour < 24 && p.minute >= 0 && p.minute < 60);
      Check(p.second >= 0 && p.second < 60 && p.millisecond >= 0 && p.millisecond < 1000);
      const std::string formatted = quillfen::FormatDateTime(days);
      Check(quillfen::ParseDateTime(formatted).has_value());
      (void)quillfen::WholeHoursBetween(days, 0.0);
    }
    const quillfen::FileAgeValue age = quillfen::PackFileAge(seconds);
    Check(age >= quillfen::PackFileAge(INT64_MIN) && age <= quillfen::PackFileAge(INT64_MAX));
    Check(age != quillfen::kNoFile);
  }
  return 0;
}
