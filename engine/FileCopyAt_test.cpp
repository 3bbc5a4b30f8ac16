#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>

#include "engine/FileCopy.h"
#include "testing/TestTree.h"

namespace quillfen {
namespace {

using testing::TestTree;

std::set<std::string> Names(const std::string& folder) {
  std::set<std::string> names;
  if (DIR* dir = opendir(folder.c_str())) {
    while (const dirent* e = readdir(dir)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.insert(name);
    }
    closedir(dir);
  }
  return names;
}

// Folders opened the way the backup run opens them.
struct OpenFolder {
  explicit OpenFolder(const std::string& path)
      : fd(open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)) {}
  ~OpenFolder() {
    if (fd >= 0) close(fd);
  }
  int fd;
};

TEST(CopyFileAtTest, NewAndExistingTargetsThroughOpenFolders) {
  TestTree tree;
  const std::string src = tree.Dir("src");
  const std::string dst = tree.Dir("dst");
  tree.File("src/new.txt", "new file");
  tree.File("src/old.txt", "replacement");
  tree.File("dst/old.txt", "the old copy, longer than the new one");
  ASSERT_EQ(chmod(tree.Path("src/new.txt").c_str(), 04751), 0);
  TestTree::SetMtime(tree.Path("src/new.txt"), 1500000001, 999999999);
  OpenFolder from(src);
  OpenFolder to(dst);
  ASSERT_GE(from.fd, 0);
  ASSERT_GE(to.fd, 0);

  for (const char* name : {"new.txt", "old.txt"}) {
    const Status s = CopyFileAt(from.fd, name, to.fd, name, "S", "T");
    ASSERT_TRUE(s.ok()) << s.message();
  }
  EXPECT_EQ(TestTree::Read(dst + "/new.txt"), "new file");
  EXPECT_EQ(TestTree::Read(dst + "/old.txt"), "replacement");
  struct stat st;
  ASSERT_EQ(stat((dst + "/new.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 04751u);
  EXPECT_EQ(st.st_mtim.tv_sec, 1500000001);
  EXPECT_EQ(st.st_mtim.tv_nsec, 999999999);
  EXPECT_EQ(st.st_nlink, 1u);
  EXPECT_EQ(Names(dst), (std::set<std::string>{"new.txt", "old.txt"}));
}

TEST(CopyFileAtTest, FailuresNameTheGivenPathsAndLeaveNothing) {
  TestTree tree;
  const std::string src = tree.Dir("src");
  const std::string dst = tree.Dir("dst");
  tree.File("src/a.txt", "a");
  tree.Dir("dst/a.txt/inside");
  OpenFolder from(src);
  OpenFolder to(dst);

  Status s = CopyFileAt(from.fd, "missing.txt", to.fd, "missing.txt", "/S/missing.txt", "/T/m");
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.message(), "/S/missing.txt -> /T/m: " + ErrnoText(ENOENT));

  // A folder in the target's place stays, with what it holds.
  s = CopyFileAt(from.fd, "a.txt", to.fd, "a.txt", "/S/a.txt", "/T/a.txt");
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.message().rfind("/S/a.txt -> /T/a.txt: ", 0), 0u) << s.message();
  EXPECT_EQ(Names(dst), std::set<std::string>{"a.txt"});
  EXPECT_EQ(Names(dst + "/a.txt"), std::set<std::string>{"inside"});
}

// Copying many files over existing ones one after another: every temporary
// name is fresh and none is left.
TEST(CopyFileAtTest, RepeatedReplacementsLeaveOnlyTheTargets) {
  TestTree tree;
  const std::string src = tree.Dir("src");
  const std::string dst = tree.Dir("dst");
  std::set<std::string> expected;
  for (int i = 0; i < 50; ++i) {
    const std::string name = "f" + std::to_string(i);
    tree.File("src/" + name, "v2 " + name);
    tree.File("dst/" + name, "v1");
    expected.insert(name);
  }
  OpenFolder from(src);
  OpenFolder to(dst);
  for (int round = 0; round < 3; ++round) {
    for (const std::string& name : expected) {
      ASSERT_TRUE(CopyFileAt(from.fd, name.c_str(), to.fd, name.c_str(), name, name).ok());
    }
  }
  EXPECT_EQ(Names(dst), expected);
  EXPECT_EQ(TestTree::Read(dst + "/f7"), "v2 f7");
}

}  // namespace
}  // namespace quillfen
