#include "engine/CopyQueue.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <new>
#include <utility>

#include "engine/DiskReads.h"
#include "engine/FileCopy.h"

namespace quillfen {
namespace {

// kMaxWaiting, or fewer where the limit of open files is low: a waiting
// copy may hold three descriptors, and the run needs others.
size_t MaxWaitingFor(size_t most) {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return most;
  return std::clamp<size_t>(static_cast<size_t>(limit.rlim_cur) / 4, 16, most);
}

// A copy that threw (out of memory, most likely) fails with the reason.
Status CopyFailure(const std::string& from, const std::string& to, const std::exception& error) {
  if (dynamic_cast<const std::bad_alloc*>(&error) != nullptr) {
    return CopyError(from, to, Status::Code::kIo, ErrnoText(ENOMEM));
  }
  return CopyError(from, to, Status::Code::kIo, error.what());
}

}  // namespace

CopyQueue::CopyQueue(int workers, DeferredCloser* closer, Take take, int64_t maxWaitingBytes)
    : workers_(std::max(workers, 0)),
      maxWaiting_(MaxWaitingFor(kMaxWaiting)),
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
  // The threads catch what a copy throws (it fails that copy); a destructor
  // cannot pass on anything else.
  try {
    threads_.Join();
  } catch (...) {
  }
  {
    // The copies written are named before the commit thread ends.
    std::lock_guard<std::mutex> lock(mutex_);
    committerDone_ = true;
  }
  commit_.notify_all();
  try {
    committer_.Join();
  } catch (...) {
  }
}

void CopyQueue::Add(CopyJob job) {
  if (workers_ == 0) {
    CopyHere(job);
    return;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  const int64_t bytes = std::max<int64_t>(job.sourceBytes, 0);
  HandBack(lock, [&] { return Room(bytes); });
  if (job.folders != nullptr && job.folders->distant) distant_ = true;
  const int wanted = distant_ ? std::max(workers_, distantWorkers_) : workers_;
  if (threads_.size() < static_cast<size_t>(wanted) && !refused_) {
    // Fewer threads where the system refuses one; with none at all the copy
    // is made here. Without the commit thread each copy is flushed by itself.
    if (!grouping_) grouping_ = committer_.Start([this] { Commit(); });
    refused_ = !threads_.Start([this] { Work(); });
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
  HandBack(lock, [&] { return slots_.size() < maxWaiting_; });
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
    // Waiting for a copy that is written and waits to be named: its group
    // is flushed now rather than when full.
    if (!slots_.empty() && slots_.front().grouped && !flushWanted_) {
      flushWanted_ = true;
      commit_.notify_one();
    }
    done_.wait(lock);
  }
}

bool CopyQueue::Room(int64_t bytes) const {
  return slots_.size() < maxWaiting_ &&
         (waitingBytes_ == 0 || waitingBytes_ + bytes <= maxWaitingBytes_);
}

bool CopyQueue::Copy(const CopyJob& job, FileAgeCache& ages, Status& outcome,
                     UnnamedCopy* unnamed) {
  if (watch_ != nullptr && watch_->lost()) {
    // Given up: not tried against a destination that does not answer.
    outcome = CopyError(job.from, job.to, Status::Code::kUnreachable, watch_->reason().detail());
    return true;
  }
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
  auto make = [&] {
    const int perFile = job.folders->flushesPerFile;
    return unnamed != nullptr ? WriteCopyAt(from, job.name.c_str(), to, job.name.c_str(), job.from,
                                            job.to, closer_, *unnamed, perFile)
                              : CopyFileAt(from, job.name.c_str(), to, job.name.c_str(), job.from,
                                           job.to, closer_, perFile);
  };
  outcome = make();
  // Once more when a destination in trouble answers again.
  if (!outcome.ok() && watch_ != nullptr && DestinationWatch::IsTrouble(outcome) &&
      watch_->AwaitAnswer()) {
    outcome = make();
  }
  if (outcome.ok() && bytesWritten_ != nullptr) {
    bytesWritten_->fetch_add(haveSource ? source.st_size : 0, std::memory_order_relaxed);
  }
  return true;
}

void CopyQueue::Work() {
  FileAgeCache ages;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    work_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
    if (jobs_.empty()) return;
    const auto next = jobs_.begin() + static_cast<std::ptrdiff_t>(NextJob());
    auto [number, job] = std::move(*next);
    jobs_.erase(next);
    const CopyFolders* const folders = job.folders.get();
    busy_.push_back(folders);
    const bool grouping = grouping_;
    lock.unlock();
    Slot slot;
    slot.done = true;
    UnnamedCopy unnamed;
    try {
      slot.passedOver = !Copy(job, ages, slot.outcome, grouping ? &unnamed : nullptr);
    } catch (const std::exception& error) {
      // Out of memory, most likely: this copy fails, with the reason, and
      // the old copy stays (an unnamed one is dropped with `unnamed`).
      unnamed = UnnamedCopy();
      slot.passedOver = false;
      slot.outcome = CopyFailure(job.from, job.to, error);
    }
    const int64_t bytes = std::max<int64_t>(job.sourceBytes, 0);
    if (unnamed.file.valid()) {
      // Its bytes count as waiting until it is named (see kMaxWaitingBytes).
      lock.lock();
      Leave(folders);
      slots_[number - firstSlot_].grouped = true;
      if (group_.empty()) groupSince_ = std::chrono::steady_clock::now();
      groupBytes_ += bytes;
      group_.push_back(Written{number, std::move(job), std::move(unnamed)});
      // The commit thread waits for a first copy, then for the group due.
      if (group_.size() == 1 || GroupDue()) commit_.notify_one();
      done_.notify_all();  // the caller may be waiting for this copy
      continue;
    }
    job.folders.reset();  // the last copy in a folder closes it here
    lock.lock();
    Leave(folders);  // compared only, never followed
    waitingBytes_ -= bytes;
    slots_[number - firstSlot_] = std::move(slot);
    done_.notify_all();
  }
}

