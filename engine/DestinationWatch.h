// What a run does when the destination stops answering. A share in trouble
// answers every call with the same failure for a while (a FUSE client after
// a name its server refused, a server restarting) or not at all (a server
// that hangs): a copy that failed so is tried once more when the destination
// answers again, and a destination that does not answer within the patience
// is given up for the rest of the set at once, instead of failing every
// remaining file one by one, or waiting for ever.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "engine/Status.h"

namespace quillfen {

class IniFile;

class DestinationWatch {
 public:
  // How long a destination may go without answering before it is given up,
  // unless the settings say otherwise.
  static constexpr std::chrono::seconds kPatience{60};
  // The pause before the destination is looked at (again).
  static constexpr std::chrono::milliseconds kPause{250};

  // Watches the destination folder `root`.
  explicit DestinationWatch(std::string_view root, std::chrono::milliseconds patience = kPatience);
  DestinationWatch(const DestinationWatch&) = delete;
  DestinationWatch& operator=(const DestinationWatch&) = delete;

  // Whether `failure` is of a kind a destination in trouble gives: one that
  // says so (Status::Code::kUnreachable), or a plain input/output error
  // (Status::Code::kIo), which a share's client gives for many troubles (a
  // name its server refused, a server restarting) and a full share too.
  static bool IsTrouble(const Status& failure) {
    return failure.code() == Status::Code::kUnreachable || failure.code() == Status::Code::kIo;
  }

  // After a failure of that kind: waits until the root can be looked at
  // again, looking every kPause, and returns true (the failed step may be
  // tried once more), or gives the destination up and returns false: when
  // the patience passes first, or the look finds the share's client gone
  // (ENOTCONN). Once given up, it returns false at once. Safe to call from
  // several threads: one looks, the others wait for its answer. A look that
  // hangs in the system is left behind on a thread of its own.
  bool AwaitAnswer();

  // Notes the file system the root is on (or the nearest folder above it,
  // before it is made): a look that later finds another there gives the
  // destination up, as a share unmounted under the run (its client gone,
  // the mount point an empty local folder).
  void NoteDevice();

  // Gives the destination up with `reason` (a look that hung, seen by a
  // DestinationHeartbeat); the first reason given stays.
  void GiveUp(const Status& reason);

  // Files failing one after another with a reason that says the destination
  // cannot be reached (Status::Code::kUnreachable; each tried twice): then
  // it is given up, also where its client still answers looks from a cache
  // of its own (davfs2 whose server is gone).
  static constexpr int kTroubleInARow = 8;
  // What a file came to, in the order of the files: a failure of that kind
  // counts towards kTroubleInARow, a copy made starts the count again, and a
  // plain input/output error (a full share, a refused name) does neither.
  void NoteOutcome(const Status& outcome);

  // Whether the destination was given up.
  bool lost() const;
  // Once lost: the line that says so, naming the root and the reason.
  Status reason() const;

 private:
  const std::string root_;
  const std::chrono::milliseconds patience_;
  mutable std::mutex mutex_;
  std::condition_variable answered_;
  bool looking_ = false;
  bool deviceKnown_ = false;
  int troubleInARow_ = 0;
  dev_t device_ = 0;
  bool lost_ = false;
  Status reason_ = Status::Ok();
};

// The errno of a look at the destination folder `root` (0 when it answered,
// also ENOENT: a root not made yet answers so), or -1 when no answer came by
// `deadline`. The look runs on a thread of its own, which is left behind
// when it hangs.
// With `device`, the device of the root (or of the nearest folder above it)
// is put there when the look found it.
int LookAtDestination(const std::string& root, std::chrono::steady_clock::time_point deadline,
                      dev_t* device = nullptr);

// How long a run or a copy waits for a destination that does not answer
// before it gives it up: "応答待ち秒数" in [Main] of `settings`, whole seconds
// from 5 to 3600; DestinationWatch::kPatience when it is missing or outside
// that range.
std::chrono::milliseconds ReadDestinationPatience(const IniFile& settings);

// Looks at a destination folder every `interval` while a set is copied into
// it, so that a destination that hangs (a server that stops answering while
// a copy waits on it in the system) is seen even when no call returns: when
// a look is not answered within `patience`, `hung` is called once with the
// reason, on a thread of its own. Never waits for a look that hangs.
class DestinationHeartbeat {
 public:
  using Hung = std::function<void(const Status& reason)>;
  static constexpr std::chrono::seconds kInterval{5};
  DestinationHeartbeat(std::string_view root, std::chrono::milliseconds patience, Hung hung,
                       std::chrono::milliseconds interval = kInterval);
  // Once it returns, `hung` is not called any more.
  ~DestinationHeartbeat();
  DestinationHeartbeat(const DestinationHeartbeat&) = delete;
  DestinationHeartbeat& operator=(const DestinationHeartbeat&) = delete;

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;
};

}  // namespace quillfen
