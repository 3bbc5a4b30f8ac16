// Copies of one run on worker threads, several in flight at a time, with
// their outcomes handed back in the order they were asked for.
//
// The copies are made durable together: a copy thread writes each copy
// whole as an unnamed file and goes on to the next; a commit thread then
// flushes a group of them to the disk with one flush of their file system
// and only then gives them their names, replacing the old copies. A power
// cut at any moment leaves each target old or new, never empty or partly
// written, at the cost of one flush per group instead of one per file.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/DeferredCloser.h"
#include "engine/DestinationWatch.h"
#include "engine/FileAgeCache.h"
#include "engine/FileCopy.h"
#include "engine/Status.h"
#include "engine/UniqueFd.h"
#include "engine/WorkerThreads.h"

namespace quillfen {

// The two folders of a copy, held open by the copies that need them (their
// own descriptors, so the asking side may move on to other folders).
struct CopyFolders {
  UniqueFd from;
  UniqueFd to;
  // FlushesPerFile of `to`, asked once for all the folder's copies; -1:
  // not known.
  int flushesPerFile = -1;
  // Whether `to` is on a file system that answers over a connection
  // (AnswersFromAfar): its copies mostly wait for round trips.
  bool distant = false;
};

// One copy to make: the file `name` of `folders->from` onto the same name in
// `folders->to`; `from` and `to` are the two full paths, for messages.
// `newer` is the test the copy was decided by (see CopyWanted) and
// `sourceSeconds` the source's last-write second it was decided on (-1: no
// source was there), `sourceBytes` its size then.
struct CopyJob {
  std::shared_ptr<const CopyFolders> folders;
  std::string name;
  std::string from;
  std::string to;
  bool newer = true;
  int64_t sourceSeconds = -1;
  int64_t sourceBytes = 0;  // the size it was decided on
};

class CopyQueue {
 public:
  // Outcomes waiting to be handed back at most; Add waits beyond that. Each
  // job may hold two folders and its unnamed copy open: this bounds the
  // descriptors too, and is lowered to fit a low limit of open files.
  static constexpr size_t kMaxWaiting = 1024;
  // A group is flushed and named once it holds this many copies or bytes,
  // when the caller waits for one of its copies, and at Finish ...
  static constexpr size_t kGroupFiles = 256;
  static constexpr int64_t kGroupBytes = int64_t{64} << 20;
  // ... or once its first copy has waited this long.
  static constexpr std::chrono::milliseconds kGroupAge{200};
  // Bytes of the copies asked for and not yet made at most (one larger copy
  // is let in alone): a run asked to stop completes the copies asked for,
  // and this keeps that short.
  static constexpr int64_t kMaxWaitingBytes = int64_t{256} << 20;

  // What an outcome is handed to, always on the thread that calls Add and
  // Finish, in the order of the Add calls: Ok for a copy made, the failure
  // otherwise.
  using Take = std::function<void(const Status&)>;

  // Copies on `workers` threads (started at the first copy); with 0, each
  // copy is made within Add, as a plain call. Replaced targets are closed
  // through `closer` (see CopyFileAt), which must outlive the queue.
  // At most `maxWaitingBytes` of copies wait (see kMaxWaitingBytes).
  CopyQueue(int workers, DeferredCloser* closer, Take take,
            int64_t maxWaitingBytes = kMaxWaitingBytes);
  // Waits for the copies asked for (their outcomes are not handed back).
  ~CopyQueue();
  CopyQueue(const CopyQueue&) = delete;
  CopyQueue& operator=(const CopyQueue&) = delete;

  // Asks for the copy `job`, then hands back every outcome ready. A copy
  // waits its turn: just before it is made, its source is looked at once
  // more, and when that source is no longer the one the copy was decided on
  // the decision is taken anew as a check at that moment would take it: a
  // source gone or no longer a regular file under the newer test, or no
  // longer newer than its copy, is passed over (no outcome at all).
  void Add(CopyJob job);
  // An outcome already known (a file that failed before its copy, a copy
  // made by the caller), taking its place after the copies asked for.
  void Add(Status done);
  // Waits for every copy asked for and hands back all outcomes left. The
  // copies are then named and their content on the disk; their names reach
  // it with the next flush of the file system (see SyncFileSystemOf).
  void Finish();

  // The first failure of a group's flush (Ok when there was none). Such a
  // group's copies are then flushed one by one, and fail only where that
  // fails too; but the disk reported a write that did not reach it, so the
  // caller must not take the destination for safely written.
  Status FlushFailure();

