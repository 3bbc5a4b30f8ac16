// Watching a process's threads and the page cache in tests.
#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

namespace quillfen::testing {

// The process's threads now.
inline int ThreadsNow() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  }
  return 0;
}

// The most threads the process had while `work` ran, this watcher's own
// thread among them.
inline int MostThreadsDuring(const std::function<void()>& work) {
  std::atomic<bool> done{false};
  std::atomic<int> most{0};
  std::thread watcher([&] {
    while (!done) {
      most = std::max(most.load(), ThreadsNow());
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  work();
  done = true;
  watcher.join();
  return most;
}

// Held by a test that drops the caches for as long as it needs them as it
// left them (cold, then warm again): ctest runs several test processes at
// once, and a drop by another would make a warm tree cold mid-test. Tests
// that drop the caches take it first, and so wait for each other.
class CacheDropLock {
 public:
  CacheDropLock()
      : fd_(open("/tmp/quillfen-test-caches.lock", O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC,
                 0600)) {
    if (fd_ >= 0) flock(fd_, LOCK_EX);
  }
  ~CacheDropLock() {
    if (fd_ >= 0) close(fd_);
  }
  CacheDropLock(const CacheDropLock&) = delete;
  CacheDropLock& operator=(const CacheDropLock&) = delete;

 private:
  int fd_;
};

// Writes back and drops the page, dentry and inode caches; false where that
// is not allowed (not root).
inline bool DropCaches() {
  sync();
  const int fd = open("/proc/sys/vm/drop_caches", O_WRONLY | O_CLOEXEC);
  const bool dropped = fd >= 0 && write(fd, "3", 1) == 1;
  if (fd >= 0) close(fd);
  return dropped;
}

}  // namespace quillfen::testing
