#include "compare/SelectiveCopy.h"

#include <algorithm>

#include "engine/CopyPlaces.h"
#include "engine/DestinationWatch.h"
#include "engine/FileCopy.h"
#include "engine/IniFile.h"
#include "engine/Path.h"
#include "ui/Messages.h"

namespace quillfen {

namespace {

bool Contains(const std::vector<std::string>& entries, std::string_view ext) {
  return std::find(entries.begin(), entries.end(), ext) != entries.end();
}

// Copies selected items through CopyPlaces; on success deselects the item and
// shows the status, on failure counts the item once and leaves it selected.
class Copier {
 public:
  Copier(const SelectiveCopyRequest& request, CopyFeedback& feedback, SelectiveCopyOutcome& outcome,
         DestinationWatch& watch)
      : request_(request),
        feedback_(feedback),
        outcome_(outcome),
        failedItems_(request.items.size(), 0),
        progress_(feedback.Progress() != nullptr ? *feedback.Progress() : unseen_),
        places_(
            request.fromRoot, request.toRoot,
            request.replacePlantedLinks ? CopyPlaces::Links::kReplace : CopyPlaces::Links::kKeep),
        watch_(watch) {
    watch_.NoteDevice();
  }

  // Copies item i when the test (`newer`, else keep-original) says so.
  void CopyIfWanted(size_t i, bool newer, CopyPlaces::MakeFolders make) {
    const std::string_view item = request_.items[i];
    const std::string name(LastName(item));
    if (item.empty() || item.front() != '/' || name.empty() || name == "." || name == "..") {
      Failed(i, std::string(item) + ": not a path inside the folder");
      return;
    }
    places_.Enter(FolderOf(item));
    CopyPlaces::Decision decision = places_.Check(name.c_str(), newer, make);
    // A destination in trouble is waited for, and the file tried once more.
    if (DestinationWatch::IsTrouble(decision.failure) && watch_.AwaitAnswer()) {
      places_.LookAgain();
      decision = places_.Check(name.c_str(), newer, make);
    }
    if (!decision.failure.ok()) {
      Failed(i, decision.failure);
      return;
    }
    if (!decision.copy) return;
    Status copied = places_.Copy(name.c_str());
    if (DestinationWatch::IsTrouble(copied) && watch_.AwaitAnswer()) {
      copied = places_.Copy(name.c_str());
    }
    watch_.NoteOutcome(copied);
    if (!copied.ok()) {
      Failed(i, copied);
      return;
    }
    ++outcome_.copied;
    progress_.copied.fetch_add(1, std::memory_order_relaxed);
    progress_.bytes.fetch_add(decision.sourceBytes, std::memory_order_relaxed);
    feedback_.ShowStatus(places_.FromPath(name) + "をコピー中");
    outcome_.selected[i] = 0;
  }

  // Final bits of the folders made, then the flush of the copy-to side,
  // also when nothing was copied now: copies and folders an earlier, stopped
  // copy left may not be on the disk yet.
  void Finish() {
    if (watch_.lost()) {
      // Not asked again: the folders keep their private bits, and the
      // window shows why no end time is written.
      outcome_.failures.push_back(watch_.reason().message());
      outcome_.sync = watch_.reason();
      return;
    }
    for (const Status& failure : places_.FinishFolders()) {
      ++outcome_.failed;
      outcome_.failures.push_back(failure.message());
    }
    outcome_.sync = places_.Sync();
  }

  RunProgress& progress() { return progress_; }
  // Whether the copy-to folder was given up: nothing more is tried.
  bool lost() const { return watch_.lost(); }

 private:
  // A failure line, unless it is one of the copies failing with the
  // destination given up, which the reason of the loss stands for.
  void Failed(size_t i, const Status& failure) {
    if (DestinationWatch::IsTrouble(failure) && watch_.lost()) return;
    Failed(i, failure.message());
  }
  // Counted once per file, though both passes may have tried it.
  void Failed(size_t i, std::string line) {
    if (!failedItems_[i]) {
      ++outcome_.failed;
      progress_.failed.fetch_add(1, std::memory_order_relaxed);
      outcome_.failures.push_back(std::move(line));
    }
    failedItems_[i] = 1;
  }

