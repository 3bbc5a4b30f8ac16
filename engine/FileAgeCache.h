// File ages of many times in a row without a time-zone lookup per time.
#pragma once

#include <array>
#include <cstdint>

#include "engine/FiCheck.h"

namespace quillfen {

// Gives exactly what PackFileAge gives, for the time zone in force when the
// cache first meets a stretch of time. The local time of a moment is its UTC
// time plus the zone's offset; the offset is looked up once per 15-minute
// span (at its first moment and at the first moment of the next span) and
// reused for every moment inside it when both are the same. A span holding a clock change (daylight
// saving, a leap second in "right/" zones) has different offsets at its ends, and each moment in it
// is converted on its own. Keep one cache per run: a change of TZ while it lives is not noticed.
class FileAgeCache {
 public:
  FileAgeCache();

  // PackFileAge(unixSeconds), from the cache when possible.
  FileAgeValue Pack(int64_t unixSeconds);

 private:
  static constexpr int64_t kSpan = 900;  // seconds per cached span
  struct Entry {
    int64_t span;    // the span's index (seconds / kSpan, rounded down); see kEmpty
    int64_t offset;  // local minus UTC seconds, valid when `uniform`
    bool uniform;    // the same offset at both ends of the span
  };
  static constexpr int64_t kEmpty = INT64_MIN;
  std::array<Entry, 64> entries_;
};

// Whether a file is to be copied, from its copy-from file (a regular file
// with the last-write second `sourceSeconds` when `haveSource`) and its
// copy-to file (likewise): with no copy, under the newer test only when the
// source is there, under the keep-original test always; with both, never in
// the same second (the same age for either test), else as CopyWanted says of
// their file ages; with a copy but no source, never.
bool CopyDecided(bool haveSource, int64_t sourceSeconds, bool haveTarget, int64_t targetSeconds,
                 bool newer, FileAgeCache& ages);

// Local-time offset (local clock reading minus UTC, in seconds, leap seconds
// of "right/" zones included) at the moment `unixSeconds`; false when the
// moment has no local calendar time.
bool LocalOffsetAt(int64_t unixSeconds, int64_t& offset);

// The DOS-layout age of a local calendar time given as seconds since
// 1970-01-01 00:00 of the local clock, clamped as PackFileAge clamps.
FileAgeValue PackLocalSeconds(int64_t localSeconds);

}  // namespace quillfen
