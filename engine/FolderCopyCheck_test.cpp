#include "engine/FolderCopyCheck.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/TestTree.h"

namespace quillfen {
namespace {

using testing::ScopedTimeZone;
using testing::TestTree;

// What stands at one side's place of a file.
struct Side {
  enum Kind { kMissing, kFile, kLinkToFile, kFolder, kDanglingLink } kind;
  int64_t mtime = 0;
};

// Berlin time: its autumn change puts two moments an hour apart in UTC into
// the opposite order of local clock readings.
class FolderCopyCheckTest : public ::testing::Test {
 protected:
  ScopedTimeZone zone_{"Europe/Berlin"};

  void Place(const std::string& folder, const std::string& name, const Side& side) {
    const std::string path = folder + "/" + name;
    switch (side.kind) {
      case Side::kMissing:
        return;
      case Side::kFile:
        tree.File(path.substr(tree.root().size() + 1), name);
        TestTree::SetMtime(path, side.mtime);
        return;
      case Side::kLinkToFile: {
        const std::string aim = tree.File("aims/" + name + folder.substr(folder.rfind('/') + 1));
        TestTree::SetMtime(aim, side.mtime);
        ASSERT_EQ(symlink(aim.c_str(), path.c_str()), 0);
        return;
      }
      case Side::kFolder:
        tree.Dir(path.substr(tree.root().size() + 1));
        return;
      case Side::kDanglingLink:
        ASSERT_EQ(symlink("/nonexistent/nothing", path.c_str()), 0);
        return;
    }
  }

