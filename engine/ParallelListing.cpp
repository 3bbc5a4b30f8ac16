#include "engine/ParallelListing.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "engine/DiskReads.h"
#include "engine/FolderChain.h"
#include "engine/FolderEntries.h"
#include "engine/Path.h"
#include "engine/WorkerThreads.h"

namespace quillfen {
namespace {

// One folder as a thread found it.
struct Found {
  std::string relative;
  bool entered = false;  // false: it could not be entered and is not listed
  std::vector<Status> errors;
  std::string names;  // each followed by '\0'
  size_t fileCount = 0;
  // Its subfolders, in reading order: the found folders [firstChild,
  // firstChild + childCount), which are given their places together.
  size_t firstChild = 0;
  uint32_t childCount = 0;
};

class Walk {
 public:
  Walk(std::string top, std::string leaveOut)
      : top_(std::move(top)), leaveOut_(std::move(leaveOut)) {}

  // Reads the tree on `threads` threads, grown to `diskThreads` once a
  // thread sees the tree come from the disk; false when none could be
  // started.
  bool Run(int threads, int diskThreads, const std::function<bool()>& stop) {
    diskThreads_ = std::max(threads, diskThreads);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      found_.emplace_back();
      pending_.push_back(0);
      StartThreads(threads);
      if (threads_.empty()) return false;
    }
    if (stop) {
      std::unique_lock<std::mutex> lock(mutex_);
      while (!(pending_.empty() && busy_ == 0)) {
        if (finished_.wait_for(lock, std::chrono::milliseconds(kStopPollMs),
                               [&] { return pending_.empty() && busy_ == 0; })) {
          break;
        }
        lock.unlock();
        const bool stopNow = stop();
        lock.lock();
        if (stopNow) {
          // The folders being read are finished; no other is begun.
          stopped_ = true;
          pending_.clear();
          changed_.notify_all();
          break;
        }
      }
    }
    // Threads may be added until the last one ends; Join waits for those too.
    threads_.Join();
    return true;
  }

  bool stopped() const { return stopped_; }

  // Puts the folders together in the order ListTree's single walk meets
  // them: depth first, the subfolders of a folder last read first.
  TreeListing Listing() {
    TreeListing listing;
    std::vector<TreeListing::Folder> walked;
    walked.reserve(found_.size());
    std::vector<size_t> stack = {0};
    while (!stack.empty()) {
      Found& folder = found_[stack.back()];
      stack.pop_back();
      for (Status& error : folder.errors) listing.errors.push_back(std::move(error));
      if (!folder.entered) continue;
      listing.fileCount += folder.fileCount;
      // The names move, and are never held twice.
      walked.push_back({std::move(folder.relative), std::move(folder.names)});
      for (uint32_t i = 0; i < folder.childCount; ++i) stack.push_back(folder.firstChild + i);
    }
    std::sort(walked.begin(), walked.end(),
              [](const TreeListing::Folder& a, const TreeListing::Folder& b) {
                return FolderPathLess(a.relative, b.relative);
              });
    listing.folders = std::move(walked);
    return listing;
  }

