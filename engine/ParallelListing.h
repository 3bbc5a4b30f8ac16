// Listing a whole tree on several threads at once: on a tree whose folders are
// in the cache the folders are read on every core, and on one whose folders
// must come from the disk several reads are in flight at a time.
#pragma once

#include <functional>
#include <string_view>

#include "engine/FileAccess.h"

namespace quillfen {

// Exactly what ListTree(root, leaveOut) gives (the same folders, names and
// errors in the same order), read by `threads` threads, and by up to
// `diskThreads` once a thread sees the tree come from the disk (see
// DiskReadWatch); with fewer than 2, or when no thread can be started,
// ListTree itself. Each thread opens the root by its path and every folder
// name by name from it, never following a link below the root, as ListTree
// does.
//
// `stop`, when given, is asked on the calling thread every kStopPollMs while
// the threads read; once it says yes no more folders are read, and the
// listing comes back with `stopped` set and only what was read by then.
inline constexpr int kStopPollMs = 50;
TreeListing ListTreeInParallel(std::string_view root, std::string_view leaveOut, int threads,
                               int diskThreads = 0, const std::function<bool()>& stop = {});

}  // namespace quillfen
