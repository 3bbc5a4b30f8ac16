#include "engine/CopyPlaces.h"

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

#include "engine/FiCheck.h"
#include "engine/FileCopy.h"
#include "testing/FaultInjection.h"
#include "testing/TestTree.h"

namespace quillfen {
namespace {

using testing::NamesIn;
using testing::ScopedTimeZone;
using testing::TestTree;

bool IsRealFolder(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

mode_t BitsOf(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// What stands at one side's place of a file.
struct Side {
  enum Kind { kMissing, kFile, kLinkToFile, kFolder, kDanglingLink } kind;
  int64_t mtime = 0;
};

// Berlin time: its autumn change puts two moments an hour apart in UTC into
// the opposite order of local clock readings.
class CopyPlacesTest : public ::testing::Test {
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

  // Check's answer for `name`, which must not be a failure.
  static bool Copy(CopyPlaces& places, const std::string& name, bool newer,
                   CopyPlaces::MakeFolders make = CopyPlaces::MakeFolders::kAlways) {
    const CopyPlaces::Decision decision = places.Check(name.c_str(), newer, make);
    EXPECT_TRUE(decision.failure.ok()) << decision.failure.message();
    return decision.copy;
  }

  TestTree tree;
};

TEST_F(CopyPlacesTest, AnswersWhatNeedsCopyAnswersForEveryPairOfPlaces) {
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
  // The user's links are followed as NeedsCopy follows them.
  CopyPlaces places(src, dst, CopyPlaces::Links::kKeep);
  places.Enter("");
  int copies = 0;
  for (const std::string& name : names) {
    for (bool newer : {true, false}) {
      const bool expected = NeedsCopy(src + "/" + name, dst + "/" + name, newer);
      EXPECT_EQ(Copy(places, name, newer), expected)
          << name << (newer ? " newer test" : " keep-original test");
      copies += expected ? 1 : 0;
    }
  }
  // Both answers occur often enough for the comparison to mean something.
  EXPECT_GT(copies, 60);
  EXPECT_LT(copies, 2 * static_cast<int>(names.size()) - 60);
  // The autumn pair: the later moment is the smaller age.
  const std::string later = "f6_5";
  EXPECT_FALSE(Copy(places, later, true));
  EXPECT_TRUE(Copy(places, later, false));
}

TEST_F(CopyPlacesTest, PlantedLinksAtFilePlacesAreRemovedAndCountAsMissing) {
  const std::string src = tree.Dir("src");
  const std::string dst = tree.Dir("dst");
  const std::string outside = tree.File("outside/newer.txt", "outside");
  const std::string outsideFolder = tree.Dir("outside/folder");
  for (const char* name : {"a.txt", "b.txt", "real.txt"}) {
    TestTree::SetMtime(tree.File(std::string("src/") + name, "source"), 1'600'000'000);
  }
  TestTree::SetMtime(outside, 1'700'000'000);
  ASSERT_EQ(symlink(outside.c_str(), (dst + "/a.txt").c_str()), 0);
  ASSERT_EQ(symlink(outsideFolder.c_str(), (dst + "/b.txt").c_str()), 0);
  TestTree::SetMtime(tree.File("dst/real.txt", "copy"), 1'700'000'000);

  CopyPlaces places(src, dst, CopyPlaces::Links::kReplace);
  places.Enter("");
  // Followed, the link to a newer file would hide that the copy is missing.
  EXPECT_TRUE(Copy(places, "a.txt", true));
  EXPECT_TRUE(Copy(places, "b.txt", true));
  EXPECT_FALSE(Exists(dst + "/a.txt"));
  EXPECT_FALSE(Exists(dst + "/b.txt"));
  ASSERT_TRUE(places.Copy("a.txt").ok());
  EXPECT_EQ(TestTree::Read(dst + "/a.txt"), "source");
  EXPECT_EQ(TestTree::Read(outside), "outside");
  EXPECT_TRUE(IsRealFolder(outsideFolder));
  // A real file at the target is compared as always.
  EXPECT_FALSE(Copy(places, "real.txt", true));
  EXPECT_TRUE(Copy(places, "real.txt", false));
  EXPECT_EQ(TestTree::Read(dst + "/real.txt"), "copy");
}

TEST_F(CopyPlacesTest, FoldersAreMadeAtTheFirstQuestionOrOnlyForACopy) {
  const std::string src = tree.Dir("src/a/b");
  tree.File("src/a/b/x.txt", "x");
  const std::string dst = tree.Path("dst/root");  // the root and its parent are missing too
  CopyPlaces places(tree.Path("src"), dst, CopyPlaces::Links::kReplace);
  places.Enter("/a/b");
  EXPECT_FALSE(Exists(tree.Path("dst"))) << "made before any question";
  // Only for a copy: a file that is not copied makes nothing.
  EXPECT_FALSE(Copy(places, "missing.txt", true, CopyPlaces::MakeFolders::kWhenCopying));
  EXPECT_FALSE(Exists(tree.Path("dst")));
  EXPECT_TRUE(Copy(places, "x.txt", true, CopyPlaces::MakeFolders::kWhenCopying));
  EXPECT_TRUE(IsRealFolder(dst + "/a/b"));
  ASSERT_TRUE(places.Copy("x.txt").ok());
  EXPECT_EQ(TestTree::Read(dst + "/a/b/x.txt"), "x");
  // Entered again, the folder made a moment ago is looked into: its copy is
  // there and is not made twice.
  places.Enter("/a/b");
  EXPECT_FALSE(Copy(places, "x.txt", true));
  EXPECT_FALSE(Copy(places, "x.txt", false));

  // At every question: the folder of a file that is not copied is made too.
  places.Enter("/c");
  EXPECT_FALSE(Copy(places, "missing.txt", true));
  EXPECT_TRUE(IsRealFolder(dst + "/c"));
}

// Every folder made gets the bits of the matching source folder, never more
// open; bits without the owner's write or search permission come at the end,
// after the copies below the folder.
TEST_F(CopyPlacesTest, FoldersMadeTakeTheSourceFoldersBitsAtTheEnd) {
  const std::string src = tree.Dir("src");
  const std::vector<std::pair<std::string, mode_t>> folders = {
      {"/private", 0700},  {"/private/shared", 0750}, {"/open", 0755},
      {"/readonly", 0555}, {"/readonly/inner", 0511}, {"/sticky", 01777}};
  for (const auto& [folder, bits] : folders) {
    tree.File("src" + folder + "/f.txt", folder);
  }
  for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
    ASSERT_EQ(chmod((src + it->first).c_str(), it->second), 0);
  }
  const std::string dst = tree.Path("dst");
  {
    const mode_t old = umask(0);  // the bits must not depend on the user's umask
    CopyPlaces places(src, dst, CopyPlaces::Links::kReplace);
    for (const auto& [folder, bits] : folders) {
      places.Enter(folder);
      ASSERT_TRUE(Copy(places, "f.txt", true)) << folder;
      const Status copy = places.Copy("f.txt");
      ASSERT_TRUE(copy.ok()) << copy.message();
      // Never more open to others than the source folder, even meanwhile.
      EXPECT_EQ(BitsOf(dst + folder) & 077, bits & 077) << folder;
    }
    EXPECT_EQ(BitsOf(dst + "/readonly"), 0755u);  // until the end
    EXPECT_TRUE(places.FinishFolders().empty());
    umask(old);
  }
  for (const auto& [folder, bits] : folders) {
    EXPECT_EQ(BitsOf(dst + folder), bits) << folder;
    EXPECT_EQ(TestTree::Read(dst + folder + "/f.txt"), folder);
  }
  EXPECT_EQ(BitsOf(dst), 0777u & ~umask(umask(0)));  // the root itself: as the user makes it
}

TEST_F(CopyPlacesTest, RunAsRootFoldersTakeTheSourceFoldersOwner) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give folders to another user";
  const std::string src = tree.Dir("src/theirs/setgid");
  tree.File("src/theirs/setgid/f.txt", "f");
  ASSERT_EQ(chown(tree.Path("src/theirs").c_str(), 65534, 65534), 0);
  ASSERT_EQ(chown(src.c_str(), 65534, 65534), 0);
  ASSERT_EQ(chmod(src.c_str(), 02750), 0);
  const std::string dst = tree.Path("dst");
  CopyPlaces places(tree.Path("src"), dst, CopyPlaces::Links::kReplace);
  places.Enter("/theirs/setgid");
  ASSERT_TRUE(Copy(places, "f.txt", true));
  ASSERT_TRUE(places.Copy("f.txt").ok());
  EXPECT_TRUE(places.FinishFolders().empty());
  struct stat st;
  ASSERT_EQ(stat((dst + "/theirs/setgid").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 65534u);
  EXPECT_EQ(st.st_gid, 65534u);
  EXPECT_EQ(st.st_mode & 07777, 02750u);
  ASSERT_EQ(stat((dst + "/theirs").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 65534u);
}

TEST_F(CopyPlacesTest, LinksInPlaceOfFoldersAreReplacedInABackupAndFailInARestore) {
  const std::string outside = tree.Dir("outside");
  tree.File("outside/keep.txt", "kept");
  tree.File("src/sub/deeper/a.txt", "a");
  tree.File("src/gone/b.txt", "b");
  tree.File("src/blocker/c.txt", "c");
  for (const char* side : {"dst", "restored"}) {
    const std::string root = tree.Dir(side);
    ASSERT_EQ(symlink(outside.c_str(), (root + "/sub").c_str()), 0);
    ASSERT_EQ(symlink("/nonexistent/place", (root + "/gone").c_str()), 0);
    tree.File(std::string(side) + "/blocker", "a file");
  }
  const std::string src = tree.Path("src");
  const std::string dst = tree.Path("dst");
  CopyPlaces backup(src, dst, CopyPlaces::Links::kReplace);
  backup.Enter("/sub/deeper");
  ASSERT_TRUE(Copy(backup, "a.txt", true));
  ASSERT_TRUE(backup.Copy("a.txt").ok());
  backup.Enter("/gone");
  ASSERT_TRUE(Copy(backup, "b.txt", true));
  ASSERT_TRUE(backup.Copy("b.txt").ok());
  EXPECT_TRUE(IsRealFolder(dst + "/sub/deeper"));
  EXPECT_TRUE(IsRealFolder(dst + "/gone"));
  EXPECT_FALSE(Exists("/nonexistent/place"));
  // A file in place of a folder stays, and the file below it fails.
  backup.Enter("/blocker");
  CopyPlaces::Decision decision = backup.Check("c.txt", true, CopyPlaces::MakeFolders::kAlways);
  EXPECT_FALSE(decision.copy);
  EXPECT_EQ(decision.failure.code(), Status::Code::kNotAFolder);
  EXPECT_EQ(decision.failure.message(),
            src + "/blocker/c.txt -> " + dst + "/blocker/c.txt: " + ErrnoText(ENOTDIR));
  EXPECT_EQ(TestTree::Read(dst + "/blocker"), "a file");

  // The user's own links in a tree restored into are never entered.
  const std::string restored = tree.Path("restored");
  CopyPlaces restore(src, restored, CopyPlaces::Links::kKeep);
  restore.Enter("/sub/deeper");
  decision = restore.Check("a.txt", true, CopyPlaces::MakeFolders::kWhenCopying);
  EXPECT_FALSE(decision.copy);
  EXPECT_EQ(decision.failure.code(), Status::Code::kLink);
  struct stat st;
  ASSERT_EQ(lstat((restored + "/sub").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(NamesIn(outside), std::set<std::string>{"keep.txt"});
}

// A destination that holds the source tree: links in the source's own
// folders are the user's and stay; a file below one fails with the reason.
// Links elsewhere in the destination were planted and are replaced.
TEST_F(CopyPlacesTest, LinksInTheSourcesOwnFoldersStayWhereTheDestinationHoldsIt) {
  const std::string outside = tree.Dir("outside");
  const std::string bk = tree.Dir("bk");
  const std::string src = tree.Dir("bk/data");
  tree.File("bk/data/data/own/a.txt", "a");  // its copy's place is bk/data/own, in the source
  tree.File("bk/data/planted/b.txt", "b");
  ASSERT_EQ(symlink(outside.c_str(), (src + "/own").c_str()), 0);  // the user's link
  ASSERT_EQ(symlink(outside.c_str(), (bk + "/planted").c_str()), 0);
  for (const std::string& source : {src, tree.Path("bk//data/")}) {
    CopyPlaces places(source, bk, CopyPlaces::Links::kReplace);
    places.Enter("/data/own");
    const CopyPlaces::Decision decision =
        places.Check("a.txt", true, CopyPlaces::MakeFolders::kAlways);
    EXPECT_FALSE(decision.copy);
    EXPECT_EQ(decision.failure.code(), Status::Code::kLink) << decision.failure.message();
    struct stat st;
    ASSERT_EQ(lstat((src + "/own").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
  }
  CopyPlaces places(src, bk, CopyPlaces::Links::kReplace);
  places.Enter("/planted");
  ASSERT_TRUE(Copy(places, "b.txt", true));
  ASSERT_TRUE(places.Copy("b.txt").ok());
  EXPECT_TRUE(IsRealFolder(bk + "/planted"));
  EXPECT_TRUE(NamesIn(outside).empty());
}

TEST_F(CopyPlacesTest, LeftoverTemporaryFilesGoFromEveryFolderEntered) {
  tree.File("src/sub/a.txt", "a");
  const std::string dst = tree.Dir("dst/sub");
  const std::string old = tree.File("dst/sub/.quillfen-0123456789", "half");
  const std::string dead = tree.File("dst/sub/.quillfen-tmp-999999999-0123456789abcdef", "half");
  const std::string living = tree.File(
      "dst/sub/.quillfen-tmp-" + std::to_string(getppid()) + "-0123456789abcdef", "in use");
  const std::string users = tree.File("dst/sub/.quillfen-notes.txt", "mine");
  CopyPlaces places(tree.Path("src"), tree.Path("dst"), CopyPlaces::Links::kReplace);
  places.Enter("/sub");
  EXPECT_TRUE(Copy(places, "a.txt", true));
  EXPECT_FALSE(Exists(old));
  EXPECT_FALSE(Exists(dead));
  EXPECT_TRUE(Exists(living));
  EXPECT_TRUE(Exists(users));
}

// However deep the tree, a handful of descriptors is open at a time, and a
// path far longer than the system takes whole still arrives.
TEST_F(CopyPlacesTest, DeepTreesArriveWithFewDescriptors) {
  // Deeper than the chain keeps open, and longer than a path can be.
  const std::string name(100, 'd');
  std::string relative;
  for (int level = 0; level < 60; ++level) relative += "/" + name;
  testing::MakeDeepFile(tree.Dir("src"), relative, "f.txt", "deep");
  // A first copy makes what copies keep for the process (a watch instance).
  ASSERT_TRUE(CopyFile(tree.File("warm", "w"), tree.Path("warm-copy")).ok());
  const int before = testing::OpenDescriptorCount();
  ASSERT_GT(before, 0);
  {
    CopyPlaces places(tree.Path("src"), tree.Path("dst"), CopyPlaces::Links::kReplace);
    for (const std::string& folder : {relative, std::string("/") + name, relative}) {
      places.Enter(folder);
      places.Check("f.txt", true, CopyPlaces::MakeFolders::kAlways);
    }
    places.Enter(relative);
    ASSERT_TRUE(Copy(places, "f.txt", true));
    const Status copy = places.Copy("f.txt");
    EXPECT_TRUE(copy.ok()) << copy.message();
    EXPECT_LE(testing::OpenDescriptorCount(),
              before + 2 * static_cast<int>(FolderChain::kMaxOpenLevels) + 4);
  }
  EXPECT_EQ(testing::OpenDescriptorCount(), before);
  EXPECT_EQ(testing::ReadDeepFile(tree.Path("dst"), relative, "f.txt"), "deep");
}

}  // namespace
}  // namespace quillfen