size_t CopyQueue::NextJob() const {
  // Making and renaming files in one folder wait for each other (the folder
  // is locked for each): on a share each is a round trip, and copies in one
  // folder go one at a time however many threads there are. Jobs of a
  // folder are asked for together, so the search goes folder by folder.
  auto busy = [this](const CopyFolders* folders) {
    return std::find(busy_.begin(), busy_.end(), folders) != busy_.end();
  };
  constexpr size_t kSearched = 512;
  const size_t end = std::min(jobs_.size(), kSearched);
  const CopyFolders* last = nullptr;
  for (size_t i = 0; i < end; ++i) {
    const CopyFolders* folders = jobs_[i].second.folders.get();
    if (i > 0 && folders == last) continue;
    if (!busy(folders)) return i;
    last = folders;
  }
  return 0;
}

void CopyQueue::Leave(const CopyFolders* folders) {
  const auto it = std::find(busy_.begin(), busy_.end(), folders);
  if (it != busy_.end()) busy_.erase(it);
}

bool CopyQueue::GroupDue() const {
  return !group_.empty() &&
         (flushWanted_ || group_.size() >= kGroupFiles || groupBytes_ >= kGroupBytes ||
          std::chrono::steady_clock::now() - groupSince_ >= kGroupAge);
}

void CopyQueue::Commit() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    // A group that does not fill (the run is looking for files to copy) is
    // named once its first copy has waited long enough.
    while (!committerDone_ && !GroupDue()) {
      if (group_.empty()) {
        commit_.wait(lock);
      } else {
        commit_.wait_until(lock, groupSince_ + kGroupAge);
      }
    }
    if (group_.empty()) return;  // done, and nothing left to name
    std::vector<Written> group = std::move(group_);
    group_.clear();
    groupBytes_ = 0;
    flushWanted_ = false;
    lock.unlock();
    std::vector<Status> outcomes;
    try {
      outcomes = CommitGroup(group);
    } catch (const std::exception& error) {
      // The copies not yet named stay unnamed (dropped with the group), and
      // the old copies stay. Every copy of the group fails: which of them
      // were named before the throw is not known, and a copy reported as
      // failed that was made is only looked at again by the next run.
      outcomes.assign(group.size(), Status::Ok());
      for (size_t i = 0; i < group.size(); ++i) {
        outcomes[i] = CopyFailure(group[i].job.from, group[i].job.to, error);
      }
    }
    for (Written& written : group) written.job.folders.reset();
    lock.lock();
    for (size_t i = 0; i < group.size(); ++i) {
      waitingBytes_ -= std::max<int64_t>(group[i].job.sourceBytes, 0);
      Slot& slot = slots_[group[i].number - firstSlot_];
      slot.grouped = false;
      slot.done = true;
      slot.outcome = std::move(outcomes[i]);
    }
    done_.notify_all();
  }
}

std::vector<Status> CopyQueue::CommitGroup(std::vector<Written>& group) {
  // One flush per file system the group was written to. Where that fails,
  // each copy is flushed by itself: one that cannot be keeps its old copy.
  std::vector<std::pair<dev_t, bool>> flushed;
  std::vector<Status> outcomes;
  outcomes.reserve(group.size());
  for (Written& written : group) {
    const CopyJob& job = written.job;
    const int fd = written.copy.file.get();
    bool whole = false;  // flushed with its file system
    struct stat st;
    if (fstat(fd, &st) == 0) {
      auto it = std::find_if(flushed.begin(), flushed.end(),
                             [&](const auto& entry) { return entry.first == st.st_dev; });
      if (it == flushed.end()) {
        const Status sync = SyncFileSystemOf(fd, job.to);
        if (!sync.ok()) {
          std::lock_guard<std::mutex> lock(mutex_);
          if (flushFailure_.ok()) flushFailure_ = sync;
        }
        it = flushed.emplace(flushed.end(), st.st_dev, sync.ok());
      }
      whole = it->second;
    }
    const int from = job.folders->from.get();
    const int to = job.folders->to.get();
    outcomes.push_back(NameCopyAt(written.copy, whole, from, job.name.c_str(), to, job.name.c_str(),
                                  job.from, job.to, closer_));
  }
  return outcomes;
}

Status CopyQueue::FlushFailure() {
  std::lock_guard<std::mutex> lock(mutex_);
  return flushFailure_;
}

}  // namespace quillfen
