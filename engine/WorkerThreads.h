// The threads of a pool (the copies, the look-ahead, the listing, the closing
// of descriptors), started and joined in one place.
#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

namespace quillfen {

// Starts a pool's threads one at a time and joins them all. The system may
// refuse a thread (a limit on threads or memory): Start then says so and the
// pool goes on with the threads it has, or with none, doing the work on the
// caller's thread; a refusal never ends the program. A worker's function is
// meant to catch what it can attribute to a file or a set; an exception that
// still leaves it is kept (the first one) and rethrown by Join on the pool's
// own thread, so that it is never lost and never ends the program from a
// worker. Start may be called from any thread; Join and the destructor from
// the pool's owner only, once no more threads are started.
class WorkerThreads {
 public:
  WorkerThreads() = default;
  // Joins what was not joined; a kept exception is dropped here (a
  // destructor cannot throw): call Join to have it.
  ~WorkerThreads();
  WorkerThreads(const WorkerThreads&) = delete;
  WorkerThreads& operator=(const WorkerThreads&) = delete;

  // The name every worker thread carries (as /proc shows it).
  static constexpr const char* kThreadName = "quillfen-work";

  // Starts a thread running `work`; false when the system refused it.
  bool Start(std::function<void()> work);
  // The threads started so far (safe from any thread).
  size_t size() const { return started_.load(std::memory_order_acquire); }
  bool empty() const { return size() == 0; }
  // Joins every thread started, then rethrows the first exception one of
  // them let escape.
  void Join();

  // Worker threads alive in the whole process now, and the most there were
  // since ResetMostLive: what tests count, whatever other threads the
  // process has (a sanitizer's, the toolkit's).
  static int Live();
  static int MostLive();
  static void ResetMostLive();
  // For tests: the next `count` starts are refused as the system would
  // refuse them (-1: none refused).
  static void RefuseStarts(int count);

 private:
  void JoinAll();

  mutable std::mutex mutex_;
  std::deque<std::thread> threads_;  // started, not yet joined
  std::atomic<size_t> started_{0};
  std::exception_ptr failure_;
};

}  // namespace quillfen
