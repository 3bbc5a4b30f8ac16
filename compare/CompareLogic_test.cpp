#include "compare/CompareLogic.h"
#include "engine/Path.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "testing/CompareSupport.h"
#include "testing/TestTree.h"

using namespace quillfen;
using quillfen::testing::TestTree;
using quillfen::testing::WriteFile;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class StatusRecorder : public StatusSink {
 public:
  std::vector<std::string> texts;
  void ShowStatus(std::string_view text) override { texts.emplace_back(text); }
};

// The comparison as a plain double loop over both lists, for reference.
Comparison QuadraticCompare(const std::vector<std::string>& left,
                            const std::vector<std::string>& right,
                            std::vector<std::string>& statuses) {
  Comparison c{std::vector<char>(left.size(), 1), std::vector<char>(right.size(), 1)};
  for (size_t i = left.size(); i-- > 0;) {
    statuses.push_back(left[i] + "を検索中");
    for (const auto& r : right)
      if (r == left[i]) c.leftSelected[i] = 0;
  }
  for (size_t i = right.size(); i-- > 0;) {
    statuses.push_back(right[i] + "を検索中");
    for (const auto& l : left)
      if (l == right[i]) c.rightSelected[i] = 0;
  }
  return c;
}

TEST(ListRelativeFiles, RelativeSortedFilesOnlyWithExactBytes) {
  TestTree t;
  WriteFile(t.Path("src/b.txt"), "b");
  WriteFile(t.Path("src/A.txt"), "a");
  WriteFile(t.Path("src/sub/deep/c"), "c");
  WriteFile(t.Path("src/.hidden"), "h");
  std::filesystem::create_directories(t.Path("src/empty/also-empty"));
  const std::string odd = std::string("/bad\xff\xfe.txt");
  WriteFile(t.Path("src") + odd, "x");

  EXPECT_THAT(ListRelativeFiles(t.Path("src")),
              ElementsAre("/.hidden", "/A.txt", "/b.txt", odd, "/sub/deep/c"));
  // A trailing separator on the root changes nothing.
  EXPECT_EQ(ListRelativeFiles(t.Path("src/")), ListRelativeFiles(t.Path("src")));
}

TEST(ListRelativeFiles, RemovesTheRootAsPrefixOnly) {
  TestTree t;
  const std::string root = t.Path("r");
  // The root's own text occurs again further down the path.
  WriteFile(root + root + "/f", "f");
  EXPECT_THAT(ListRelativeFiles(root), ElementsAre(root + "/f"));
}

TEST(ListRelativeFiles, MissingOrEmptyRootGivesNothing) {
  TestTree t;
  EXPECT_THAT(ListRelativeFiles(t.Path("nowhere")), IsEmpty());
  EXPECT_THAT(ListRelativeFiles(""), IsEmpty());
}

TEST(ListRelativeFiles, LeavesOutADestinationInsideTheSource) {
  TestTree t;
  WriteFile(t.Path("src/keep"), "k");
  WriteFile(t.Path("src/backup/keep"), "copy");
  WriteFile(t.Path("src/backup2/other"), "o");  // shares the name's prefix only
  const std::string skip = FolderToLeaveOut(t.Path("src"), t.Path("src/backup"));
  EXPECT_THAT(ListRelativeFiles(t.Path("src"), skip), ElementsAre("/backup2/other", "/keep"));
}

TEST(CompareListings, SelectsWhatTheOtherSideLacksCaseSensitively) {
  StatusRecorder status;
  const std::vector<std::string> left = {"/a.txt", "/Both", "/only-left"};
  const std::vector<std::string> right = {"/A.txt", "/Both", "/only-right"};
  const Comparison c = CompareListings(left, right, status);
  EXPECT_THAT(c.leftSelected, ElementsAre(1, 0, 1));
  EXPECT_THAT(c.rightSelected, ElementsAre(1, 0, 1));
  // Last item first, left side, then right side; the last text shown is the
  // first right item.
  EXPECT_THAT(status.texts, ElementsAre("/only-leftを検索中", "/Bothを検索中", "/a.txtを検索中",
                                        "/only-rightを検索中", "/Bothを検索中", "/A.txtを検索中"));
}

TEST(CompareListings, IdenticalAndEmptySides) {
  StatusRecorder status;
  const std::vector<std::string> same = {"/x", "/y/z"};
  Comparison c = CompareListings(same, same, status);
  EXPECT_THAT(c.leftSelected, ElementsAre(0, 0));
  EXPECT_THAT(c.rightSelected, ElementsAre(0, 0));

  status.texts.clear();
  c = CompareListings(same, {}, status);
  EXPECT_THAT(c.leftSelected, ElementsAre(1, 1));
  EXPECT_THAT(c.rightSelected, IsEmpty());
  EXPECT_EQ(status.texts.back(), "/xを検索中");
}

TEST(CompareListings, EqualsTheDoubleLoopOnRandomLists) {
  std::mt19937 rng(7);
  const std::vector<std::string> names = {"/a", "/A", "/b", "/sub/a", "/Sub/a", "/c\xff", "/d"};
  for (int round = 0; round < 200; ++round) {
    std::vector<std::string> left, right;
    for (const auto& n : names) {
      for (unsigned k = rng() % 3; k > 0; --k) left.push_back(n);  // repeats too
      for (unsigned k = rng() % 3; k > 0; --k) right.push_back(n);
    }
    // Half the rounds in list order (merge walk), half shuffled (hash lookup).
    const auto less = [](const std::string& a, const std::string& b) {
      return FolderPathLess(a, b);
    };
    if (round % 2) {
      std::sort(left.begin(), left.end(), less);
      std::sort(right.begin(), right.end(), less);
    } else {
      std::shuffle(left.begin(), left.end(), rng);
      std::shuffle(right.begin(), right.end(), rng);
    }
    StatusRecorder status;
    std::vector<std::string> expectedStatus;
    const Comparison expected = QuadraticCompare(left, right, expectedStatus);
    const Comparison got = CompareListings(left, right, status);
    ASSERT_EQ(got.leftSelected, expected.leftSelected);
    ASSERT_EQ(got.rightSelected, expected.rightSelected);
    ASSERT_EQ(status.texts, expectedStatus);
  }
}

TEST(CounterTexts, ExactForms) {
  EXPECT_EQ(TotalText(Side::Source, 120), "保存元 120 ファイル");
  EXPECT_EQ(TotalText(Side::Destination, 0), "保存先 0 ファイル");
  EXPECT_EQ(SelectionText(Side::Source, 35, 120), "35／保存元 120 ファイル");
  EXPECT_EQ(SelectionText(Side::Destination, 1234567, 1234567), "1234567／保存先 1234567 ファイル");
}

}  // namespace
