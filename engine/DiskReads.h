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
