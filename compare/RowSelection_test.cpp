#include "compare/RowSelection.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

using quillfen::RowSelection;
using ::testing::ElementsAre;

namespace {

// The selected rows, in order.
std::vector<size_t> Selected(const RowSelection& s) {
  std::vector<size_t> rows;
  for (size_t r = 0; r < s.Rows(); ++r) {
    if (s.IsSelected(r)) rows.push_back(r);
  }
  return rows;
}

std::vector<size_t> Range(size_t first, size_t last) {
  std::vector<size_t> rows;
  for (size_t r = first; r <= last; ++r) rows.push_back(r);
  return rows;
}

// Count, Flags and NextSelected all agree with IsSelected, and nothing past
// the last row reads as selected.
void ExpectConsistent(const RowSelection& s) {
  const std::vector<size_t> rows = Selected(s);
  EXPECT_EQ(s.Count(), rows.size());
  const std::vector<char> flags = s.Flags();
  ASSERT_EQ(flags.size(), s.Rows());
  EXPECT_EQ(static_cast<size_t>(std::count(flags.begin(), flags.end(), 1)), rows.size());
  for (size_t r : rows) EXPECT_EQ(flags[r], 1) << r;
  std::vector<size_t> walked;
  for (size_t r = s.NextSelected(0); r != RowSelection::kNoRow; r = s.NextSelected(r + 1)) {
    walked.push_back(r);
  }
  EXPECT_EQ(walked, rows);
  // The runs cover exactly the selected rows, separated by unselected ones.
  std::vector<std::pair<size_t, size_t>> runs;
  ASSERT_TRUE(s.Runs(RowSelection::kNoRow, runs));
  std::vector<size_t> covered;
  for (size_t i = 0; i < runs.size(); ++i) {
    const auto [first, last] = runs[i];
    ASSERT_LE(first, last);
    if (i > 0) {
      EXPECT_GT(first, runs[i - 1].second + 1);
    }
    for (size_t r = first; r <= last; ++r) covered.push_back(r);
  }
  EXPECT_EQ(covered, rows);
  if (!runs.empty()) {
    const auto [first, last] = runs.back();
    EXPECT_EQ(s.NextUnselected(first), last + 1);
    EXPECT_FALSE(s.Runs(runs.size() - 1, runs));
  }
  EXPECT_EQ(s.NextUnselected(s.Rows()), s.Rows());
  EXPECT_FALSE(s.IsSelected(s.Rows()));
  EXPECT_FALSE(s.IsSelected(s.Rows() + 64));
}

TEST(RowSelectionTest, RangesAcrossWordBoundariesSetExactlyTheirRows) {
  // 130 rows: two full words and two bits of a third.
  for (const auto& [first, last] : std::vector<std::pair<size_t, size_t>>{
           {0, 0}, {63, 64}, {0, 63}, {64, 127}, {62, 129}, {5, 5}, {127, 128}, {0, 129}}) {
    RowSelection s;
    s.Reset(130);
    EXPECT_TRUE(s.Click(first));
    s.ExtendTo(last, RowSelection::kNoRow);
    EXPECT_EQ(Selected(s), Range(first, last)) << first << ".." << last;
    ExpectConsistent(s);
    // Backwards, from the other end.
    s.Click(last);
    s.ExtendTo(first, RowSelection::kNoRow);
    EXPECT_EQ(Selected(s), Range(first, last)) << last << ".." << first;
  }
}

TEST(RowSelectionTest, SelectAllAndAssignStopAtTheLastRow) {
  RowSelection s;
  s.Reset(130);
  EXPECT_TRUE(s.SelectAll());
  EXPECT_EQ(s.Count(), 130u);
  ExpectConsistent(s);
  EXPECT_FALSE(s.SelectAll());  // a second press changes nothing

  // Flags past the last row are ignored; rows past the end of the flags
  // become unselected.
  std::vector<char> flags(200, 1);
  EXPECT_TRUE(s.Clear());
  EXPECT_TRUE(s.Assign(flags));
  EXPECT_EQ(s.Count(), 130u);
  EXPECT_TRUE(s.Assign({0, 1, 0, 7}));
  EXPECT_THAT(Selected(s), ElementsAre(1, 3));
  EXPECT_FALSE(s.Assign({0, 1, 0, 1}));
  ExpectConsistent(s);

  RowSelection empty;
  empty.Reset(0);
  EXPECT_FALSE(empty.SelectAll());
  EXPECT_FALSE(empty.Click(0));
  EXPECT_EQ(empty.Count(), 0u);
  EXPECT_EQ(empty.NextSelected(0), RowSelection::kNoRow);
}

TEST(RowSelectionTest, ADragGivesTheRangeTheAnchorsStateAndGoingBackRestoresRows) {
  RowSelection s;
  s.Reset(12);
  s.Assign({0, 1, 1, 1, 1, 1, 1, 0, 0, 1, 0, 0});
  // A ctrl-press on a selected row deselects it, and the drag deselects.
  EXPECT_TRUE(s.ControlClick(3));
  EXPECT_TRUE(s.DragTo(5));
  EXPECT_THAT(Selected(s), ElementsAre(1, 2, 6, 9));
  // Back over rows 5 and 4: they return to their state before the press.
  EXPECT_TRUE(s.DragTo(3));
  EXPECT_THAT(Selected(s), ElementsAre(1, 2, 4, 5, 6, 9));
  // Past the anchor to the other side.
  s.DragTo(1);
  EXPECT_THAT(Selected(s), ElementsAre(4, 5, 6, 9));
  EXPECT_FALSE(s.DragTo(1));

  // A ctrl-press on an unselected row selects the dragged range.
  s.ControlClick(8);
  s.DragTo(11);
  EXPECT_THAT(Selected(s), ElementsAre(4, 5, 6, 8, 9, 10, 11));

  // A plain press clears, and the drag selects the range only.
  s.Click(10);
  s.DragTo(8);
  EXPECT_THAT(Selected(s), ElementsAre(8, 9, 10));
  ExpectConsistent(s);
}

TEST(RowSelectionTest, WithoutAnAnchorShiftStartsAtTheCurrentRowAndADragDoesNothing) {
  RowSelection s;
  s.Reset(10);
  s.Assign({1, 0, 0, 0, 0, 0, 0, 0, 0, 0});  // by the program: no anchor
  EXPECT_EQ(s.Anchor(), RowSelection::kNoRow);
  EXPECT_FALSE(s.DragTo(4));
  EXPECT_THAT(Selected(s), ElementsAre(0));
  // The current row 6 becomes the anchor; the earlier selection stays.
  EXPECT_TRUE(s.ExtendTo(4, 6));
  EXPECT_THAT(Selected(s), ElementsAre(0, 4, 5, 6));
  // No current row either: the range is the row itself.
  s.SelectAll();
  s.Clear();
  EXPECT_TRUE(s.ExtendTo(3, RowSelection::kNoRow));
  EXPECT_THAT(Selected(s), ElementsAre(3));
  EXPECT_FALSE(s.ExtendTo(10, 3));  // past the end
  EXPECT_FALSE(s.ControlClick(10));
}

// Long runs of random gestures over rows around word sizes keep the counts,
// the flags and the walk over selected rows in step with the bits.
TEST(RowSelectionTest, RandomGesturesKeepEveryViewOfTheSelectionInStep) {
  std::mt19937 random(7);
  for (size_t rows : {1u, 63u, 64u, 65u, 200u, 1000u}) {
    RowSelection s;
    s.Reset(rows);
    std::uniform_int_distribution<size_t> row(0, rows - 1);
    for (int i = 0; i < 300; ++i) {
      const size_t r = row(random);
      switch (random() % 7) {
        case 0:
          s.Click(r);
          break;
        case 1:
          s.ControlClick(r);
          break;
        case 2:
          s.ExtendTo(r, row(random));
          break;
        case 3:
          s.DragTo(r);
          break;
        case 4:
          s.Add(r);
          break;
        case 5: {
          std::vector<char> flags(rows);
          for (char& f : flags) f = static_cast<char>(random() % 2);
          s.Assign(flags);
          EXPECT_EQ(s.Flags(), flags);
          break;
        }
        default:
          if (random() % 2) {
            s.SelectAll();
          } else {
            s.Clear();
          }
      }
      ExpectConsistent(s);
      if (::testing::Test::HasFailure()) return;
    }
  }
}

}  // namespace