  const SelectiveCopyRequest& request_;
  CopyFeedback& feedback_;
  SelectiveCopyOutcome& outcome_;
  std::vector<char> failedItems_;
  RunProgress unseen_;
  RunProgress& progress_;
  CopyPlaces places_;
  DestinationWatch& watch_;
};

void CreateCopyToRoot(const std::string& root, CopyFeedback& feedback) {
  if (IsFolder(root)) return;
  if (MakeFolder(TrimTrailingSlashes(root))) {
    feedback.ShowMessage(quillfen_ui::FolderCreatedMessage(root));
  } else {
    feedback.ShowMessage(quillfen_ui::kFolderNotCreated);
  }
}

// The number of files selected.
size_t SelectedCount(const SelectiveCopyOutcome& outcome) {
  return static_cast<size_t>(std::count(outcome.selected.begin(), outcome.selected.end(), 1));
}

void CopyFiles(const SelectiveCopyRequest& request, CopyFeedback& feedback,
               SelectiveCopyOutcome& outcome) {
  // A copy-to folder that hangs is seen even while a call into it waits,
  // from the first look at it on.
  DestinationWatch watch(request.toRoot, request.patience);
  const DestinationHeartbeat heartbeat(
      request.toRoot, request.patience,
      [&watch, &feedback](const Status& why) {
        watch.GiveUp(why);
        feedback.DestinationHung(why.message());
      },
      std::min<std::chrono::milliseconds>(DestinationHeartbeat::kInterval, request.patience));
  if (const Status root = MayMakeDestinationRoot(request.toRoot, false, request.mounts);
      !root.ok()) {
    // An absent medium or share: nothing goes onto the disk beneath it, and
    // no end time is written (shown as a failed flush is).
    const Status why = watch.lost() ? watch.reason() : root;
    outcome.failed = SelectedCount(outcome);
    outcome.failures.push_back(why.message());
    outcome.sync = why;
    return;
  }
  CreateCopyToRoot(request.toRoot, feedback);
  Copier copier(request, feedback, outcome, watch);
  std::vector<char>& selected = outcome.selected;
  const size_t n = request.items.size();
  RunProgress& progress = copier.progress();
  // Each selected file counts as looked at once: when a pass copies or
  // deselects it, or when the newer pass reaches it.
  progress.files.store(std::count(selected.begin(), selected.end(), 1), std::memory_order_relaxed);
  auto lookedAt = [&] { progress.lookedAt.fetch_add(1, std::memory_order_relaxed); };
  auto stop = [&] {
    return copier.lost() || outcome.stopped || (outcome.stopped = feedback.StopRequested());
  };

  // Keep-original pass: copy only when the target is missing or the
  // copy-from file is older than it, so the first copy made is kept.
  for (size_t i = 0; i < n && !stop(); ++i) {
    if (selected[i] && Contains(request.keepOriginal, FileExtension(request.items[i]))) {
      copier.CopyIfWanted(i, false, CopyPlaces::MakeFolders::kAlways);
      if (!selected[i]) lookedAt();
    }
  }

  // Excluded pass.
  for (size_t i = 0; i < n && !outcome.stopped && !copier.lost(); ++i) {
    if (selected[i] && Contains(request.excluded, FileExtension(request.items[i]))) {
      selected[i] = 0;
      lookedAt();
    }
  }

  // Newer pass: folders are made only for the files copied.
  for (size_t i = 0; i < n && !stop(); ++i) {
    if (!selected[i]) continue;
    copier.CopyIfWanted(i, true, CopyPlaces::MakeFolders::kWhenCopying);
    lookedAt();
  }
  feedback.StartStatusTimer();
  copier.Finish();
}

}  // namespace

SelectiveCopyOutcome CopySelected(const SelectiveCopyRequest& request, CopyFeedback& feedback) {
  SelectiveCopyOutcome outcome;
  outcome.selected = request.selected;
  outcome.selected.resize(request.items.size(), 0);
  outcome.completed =
      std::any_of(outcome.selected.begin(), outcome.selected.end(), [](char c) { return c; });
  if (!outcome.completed) {
    feedback.ShowMessage("ファイルが選択されていません！");
    // The end time still follows, and must not claim what an earlier,
    // stopped copy left unwritten.
    if (!TrimTrailingSlashes(request.toRoot).empty()) {
      outcome.sync = SyncFileSystemAt(request.toRoot);
    }
    return outcome;
  }
  if (TrimTrailingSlashes(request.fromRoot).empty() ||
      TrimTrailingSlashes(request.toRoot).empty()) {
    // No folder to copy from or to (a set whose folder text is empty): the
    // relative paths alone would name files under the file-system root.
    feedback.ShowMessage(quillfen_ui::kFolderNotCreated);
    outcome.failed = SelectedCount(outcome);
    return outcome;
  }
  CopyFiles(request, feedback, outcome);
  return outcome;
}

void FinishSelectiveCopy(const SelectiveCopyRequest& request, SelectiveCopyOutcome& outcome,
                         CopyFeedback& feedback) {
  // The end time must not claim copies that a power loss could take back:
  // when the flush failed, it is not written and the window stays open.
  if (!outcome.sync.ok()) {
    feedback.ShowError(outcome.sync.message());
    return;
  }
  const Status written =
      IniFile(request.settingsPath).WriteDateTime(request.setName, "終了時刻", request.now);
  if (!written.ok()) {
    feedback.ShowError(quillfen_ui::CannotWriteMessage(request.settingsPath));
    return;
  }
  if (!outcome.completed) return;
  std::string done = "バックアップが終了しました。";
  if (outcome.failed > 0)
    done += "\nコピーできなかったファイルが " + std::to_string(outcome.failed) + " 件あります。";
  feedback.ShowMessage(done);
  outcome.closeWindow = true;
}

}  // namespace quillfen
