#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/FileAccess.h"
#include "testing/FaultInjection.h"
#include "testing/TestTree.h"

namespace quillfen {
namespace {

using testing::TestTree;

std::vector<std::string> NamesOf(const TreeListing::Folder& folder) {
  std::vector<std::string> names;
  TreeListing::ForEachName(folder, [&](std::string_view name) { names.emplace_back(name); });
  return names;
}

TEST(TreeListingTest, FoldersRelativeToTheRootWithTheirNamesInOneBuffer) {
  TestTree tree;
  tree.File("top.txt", "t");
  tree.File("a/x.txt", "x");
  tree.File("a/y z.txt", "y");
  tree.Dir("a/empty");
  tree.File("A-b/c.txt", "c");
  const TreeListing listing = ListTree(tree.root() + "/");
  ASSERT_EQ(listing.folders.size(), 4u);
  EXPECT_EQ(listing.folders[0].relative, "");
  // Not depth first: "/A-b" sorts between "/a" and "/a/empty" ('-' before '/').
  EXPECT_EQ(listing.folders[1].relative, "/a");
  EXPECT_EQ(listing.folders[2].relative, "/A-b");
  EXPECT_EQ(listing.folders[3].relative, "/a/empty");
  EXPECT_EQ(listing.fileCount, 4u);
  EXPECT_EQ(NamesOf(listing.folders[0]), std::vector<std::string>{"top.txt"});
  std::vector<std::string> inA = NamesOf(listing.folders[1]);
  std::sort(inA.begin(), inA.end());
  EXPECT_EQ(inA, (std::vector<std::string>{"x.txt", "y z.txt"}));
  EXPECT_EQ(NamesOf(listing.folders[2]), std::vector<std::string>{"c.txt"});
  EXPECT_TRUE(NamesOf(listing.folders[3]).empty());
}

TEST(TreeListingTest, MissingRootGivesTheRootAloneWithoutFiles) {
  TestTree tree;
  const TreeListing listing = ListTree(tree.Path("missing"));
  ASSERT_EQ(listing.folders.size(), 1u);
  EXPECT_EQ(listing.folders[0].relative, "");
  EXPECT_EQ(listing.fileCount, 0u);
  EXPECT_TRUE(listing.folders[0].names.empty());
}

// A folder that cannot be read contributes nothing, and says so; one that
// vanished meanwhile is simply gone. The program's temporary files are never
// listed.
TEST(TreeListingTest, UnreadableFoldersAreReportedAndTemporaryFilesNeverListed) {
  TestTree tree;
  tree.File("open/a.txt", "a");
  tree.File("open/.quillfen-0123456789", "a killed copy");
  tree.File("open/.quillfen-tmp-999999999-0123456789abcdef", "a killed copy");
  tree.File("open/.quillfen-notes", "the user's");
  tree.File("closed/b.txt", "b");
  tree.File("closed/inner/c.txt", "c");
  const std::string closed = tree.Path("closed");
  ASSERT_EQ(chmod(closed.c_str(), 0), 0);
  auto check = [&] {
    const TreeListing listing = ListTree(tree.root());
    std::vector<std::string> files;
    for (const TreeListing::Folder& folder : listing.folders) {
      for (const std::string& name : NamesOf(folder)) files.push_back(folder.relative + "/" + name);
    }
    std::sort(files.begin(), files.end());
    return files == std::vector<std::string>{"/open/.quillfen-notes", "/open/a.txt"} &&
           listing.errors.size() == 1 &&
           listing.errors[0].message() == closed + ": " + ErrnoText(EACCES) &&
           listing.errors[0].code() == Status::Code::kPermission;
  };
  if (geteuid() == 0) {
    // Root reads every folder: the second user cannot.
    ASSERT_EQ(chmod(tree.root().c_str(), 0755), 0);
    for (const char* path : {"", "open", "closed"}) {
      ASSERT_EQ(chown(tree.Path(path).c_str(), testing::kNobody, testing::kNogroup), 0);
    }
    EXPECT_TRUE(testing::AsUser(testing::kNobody, testing::kNogroup, check));
  } else {
    EXPECT_TRUE(check());
  }
}

}  // namespace
}  // namespace quillfen
