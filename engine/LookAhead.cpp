#include "engine/LookAhead.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <system_error>

#include "engine/FiCheck.h"
#include "engine/FileAgeCache.h"
#include "engine/FolderChain.h"
#include "engine/TemporaryFiles.h"

namespace quillfen {
namespace {

// What one worker keeps from folder to folder: both chains stay open where
// the folders share their upper levels.
struct Looker {
  FolderChain from;
  FolderChain to;
  bool rootsTried = false;
  bool rootsOpen = false;
  FileAgeCache ages;
  std::vector<LookAhead::Rule> rules;
};

// Whether the open folder `fd` holds a name of the program's temporary files
// (a leftover the run removes when it enters the folder), or cannot be read
// to the end.
bool HoldsTemporaryName(int fd) {
  if (lseek(fd, 0, SEEK_SET) != 0) return true;
  alignas(8) char buffer[32768];
  for (;;) {
    const ssize_t n = getdents64(fd, buffer, sizeof buffer);
    if (n == 0) return false;
    if (n < 0) {
      if (errno == EINTR) continue;
      return true;
    }
    for (ssize_t pos = 0; pos < n;) {
      const auto* entry = reinterpret_cast<const struct dirent64*>(buffer + pos);
      pos += entry->d_reclen;
      if (entry->d_name[0] == '.' && IsTemporaryName(entry->d_name)) return true;
    }
  }
}

// Whether a look at `name` in `fd` found a regular file; `flags` as fstatat.
bool RegularFile(int fd, const char* name, int flags, struct stat& st) {
  return fstatat(fd, name, &st, flags) == 0 && S_ISREG(st.st_mode);
}

// The verdicts of the folder listing.folders[index]; empty when no name
// is up to date or the folder's places cannot be vouched for.
LookAhead::Verdicts LookAtFolder(Looker& looker, const TreeListing& listing, size_t index,
                                 const LookAhead::RuleOf& rule, const std::string& fromRoot,
                                 const std::string& toRoot) {
  const TreeListing::Folder& folder = listing.folders[index];
  looker.rules.clear();
  bool anyLooked = false;
  TreeListing::ForEachName(listing, folder, [&](std::string_view name) {
    looker.rules.push_back(rule(name));
    anyLooked = anyLooked || looker.rules.back() != LookAhead::Rule::kExcluded;
  });
  if (!anyLooked) return {};
  if (!looker.rootsTried) {
    looker.rootsTried = true;
    looker.rootsOpen = looker.from.OpenRoot(fromRoot).ok() && looker.to.OpenRoot(toRoot).ok();
  }
  if (!looker.rootsOpen) return {};
  // Without a maker the chains only look: a missing folder or a link on the
  // way is a failure, and the run then looks at every file of the folder.
  if (!looker.from.Enter(folder.relative).ok() || !looker.to.Enter(folder.relative).ok()) {
    return {};
  }
  // The run removes leftovers when it enters a copy-to folder; one that may
  // hold some is left to it.
  if (looker.to.readable() && HoldsTemporaryName(looker.to.fd())) return {};

  LookAhead::Verdicts verdicts(looker.rules.size(), LookAhead::kLook);
  bool anyUpToDate = false;
  size_t i = 0;
  const int fromFd = looker.from.fd();
  const int toFd = looker.to.fd();
  TreeListing::ForEachName(listing, folder, [&](std::string_view name) {
    const LookAhead::Rule fileRule = looker.rules[i];
    int64_t& verdict = verdicts[i++];
    if (fileRule == LookAhead::Rule::kExcluded) return;
    struct stat source;
    struct stat target;
    // As CopyPlaces looks: the copy-from file through a link, the copy-to
    // file never (a link there is left to the run, which removes it).
    if (!RegularFile(fromFd, name.data(), 0, source) ||
        !RegularFile(toFd, name.data(), AT_SYMLINK_NOFOLLOW, target)) {
      return;
    }
    bool copy = false;
    if (source.st_mtim.tv_sec != target.st_mtim.tv_sec) {
      copy =
          CopyWanted(looker.ages.Pack(source.st_mtim.tv_sec),
                     looker.ages.Pack(target.st_mtim.tv_sec), fileRule == LookAhead::Rule::kNewer);
    }
    if (!copy) {
      verdict = source.st_mtim.tv_sec;
      anyUpToDate = true;
    }
  });
  if (!anyUpToDate) return {};
  return verdicts;
}

}  // namespace

LookAhead::LookAhead(const TreeListing& listing, std::string_view fromRoot, std::string_view toRoot,
                     RuleOf rule, int workers)
    : listing_(listing), fromRoot_(fromRoot), toRoot_(toRoot), rule_(std::move(rule)) {
  if (workers <= 0 || listing_.folders.empty()) return;
  slots_.resize(std::min(kAheadFolders, listing_.folders.size()));
  const int count = static_cast<int>(std::min<size_t>(workers, listing_.folders.size()));
  for (int i = 0; i < count; ++i) {
    try {
      threads_.emplace_back([this] { Work(); });
    } catch (const std::system_error&) {
      break;  // fewer workers, or none: the run looks at the rest itself
    }
  }
}

LookAhead::~LookAhead() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  room_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

size_t LookAhead::NameBytes(size_t index) const {
  const TreeListing::Folder& folder = listing_.folders[index];
  return folder.end - folder.begin;
}

void LookAhead::Work() {
  Looker looker;
  std::vector<Verdicts> batch;
  std::unique_lock<std::mutex> lock(mutex_);
  auto room = [&] {
    return next_ == taken_ ||
           (next_ - taken_ < slots_.size() && aheadBytes_ + NameBytes(next_) <= kAheadNameBytes);
  };
  for (;;) {
    room_.wait(lock, [&] { return stop_ || next_ >= listing_.folders.size() || room(); });
    if (stop_ || next_ >= listing_.folders.size()) return;
    // A few folders at a time: the run then waits, and is woken, once per
    // batch rather than once per folder.
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
    lock.unlock();
    batch.resize(end - first);
    for (size_t index = first; index < end; ++index) {
      batch[index - first] = LookAtFolder(looker, listing_, index, rule_, fromRoot_, toRoot_);
    }
    lock.lock();
    bool waited = false;
    for (size_t index = first; index < end; ++index) {
      // The run may have given a folder up meanwhile, and its slot may
      // belong to a later folder by now.
      Slot& slot = SlotOf(index);
      if (slot.folder == index && slot.state == SlotState::kWorking) {
        slot.verdicts = std::move(batch[index - first]);
        slot.state = SlotState::kDone;
        waited = waited || index == waitingFor_;
      }
    }
    if (waited) ready_.notify_one();
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
  }
  Verdicts verdicts;
  if (index < next_) {
    Slot& slot = SlotOf(index);
    waitingFor_ = index;
    ready_.wait(lock, [&] { return slot.folder != index || slot.state != SlotState::kWorking; });
    waitingFor_ = kNobody;
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
  lock.unlock();
  room_.notify_all();
  return verdicts;
}

int LookAhead::WorkersFor(size_t folders) {
  if (const char* text = std::getenv("QUILLFEN_LOOKAHEAD")) {
    char* end = nullptr;
    const long n = std::strtol(text, &end, 10);
    if (end != text && *end == '\0' && n >= 0) return static_cast<int>(std::min(n, 16L));
  }
  return folders < kManyFolders ? 2 : 4;
}

bool SourceRecheck::Unchanged(std::string_view relative, const char* name, int64_t seconds) {
  if (!rootTried_) {
    rootTried_ = true;
    if (!chain_.OpenRoot(fromRoot_).ok()) return false;
  }
  if (!chain_.rootOpen()) return false;
  if (!entered_ || chain_.relative() != relative) entered_ = chain_.Enter(relative).ok();
  if (!entered_) return false;
  struct stat st;
  return fstatat(chain_.fd(), name, &st, 0) == 0 && S_ISREG(st.st_mode) &&
         st.st_mtim.tv_sec == seconds;
}

}  // namespace quillfen
