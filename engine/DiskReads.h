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

// Counts, on one thread, the pieces of work (folders looked at) that had to
// read from the disk. The thread's counter is read once per kBatch pieces
// rather than around each, which would cost a system call per folder: a
// batch counts as many pieces as blocks of 4 KiB were read in it, at most as
// many as it holds. One piece that needed the disk counts at least once.
class DiskReadCounter {
 public:
  static constexpr int kBatch = 8;

  // To be made on the thread that counts, before its first piece.
  DiskReadCounter();

  // Called after each piece of work on the thread that did it; returns how
  // many pieces newly count as read from the disk (0 but at a batch's end).
  int Done();

 private:
  // The pieces since the last count, counted now.
  int Flush();

  uint64_t reads_ = 0;
  int pieces_ = 0;
};

// The threads that look at metadata on a tree that comes from the disk: each
// mostly waits for a read, so more of them keep more reads in flight. Where
// the cache holds the tree, fewer are better (the machine's cores).
constexpr int kDiskThreads = 8;
// The folders that must have needed the disk before more threads start: a
// tree mostly in the cache, with a few folders read again, stays on few.
constexpr int kDiskFoldersToGrow = 32;

// The number of threads the environment variable `variable` asks for (a
// whole number from 0, at most 16), or `otherwise` when it is unset or not
// such a number.
int ThreadsSetting(const char* variable, int otherwise);

}  // namespace quillfen
