#include "engine/FiCheck.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <ostream>
#include <string>

#include "testing/TestTree.h"

namespace quillfen {
namespace {

using testing::TestTree;

// 2000-02-29 13:45:30 UTC and other fixed moments.
constexpr int64_t kLeapDay2000 = 951831930;
constexpr int64_t kYear1970 = 86400 * 200;  // 1970-07-20
constexpr int64_t kYear2040 = 2209032000;   // 2040-01-01 ~
constexpr int64_t kYear2050 = 2524608000;   // 2050-01-01 ~
constexpr int64_t kYear2200 = 7258118400;   // 2200-01-01

constexpr FileAgeValue Packed(int year, int month, int day, int hour, int minute, int second) {
  return (int64_t{year - 1980} << 25) | (int64_t{month} << 21) | (int64_t{day} << 16) |
         (int64_t{hour} << 11) | (int64_t{minute} << 5) | (second / 2);
}

// Runs the test in UTC so that packed local times are known in advance.
class UtcTest : public ::testing::Test {
 protected:
  testing::ScopedTimeZone zone_{"UTC"};
};

using PackFileAgeTest = UtcTest;

TEST_F(PackFileAgeTest, PacksLocalTimeInDosLayout) {
  EXPECT_EQ(PackFileAge(kLeapDay2000), Packed(2000, 2, 29, 13, 45, 30));
  EXPECT_EQ(PackFileAge(kLeapDay2000),
            (20 << 25) | (2 << 21) | (29 << 16) | (13 << 11) | (45 << 5) | 15);
  EXPECT_EQ(PackFileAge(315532800), Packed(1980, 1, 1, 0, 0, 0));  // first representable
}

TEST_F(PackFileAgeTest, TwoSecondSlots) {
  EXPECT_EQ(PackFileAge(kLeapDay2000), PackFileAge(kLeapDay2000 + 1));
  EXPECT_LT(PackFileAge(kLeapDay2000 + 1), PackFileAge(kLeapDay2000 + 2));
  EXPECT_LT(PackFileAge(kLeapDay2000 - 1), PackFileAge(kLeapDay2000));
}

TEST_F(PackFileAgeTest, ClampsOutsideTheLayoutAndOrdersAcross2044) {
  const FileAgeValue smallest = Packed(1980, 1, 1, 0, 0, 0);
  const FileAgeValue largest = Packed(2107, 12, 31, 23, 59, 58);
  EXPECT_EQ(PackFileAge(0), smallest);
  EXPECT_EQ(PackFileAge(kYear1970), smallest);
  EXPECT_EQ(PackFileAge(-1000000000), smallest);
  EXPECT_EQ(PackFileAge(kYear2200), largest);
  EXPECT_EQ(PackFileAge(INT64_MAX / 2), largest);
  EXPECT_EQ(PackFileAge(INT64_MIN / 2), smallest);
  EXPECT_GT(PackFileAge(kYear2050), PackFileAge(kYear2040));
  EXPECT_GT(PackFileAge(kYear2040), PackFileAge(kLeapDay2000));
  EXPECT_GT(PackFileAge(kYear2050), 0);
  EXPECT_GT(largest, PackFileAge(kYear2050));
}

using FileAgeTest = UtcTest;

TEST_F(FileAgeTest, RegularFilesOnlyLinksFollowed) {
  TestTree t;
  std::string file = t.File("f", "x");
  TestTree::SetMtime(file, kLeapDay2000, 999999999);
  EXPECT_EQ(FileAge(file), Packed(2000, 2, 29, 13, 45, 30));
  ASSERT_EQ(symlink("f", t.Path("link").c_str()), 0);
  EXPECT_EQ(FileAge(t.Path("link")), FileAge(file));

  EXPECT_EQ(FileAge(t.Path("missing")), kNoFile);
  EXPECT_EQ(FileAge(t.Dir("folder")), kNoFile);
  ASSERT_EQ(symlink("nowhere", t.Path("dangling").c_str()), 0);
  EXPECT_EQ(FileAge(t.Path("dangling")), kNoFile);
  ASSERT_EQ(mkfifo(t.Path("fifo").c_str(), 0600), 0);
  EXPECT_EQ(FileAge(t.Path("fifo")), kNoFile);
}

TEST_F(FileAgeTest, FileFrom1970IsNotMissing) {
  TestTree t;
  std::string old = t.File("old", "x");
  TestTree::SetMtime(old, kYear1970);
  EXPECT_EQ(FileAge(old), Packed(1980, 1, 1, 0, 0, 0));
  // Still backed up onto a missing target, and not again once copied.
  EXPECT_TRUE(NeedsCopy(old, t.Path("dst/old"), true));
  std::string copy = t.File("dst/old", "x");
  TestTree::SetMtime(copy, kYear1970);
  EXPECT_FALSE(NeedsCopy(old, copy, true));
}

TEST_F(FileAgeTest, Year2050FileIsNewerThan2040File) {
  TestTree t;
  std::string src = t.File("src", "x");
  std::string dst = t.File("dst", "x");
  TestTree::SetMtime(src, kYear2050);
  TestTree::SetMtime(dst, kYear2040);
  EXPECT_TRUE(NeedsCopy(src, dst, true));
  EXPECT_FALSE(NeedsCopy(dst, src, true));
  EXPECT_TRUE(NeedsCopy(dst, src, false));
}

// One row of the decision table: how source and target stand, and the two answers.
struct Row {
  const char* name;
  std::optional<int64_t> source;  // mtime, or nullopt for no file
  std::optional<int64_t> target;
  bool newerTest;
  bool keepOriginalTest;
};

void PrintTo(const Row& row, std::ostream* os) {
  *os << row.name;
}

class NeedsCopyTableTest : public ::testing::TestWithParam<Row> {};

TEST_P(NeedsCopyTableTest, BothTests) {
  const Row& row = GetParam();
  TestTree t;
  std::string src = t.Path("src.txt");
  std::string dst = t.Path("out/dst.txt");
  if (row.source) TestTree::SetMtime(t.File("src.txt", "s"), *row.source);
  if (row.target) TestTree::SetMtime(t.File("out/dst.txt", "t"), *row.target);
  EXPECT_EQ(NeedsCopy(src, dst, true), row.newerTest);
  EXPECT_EQ(NeedsCopy(src, dst, false), row.keepOriginalTest);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, NeedsCopyTableTest,
    ::testing::Values(Row{"TargetMissing", kLeapDay2000, std::nullopt, true, true},
                      Row{"SourceNewer", kLeapDay2000 + 2, kLeapDay2000, true, false},
                      Row{"SameAge", kLeapDay2000, kLeapDay2000, false, false},
                      Row{"SameTwoSecondSlot", kLeapDay2000 + 1, kLeapDay2000, false, false},
                      Row{"SourceOlder", kLeapDay2000, kLeapDay2000 + 2, false, true},
                      Row{"BothMissing", std::nullopt, std::nullopt, false, true},
                      Row{"SourceMissing", std::nullopt, kLeapDay2000, false, false},
                      Row{"Target1970", kLeapDay2000, kYear1970, true, false}),
    [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

TEST(NeedsCopyTest, FolderAtTargetCountsAsMissingFile) {
  TestTree t;
  std::string src = t.File("src", "x");
  std::string dst = t.Dir("dst");
  EXPECT_TRUE(NeedsCopy(src, dst, true));
  EXPECT_TRUE(NeedsCopy(src, dst, false));
}

TEST(NeedsCopyTest, CreatesMissingTargetFoldersWhateverTheAnswer) {
  TestTree t;
  struct stat st;
  // Newer test answering false (no source): the folders are still made.
  EXPECT_FALSE(NeedsCopy(t.Path("missing"), t.Path("a/b/c/f.txt"), true));
  ASSERT_EQ(stat(t.Path("a/b/c").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_NE(stat(t.Path("a/b/c/f.txt").c_str(), &st), 0);  // no file is made

  // Keep-original test answering false (target present and older).
  std::string src = t.File("src", "x");
  TestTree::SetMtime(src, kLeapDay2000 + 10);
  TestTree::SetMtime(t.File("k/existing", "x"), kLeapDay2000);
  EXPECT_FALSE(NeedsCopy(src, t.Path("k/existing"), false));
  EXPECT_TRUE(NeedsCopy(src, t.Path("k/x/y/missing"), false));
  ASSERT_EQ(stat(t.Path("k/x/y").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST(NeedsCopyTest, OneMissingFolderIsCreatedBesideExistingOnes) {
  TestTree t;
  std::string src = t.File("src", "x");
  t.Dir("a");
  EXPECT_TRUE(NeedsCopy(src, t.Path("a/new/f"), true));
  struct stat st;
  ASSERT_EQ(stat(t.Path("a/new").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST(NeedsCopyTest, FileInTheWayOfTheFolderIsLeftAlone) {
  TestTree t;
  std::string src = t.File("src", "x");
  std::string blocker = t.File("blocker", "keep");
  EXPECT_TRUE(NeedsCopy(src, blocker + "/sub/f", true));
  EXPECT_EQ(TestTree::Read(blocker), "keep");
}

}  // namespace
}  // namespace quillfen
