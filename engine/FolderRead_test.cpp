#include "engine/FolderRead.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <string>

#include "engine/UniqueFd.h"
#include "testing/TestTree.h"

namespace quillfen {
namespace {

using testing::TestTree;

UniqueFd OpenFolder(const std::string& path) {
  return UniqueFd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// How often each name was met.
std::map<std::string, int> ReadAll(int fd, int& err) {
  std::map<std::string, int> seen;
  err = ForEachFolderEntry(fd, [&](const struct dirent64& entry) { ++seen[entry.d_name]; });
  return seen;
}

// Many more names than one batch holds: each is met exactly once, "." and
// ".." too, with its type; read again only after going back to the start.
TEST(FolderReadTest, EveryEntryOnceAcrossManyBatches) {
  TestTree tree;
  const std::string longPart(100, 'n');
  for (int i = 0; i < 1500; ++i) tree.File("f/" + longPart + std::to_string(i));
  tree.Dir("f/sub");
  const UniqueFd fd = OpenFolder(tree.Path("f"));
  ASSERT_GE(fd.get(), 0);
  std::map<std::string, unsigned char> types;
  int calls = 0;
  EXPECT_EQ(ForEachFolderEntry(fd.get(),
                               [&](const struct dirent64& entry) {
                                 ++calls;
                                 types[entry.d_name] = entry.d_type;
                               }),
            0);
  EXPECT_EQ(calls, 1503);
  ASSERT_EQ(types.size(), 1503u);
  EXPECT_EQ(types.count("."), 1u);
  EXPECT_EQ(types.count(".."), 1u);
  EXPECT_EQ(types.count(longPart + "1499"), 1u);
  EXPECT_TRUE(types["sub"] == DT_DIR || types["sub"] == DT_UNKNOWN);

  int err = -1;
  EXPECT_TRUE(ReadAll(fd.get(), err).empty());  // it stands at the end
  EXPECT_EQ(err, 0);
  ASSERT_EQ(lseek(fd.get(), 0, SEEK_SET), 0);
  const std::map<std::string, int> again = ReadAll(fd.get(), err);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(again.size(), 1503u);
  for (const auto& [name, count] : again) EXPECT_EQ(count, 1) << name;
}

TEST(FolderReadTest, FalseFromTheCallbackStopsTheReading) {
  TestTree tree;
  for (int i = 0; i < 50; ++i) tree.File("f/" + std::to_string(i));
  const UniqueFd fd = OpenFolder(tree.Path("f"));
  int calls = 0;
  EXPECT_EQ(ForEachFolderEntry(fd.get(), [&](const struct dirent64&) { return ++calls < 5; }), 0);
  EXPECT_EQ(calls, 5);
}

TEST(FolderReadTest, WhatIsNoReadableFolderGivesItsErrno) {
  TestTree tree;
  const std::string file = tree.File("file", "x");
  int calls = 0;
  const auto count = [&](const struct dirent64&) { ++calls; };
  const UniqueFd plain(open(file.c_str(), O_RDONLY | O_CLOEXEC));
  EXPECT_EQ(ForEachFolderEntry(plain.get(), count), ENOTDIR);
  const UniqueFd lookupsOnly(open(tree.root().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  EXPECT_EQ(ForEachFolderEntry(lookupsOnly.get(), count), EBADF);
  EXPECT_EQ(ForEachFolderEntry(-1, count), EBADF);
  EXPECT_EQ(calls, 0);
}

// A folder of this process's own is read without touching its access time.
TEST(FolderReadTest, ReadingAskedToLeaveTheAccessTimeAlone) {
  TestTree tree;
  tree.File("f/a");
  const UniqueFd fd = OpenFolder(tree.Path("f"));
  ASSERT_EQ(fcntl(fd.get(), F_GETFL) & O_NOATIME, 0);
  int err = -1;
  ReadAll(fd.get(), err);
  EXPECT_EQ(err, 0);
  EXPECT_NE(fcntl(fd.get(), F_GETFL) & O_NOATIME, 0);
}

}  // namespace
}  // namespace quillfen