 private:
  void Work() {
    FolderChain chain;
    const Status opened = chain.OpenRoot(top_);
    // Reads are counted only while there may be threads to add.
    DiskReadWatch reads;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [&] { return !pending_.empty() || busy_ == 0; });
      if (pending_.empty()) return;
      const size_t index = pending_.back();
      pending_.pop_back();
      ++busy_;
      std::string relative = found_[index].relative;
      const bool watch = static_cast<int>(threads_.size()) < diskThreads_;
      lock.unlock();
      Found folder;
      folder.relative = std::move(relative);
      std::vector<std::string> children;
      try {
        Read(chain, opened, index == 0, folder, children);
      } catch (const std::exception&) {
        // Out of memory, most likely: the folder fails with the reason, and
        // with it the set, as a folder that cannot be read does.
        std::string kept = std::move(folder.relative);
        folder = Found();
        children.clear();
        folder.relative = std::move(kept);
        folder.errors.push_back(PathError(JoinRelative(top_, folder.relative), ENOMEM));
      }
      const bool fromDisk = watch && reads.Done();
      lock.lock();
      // The tree comes from the disk: more threads keep more reads in flight.
      if (fromDisk && static_cast<int>(threads_.size()) < diskThreads_) {
        StartThreads(diskThreads_);
      }
      // The folders found get their places; the last one read is taken
      // next, which keeps a thread's folders close together. After a stop
      // they are not read.
      folder.firstChild = found_.size();
      folder.childCount = stopped_ ? 0 : static_cast<uint32_t>(children.size());
      if (!stopped_) {
        for (std::string& child : children) {
          pending_.push_back(found_.size());
          found_.emplace_back().relative = std::move(child);
        }
      }
      found_[index] = std::move(folder);
      --busy_;
      changed_.notify_all();
      if (pending_.empty() && busy_ == 0) finished_.notify_all();
    }
  }

  // What ListTree's walk does at one folder.
  void Read(FolderChain& chain, const Status& opened, bool root, Found& folder,
            std::vector<std::string>& children) {
    if (root) {
      folder.entered = true;
      if (!opened.ok()) {
        if (!FolderChain::IsGone(opened)) folder.errors.push_back(opened);
        return;
      }
      const Status entered = chain.Enter("");
      if (!entered.ok()) {
        folder.errors.push_back(entered);
        return;
      }
    } else {
      // A thread without its root finds no folder below it (the walk of
      // ListTree never gets here then).
      const Status entered = opened.ok() ? chain.Enter(folder.relative) : opened;
      if (!entered.ok()) {
        if (!FolderChain::IsGone(entered)) folder.errors.push_back(entered);
        return;
      }
      folder.entered = true;
    }
    if (!chain.readable()) {
      folder.errors.push_back(PathError(JoinRelative(top_, folder.relative), EACCES));
      return;
    }
    const int err = ReadFolder(chain.fd(), [&](EntryKind kind, const char* name) {
      if (kind == EntryKind::kFile) {
        folder.names.append(name);
        folder.names.push_back('\0');
        ++folder.fileCount;
        return;
      }
      std::string child = folder.relative;
      child.push_back('/');
      child.append(name);
      if (!leaveOut_.empty() && child == leaveOut_) return;
      children.push_back(std::move(child));
    });
    if (err != 0) folder.errors.push_back(PathError(JoinRelative(top_, folder.relative), err));
    // Grown by doubling, the names would keep up to twice their room.
    folder.names.shrink_to_fit();
  }

  // Starts threads up to `count`, fewer where the system refuses one;
  // called with mutex_ held.
  void StartThreads(int count) {
    while (static_cast<int>(threads_.size()) < count) {
      if (!threads_.Start([this] { Work(); })) return;
    }
  }

  const std::string top_;
  const std::string leaveOut_;
  int diskThreads_ = 0;
  WorkerThreads threads_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::condition_variable finished_;  // the last folder is read
  bool stopped_ = false;
  std::deque<Found> found_;  // [0] the root; a deque keeps them in place
  std::vector<size_t> pending_;
  size_t busy_ = 0;
};

}  // namespace

TreeListing ListTreeInParallel(std::string_view root, std::string_view leaveOut, int threads,
                               int diskThreads, const std::function<bool()>& stop) {
  if (threads < 2) return ListTree(root, leaveOut);
  Walk walk(TrimTrailingSlashes(root),
            leaveOut.empty() ? std::string() : TrimTrailingSlashes(leaveOut));
  if (!walk.Run(threads, diskThreads, stop)) return ListTree(root, leaveOut);
  TreeListing listing = walk.Listing();
  listing.stopped = walk.stopped();
  return listing;
}

}  // namespace quillfen
