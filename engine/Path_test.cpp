#include "engine/Path.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "testing/TestTree.h"

namespace quillfen {
namespace {

using testing::TestTree;

TEST(PathText, TrimsJoinsAndSplits) {
  EXPECT_EQ(TrimTrailingSlashes("/a/b//"), "/a/b");
  EXPECT_EQ(TrimTrailingSlashes("///"), "/");
  EXPECT_EQ(TrimTrailingSlashes(""), "");

  EXPECT_EQ(JoinPath("/a", "b"), "/a/b");
  EXPECT_EQ(JoinPath("/a/", "b"), "/a/b");
  EXPECT_EQ(JoinPath("/", "b"), "/b");
  // Relative paths begin with '/', and the file-system root adds nothing.
  EXPECT_EQ(JoinRelative("/bk/", "/x/y"), "/bk/x/y");
  EXPECT_EQ(JoinRelative("/bk", ""), "/bk");
  EXPECT_EQ(JoinRelative("/", "/x"), "/x");
  EXPECT_EQ(JoinRelative("/", ""), "/");

  EXPECT_EQ(FolderOf("/a/b.txt"), "/a");
  EXPECT_EQ(FolderOf("/b.txt"), "");
  EXPECT_EQ(FolderOfFull("/b.txt"), "/");
  EXPECT_EQ(FolderOfFull("b.txt"), ".");
  EXPECT_EQ(LastName("/a/b.txt"), "b.txt");
  EXPECT_EQ(LastName("b.txt"), "b.txt");

  EXPECT_EQ(FileExtension("/r/a.tar.gz"), ".gz");
  EXPECT_EQ(FileExtension("/r/dir.d/name"), "");
  EXPECT_EQ(FileExtension("/r/.profile"), ".profile");
  EXPECT_EQ(FileExtension("/r/end."), ".");
  EXPECT_EQ(FileExtension("photo.JPG"), ".JPG");
}

TEST(PathText, InsideMeansStrictlyBeneathByWholeNames) {
  EXPECT_TRUE(IsInside("/a/b/c", "/a/b"));
  EXPECT_FALSE(IsInside("/a/bc", "/a/b"));
  EXPECT_FALSE(IsInside("/a/b", "/a/b"));
  EXPECT_TRUE(IsInside("/x", "/"));
  EXPECT_FALSE(IsInside("/", "/"));
  EXPECT_TRUE(IsAtOrBelow("/data", "/data"));
  EXPECT_TRUE(IsAtOrBelow("/data/x", "/data"));
  EXPECT_FALSE(IsAtOrBelow("/database", "/data"));
  EXPECT_TRUE(IsAtOrBelow("/anything", ""));
}

// One rule for the backup run and the comparison window: the destination's
// place under the source, found through links too.
TEST(FolderToLeaveOut, ADestinationInsideTheSourceByTextOrThroughLinks) {
  TestTree tree;
  const std::string src = tree.Dir("src");
  tree.Dir("src2");
  EXPECT_EQ(FolderToLeaveOut(src, src + "/bk"), "/bk");
  EXPECT_EQ(FolderToLeaveOut(src + "/", src + "/bk/deeper/"), "/bk/deeper");
  EXPECT_EQ(FolderToLeaveOut("/", "/x"), "/x");
  EXPECT_EQ(FolderToLeaveOut(src, tree.Path("src2")), "");  // a sibling sharing the prefix
  EXPECT_EQ(FolderToLeaveOut(src, src), "");
  EXPECT_EQ(FolderToLeaveOut(src, tree.Path("elsewhere")), "");
  EXPECT_EQ(FolderToLeaveOut(src, ""), "");
  ASSERT_EQ(symlink(src.c_str(), tree.Path("alias").c_str()), 0);
  EXPECT_EQ(FolderToLeaveOut(src, tree.Path("alias") + "/bk"), "/bk");
  EXPECT_EQ(FolderToLeaveOut(tree.Path("alias"), src + "/bk"), "/bk");
  ASSERT_EQ(symlink((src + "/bk").c_str(), tree.Path("to-bk").c_str()), 0);
  tree.Dir("src/bk");
  EXPECT_EQ(FolderToLeaveOut(src, tree.Path("to-bk")), "/bk");
}

TEST(SourcePlaceInDestination, TheSourcesPlaceWhereTheDestinationHoldsIt) {
  TestTree tree;
  const std::string bk = tree.Dir("bk");
  const std::string data = tree.Dir("bk/data");
  EXPECT_EQ(SourcePlaceInDestination(data, bk), "/data");
  EXPECT_EQ(SourcePlaceInDestination(data, data + "/"), "");
  EXPECT_EQ(SourcePlaceInDestination(data, "/"), data);
  EXPECT_EQ(SourcePlaceInDestination(data, data + "/inner"), std::nullopt);
  EXPECT_EQ(SourcePlaceInDestination(data, tree.Path("elsewhere")), std::nullopt);
  ASSERT_EQ(symlink(data.c_str(), tree.Path("alias").c_str()), 0);
  EXPECT_EQ(SourcePlaceInDestination(tree.Path("alias"), bk), "/data");
}

TEST(FolderOperations, OneLevelOrTheWholePath) {
  TestTree tree;
  EXPECT_FALSE(IsFolder(""));
  EXPECT_TRUE(IsFolder(tree.root()));
  EXPECT_FALSE(MakeFolder(tree.Path("a/b")));  // its parent is missing
  EXPECT_TRUE(MakeFolder(tree.Path("a")));
  EXPECT_FALSE(MakeFolder(tree.Path("a")));
  EXPECT_TRUE(MakeFolderPath(tree.Path("x/y/z/")).ok());
  EXPECT_TRUE(IsFolder(tree.Path("x/y/z")));
  EXPECT_TRUE(MakeFolderPath(tree.Path("x/y/z")).ok());  // already there
  tree.File("file", "in the way");
  // The failure names the folder that could not be made, not the path asked for.
  const Status blocked = MakeFolderPath(tree.Path("file/below/deeper"));
  EXPECT_EQ(blocked.code(), Status::Code::kExists);
  EXPECT_EQ(blocked.message(), tree.Path("file") + ": " + ErrnoText(EEXIST));
  EXPECT_FALSE(IsFolder(tree.Path("file")));
  EXPECT_EQ(TestTree::Read(tree.Path("file")), "in the way");
}

}  // namespace
}  // namespace quillfen
