// Looking ahead of a copy run: while the run works through the folders of a
// listed tree one after another, worker threads look at the copy-to folders
// after the current one, so that the run, when it gets there, needs to look
// only at the copy-from file of a file whose copy is there. The workers only
// look: they never make, remove or change anything, open folders name by name
// from the root without following a link, and look at a copy-to file without
// following a link. Whatever they cannot vouch for is left to the run. The
// copy-from side is looked at by the run itself when it reaches a file, as
// ever, so changes made to the source while the run is underway are seen.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "engine/FileAccess.h"
#include "engine/FileAgeCache.h"
#include "engine/FolderChain.h"
#include "engine/ThreadPolicy.h"
#include "engine/WorkerThreads.h"

namespace quillfen {

class LookAhead {
 public:
  // Whether the run passes over a file by its name (an excluded extension).
  using Excluded = std::function<bool(std::string_view name)>;

  // One per name of a folder: kLook, where the run must look at the file
  // itself (CopyPlaces::Check), or the modification time (whole seconds) of
  // the copy-to file, where it was a regular file (not a link) in a folder
  // reached without a link that held no temporary name of the program. The
  // run then looks at the copy-from file itself when it gets there and
  // decides with UpToDateCheck.
  using Verdicts = std::vector<int64_t>;
  static constexpr int64_t kLook = INT64_MIN;

  // At most this many folders, and names of this many bytes (besides the
  // folder the run is in), are looked at ahead of the run.
  static constexpr size_t kAheadFolders = 1024;
  static constexpr size_t kAheadNameBytes = 256 * 1024;
  // A worker takes up to this many folders, or names of about this many
  // bytes, at a time.
  static constexpr size_t kBatchFolders = 16;
  static constexpr size_t kBatchNameBytes = 8 * 1024;
  // The first workers run this many steps of nice below the thread that
  // made them; those added for a tree that comes from the disk do not.
  static constexpr int kWorkerNice = 10;

  // Starts `workers` threads (none when 0 or when no thread can be started)
  // over `listing`, the folders of the tree `fromRoot`, whose copies are in
  // `toRoot` (the roots as CopyPlaces takes them, opened by their paths).
  // Once a worker sees the tree come from the disk (DiskReadWatch), the
  // workers grow to `diskWorkers` and the copy-from file of each copy seen
  // is looked at as well, for the cache only. `excluded` is called on the worker threads and must
  // be safe for that. `listing` must outlive this object. Memory: 8 bytes per name ahead of the
  // run.
  LookAhead(const TreeListing& listing, std::string_view fromRoot, std::string_view toRoot,
            Excluded excluded, int workers, int diskWorkers = kDiskThreads);
  // Stops the workers after the folders they are on.
  ~LookAhead();
  LookAhead(const LookAhead&) = delete;
  LookAhead& operator=(const LookAhead&) = delete;

  // The verdicts of the folder listing.folders[index], one per name in
  // listing order; empty when the run is to look at every file of it itself.
  // A folder no worker has finished is left to the run, or, with
  // `waitForWorker`, waited for. Call with increasing indexes: the folders
  // before `index` are given up.
  Verdicts Take(size_t index, bool waitForWorker = false);

 private:
  enum class SlotState : uint8_t { kFree, kWorking, kDone };
  struct Slot {
    size_t folder = 0;
    SlotState state = SlotState::kFree;
    Verdicts verdicts;
  };

  // A worker's loop; `lower`: at a lower priority (see kWorkerNice).
  void Work(bool lower);
  size_t NameBytes(size_t index) const;
  // Starts workers up to `count`; called with mutex_ held.
  void StartWorkers(int count);
  Slot& SlotOf(size_t index) { return slots_[index % slots_.size()]; }

  const TreeListing& listing_;
  const std::string fromRoot_;
  const std::string toRoot_;
  const Excluded excluded_;

  std::mutex mutex_;
  // The run waits on ready_ for the folder waitingFor_; workers wait on
  // room_ for folders to look at.
  std::condition_variable ready_;
  std::condition_variable room_;
  static constexpr size_t kNobody = SIZE_MAX;
  size_t waitingFor_ = kNobody;
  size_t roomWaiters_ = 0;  // workers waiting on room_
  static constexpr size_t kWakeFolders = 16;
  std::vector<Slot> slots_;
  size_t next_ = 0;        // the first folder not claimed
  size_t taken_ = 0;       // the first folder the run has not taken
  size_t aheadBytes_ = 0;  // name bytes of the folders in [taken_, next_)
  bool stop_ = false;
  // Grown under mutex_ until stop_; Take asks only whether it is empty,
  // which it stays only when no worker was ever started.
  WorkerThreads threads_;
  int diskWorkers_ = 0;
  bool treeFromDisk_ = false;  // seen by a worker (DiskReadWatch): more start
};

// The run's own look at a copy-from file whose copy the look-ahead saw, through
// a chain of its own (opened name by name, no link followed below the root).
class UpToDateCheck {
 public:
  explicit UpToDateCheck(std::string_view fromRoot) : fromRoot_(fromRoot) {}

  // Whether CopyPlaces::Check would decide not to copy the file `name` of the
  // folder `relative` ("" or "/a/b") with the newer test (`newer`) or the
  // keep-original test, for a copy-to file modified in the second
  // `targetSeconds`, when the copy-from file is a regular file (followed
  // through a link as Check follows it). False also when the file cannot be
  // looked at: the run then looks at it the full way.
  bool UpToDate(std::string_view relative, const char* name, bool newer, int64_t targetSeconds);

 private:
  const std::string fromRoot_;
  FolderChain chain_;
  bool rootTried_ = false;
  bool entered_ = false;
  FileAgeCache ages_;
};

}  // namespace quillfen
