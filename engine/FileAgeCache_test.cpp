#include "engine/FileAgeCache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace quillfen {
namespace {

// Runs the body under the time zone `tz` and puts the old zone back after.
class ZoneTest : public ::testing::Test {
 protected:
  void UseZone(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
  }
  void SetUp() override {
    if (const char* tz = std::getenv("TZ")) saved_ = tz;
  }
  void TearDown() override {
    if (saved_) {
      setenv("TZ", saved_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::optional<std::string> saved_;
};

// The moments (to the second) in [from, to) at which the zone's offset
// changes: the first second carrying the new offset.
std::vector<int64_t> OffsetChanges(int64_t from, int64_t to) {
  std::vector<int64_t> changes;
  int64_t before = 0;
  EXPECT_TRUE(LocalOffsetAt(from, before));
  for (int64_t t = from + 3600; t < to + 3600; t += 3600) {
    int64_t now = 0;
    EXPECT_TRUE(LocalOffsetAt(t, now));
    if (now == before) continue;
    int64_t low = t - 3600;  // offset `before` here, another at t
    int64_t high = t;
    while (high - low > 1) {
      const int64_t mid = low + (high - low) / 2;
      int64_t offset = 0;
      EXPECT_TRUE(LocalOffsetAt(mid, offset));
      (offset == before ? low : high) = mid;
    }
    changes.push_back(high);
    before = now;
  }
  return changes;
}

// Every second from two hours before to two hours after each change, asked in
// order of time and then again in a scrambled order from one cache, gives
// what the uncached conversion gives.
void ExpectExactAroundChanges(const std::vector<int64_t>& changes) {
  FileAgeCache cache;
  std::vector<int64_t> moments;
  for (int64_t change : changes) {
    for (int64_t t = change - 7200; t <= change + 7200; ++t) moments.push_back(t);
  }
  for (int64_t t : moments) {
    ASSERT_EQ(cache.Pack(t), PackFileAge(t)) << "at " << t;
  }
  std::mt19937_64 random(7);
  std::shuffle(moments.begin(), moments.end(), random);
  FileAgeCache scrambled;
  for (int64_t t : moments) {
    ASSERT_EQ(scrambled.Pack(t), PackFileAge(t)) << "at " << t;
  }
}

constexpr int64_t k2024 = 1704067200;  // 2024-01-01 00:00:00 UTC
constexpr int64_t kYear = 366 * 86400;

TEST_F(ZoneTest, DaylightSavingChangesInBerlinStayExact) {
  UseZone("Europe/Berlin");
  const std::vector<int64_t> changes = OffsetChanges(k2024, k2024 + kYear);
  ASSERT_EQ(changes.size(), 2u) << "no time-zone data for Europe/Berlin";
  EXPECT_EQ(changes[0], 1711846800);  // 2024-03-31 01:00 UTC
  ExpectExactAroundChanges(changes);
}

TEST_F(ZoneTest, HalfHourChangesOnLordHoweIslandStayExact) {
  UseZone("Australia/Lord_Howe");
  const std::vector<int64_t> changes = OffsetChanges(k2024, k2024 + kYear);
  ASSERT_EQ(changes.size(), 2u) << "no time-zone data for Australia/Lord_Howe";
  int64_t before = 0;
  int64_t after = 0;
  ASSERT_TRUE(LocalOffsetAt(changes[0] - 1, before));
  ASSERT_TRUE(LocalOffsetAt(changes[0], after));
  EXPECT_EQ(before - after, 1800);  // the clock goes back half an hour
  ExpectExactAroundChanges(changes);
}

// Changes at odd moments and odd offsets, inside the cached spans rather
// than at their edges.
TEST_F(ZoneTest, ChangesInsideCachedSpansStayExact) {
  UseZone("ODD-1:07:11ODDS-2:19:43,M3.5.0/2:13:17,M10.5.0/3:07:29");
  const std::vector<int64_t> changes = OffsetChanges(k2024, k2024 + kYear);
  ASSERT_EQ(changes.size(), 2u);
  EXPECT_NE(changes[0] % 900, 0);
  EXPECT_NE(changes[1] % 900, 0);
  ExpectExactAroundChanges(changes);
}

// Zones that count leap seconds repeat or skip a clock second at each one.
TEST_F(ZoneTest, LeapSecondsStayExact) {
  UseZone("right/UTC");
  const int64_t from = 1483228800 - 86400;  // a day before 2017-01-01
  const std::vector<int64_t> changes = OffsetChanges(from, from + 3 * 86400);
  if (changes.empty()) GTEST_SKIP() << "no leap-second data";
  ExpectExactAroundChanges(changes);
}

TEST_F(ZoneTest, ClampedAndFarMomentsMatchTheUncachedAge) {
  UseZone("Europe/Berlin");
  FileAgeCache cache;
  for (int64_t t :
       {int64_t{0}, int64_t{-1}, int64_t{315532800} - 3601, int64_t{315529200}, int64_t{315532799},
        int64_t{4354819199}, int64_t{4354819200} - 3600, int64_t{4354819200}, int64_t{1} << 40,
        -(int64_t{1} << 40), INT64_MAX / 4, INT64_MIN / 4}) {
    EXPECT_EQ(cache.Pack(t), PackFileAge(t)) << "at " << t;
  }
  std::mt19937_64 random(11);
  std::uniform_int_distribution<int64_t> anyMoment(0, int64_t{5} << 30);
  for (int i = 0; i < 20000; ++i) {
    const int64_t t = anyMoment(random);
    ASSERT_EQ(cache.Pack(t), PackFileAge(t)) << "at " << t;
  }
}

}  // namespace
}  // namespace quillfen
