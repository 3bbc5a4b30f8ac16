// How many threads a backup run uses, in one place: the figures, why each is
// what it is, and the environment variables that set them.
#pragma once

namespace quillfen {

// Threads that list a tree and look ahead of the run while the tree comes
// from the cache: the work is all on the processor, so more threads than the
// cores of a small machine only take turns with the run's own thread.
inline constexpr int kCacheThreads = 2;
// What those grow to once a thread sees its tree come from the disk
// (DiskReadWatch): each mostly waits for a read, and more of them keep more
// reads in flight.
inline constexpr int kDiskThreads = 8;
// Copies in flight beside the run's own thread: a copy waits for its reads,
// its writes and, grouped, its flush.
inline constexpr int kCopyThreads = 2;
// Copies in flight where the destination answers over a connection (a
// share): each copy is a chain of round trips, and the server answers the
// next copy's questions while one waits.
inline constexpr int kDistantCopyThreads = 8;

struct ThreadPolicy {
  int cacheThreads = kCacheThreads;              // 0: no listing or look-ahead threads
  int diskThreads = kDiskThreads;                // never fewer than cacheThreads
  int copyThreads = kCopyThreads;                // 0: every copy on the run's own thread
  int distantCopyThreads = kDistantCopyThreads;  // into a share (CopyFolders::distant)

  // The policy of a run: the figures above, or QUILLFEN_LOOKAHEAD (the
  // listing and look-ahead threads, from the cache and from the disk alike;
  // 0 switches them off) and QUILLFEN_COPIES (the copy threads, to local
  // disks and to shares alike), each a whole number from 0,
  // at most 16 (a larger one counts as 16; anything else is ignored).
  static ThreadPolicy ForRun();
};

// The number of threads the environment variable `variable` asks for, as
// above, or `otherwise` when it is unset or not such a number.
int ThreadsSetting(const char* variable, int otherwise);

}  // namespace quillfen
