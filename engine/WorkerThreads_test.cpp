#include "engine/WorkerThreads.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/DeferredCloser.h"
#include "engine/FileAccess.h"
#include "engine/LookAhead.h"
#include "engine/ParallelListing.h"
#include "testing/TestTree.h"

namespace quillfen {
namespace {

using testing::TestTree;

class WorkerThreadsTest : public ::testing::Test {
 protected:
  ~WorkerThreadsTest() override { WorkerThreads::RefuseStarts(0); }
};

TEST_F(WorkerThreadsTest, ARefusedThreadIsSaidAndTheOthersRun) {
  std::atomic<int> ran{0};
  WorkerThreads::ResetMostLive();
  {
    WorkerThreads threads;
    WorkerThreads::RefuseStarts(1);
    EXPECT_FALSE(threads.Start([&] { ++ran; }));
    EXPECT_TRUE(threads.empty());
    EXPECT_TRUE(threads.Start([&] { ++ran; }));
    EXPECT_TRUE(threads.Start([&] { ++ran; }));
    EXPECT_EQ(threads.size(), 2u);
    threads.Join();
    EXPECT_EQ(ran.load(), 2);
    EXPECT_EQ(WorkerThreads::Live(), 0);
  }
  EXPECT_LE(WorkerThreads::MostLive(), 2);
}

TEST_F(WorkerThreadsTest, WhatAWorkerThrowsReachesTheOwner) {
  WorkerThreads threads;
  std::atomic<int> ran{0};
  ASSERT_TRUE(threads.Start([] { throw std::runtime_error("first"); }));
  ASSERT_TRUE(threads.Start([&] { ++ran; }));
  try {
    threads.Join();
    ADD_FAILURE() << "the exception was lost";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()), "first");
  }
  EXPECT_EQ(ran.load(), 1);
  // Once passed on, it is not passed on again.
  EXPECT_NO_THROW(threads.Join());
  EXPECT_EQ(WorkerThreads::Live(), 0);
}

// Where the system refuses every thread, each pool does its work on the
// caller's thread: nothing is lost, nothing ends the program.
TEST_F(WorkerThreadsTest, PoolsWithoutThreadsDoTheirWorkThemselves) {
  TestTree tree(TestTree::MemoryBase());
  for (int i = 0; i < 30; ++i) tree.File("src/d" + std::to_string(i) + "/f.txt", "x");
  tree.Dir("dst");
  const TreeListing expected = ListTree(tree.Path("src"));
  WorkerThreads::RefuseStarts(1000);

  const TreeListing listed = ListTreeInParallel(tree.Path("src"), "", 2, 8);
  EXPECT_EQ(listed.folders.size(), expected.folders.size());
  EXPECT_EQ(listed.fileCount, expected.fileCount);

  LookAhead ahead(
      listed, tree.Path("src"), tree.Path("dst"), [](std::string_view) { return false; }, 2);
  for (size_t i = 0; i < listed.folders.size(); ++i) EXPECT_TRUE(ahead.Take(i, true).empty());

  const int fd = open(tree.Path("src/d0/f.txt").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  {
    DeferredCloser closer;
    closer.Close(fd);
    // Closed here and now: the descriptor is free again.
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_FALSE(closer.Wait());
  }
  EXPECT_EQ(WorkerThreads::Live(), 0);
}

}  // namespace
}  // namespace quillfen
