#include "engine/DiskReads.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "testing/TestTree.h"
#include "testing/Threads.h"

namespace quillfen {
namespace {

// Folders read from the disk, as root where the caches can be dropped: the
// tree is taken to come from the disk after as many batches in a row, and
// stays so, while a batch that reads nothing in between starts the count
// anew.
TEST(DiskReadWatchTest, BatchesInARowThatReadShowTheDisk) {
  if (geteuid() != 0) GTEST_SKIP() << "dropping the caches needs root";
  const testing::CacheDropLock caches;
  testing::TestTree tree("/var/tmp");  // on the disk, not in memory
  const int folders = DiskReadWatch::kBatch * (DiskReadWatch::kBatchesInARow + 2);
  for (int i = 0; i < folders; ++i) tree.File("d" + std::to_string(i) + "/f");
  if (!testing::DropCaches()) GTEST_SKIP() << "the caches cannot be dropped here";
  auto look = [&](int i) {
    struct stat st;
    ASSERT_EQ(stat(tree.Path("d" + std::to_string(i) + "/f").c_str(), &st), 0);
  };
  const uint64_t before = ThreadDiskReads();
  look(0);
  if (ThreadDiskReads() == before) GTEST_SKIP() << "reads of the disk are not counted here";

  DiskReadWatch watch;
  // A batch from the cache (folder 0 again), then batches from the disk.
  for (int i = 0; i < DiskReadWatch::kBatch; ++i) {
    look(0);
    EXPECT_FALSE(watch.Done());
  }
  const int untilDisk = DiskReadWatch::kBatch * DiskReadWatch::kBatchesInARow;
  for (int i = 1; i < untilDisk; ++i) {
    look(i);
    EXPECT_FALSE(watch.Done()) << i;
  }
  look(untilDisk);
  EXPECT_TRUE(watch.Done());
  // Once seen, for good: the counter is no longer read.
  for (int i = 0; i < 2 * DiskReadWatch::kBatch; ++i) {
    look(0);
    EXPECT_TRUE(watch.Done());
  }
}

}  // namespace
}  // namespace quillfen
