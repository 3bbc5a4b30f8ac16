#include "ui/ProgressText.h"

#include <gtest/gtest.h>

namespace quillfen {
namespace {

TEST(ProgressTextTest, NumbersAreGroupedAndBytesRoundedAsPrinted) {
  EXPECT_EQ(GroupedNumber(0), "0");
  EXPECT_EQ(GroupedNumber(999), "999");
  EXPECT_EQ(GroupedNumber(1000), "1,000");
  EXPECT_EQ(GroupedNumber(200000), "200,000");
  EXPECT_EQ(GroupedNumber(-1234567), "-1,234,567");

  EXPECT_EQ(ByteText(0), "0 B");
  EXPECT_EQ(ByteText(1023), "1023 B");
  EXPECT_EQ(ByteText(1024), "1.0 KB");
  EXPECT_EQ(ByteText(1536), "1.5 KB");
  // Near a unit's edge the figure is rounded once, to the larger unit.
  EXPECT_EQ(ByteText(1024 * 1024 - 1), "1.0 MB");
  EXPECT_EQ(ByteText(static_cast<long long>(99.97 * 1024)), "100 KB");
  EXPECT_EQ(ByteText(5LL << 40), "5.0 TB");
  EXPECT_EQ(ByteText(3LL << 60), "3072 PB");
}

TEST(ProgressTextTest, ShowsWhatTheWorkHasDoneAndTheTimeSoFar) {
  RunProgress progress;
  progress.listing = true;
  EXPECT_EQ(ProgressText(progress, 999), "一覧作成中　0 件コピー (0 B)　0:00");

  progress.listing = false;
  progress.files = 200000;
  progress.lookedAt = 12345;
  progress.copied = 1234;
  progress.bytes = 3 << 20;
  EXPECT_EQ(ProgressText(progress, 75 * 1000 + 400),
            "12,345 / 200,000 件確認　1,234 件コピー (3.0 MB)　1:15");

  progress.failed = 2;
  EXPECT_EQ(ProgressText(progress, (2 * 3600 + 3 * 60 + 4) * 1000LL),
            "12,345 / 200,000 件確認　1,234 件コピー (3.0 MB)　失敗 2 件　2:03:04");
}

}  // namespace
}  // namespace quillfen