  // Whether copies run on other threads.
  bool parallel() const { return workers_ > 0; }

  // From now on the bytes of each copy written are added to `*bytes` (for a
  // window's progress; relaxed, read at any time). Call before the first Add.
  void CountBytesInto(std::atomic<long long>* bytes) { bytesWritten_ = bytes; }

  // From now on a copy that fails as a destination in trouble fails (see
  // DestinationWatch) is made once more when `watch` finds the destination
  // answering again; once `watch` has given the destination up, the copies
  // still asked for fail at once with its reason. Call before the first Add;
  // `watch` must outlive the queue.
  void WatchDestination(DestinationWatch* watch) { watch_ = watch; }

  // Up to `workers` copy threads (never fewer than the constructor's) once
  // copies go to a folder that is distant (CopyFolders::distant): there a
  // copy spends its time waiting for answers, and more in flight keep the
  // server busy. Call before the first Add.
  void ThreadsForDistant(int workers) { distantWorkers_ = workers; }

 private:
  struct Slot {
    bool done = false;
    bool passedOver = false;  // decided anew: no copy, nothing to hand back
    bool grouped = false;     // written, waiting in the group to be named
    Status outcome = Status::Ok();
  };

  // A copy written and waiting to be flushed and named.
  struct Written {
    uint64_t number;  // its slot
    CopyJob job;
    UnnamedCopy copy;
  };

  void Work();
  // The job a copy thread takes next: the first one, or where another
  // thread copies into its folder, the first of a folder no thread copies
  // into. Called with the lock held; jobs_ is not empty.
  size_t NextJob() const;
  // Ends the note that a copy thread copies into `folders`. With the lock.
  void Leave(const CopyFolders* folders);
  // The commit thread: flushes and names the groups as they are due.
  void Commit();
  // Flushes the copies of `group` and names them; their outcomes in order.
  std::vector<Status> CommitGroup(std::vector<Written>& group);
  // Whether the group is due (see kGroupFiles). Called with the lock held.
  bool GroupDue() const;
  // Makes the copy `job` on the calling thread and hands its outcome in.
  void CopyHere(const CopyJob& job);
  // Makes the copy `job` on a copy thread; false when it was passed over.
  // With `unnamed`, a copy that can be flushed with others is left there
  // unnamed (see WriteCopyAt).
  bool Copy(const CopyJob& job, FileAgeCache& ages, Status& outcome,
            UnnamedCopy* unnamed = nullptr);
  // Hands back the outcomes ready at the front, until `enough` holds (once:
  // without waiting when it is null). Called with `lock` held.
  void HandBack(std::unique_lock<std::mutex>& lock, const std::function<bool()>& enough);
  // Whether another job of `bytes` may be asked for now.
  bool Room(int64_t bytes) const;

  const int workers_;
  const size_t maxWaiting_;
  DeferredCloser* const closer_;
  const Take take_;
  const int64_t maxWaitingBytes_;

  std::mutex mutex_;
  std::condition_variable work_;                   // a job to take, or stopping
  std::condition_variable done_;                   // a slot filled
  std::deque<Slot> slots_;                         // outcomes not yet handed back, in order
  uint64_t firstSlot_ = 0;                         // the number of slots_.front()
  int64_t waitingBytes_ = 0;                       // of the copies asked for and not yet made
  std::deque<std::pair<uint64_t, CopyJob>> jobs_;  // not yet taken by a thread
  bool stopping_ = false;
  WorkerThreads threads_;
  bool refused_ = false;            // a thread was refused: no more are asked for
  std::condition_variable commit_;  // a group due, or stopping
  std::vector<Written> group_;      // written, not yet flushed and named
  int64_t groupBytes_ = 0;
  std::chrono::steady_clock::time_point groupSince_;  // its first copy written
  bool flushWanted_ = false;                          // the caller waits for a copy in the group
  bool committerDone_ = false;
  Status flushFailure_ = Status::Ok();
  WorkerThreads committer_;
  bool grouping_ = false;  // set under the lock: copies are grouped once the committer runs
  std::atomic<long long>* bytesWritten_ = nullptr;
  DestinationWatch* watch_ = nullptr;
  int distantWorkers_ = 0;
  bool distant_ = false;                  // a copy went to a distant folder
  std::vector<const CopyFolders*> busy_;  // the folders copied into now, one entry a thread
};

}  // namespace quillfen
