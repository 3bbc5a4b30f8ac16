#include "engine/WorkerThreads.h"

#include <pthread.h>

#include <algorithm>
#include <system_error>
#include <utility>

namespace quillfen {
namespace {

std::atomic<int> live{0};
std::atomic<int> mostLive{0};
std::atomic<int> refusals{0};

// Whether a test asked for this start to be refused.
bool RefusedForTest() {
  int left = refusals.load(std::memory_order_relaxed);
  while (left > 0) {
    if (refusals.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) return true;
  }
  return false;
}

}  // namespace

WorkerThreads::~WorkerThreads() {
  JoinAll();
}

bool WorkerThreads::Start(std::function<void()> work) {
  if (RefusedForTest()) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  const int now = live.fetch_add(1, std::memory_order_relaxed) + 1;
  for (int most = mostLive.load(std::memory_order_relaxed);
       now > most && !mostLive.compare_exchange_weak(most, now, std::memory_order_relaxed);) {
  }
  try {
    threads_.emplace_back([this, work = std::move(work)] {
      // Named, so that a person (top -H) and a test can tell them.
      pthread_setname_np(pthread_self(), kThreadName);
      try {
        work();
      } catch (...) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!failure_) failure_ = std::current_exception();
      }
      live.fetch_sub(1, std::memory_order_relaxed);
    });
  } catch (const std::system_error&) {
    live.fetch_sub(1, std::memory_order_relaxed);
    return false;
  } catch (const std::bad_alloc&) {
    live.fetch_sub(1, std::memory_order_relaxed);
    return false;
  }
  started_.fetch_add(1, std::memory_order_release);
  return true;
}

void WorkerThreads::JoinAll() {
  // Joined outside the lock, which a finishing worker takes to keep its
  // exception; a thread started meanwhile is joined in the next round.
  for (;;) {
    std::deque<std::thread> threads;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (threads_.empty()) return;
      threads.swap(threads_);
    }
    for (std::thread& thread : threads) thread.join();
  }
}

void WorkerThreads::Join() {
  JoinAll();
  std::exception_ptr failure;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    failure = std::exchange(failure_, nullptr);
  }
  if (failure) std::rethrow_exception(failure);
}

int WorkerThreads::Live() {
  return live.load(std::memory_order_relaxed);
}

int WorkerThreads::MostLive() {
  return mostLive.load(std::memory_order_relaxed);
}

void WorkerThreads::ResetMostLive() {
  mostLive.store(live.load(std::memory_order_relaxed), std::memory_order_relaxed);
}

void WorkerThreads::RefuseStarts(int count) {
  refusals.store(std::max(count, 0), std::memory_order_relaxed);
}

}  // namespace quillfen
