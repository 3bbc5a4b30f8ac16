#include "engine/LookAhead.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <exception>

#include "engine/DiskReads.h"
#include "engine/FiCheck.h"
#include "engine/FileAgeCache.h"
#include "engine/FolderChain.h"
#include "engine/FolderEntries.h"
#include "engine/NameFolding.h"
#include "engine/TemporaryFiles.h"

namespace quillfen {
namespace {

// What one worker keeps from folder to folder: the chain stays open where
// the folders share their upper levels.
struct Looker {
  FolderChain from;
  FolderChain to;
  bool rootTried = false;
  bool rootMayFold = true;  // names under the copy-to root may be folded
  std::vector<bool> excluded;
  // The tree was seen to come from the disk (the workers grew in number):
  // the copy-from files are looked at too, to bring them into the cache.
  bool fromDisk = false;
};

// Whether the open folder `fd` holds a name of the program's temporary files
// (a leftover the run removes when it enters the folder), or cannot be read
// to the end. Read from where it stands, after going back to its start when
// `rewind` (a folder kept open may have been read before).
bool HoldsTemporaryName(int fd, bool rewind) {
  if (rewind && lseek(fd, 0, SEEK_SET) != 0) return true;
  bool found = false;
  const int err = ForEachFolderEntry(fd, [&](const struct dirent64& entry) {
    found = entry.d_name[0] == '.' && IsTemporaryName(entry.d_name);
    return !found;
  });
  return found || err != 0;
}

// The verdicts of the folder listing.folders[index]; empty when no copy-to
// file can be vouched for.
LookAhead::Verdicts LookAtFolder(Looker& looker, const TreeListing& listing, size_t index,
                                 const LookAhead::Excluded& excluded, const std::string& fromRoot,
                                 const std::string& toRoot) {
  const TreeListing::Folder& folder = listing.folders[index];
  looker.excluded.clear();
  bool anyLooked = false;
  TreeListing::ForEachName(folder, [&](std::string_view name) {
    looker.excluded.push_back(excluded(name));
    anyLooked = anyLooked || !looker.excluded.back();
  });
  if (!anyLooked) return {};
  if (!looker.rootTried) {
    looker.rootTried = true;
    (void)looker.from.OpenRoot(fromRoot);
    if (!looker.to.OpenRoot(toRoot).ok()) return {};
    looker.rootMayFold = MayFoldNames(looker.to.FdAt(0));
  }
  if (!looker.to.rootOpen()) return {};
  // Without a maker the chain only looks: a missing folder or a link on the
  // way is a failure, and the run then looks at every file of the folder.
  if (!looker.to.Enter(folder.relative).ok()) return {};
  // The run removes leftovers when it enters a copy-to folder; one that may
  // hold some is left to it.
  if (looker.to.readable() && HoldsTemporaryName(looker.to.fd(), !looker.to.openedAnew())) {
    return {};
  }
  // Where names may be folded (FAT, exFAT), a look by name can meet another
  // file's copy, and a folder entered by name another folder: the run tells
  // them apart, so such folders are left to it. The root is asked too, as
  // the folders on the way to this one were entered by name.
  if (looker.rootMayFold || MayFoldNames(looker.to.fd())) return {};

  LookAhead::Verdicts verdicts(looker.excluded.size(), LookAhead::kLook);
  bool anyFile = false;
  size_t i = 0;
  const int toFd = looker.to.fd();
  // Where the tree comes from the disk, the copy-from files are looked at
  // too, only to bring their metadata into the cache, where the run's own
  // look finds it: several reads in flight rather than one after another.
  // From the cache that would only be work twice.
  const int fromFd =
      looker.fromDisk && looker.from.rootOpen() && looker.from.Enter(folder.relative).ok()
          ? looker.from.fd()
          : -1;
  TreeListing::ForEachName(folder, [&](std::string_view name) {
    int64_t& verdict = verdicts[i];
    if (looker.excluded[i++]) return;
    // Never through a link: one there is left to the run, which removes it.
    struct stat target;
    if (fstatat(toFd, name.data(), &target, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(target.st_mode)) {
      verdict = target.st_mtim.tv_sec;
      anyFile = true;
      struct stat source;
      if (fromFd >= 0) fstatat(fromFd, name.data(), &source, 0);
    }
  });
  if (!anyFile) return {};
  return verdicts;
}

// Lowers the calling thread's priority by `steps` of nice, at most to the
// lowest. Never raises it: the process may have been started lower still.
void LowerThreadPriority(int steps) {
  const auto thread = static_cast<id_t>(gettid());
  errno = 0;
  const int now = getpriority(PRIO_PROCESS, thread);
  if (now == -1 && errno != 0) return;
  if (now < 19) setpriority(PRIO_PROCESS, thread, std::min(19, now + steps));
}

}  // namespace

LookAhead::LookAhead(const TreeListing& listing, std::string_view fromRoot, std::string_view toRoot,
                     Excluded excluded, int workers, int diskWorkers)
    : listing_(listing), fromRoot_(fromRoot), toRoot_(toRoot), excluded_(std::move(excluded)) {
  if (workers <= 0 || listing_.folders.empty()) return;
  slots_.resize(std::min(kAheadFolders, listing_.folders.size()));
  diskWorkers_ = std::max(workers, diskWorkers);
  std::lock_guard<std::mutex> lock(mutex_);
  StartWorkers(workers);
}

void LookAhead::StartWorkers(int count) {
  count = static_cast<int>(std::min<size_t>(count, listing_.folders.size()));
  // Fewer workers where the system refuses one, or none: the run looks at
  // the rest itself.
  while (static_cast<int>(threads_.size()) < count) {
    if (!threads_.Start([this, lower = !treeFromDisk_] { Work(lower); })) break;
  }
}

LookAhead::~LookAhead() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  room_.notify_all();
  try {
    threads_.Join();
  } catch (...) {
    // A worker only saves the run work; what it could not do, the run did.
  }
}

size_t LookAhead::NameBytes(size_t index) const {
  const TreeListing::Folder& folder = listing_.folders[index];
  return folder.names.size();
}

void LookAhead::Work(bool lower) {
  // The run's own thread is the one the run waits for; the workers only save
  // it work. Where they compete with it for a core, as on a tree in the
  // cache, it goes first: with more threads than cores it would otherwise
  // wait its turn behind them, and a folder no worker has reached yet it
  // simply looks at itself. Workers started for a tree that comes from the
  // disk keep their priority: they mostly wait for reads, and a read done
  // is soon followed by the next.
  if (lower) LowerThreadPriority(kWorkerNice);
  Looker looker;
  // Reads are counted until the tree is known to come from the disk.
  DiskReadWatch reads;
  std::unique_lock<std::mutex> lock(mutex_);
  auto room = [&] {
    return next_ == taken_ ||
           (next_ - taken_ < slots_.size() && aheadBytes_ + NameBytes(next_) <= kAheadNameBytes);
  };
  for (;;) {
    ++roomWaiters_;
    room_.wait(lock, [&] { return stop_ || next_ >= listing_.folders.size() || room(); });
    --roomWaiters_;
    if (stop_ || next_ >= listing_.folders.size()) return;
    // A few folders at a time, each handed over as soon as it is done.
    const size_t first = next_;
    size_t batchBytes = 0;
    do {
      const size_t index = next_++;
      aheadBytes_ += NameBytes(index);
      batchBytes += NameBytes(index);
      Slot& slot = SlotOf(index);
      slot.folder = index;
      slot.state = SlotState::kWorking;
      slot.verdicts = {};
    } while (next_ < listing_.folders.size() && next_ - first < kBatchFolders &&
             batchBytes < kBatchNameBytes && room());
    const size_t end = next_;
    for (size_t index = first; index < end; ++index) {
      const bool watch = !treeFromDisk_;
      lock.unlock();
      Verdicts verdicts;
      try {
        verdicts = LookAtFolder(looker, listing_, index, excluded_, fromRoot_, toRoot_);
      } catch (const std::exception&) {
        verdicts = {};  // out of memory, most likely: left to the run
      }
      const bool fromDisk = watch && reads.Done();
      lock.lock();
      // The tree comes from the disk: more workers keep more reads in flight.
      if (fromDisk && !treeFromDisk_) {
        treeFromDisk_ = true;
        if (!stop_) StartWorkers(diskWorkers_);
      }
      looker.fromDisk = treeFromDisk_;
      // The run may have given the folder up meanwhile, and its slot may
      // belong to a later folder by now.
      Slot& slot = SlotOf(index);
      if (slot.folder == index && slot.state == SlotState::kWorking) {
        slot.verdicts = std::move(verdicts);
        slot.state = SlotState::kDone;
        if (index == waitingFor_) ready_.notify_one();
      }
    }
  }
}

LookAhead::Verdicts LookAhead::Take(size_t index, bool waitForWorker) {
  if (threads_.empty() || index >= listing_.folders.size()) return {};
  std::unique_lock<std::mutex> lock(mutex_);
  if (index < taken_) return {};
  // The folders before this one are given up.
  for (size_t i = taken_; i < index && i < next_; ++i) {
    aheadBytes_ -= NameBytes(i);
    Slot& slot = SlotOf(i);
    if (slot.folder == i && slot.state == SlotState::kDone) {
      slot.state = SlotState::kFree;
      slot.verdicts = {};
    }
  }
  taken_ = index;
  next_ = std::max(next_, index);
  if (waitForWorker) {
    room_.notify_all();
    waitingFor_ = index;
    ready_.wait(lock, [&] { return next_ > index; });
    waitingFor_ = kNobody;
  }
  Verdicts verdicts;
  if (index < next_) {
    Slot& slot = SlotOf(index);
    if (waitForWorker) {
      waitingFor_ = index;
      ready_.wait(lock, [&] { return slot.folder != index || slot.state != SlotState::kWorking; });
      waitingFor_ = kNobody;
    }
    // A folder a worker is still on is left to the run: on a busy machine
    // waiting for the worker to be scheduled costs more than looking.
    if (slot.folder == index && slot.state == SlotState::kDone) verdicts = std::move(slot.verdicts);
    if (slot.folder == index) {
      slot.state = SlotState::kFree;
      slot.verdicts = {};
    }
    aheadBytes_ -= NameBytes(index);
  }
  // Not reached by a worker: left to the run, and no worker takes it now.
  next_ = std::max(next_, index + 1);
  taken_ = index + 1;
  // Workers that wait for room are woken once a few folders are free, not
  // at every folder: each wake-up costs the run a system call.
  const bool wake = roomWaiters_ > 0 && (next_ == taken_ || taken_ % kWakeFolders == 0);
  lock.unlock();
  if (wake) room_.notify_all();
  return verdicts;
}

bool UpToDateCheck::UpToDate(std::string_view relative, const char* name, bool newer,
                             int64_t targetSeconds) {
  if (!rootTried_) {
    rootTried_ = true;
    if (!chain_.OpenRoot(fromRoot_).ok()) return false;
  }
  if (!chain_.rootOpen()) return false;
  if (!entered_ || chain_.relative() != relative) entered_ = chain_.Enter(relative).ok();
  if (!entered_) return false;
  // As CopyPlaces::Check looks and decides: the file through a link, the
  // same second the same age, else the file ages as the test says.
  struct stat source;
  if (fstatat(chain_.fd(), name, &source, 0) != 0 || !S_ISREG(source.st_mode)) return false;
  return !CopyDecided(true, source.st_mtim.tv_sec, true, targetSeconds, newer, ages_);
}

}  // namespace quillfen
