#include "engine/DosAge.h"

#include <gtest/gtest.h>

namespace quillfen {
namespace {

TEST(DosAgeTest, FieldsInTheirBits) {
  EXPECT_EQ(PackDosAge(2000, 2, 29, 13, 45, 30),
            (20 << 25) | (2 << 21) | (29 << 16) | (13 << 11) | (45 << 5) | 15);
  EXPECT_EQ(PackDosAge(1980, 1, 1, 0, 0, 0), (1 << 21) | (1 << 16));
  // Two-second slots: an odd second shares its slot with the even one before.
  EXPECT_EQ(PackDosAge(2000, 1, 1, 0, 0, 31), PackDosAge(2000, 1, 1, 0, 0, 30));
  EXPECT_LT(PackDosAge(2000, 1, 1, 0, 0, 31), PackDosAge(2000, 1, 1, 0, 0, 32));
}

TEST(DosAgeTest, YearsOutsideTheLayoutClampToItsEnds) {
  EXPECT_EQ(kEarliestDosAge, PackDosAge(1980, 1, 1, 0, 0, 0));
  EXPECT_EQ(kLatestDosAge, PackDosAge(2107, 12, 31, 23, 59, 58));
  EXPECT_EQ(PackDosAge(1979, 12, 31, 23, 59, 59), kEarliestDosAge);
  EXPECT_EQ(PackDosAge(-5000, 6, 15, 12, 0, 0), kEarliestDosAge);
  EXPECT_EQ(PackDosAge(2108, 1, 1, 0, 0, 0), kLatestDosAge);
  EXPECT_EQ(PackDosAge(1000000, 1, 1, 0, 0, 0), kLatestDosAge);
  // The end years themselves are packed as they are.
  EXPECT_GT(PackDosAge(1980, 1, 1, 0, 0, 2), kEarliestDosAge);
  EXPECT_LT(PackDosAge(2107, 12, 31, 23, 59, 56), kLatestDosAge);
  EXPECT_EQ(PackDosAge(2107, 12, 31, 23, 59, 59), kLatestDosAge);
}

TEST(DosAgeTest, AgesAfter2044OrderAfterEarlierOnes) {
  EXPECT_GT(PackDosAge(2045, 1, 1, 0, 0, 0), PackDosAge(2044, 12, 31, 23, 59, 58));
  EXPECT_GT(PackDosAge(2045, 1, 1, 0, 0, 0), 0);
  EXPECT_GT(kLatestDosAge, PackDosAge(2106, 1, 1, 0, 0, 0));
}

}  // namespace
}  // namespace quillfen
