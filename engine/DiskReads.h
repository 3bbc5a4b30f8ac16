// How many threads look at metadata and copy, and whether a thread's work
// came from the disk or from the cache.
#pragma once

#include <cstdint>

namespace quillfen {

// The blocks the calling thread has had read from a disk so far (its share of
// the reads submitted, in 512-byte units). A rise across a piece of work shows
// that what it looked at was not in the cache, however busy the machine is.
// 0 where the system does not count them.
uint64_t ThreadDiskReads();

// Tells, on one thread, whether the folders it looks at come from the disk.
// The thread's count of blocks read is taken once per kBatch folders (a
// system call per folder would cost more than the answer is worth), and
// kBatchesInARow batches in a row that each had to read show that the tree
// comes from the disk. A tree mostly in the cache, with a few folders read
// again here and there, does not.
class DiskReadWatch {
 public:
  static constexpr int kBatch = 8;
  static constexpr int kBatchesInARow = 4;

  // To be made on the thread that watches, before its first folder.
  DiskReadWatch();

  // Called after each folder on the thread that looked at it; true once
  // the tree is seen to come from the disk, and from then on.
  bool Done();

  // For tests: from now on every watch sees its tree come from the disk
  // after its first kBatchesInARow batches, as on a cold cache, which only
  // root could otherwise bring about.
  static void AssumeFromDisk(bool assume);

 private:
  uint64_t reads_ = 0;
  int folders_ = 0;
  int inARow_ = 0;
};

}  // namespace quillfen
