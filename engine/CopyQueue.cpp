#include "engine/CopyQueue.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <system_error>
#include <utility>

#include "engine/DiskReads.h"
#include "engine/FileCopy.h"

namespace quillfen {

CopyQueue::CopyQueue(int workers, DeferredCloser* closer, Take take, int64_t maxWaitingBytes)
    : workers_(std::max(workers, 0)),
      closer_(closer),
      take_(std::move(take)),
      maxWaitingBytes_(maxWaitingBytes) {}

CopyQueue::~CopyQueue() {
  {
    // The threads take every job left before they end.
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  work_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

int CopyQueue::Workers() {
  return ThreadsSetting("QUILLFEN_COPIES", 2);
}

void CopyQueue::Add(CopyJob job) {
  if (workers_ == 0) {
    CopyHere(job);
    return;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  const int64_t bytes = std::max<int64_t>(job.sourceBytes, 0);
  HandBack(lock, [&] { return Room(bytes); });
  if (threads_.size() < static_cast<size_t>(workers_)) {
    try {
      threads_.emplace_back([this] { Work(); });
    } catch (const std::system_error&) {
      // Fewer threads; with none at all the copy is made here.
    }
  }
  if (threads_.empty()) {
    lock.unlock();
    CopyHere(job);
    return;
  }
  waitingBytes_ += bytes;
  jobs_.emplace_back(firstSlot_ + slots_.size(), std::move(job));
  slots_.emplace_back();
  lock.unlock();
  work_.notify_one();
}

void CopyQueue::CopyHere(const CopyJob& job) {
  FileAgeCache ages;
  Status outcome = Status::Ok();
  if (Copy(job, ages, outcome)) Add(std::move(outcome));
}

void CopyQueue::Add(Status done) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (slots_.empty()) {
    lock.unlock();
    take_(done);
    return;
  }
  HandBack(lock, [&] { return slots_.size() < kMaxWaiting; });
  Slot slot;
  slot.done = true;
  slot.outcome = std::move(done);
  slots_.push_back(std::move(slot));
  HandBack(lock, nullptr);
}

void CopyQueue::Finish() {
  std::unique_lock<std::mutex> lock(mutex_);
  HandBack(lock, [&] { return slots_.empty(); });
}

void CopyQueue::HandBack(std::unique_lock<std::mutex>& lock, const std::function<bool()>& enough) {
  for (;;) {
    while (!slots_.empty() && slots_.front().done) {
      Slot slot = std::move(slots_.front());
      slots_.pop_front();
      ++firstSlot_;
      if (slot.passedOver) continue;
      // The caller's work may be slow (a failure line kept): the threads
      // fill their slots meanwhile.
      lock.unlock();
      take_(slot.outcome);
      lock.lock();
    }
    if (!enough || enough()) return;
    done_.wait(lock);
  }
}

bool CopyQueue::Room(int64_t bytes) const {
  return slots_.size() < kMaxWaiting &&
         (waitingBytes_ == 0 || waitingBytes_ + bytes <= maxWaitingBytes_);
}

bool CopyQueue::Copy(const CopyJob& job, FileAgeCache& ages, Status& outcome) {
  const int from = job.folders->from.get();
  const int to = job.folders->to.get();
  struct stat source {};
  const bool haveSource =
      fstatat(from, job.name.c_str(), &source, 0) == 0 && S_ISREG(source.st_mode);
  const int64_t seconds = haveSource ? source.st_mtim.tv_sec : -1;
  if (seconds != job.sourceSeconds) {
    // Changed since the decision: decided again as the check decides, on
    // the file and its copy as they are now.
    struct stat target {};
    const bool haveTarget =
        fstatat(to, job.name.c_str(), &target, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(target.st_mode);
    if (!CopyDecided(haveSource, seconds, haveTarget, target.st_mtim.tv_sec, job.newer, ages)) {
      return false;
    }
  }
  outcome = CopyFileAt(from, job.name.c_str(), to, job.name.c_str(), job.from, job.to, closer_);
  return true;
}

void CopyQueue::Work() {
  FileAgeCache ages;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    work_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
    if (jobs_.empty()) return;
    auto [number, job] = std::move(jobs_.front());
    jobs_.pop_front();
    lock.unlock();
    Slot slot;
    slot.done = true;
    slot.passedOver = !Copy(job, ages, slot.outcome);
    job.folders.reset();  // the last copy in a folder closes it here
    lock.lock();
    waitingBytes_ -= std::max<int64_t>(job.sourceBytes, 0);
    slots_[number - firstSlot_] = std::move(slot);
    done_.notify_all();
  }
}

}  // namespace quillfen
