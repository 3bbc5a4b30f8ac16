// The clock of the tests: it reads what the test sets, 2026-12-07 10:00:00 to
// begin with, and moves only when told.
#pragma once

#include "engine/DateTime.h"

namespace quillfen::testing {

class FakeClock : public Clock {
 public:
  DateTime now = EncodeDateTime(2026, 12, 7, 10, 0, 0);
  DateTime Now() const override { return now; }
  // Moves on by a day and an hour, so that every set is due again.
  void NextDay() { now += 25.0 / 24; }
};

}  // namespace quillfen::testing
