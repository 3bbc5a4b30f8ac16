#include "engine/ParallelListing.h"
#include "engine/WorkerThreads.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "engine/DiskReads.h"
#include "engine/FileAccess.h"
#include "testing/FaultInjection.h"
#include "testing/TestTree.h"
#include "testing/Threads.h"

namespace quillfen {
namespace {

using testing::DropCaches;
using testing::TestTree;

// Everything a listing holds, as text, so that a difference shows where.
std::vector<std::string> Describe(const TreeListing& listing) {
  std::vector<std::string> lines;
  for (const TreeListing::Folder& folder : listing.folders) {
    std::string names = folder.names;
    for (char& c : names) c = c == '\0' ? '|' : c;
    lines.push_back(folder.relative + " [" + names + "]");
  }
  lines.push_back("files " + std::to_string(listing.fileCount));
  for (const Status& error : listing.errors) lines.push_back("error " + error.message());
  return lines;
}

void ExpectSameAsListTree(const std::string& root, const std::string& leaveOut = {}) {
  const std::vector<std::string> expected = Describe(ListTree(root, leaveOut));
  for (int threads : {2, 3, 8}) {
    for (int round = 0; round < 3; ++round) {
      EXPECT_EQ(Describe(ListTreeInParallel(root, leaveOut, threads)), expected)
          << threads << " threads, " << root;
    }
  }
}

class ParallelListingTest : public ::testing::Test {
 protected:
  ~ParallelListingTest() override {
    for (const char* folder : {"closed", "a/closed", "searchonly"}) {
      chmod(tree.Path("top/" + std::string(folder)).c_str(), 0755);
    }
  }
  TestTree tree{TestTree::MemoryBase()};
};

TEST_F(ParallelListingTest, GivesWhatListTreeGives) {
  // Wide and deep, with names in several scripts, hidden names, links, a
  // FIFO, temporary names of the program and folders that cannot be read.
  for (int i = 0; i < 60; ++i) {
    const std::string folder = "top/d" + std::to_string(i % 7) + "/e " + std::to_string(i % 5) +
                               "/写真" + std::to_string(i);
    tree.File(folder + "/f" + std::to_string(i) + ".txt", "x");
    tree.File(folder + "/.hidden", "x");
    if (i % 3 == 0) tree.Dir(folder + "/empty");
  }
  for (int i = 0; i < 40; ++i) tree.File("top/a/b/c/d/e/f/g/many" + std::to_string(i), "x");
  tree.File("top/.quillfen-0123456789", "leftover");
  ASSERT_EQ(symlink(tree.Path("top/a").c_str(), tree.Path("top/link-to-folder").c_str()), 0);
  ASSERT_EQ(
      symlink(tree.Path("top/a/b/c/d/e/f/g/many1").c_str(), tree.Path("top/link-to-file").c_str()),
      0);
  ASSERT_EQ(symlink("/nonexistent", tree.Path("top/dangling").c_str()), 0);
  ASSERT_EQ(mkfifo(tree.Path("top/fifo").c_str(), 0644), 0);
  tree.File("top/closed/inside.txt", "x");
  tree.File("top/a/closed/inside.txt", "x");
  tree.File("top/searchonly/inside.txt", "x");
  ASSERT_EQ(chmod(tree.Path("top/closed").c_str(), 0), 0);
  ASSERT_EQ(chmod(tree.Path("top/a/closed").c_str(), 0), 0);
  ASSERT_EQ(chmod(tree.Path("top/searchonly").c_str(), 0311), 0);

  const TreeListing serial = ListTree(tree.Path("top"));
  ASSERT_GT(serial.folders.size(), 100u);
  if (geteuid() != 0) {
    EXPECT_EQ(serial.errors.size(), 3u);
  }
  ExpectSameAsListTree(tree.Path("top"));
  ExpectSameAsListTree(tree.Path("top") + "/");
  ExpectSameAsListTree(tree.Path("top"), tree.Path("top/d3"));
  ExpectSameAsListTree(tree.Path("top/a/b"));
}

TEST_F(ParallelListingTest, AMissingOrOddRootGivesWhatListTreeGives) {
  tree.File("file.txt", "x");
  ExpectSameAsListTree(tree.Path("missing"));
  ExpectSameAsListTree(tree.Path("file.txt"));
  tree.Dir("empty");
  ExpectSameAsListTree(tree.Path("empty"));
  EXPECT_EQ(ListTreeInParallel(tree.Path("empty"), {}, 4).folders.size(), 1u);
}

// Reads of the disk the calling thread waits for are counted; a tree that
// comes from the disk is read by more threads than one from the cache, and
// gives the same listing.
TEST(ParallelListingFromDisk, MoreThreadsReadATreeFromTheDisk) {
  if (geteuid() != 0) GTEST_SKIP() << "dropping the caches needs root";
  const testing::CacheDropLock caches;
  // On the disk, not in memory: /var/tmp.
  TestTree tree("/var/tmp");
  for (int i = 0; i < 400; ++i) {
    const std::string folder = "d" + std::to_string(i % 20) + "/e" + std::to_string(i);
    tree.File(folder + "/f.txt", "x");
    tree.File(folder + "/g", "y");
  }
  const std::vector<std::string> expected = Describe(ListTree(tree.root(), ""));
  if (!DropCaches()) GTEST_SKIP() << "the caches cannot be dropped here";
  const uint64_t before = ThreadDiskReads();
  struct stat st;
  ASSERT_EQ(stat(tree.Path("d3/e3/f.txt").c_str(), &st), 0);
  if (ThreadDiskReads() == before) GTEST_SKIP() << "reads of the disk are not counted here";

  ASSERT_TRUE(DropCaches());
  WorkerThreads::ResetMostLive();
  const TreeListing cold = ListTreeInParallel(tree.root(), "", 2, 6);
  EXPECT_GT(WorkerThreads::MostLive(), 2);
  EXPECT_EQ(Describe(cold), expected);
  // From the cache: two threads, never more.
  WorkerThreads::ResetMostLive();
  const TreeListing warm = ListTreeInParallel(tree.root(), "", 2, 6);
  EXPECT_LE(WorkerThreads::MostLive(), 2);
  EXPECT_EQ(Describe(warm), expected);
}

// Threads added once a thread sees the tree come from the disk give the same
// listing; from the cache two threads list it, never more.
TEST(ParallelListingFromDisk, ThreadsAddedDuringTheListingGiveTheSameListing) {
  TestTree tree(TestTree::MemoryBase());
  for (int i = 0; i < 400; ++i) {
    const std::string folder = "d" + std::to_string(i % 20) + "/e" + std::to_string(i);
    tree.File(folder + "/f.txt", "x");
  }
  const std::vector<std::string> expected = Describe(ListTree(tree.root(), ""));
  WorkerThreads::ResetMostLive();
  EXPECT_EQ(Describe(ListTreeInParallel(tree.root(), "", 2, 6)), expected);
  EXPECT_LE(WorkerThreads::MostLive(), 2);
  DiskReadWatch::AssumeFromDisk(true);
  WorkerThreads::ResetMostLive();
  const TreeListing cold = ListTreeInParallel(tree.root(), "", 2, 6);
  DiskReadWatch::AssumeFromDisk(false);
  EXPECT_EQ(WorkerThreads::MostLive(), 6);
  EXPECT_EQ(Describe(cold), expected);
}

// A stop asked while a folder is being read ends the listing: no folder is
// begun after it, and the listing says it holds a part of the tree only.
TEST(ParallelListingStop, AStopWhileTheTreeIsReadEndsTheListing) {
  if (geteuid() != 0) GTEST_SKIP() << "holding a folder's opening needs root (fanotify)";
  TestTree tree(TestTree::MemoryBase());
  tree.File("slow/s1/s2/f.txt", "x");
  for (int i = 0; i < 50; ++i) tree.File("d" + std::to_string(i) + "/f.txt", "x");
  const size_t whole = ListTree(tree.root(), "").folders.size();
  testing::PermissionGate gate(tree.Path("slow"), FAN_OPEN_PERM | FAN_ONDIR, 1, [] {
    std::this_thread::sleep_for(std::chrono::milliseconds(6 * kStopPollMs));
  });
  if (!gate.ok()) GTEST_SKIP() << gate.error();
  std::atomic<int> asked{0};
  const TreeListing part = ListTreeInParallel(tree.root(), "", 2, 2, [&] {
    ++asked;
    return true;
  });
  EXPECT_EQ(gate.fired(), 1);
  EXPECT_GE(asked.load(), 1);
  EXPECT_TRUE(part.stopped);
  // The held folder's subfolders were never read.
  EXPECT_LT(part.folders.size(), whole);
  for (const TreeListing::Folder& folder : part.folders) {
    EXPECT_EQ(folder.relative.find("/slow/s1"), std::string::npos) << folder.relative;
  }

  // Without a stop the whole tree is listed, and not marked.
  const TreeListing all = ListTreeInParallel(tree.root(), "", 2, 2, [] { return false; });
  EXPECT_FALSE(all.stopped);
  EXPECT_EQ(all.folders.size(), whole);
}

}  // namespace
}  // namespace quillfen