  TestTree tree;
};

TEST_F(FolderCopyCheckTest, AnswersWhatNeedsCopyAnswersForEveryPairOfPlaces) {
  const int64_t even = 1700000000;    // first second of a 2-second slot
  const int64_t autumn = 1729990800;  // 2024-10-27 01:00 UTC, clocks go back
  const std::vector<Side> sides = {
      {Side::kMissing},
      {Side::kFile, even},
      {Side::kFile, even + 1},      // same slot as `even`
      {Side::kFile, even + 2},      // next slot
      {Side::kFile, even - 1},      // previous slot
      {Side::kFile, autumn - 600},  // 02:50 local summer time
      {Side::kFile, autumn + 600},  // 02:10 local winter time: later, yet a smaller age
      {Side::kFile, 86400 * 200},   // 1970: the smallest age
      {Side::kFile, 86400 * 900},   // 1972: the smallest age too
      {Side::kFile, 4500000000},    // after 2107: the largest age
      {Side::kFile, 4600000000},
      {Side::kLinkToFile, even + 2},
      {Side::kFolder},
      {Side::kDanglingLink},
  };
  const std::string src = tree.Dir("src");
  const std::string dst = tree.Dir("dst");
  std::vector<std::string> names;
  for (size_t s = 0; s < sides.size(); ++s) {
    for (size_t t = 0; t < sides.size(); ++t) {
      const std::string name = "f" + std::to_string(s) + "_" + std::to_string(t);
      Place(src, name, sides[s]);
      Place(dst, name, sides[t]);
      names.push_back(name);
    }
  }
  FolderCopyCheck check;
  check.Enter(src, dst);
  int copies = 0;
  for (const std::string& name : names) {
    for (bool newer : {true, false}) {
      const bool expected = NeedsCopy(src + "/" + name, dst + "/" + name, newer);
      EXPECT_EQ(check.NeedsCopy(name.c_str(), newer), expected)
          << name << (newer ? " newer test" : " keep-original test");
      copies += expected ? 1 : 0;
    }
  }
  // Both answers occur often enough for the comparison to mean something.
  EXPECT_GT(copies, 60);
  EXPECT_LT(copies, 2 * static_cast<int>(names.size()) - 60);
  // The autumn pair: the later moment is the smaller age.
  const std::string later = "f6_5";
  EXPECT_FALSE(check.NeedsCopy(later.c_str(), true));
  EXPECT_TRUE(check.NeedsCopy(later.c_str(), false));
}

TEST_F(FolderCopyCheckTest, ReplacingLinksRemovesALinkAtTheTargetAndCountsItMissing) {
  const std::string src = tree.Dir("src");
  const std::string dst = tree.Dir("dst");
  const std::string outside = tree.File("outside/newer.txt", "outside");
  const std::string outsideFolder = tree.Dir("outside/folder");
  for (const char* name : {"a.txt", "b.txt", "c.txt"}) {
    TestTree::SetMtime(tree.File(std::string("src/") + name, "source"), 1'600'000'000);
  }
  TestTree::SetMtime(outside, 1'700'000'000);
  ASSERT_EQ(symlink(outside.c_str(), (dst + "/a.txt").c_str()), 0);
  ASSERT_EQ(symlink(outsideFolder.c_str(), (dst + "/b.txt").c_str()), 0);
  ASSERT_EQ(symlink(outside.c_str(), (dst + "/c.txt").c_str()), 0);

  FolderCopyCheck check;
  check.Enter(src, dst);
  // Followed, the link to a newer file hides that the copy is missing.
  EXPECT_FALSE(check.NeedsCopy("c.txt", true));
  // Replaced, both links go and the source is copied; nothing outside changes.
  EXPECT_TRUE(check.NeedsCopy("a.txt", true, true));
  EXPECT_TRUE(check.NeedsCopy("b.txt", true, true));
  struct stat st;
  EXPECT_NE(lstat((dst + "/a.txt").c_str(), &st), 0);
  EXPECT_NE(lstat((dst + "/b.txt").c_str(), &st), 0);
  EXPECT_EQ(lstat((dst + "/c.txt").c_str(), &st), 0);
  EXPECT_EQ(TestTree::Read(outside), "outside");
  EXPECT_EQ(stat(outsideFolder.c_str(), &st), 0);
  // A real file at the target is compared as before.
  TestTree::SetMtime(tree.File("dst/real.txt", "copy"), 1'700'000'000);
  TestTree::SetMtime(tree.File("src/real.txt", "source"), 1'600'000'000);
  EXPECT_FALSE(check.NeedsCopy("real.txt", true, true));
  EXPECT_TRUE(check.NeedsCopy("real.txt", false, true));
  EXPECT_EQ(TestTree::Read(dst + "/real.txt"), "copy");
}

TEST_F(FolderCopyCheckTest, TargetFolderIsMadeAtTheFirstQuestionWhateverTheAnswer) {
  const std::string src = tree.Dir("src");
  const std::string target = tree.Path("dst/a/b/c");
  FolderCopyCheck check;
  check.Enter(src, target);
  struct stat st;
  EXPECT_NE(stat(tree.Path("dst").c_str(), &st), 0) << "made before any question";

  EXPECT_FALSE(check.NeedsCopy("missing.txt", true));
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_GE(check.targetFolderFd(), 0);

  // Files of the new folder are answered as missing targets.
  tree.File("src/a.txt", "a");
  EXPECT_TRUE(check.NeedsCopy("a.txt", true));
  EXPECT_TRUE(check.NeedsCopy("a.txt", false));
}

TEST_F(FolderCopyCheckTest, TargetFolderThatCannotBeMadeCountsAsNoCopy) {
  const std::string src = tree.Dir("src");
  tree.File("src/a.txt", "a");
  const std::string blocker = tree.File("blocker", "a file where a folder belongs");
  FolderCopyCheck check;
  check.Enter(src, blocker + "/sub");
  EXPECT_TRUE(check.NeedsCopy("a.txt", true));
  EXPECT_EQ(check.targetFolderFd(), -1);
  EXPECT_EQ(TestTree::Read(blocker), "a file where a folder belongs");
}

// Each pair's folders are closed when the next pair is entered.
TEST_F(FolderCopyCheckTest, FoldersAreClosedWhenMovingOn) {
  auto openCount = [] {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    while (readdir(dir) != nullptr) ++count;
    closedir(dir);
    return count;
  };
  const std::string src = tree.Dir("src");
  tree.File("src/a.txt", "a");
  const int before = openCount();
  ASSERT_GT(before, 0);
  {
    FolderCopyCheck check;
    for (int i = 0; i < 300; ++i) {
      check.Enter(src, tree.Path("dst/" + std::to_string(i % 7)));
      check.NeedsCopy("a.txt", true);
    }
    EXPECT_EQ(openCount(), before + 2);
  }
  EXPECT_EQ(openCount(), before);
}

}  // namespace
}  // namespace quillfen
