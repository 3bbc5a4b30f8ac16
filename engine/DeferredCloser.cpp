#include "engine/DeferredCloser.h"

#include <unistd.h>

namespace quillfen {

DeferredCloser::~DeferredCloser() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  try {
    worker_.Join();
  } catch (...) {
    // Work() throws nothing; whatever it might, the descriptors below are
    // still closed.
  }
  for (int fd : pending_) close(fd);  // only when the thread never started
}

void DeferredCloser::Close(int fd) {
  if (fd < 0) return;
  std::unique_lock<std::mutex> lock(mutex_);
  if (worker_.empty() && !refused_) refused_ = !worker_.Start([this] { Work(); });
  if (refused_) {
    lock.unlock();
    close(fd);
    return;
  }
  changed_.wait(lock, [this] { return pending_.size() < kMaxPending; });
  pending_.push_back(fd);
  lock.unlock();
  changed_.notify_all();
}

bool DeferredCloser::Wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (pending_.empty() && busy_ == 0) return false;
  changed_.wait(lock, [this] { return pending_.empty() && busy_ == 0; });
  return true;
}

void DeferredCloser::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
    if (pending_.empty()) return;  // stopping, nothing left
    const int fd = pending_.front();
    pending_.pop_front();
    ++busy_;
    lock.unlock();
    changed_.notify_all();  // room for Close
    close(fd);
    lock.lock();
    --busy_;
    changed_.notify_all();  // progress for Wait
  }
}

}  // namespace quillfen
