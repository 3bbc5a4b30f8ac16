// Closing descriptors on a second thread.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>

#include "engine/WorkerThreads.h"

namespace quillfen {

// Closes file descriptors on a thread of its own. A copy that replaces a file
// keeps the old file open until it is renamed away and hands the descriptor
// here: the last close of a replaced file frees its blocks, which on a file
// system mounted with online discard takes the better part of a millisecond,
// and the copies go on meanwhile. At most kMaxPending descriptors wait at a
// time (Close blocks beyond that). Everything handed in is closed by Wait()
// and by the destructor. Make one per run: a process that forks must not do
// so while one is alive.
class DeferredCloser {
 public:
  static constexpr size_t kMaxPending = 64;

  DeferredCloser() = default;
  virtual ~DeferredCloser();
  DeferredCloser(const DeferredCloser&) = delete;
  DeferredCloser& operator=(const DeferredCloser&) = delete;

  // Closes `fd` soon; the thread starts at the first call. Where no thread
  // can be started, `fd` is closed here and now.
  virtual void Close(int fd);
  // Returns when every descriptor handed in so far is closed. True when there
  // was anything to wait for.
  virtual bool Wait();

 private:
  void Work();

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<int> pending_;
  size_t busy_ = 0;  // taken from pending_, not yet closed
  bool stopping_ = false;
  bool refused_ = false;  // no thread could be started: Close closes itself
  WorkerThreads worker_;
};

}  // namespace quillfen
