// Looking ahead of a copy run: while the run works through the folders of a
// listed tree one after another, worker threads look at the folders after the
// current one and find the files whose copies are already up to date, so that
// the run can pass over them without looking at them itself. The workers only
// look: they never make, remove or change anything, open folders name by name
// from the roots without following a link, and look at a copy-to file without
// following a link. Whatever they cannot vouch for is left to the run.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/FileAccess.h"
#include "engine/FolderChain.h"

namespace quillfen {

class LookAhead {
 public:
  // How the run treats a file, by its name.
  enum class Rule : uint8_t { kExcluded, kNewer, kKeepOriginal };
  using RuleOf = std::function<Rule(std::string_view name)>;

  // One per name of a folder: kLook, where the run must look at the file
  // itself (CopyPlaces::Check), or the modification time (whole seconds) of
  // the copy-from file at the look, where both files were regular files,
  // neither a link, both folders were reached without a link, the copy-to
  // folder held no temporary name of the program, and CopyPlaces::Check
  // (newer or keep-original test as the rule says) would have decided not to
  // copy. The run passes over such a file when the copy-from file still has
  // that time (see SourceRecheck): what the run decides for a copy-from file
  // changed after the look is what it decided without the look-ahead.
  using Verdicts = std::vector<int64_t>;
  static constexpr int64_t kLook = INT64_MIN;

  // At most this many folders, and names of this many bytes (besides the
  // folder the run is in), are looked at ahead of the run.
  static constexpr size_t kAheadFolders = 1024;
  static constexpr size_t kAheadNameBytes = 256 * 1024;
  // A worker takes up to this many folders, or names of about this many
  // bytes, at a time.
  static constexpr size_t kBatchFolders = 16;
  static constexpr size_t kBatchNameBytes = 8 * 1024;

  // Starts `workers` threads (none when 0 or when no thread can be started)
  // over `listing`, whose folders are those of the tree `fromRoot` and whose
  // copies are in `toRoot` (the roots as CopyPlaces takes them). `rule` is
  // called on the worker threads and must be safe for that. `listing` and
  // `rule` must outlive this object.
  LookAhead(const TreeListing& listing, std::string_view fromRoot, std::string_view toRoot,
            RuleOf rule, int workers);
  // Stops the workers after the folders they are on.
  ~LookAhead();
  LookAhead(const LookAhead&) = delete;
  LookAhead& operator=(const LookAhead&) = delete;

  // The verdicts of the folder listing.folders[index], one per name in
  // listing order; empty when the run is to look at every file of it itself.
  // Waits while a worker is on that folder; a folder no worker has reached
  // yet is left to the run, or, with `waitForWorker`, waited for. Call with
  // increasing indexes: the folders before `index` are given up.
  Verdicts Take(size_t index, bool waitForWorker = false);

  // The number of worker threads for a run over `folders` folders (SIZE_MAX
  // when not known yet): QUILLFEN_LOOKAHEAD when set to a number (0 switches
  // the look-ahead off, at most 16), else 2 (fewer than `kManyFolders`
  // folders) or 4 (more, where the workers mostly wait for the disk and more
  // requests in flight help).
  static int WorkersFor(size_t folders);
  static constexpr size_t kManyFolders = 2000;

 private:
  enum class SlotState : uint8_t { kFree, kWorking, kDone };
  struct Slot {
    size_t folder = 0;
    SlotState state = SlotState::kFree;
    Verdicts verdicts;
  };

  void Work();
  size_t NameBytes(size_t index) const;
  Slot& SlotOf(size_t index) { return slots_[index % slots_.size()]; }

  const TreeListing& listing_;
  const std::string fromRoot_;
  const std::string toRoot_;
  const RuleOf rule_;

  std::mutex mutex_;
  // The run waits on ready_ for the folder waitingFor_; workers wait on
  // room_ for folders to look at.
  std::condition_variable ready_;
  std::condition_variable room_;
  static constexpr size_t kNobody = SIZE_MAX;
  size_t waitingFor_ = kNobody;
  std::vector<Slot> slots_;
  size_t next_ = 0;        // the first folder not claimed
  size_t taken_ = 0;       // the first folder the run has not taken
  size_t aheadBytes_ = 0;  // name bytes of the folders in [taken_, next_)
  bool stop_ = false;
  std::vector<std::thread> threads_;
};

// The run's own look at a copy-from file that the look-ahead found up to date,
// through a chain of its own (opened name by name, no link followed below the
// root), the file itself followed as CopyPlaces follows it.
class SourceRecheck {
 public:
  explicit SourceRecheck(std::string_view fromRoot) : fromRoot_(fromRoot) {}

  // Whether the file `name` of the folder `relative` ("" or "/a/b") is a
  // regular file modified in the second `seconds`.
  bool Unchanged(std::string_view relative, const char* name, int64_t seconds);

 private:
  const std::string fromRoot_;
  FolderChain chain_;
  bool rootTried_ = false;
  bool entered_ = false;
};

}  // namespace quillfen
