#include "engine/RunRecord.h"

#include <gtest/gtest.h>

namespace quillfen {
namespace {

TEST(RunReportTest, EachSetKeepsItsOwnLinesAndSummary) {
  RunReport report;
  report.SetDone("a: 3 件コピー");
  report.Failed("a1 -> b1: Permission denied");
  report.Failed("a2 -> b2: No space left on device");
  report.SetDone("b: 0 件コピー、失敗 2 件");
  report.Failed("c1 -> d1: Input/output error");
  // The work threw before the third set's summary: its line is not lost.
  report.Close("c: 中止");

  ASSERT_EQ(report.sets().size(), 3u);
  EXPECT_EQ(report.sets()[0].summary, "a: 3 件コピー");
  EXPECT_TRUE(report.sets()[0].failures.empty());
  EXPECT_EQ(report.sets()[1].failures,
            (std::vector<std::string>{"a1 -> b1: Permission denied",
                                      "a2 -> b2: No space left on device"}));
  EXPECT_EQ(report.sets()[2].summary, "c: 中止");
  EXPECT_EQ(report.sets()[2].failures.size(), 1u);
  EXPECT_TRUE(report.HasFailures());

  RunReport clean;
  clean.SetDone("a: 1 件コピー");
  clean.Close("unused");
  EXPECT_EQ(clean.sets().size(), 1u);
  EXPECT_FALSE(clean.HasFailures());
}

TEST(RunReportTest, LinesBeyondTheBoundAreCountedOverAllSets) {
  RunReport report;
  for (size_t i = 0; i < RunReport::kKeptLines - 1; ++i) report.Failed("x");
  report.SetDone("first");
  for (int i = 0; i < 5; ++i) report.Failed("y");
  report.SetDone("second");
  for (int i = 0; i < 3; ++i) report.Failed("z");
  report.Close("third");

  ASSERT_EQ(report.sets().size(), 3u);
  EXPECT_EQ(report.sets()[0].failures.size(), RunReport::kKeptLines - 1);
  EXPECT_EQ(report.sets()[1].failures.size(), 1u);
  EXPECT_EQ(report.sets()[1].notKept, 4u);
  EXPECT_TRUE(report.sets()[2].failures.empty());
  EXPECT_EQ(report.sets()[2].notKept, 3u);

  RunReport onlyCounted;
  for (size_t i = 0; i < RunReport::kKeptLines; ++i) onlyCounted.Failed("x");
  onlyCounted.SetDone("first");
  onlyCounted.Failed("y");
  onlyCounted.SetDone("second");
  EXPECT_EQ(onlyCounted.sets()[1].notKept, 1u);
  EXPECT_TRUE(onlyCounted.HasFailures());
}

}  // namespace
}  // namespace quillfen
