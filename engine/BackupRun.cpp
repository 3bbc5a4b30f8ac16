#include "engine/BackupRun.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "engine/AsciiCase.h"
#include "engine/CopyPlaces.h"
#include "engine/CopyQueue.h"
#include "engine/DeferredCloser.h"
#include "engine/DestinationWatch.h"
#include "engine/Encoding.h"
#include "engine/FileAccess.h"
#include "engine/LookAhead.h"
#include "engine/ParallelListing.h"
#include "engine/Path.h"
#include "engine/ThreadPolicy.h"

namespace quillfen {
namespace {

const char kEndTimeKey[] = "終了時刻";
// The destination folder the end time was written for: a set whose folder
// was changed is backed up into the new one as a first backup.
const char kEndDestinationKey[] = "前回のコピー先";

bool IsAscii(std::string_view text) {
  for (unsigned char c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

// The key under which an extension is looked up: ASCII lowered directly (the
// common case, no conversion), other valid UTF-8 folded by `fold` (as it is
// without one), and anything else kept as its bytes behind a 0xFF byte,
// which valid UTF-8 never contains, so such keys match only the same bytes.
std::string FoldKey(std::string_view text, TextFold fold) {
  if (IsAscii(text)) return LowerAscii(text);
  if (!IsValidUtf8(text)) {
    std::string key(1, '\xff');
    return key.append(text);
  }
  return fold != nullptr ? fold(text) : std::string(text);
}

// The ticked entries of the two extension lists.
struct ExtensionRules {
  ExtensionSet excluded;
  ExtensionSet keepOriginal;
};

// Where a run's failure lines go: the view as they are found, and the first
// of them to the result, in the order found.
class FailureLines {
 public:
  FailureLines(BackupRunView& view, RunProgress& progress, BackupRunResult& result)
      : view_(view), progress_(progress), result_(result) {}
  void Add(std::string line) {
    progress_.failed.fetch_add(1, std::memory_order_relaxed);
    view_.Failed(line);
    if (result_.failures.size() < BackupRunResult::kKeptFailures) {
      result_.failures.push_back(std::move(line));
    } else {
      ++result_.failuresNotKept;
    }
  }

 private:
  BackupRunView& view_;
  RunProgress& progress_;
  BackupRunResult& result_;
};

// What copying one set's files came to.
struct SetCopy {
  long long copied = 0;
  long long failed = 0;  // files and source folders
  Status sync = Status::Ok();
  bool stopped = false;     // asked to stop before the last file
  bool rootOpened = false;  // the destination folder was found or made
  // Not ok when the destination stopped answering and the set was given up.
  Status lost = Status::Ok();
};

// Whether `set` was backed up into its destination folder as it is now:
// settings written before the folder was recorded count the end time alone.
// A first backup that did not end is recorded too (see RecordDestination):
// its folder may be on a share that went away under it.
bool BackedUpBefore(const BackupSet& set, double endTime, const IniFile& settings) {
  const std::string into = settings.ReadString(set.name, kEndDestinationKey, "");
  if (endTime == 0.0 && into.empty()) return false;
  return into.empty() || TrimTrailingSlashes(into) == TrimTrailingSlashes(set.destination);
}

// Records that a backup of `set` into `destination` began there and did not
// end (stopped, given up, not flushed), where it is not recorded yet: a run
// after it finds the folder gone when its medium or share is not there, and
// does not make it anew on the disk beneath. Not ok when the settings could
// not be written.
Status RecordDestination(const BackupSet& set, const std::string& destination, IniFile& settings) {
  const double endTime = settings.ReadDateTime(set.name, kEndTimeKey, 0.0);
  if (BackedUpBefore(set, endTime, settings)) return Status::Ok();
  return settings.WriteString(set.name, kEndDestinationKey, destination);
}

// Records the end of the backup of `set` into `destination` now.
Status WriteEndTime(const BackupSet& set, const std::string& destination, DateTime now,
                    IniFile& settings) {
  settings.BeginUpdate();
  Status written = settings.WriteDateTime(set.name, kEndTimeKey, now);
  const Status into = settings.WriteString(set.name, kEndDestinationKey, destination);
  const Status ended = settings.EndUpdate();
  if (written.ok()) written = into;
  return written.ok() ? ended : written;
}

// Whether `set` is due now; if not, shows why and counts a set without a
// destination as a failure.
bool SetIsDue(const BackupSet& set, const std::string& source, const std::string& destination,
              DateTime now, const IniFile& settings, BackupRunView& view, BackupRunResult& result,
              FailureLines& failures) {
  const char* skipped = nullptr;
  if (WholeHoursBetween(now, settings.ReadDateTime(set.name, kEndTimeKey, 0.0)) <= 23) {
    skipped = "は標準時間が経過していませんでした。";
  } else if (!IsFolder(source)) {
    skipped = "はコピー元フォルダが存在しません。";
  } else if (destination.empty()) {
    // Joining an empty destination with the relative paths would write the
    // whole tree into the file system root.
    skipped = "はコピー先フォルダが指定されていません。";
    failures.Add(set.name + ": no destination folder");
    result.failedSets.push_back(set.name + skipped);
  }
  if (skipped == nullptr) return true;
  view.SetStatus(set.name + skipped);
  view.StartTimer2();
  view.SetDone(set.name + skipped);
  return false;
}

// Whether the destination root of `set` may be used: it is there, or may
// be made (see MayMakeDestinationRoot); if not, shows why and counts the set
// as failed. It is not made where a medium or share that is not mounted
// would be: the set stays due for the run after it is back.
bool DestinationUsable(const BackupSet& set, const std::string& destination,
                       const IniFile& settings, BackupRunView& view, BackupRunResult& result,
                       FailureLines& failures) {
  const double endTime = settings.ReadDateTime(set.name, kEndTimeKey, 0.0);
  const Status root =
      MayMakeDestinationRoot(destination, BackedUpBefore(set, endTime, settings), view.Mounts());
  if (root.ok()) return true;
  const std::string text = set.name + (root.code() == Status::Code::kNotFound
                                           ? "はコピー先フォルダが見つかりません。メディアや共有フ"
                                             "ォルダが接続されているか確認してください。"
                                           : "はコピー先フォルダにアクセスできません。");
  failures.Add(root.message());
  result.failedSets.push_back(text);
  view.SetStatus(text);
  view.StartTimer2();
  view.SetDone(text);
  return false;
}

// Lists the source tree whole, then copies what the rules select. Every
// failure goes to `failures`, one line each; `progress` follows the files.
SetCopy CopySetFiles(const std::string& source, const std::string& destination,
                     const ExtensionRules& rules, BackupRunView& view, RunProgress& progress,
                     FailureLines& failures, DestinationWatch& watch) {
  SetCopy result;
  auto fail = [&](const Status& status) {
    ++result.failed;
    // A destination given up is one line for the set, not one a file.
    if (!DestinationWatch::IsTrouble(status) || !watch.lost()) failures.Add(status.message());
  };
  // Listed on several threads, and looked at ahead of the loop below, unless
  // QUILLFEN_LOOKAHEAD=0.
  progress.lookedAt.store(0, std::memory_order_relaxed);
  progress.files.store(0, std::memory_order_relaxed);
  progress.listing.store(true, std::memory_order_relaxed);
  const ThreadPolicy threads = ThreadPolicy::ForRun();
  const TreeListing listing =
      ListTreeInParallel(source, FolderToLeaveOut(source, destination), threads.cacheThreads,
                         threads.diskThreads, [&view] { return view.StopWhileListing(); });
  progress.files.store(static_cast<long long>(listing.fileCount), std::memory_order_relaxed);
  progress.listing.store(false, std::memory_order_relaxed);
  for (const Status& error : listing.errors) fail(error);
  if (listing.stopped) {
    // Stopped while the tree was read: nothing is copied from a part of it.
    result.stopped = true;
    return result;
  }

  CopyPlaces places(source, destination, CopyPlaces::Links::kReplace);
  // Replaced targets are closed for the last time on a second thread.
  DeferredCloser replaced;
  // Several copies in flight on threads of their own, unless
  // QUILLFEN_COPIES=0; what each came to is taken here in the order the
  // files were met, so failure lines keep their order.
  const long long copiedBefore = progress.copied.load(std::memory_order_relaxed);
  CopyQueue copies(threads.copyThreads, &replaced, [&](const Status& outcome) {
    watch.NoteOutcome(outcome);
    if (outcome.ok()) {
      ++result.copied;
      progress.copied.store(copiedBefore + result.copied, std::memory_order_relaxed);
    } else {
      fail(outcome);
    }
  });
  copies.CountBytesInto(&progress.bytes);
  copies.WatchDestination(&watch);
  copies.ThreadsForDistant(threads.distantCopyThreads);
  long long lookedAt = 0;
  // The copies are looked at ahead of the loop; a file whose copy was seen
  // and whose source, looked at here, needs no copy is passed over. Every
  // other file is checked here in order as ever, and its copy handed to
  // `copies`.
  LookAhead ahead(
      listing, source, destination,
      [&rules](std::string_view name) { return rules.excluded.Contains(FileExtension(name)); },
      threads.cacheThreads, threads.diskThreads);
  UpToDateCheck quick(source);
  for (size_t index = 0; index < listing.folders.size(); ++index) {
    if (result.stopped || watch.lost()) break;
    const TreeListing::Folder& folder = listing.folders[index];
    const LookAhead::Verdicts verdicts = ahead.Take(index);
    size_t position = 0;
    places.Enter(folder.relative);
    TreeListing::ForEachName(folder, [&](std::string_view name) {
      const int64_t target = verdicts.empty() ? LookAhead::kLook : verdicts[position];
      ++position;
      // A plain store: only this thread writes it.
      progress.lookedAt.store(++lookedAt, std::memory_order_relaxed);
      if (result.stopped || (result.stopped = view.StopRequested()) || watch.lost()) return;
      const std::string_view extension = FileExtension(name);
      if (rules.excluded.Contains(extension)) return;
      const bool newer = !rules.keepOriginal.Contains(extension);
      // The copy seen ahead, and the source as it is now, need no copy.
      if (target != LookAhead::kLook &&
          quick.UpToDate(folder.relative, name.data(), newer, target)) {
        return;
      }
      CopyPlaces::Decision decision =
          places.Check(name.data(), newer, CopyPlaces::MakeFolders::kAlways);
      if (DestinationWatch::IsTrouble(decision.failure) && watch.AwaitAnswer()) {
        places.LookAgain();
        decision = places.Check(name.data(), newer, CopyPlaces::MakeFolders::kAlways);
      }
      if (!decision.failure.ok()) {
        copies.Add(decision.failure);
        return;
      }
      if (!decision.copy) return;
      CopyJob job;
      if (copies.parallel() && places.Detach(name.data(), newer, decision, job)) {
        copies.Add(std::move(job));
      } else {
        Status copied = places.Copy(name.data(), &replaced);
        if (DestinationWatch::IsTrouble(copied) && watch.AwaitAnswer()) {
          copied = places.Copy(name.data(), &replaced);
        }
        if (copied.ok()) progress.bytes.fetch_add(decision.sourceBytes, std::memory_order_relaxed);
        copies.Add(std::move(copied));
      }
    });
  }
  // Folders get their last bits, and the set its end time, only after the
  // copies into them are made.
  copies.Finish();
  for (const Status& failure : places.FinishFolders()) fail(failure);
  replaced.Wait();
  result.rootOpened = places.ToRootOpened();
  if (watch.lost()) {
    result.lost = watch.reason();
    return result;
  }
  if (result.stopped) return result;
  // The end time must not claim copies that a power loss could take back:
  // the destination is flushed also when this run copied nothing, as an
  // earlier run that was stopped may have left copies not yet on the disk.
  const Status flush = copies.FlushFailure();
  result.sync = flush.ok() ? places.Sync() : PathError(destination, flush.code(), flush.detail());
  return result;
}

}  // namespace

ExtensionSet::ExtensionSet(const std::vector<std::string>& entries, TextFold fold) : fold_(fold) {
  for (const std::string& entry : entries) {
    if (!entry.empty()) keys_.insert(FoldKey(entry, fold_));
  }
}

bool ExtensionSet::Contains(std::string_view extension) const {
  if (extension.empty() || keys_.empty()) return false;
  return keys_.count(FoldKey(extension, fold_)) != 0;
}

BackupRunResult RunBackup(const std::vector<BackupSet>& sets,
                          const std::vector<std::string>& keepOriginal,
                          const std::vector<std::string>& excluded, const Clock& clock,
                          IniFile& settings, BackupRunView& view) {
  BackupRunResult result;
  RunProgress unseen;
  RunProgress& progress = view.Progress() != nullptr ? *view.Progress() : unseen;
  FailureLines failures(view, progress, result);
  const ExtensionRules rules{ExtensionSet(excluded, view.CaseFold()),
                             ExtensionSet(keepOriginal, view.CaseFold())};
  for (size_t row = 0; row < sets.size(); ++row) {
    const BackupSet& set = sets[row];
    const std::string source = TrimTrailingSlashes(set.source);
    const std::string destination = TrimTrailingSlashes(set.destination);
    if (!SetIsDue(set, source, destination, clock.Now(), settings, view, result, failures)) {
      continue;
    }
    progress.set.store(static_cast<int>(row), std::memory_order_relaxed);
    // A destination that hangs is given up, and said so at once, even while
    // a call into it waits in the system.
    DestinationWatch watch(destination, view.DestinationPatience());
    const std::chrono::milliseconds patience = view.DestinationPatience();
    auto hung = [&view, &watch, name = set.name](const Status& why) {
      watch.GiveUp(why);
      view.DestinationHung(name + ": " + why.message());
    };
    const DestinationHeartbeat heartbeat(
        destination, patience, hung,
        std::min<std::chrono::milliseconds>(DestinationHeartbeat::kInterval, patience));
    if (!DestinationUsable(set, destination, settings, view, result, failures)) continue;
    watch.NoteDevice();
    view.SetStatus(set.name + "をバックアップ中");

    const SetCopy copy = CopySetFiles(source, destination, rules, view, progress, failures, watch);
    result.filesCopied += copy.copied;
    const std::string copied = set.name + ": " + std::to_string(copy.copied) + " 件コピー";
    if (copy.rootOpened && (copy.stopped || !copy.lost.ok() || !copy.sync.ok())) {
      const Status recorded = RecordDestination(set, destination, settings);
      if (!recorded.ok()) failures.Add(recorded.message());
    }
    if (copy.stopped) {
      failures.Add(set.name + ": stopped before all files were looked at");
      result.failedSets.push_back(set.name + "のバックアップは途中で終了しました。");
      view.SetDone(copied + "、" + result.failedSets.back());
      result.stopped = true;
      return result;
    }
    if (!copy.lost.ok()) {
      // Given up: the set stays due, and the run goes on with the next.
      failures.Add(copy.lost.message());
      const std::string text =
          set.name + "のコピー先が応答しないため、バックアップを中断しました。";
      view.SetStatus(text);
      view.StartTimer2();
      result.failedSets.push_back(text);
      view.SetDone(copied + "、" + text);
      continue;
    }
    if (copy.failed > 0) {
      const std::string text =
          set.name + "のコピーに失敗したファイルが" + std::to_string(copy.failed) + "件あります。";
      view.SetStatus(text);
      view.StartTimer2();
      result.failedSets.push_back(text);
    }
    if (!copy.sync.ok()) {
      // Not flushed: the set stays due.
      failures.Add(copy.sync.message());
      result.failedSets.push_back(
          set.name + "のコピーを記録できませんでした（書き込みの完了を確認できません）。");
      view.SetDone(copied + "、" + result.failedSets.back());
      continue;
    }
    const Status written = WriteEndTime(set, destination, clock.Now(), settings);
    if (!written.ok()) {
      result.settingsError = written;
      view.SetDone(copied + "、" + written.message());
      return result;
    }
    view.SetDone(copy.failed > 0 ? copied + "、失敗 " + std::to_string(copy.failed) + " 件"
                                 : copied);
    ++result.setsBackedUp;
  }
  return result;
}

}  // namespace quillfen
