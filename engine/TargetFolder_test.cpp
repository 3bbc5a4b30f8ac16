// Preparing a copy's place: links planted in the destination tree are
// replaced, never followed; the destination root itself may be a link.
#include "engine/TargetFolder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "engine/FaultInjection.h"
#include "engine/TestTree.h"

namespace quillfen {
namespace {

using testing::NamesIn;
using testing::TestTree;

bool IsRealFolder(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

TEST(PrepareTarget, LinksInPlaceOfFoldersBecomeFoldersAndNothingOutsideIsMade) {
  TestTree tree;
  const std::string outside = tree.Dir("outside");
  tree.File("outside/keep.txt", "kept");
  const std::string dst = tree.Dir("dst");
  ASSERT_EQ(symlink(outside.c_str(), (dst + "/sub").c_str()), 0);
  ASSERT_EQ(symlink("/nonexistent/place", (dst + "/gone").c_str()), 0);

  std::string last;
  PrepareTarget(dst, "/sub/deeper/a.txt", last);
  PrepareTarget(dst, "/gone/b.txt", last);
  EXPECT_TRUE(IsRealFolder(dst + "/sub/deeper"));
  EXPECT_TRUE(IsRealFolder(dst + "/gone"));
  EXPECT_EQ(NamesIn(outside), std::set<std::string>{"keep.txt"});
  EXPECT_FALSE(std::filesystem::exists("/nonexistent/place"));
}

TEST(PrepareTarget, LinkAtTheFilesPlaceIsRemovedAndWhatItNamesKept) {
  TestTree tree;
  const std::string outside = tree.File("outside/secret.txt", "secret");
  const std::string dst = tree.Dir("dst");
  ASSERT_EQ(symlink(outside.c_str(), (dst + "/a.txt").c_str()), 0);
  std::string last;
  PrepareTarget(dst, "/a.txt", last);
  struct stat st;
  EXPECT_NE(lstat((dst + "/a.txt").c_str(), &st), 0);
  EXPECT_EQ(TestTree::Read(outside), "secret");
}

TEST(PrepareTarget, RootThatIsALinkIsFollowedAndFilesInPlaceOfFoldersStay) {
  TestTree tree;
  const std::string real = tree.Dir("real");
  const std::string root = tree.Path("root");
  ASSERT_EQ(symlink(real.c_str(), root.c_str()), 0);
  tree.File("real/blocker", "a file");
  std::string last;
  PrepareTarget(root + "/", "/x/y.txt", last);
  PrepareTarget(root, "/blocker/z.txt", last);
  EXPECT_TRUE(IsRealFolder(real + "/x"));
  EXPECT_EQ(TestTree::Read(real + "/blocker"), "a file");
  struct stat st;
  ASSERT_EQ(lstat(root.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST(PrepareTarget, FolderPreparedOnceIsWalkedAgainOnlyForAnotherFolder) {
  TestTree tree;
  const std::string dst = tree.Dir("dst");
  const std::string outside = tree.Dir("outside");
  std::string last;
  PrepareTarget(dst, "/a/one.txt", last);
  EXPECT_EQ(last, dst + "/a");
  // A link planted afterwards in a folder not yet prepared is still found.
  ASSERT_EQ(symlink(outside.c_str(), (dst + "/b").c_str()), 0);
  PrepareTarget(dst, "/a/two.txt", last);
  PrepareTarget(dst, "/b/three.txt", last);
  EXPECT_TRUE(IsRealFolder(dst + "/b"));
  EXPECT_TRUE(NamesIn(outside).empty());
}

TEST(TargetPlaces, FolderByFolderReplacesPlantedLinksAndLeavesOutsideAlone) {
  TestTree tree;
  const std::string outside = tree.Dir("outside");
  const std::string secret = tree.File("outside/secret.txt", "secret");
  const std::string dst = tree.Dir("dst");
  ASSERT_EQ(symlink(outside.c_str(), (dst + "/sub").c_str()), 0);
  tree.File("dst/blocker", "a file");

  TargetPlaces places(dst + "/");
  places.EnterFolder("");
  places.EnterFolder("/sub/deeper");
  places.EnterFolder("/blocker/below");
  EXPECT_TRUE(IsRealFolder(dst + "/sub/deeper"));
  EXPECT_EQ(TestTree::Read(dst + "/blocker"), "a file");
  EXPECT_EQ(NamesIn(outside), std::set<std::string>{"secret.txt"});
  EXPECT_EQ(TestTree::Read(secret), "secret");
}

TEST(TargetPlaces, FolderSharingOnlyLettersWithTheLastOneIsLookedAtAgain) {
  TestTree tree;
  const std::string outside = tree.Dir("outside");
  const std::string dst = tree.Dir("dst");
  TargetPlaces places(dst);
  places.EnterFolder("/x/ab");
  // "/x/a" shares letters with "/x/ab" but is another folder: a link planted
  // there after "/x/ab" was entered must still be replaced.
  ASSERT_EQ(symlink(outside.c_str(), (dst + "/x/a").c_str()), 0);
  places.EnterFolder("/x/a/c");
  EXPECT_TRUE(IsRealFolder(dst + "/x/a"));
  EXPECT_TRUE(IsRealFolder(dst + "/x/a/c"));
  EXPECT_TRUE(NamesIn(outside).empty());
  places.EnterFolder("/x/a/c/d");
  EXPECT_TRUE(IsRealFolder(dst + "/x/a/c/d"));
}

TEST(MayReplaceLinks, OnlyForADestinationThatNeitherIsNorHoldsTheSource) {
  TestTree tree;
  const std::string src = tree.Dir("data/src");
  tree.Dir("backup");
  ASSERT_EQ(symlink(src.c_str(), tree.Path("alias").c_str()), 0);
  EXPECT_TRUE(MayReplaceLinks(src, tree.Path("backup/src")));
  EXPECT_TRUE(MayReplaceLinks(src, tree.Path("not/yet/made")));
  EXPECT_TRUE(MayReplaceLinks(src, src + "/inner-backup"));  // left out of the listing
  EXPECT_TRUE(MayReplaceLinks(src, tree.Path("data/src2")));
  EXPECT_FALSE(MayReplaceLinks(src, src));
  EXPECT_FALSE(MayReplaceLinks(src, src + "/"));
  EXPECT_FALSE(MayReplaceLinks(src, tree.Path("alias")));
  EXPECT_FALSE(MayReplaceLinks(src, tree.Path("data")));
  EXPECT_FALSE(MayReplaceLinks(src, "/"));
}

}  // namespace
}  // namespace quillfen
