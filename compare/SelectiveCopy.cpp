#include "compare/SelectiveCopy.h"

#include <algorithm>

#include "engine/CopyPlaces.h"
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
  Copier(const SelectiveCopyRequest& request, CopyFeedback& feedback, SelectiveCopyOutcome& outcome)
      : request_(request),
        feedback_(feedback),
        outcome_(outcome),
        failedItems_(request.items.size(), 0),
        places_(
            request.fromRoot, request.toRoot,
            request.replacePlantedLinks ? CopyPlaces::Links::kReplace : CopyPlaces::Links::kKeep) {}

  // Copies item i when the test (`newer`, else keep-original) says so.
  void CopyIfWanted(size_t i, bool newer, CopyPlaces::MakeFolders make) {
    const std::string_view item = request_.items[i];
    const std::string name(LastName(item));
    if (item.empty() || item.front() != '/' || name.empty() || name == "." || name == "..") {
      Failed(i);
      return;
    }
    places_.Enter(FolderOf(item));
    const CopyPlaces::Decision decision = places_.Check(name.c_str(), newer, make);
    if (!decision.failure.ok()) {
      Failed(i);
      return;
    }
    if (!decision.copy) return;
    if (!places_.Copy(name.c_str()).ok()) {
      Failed(i);
      return;
    }
    ++outcome_.copied;
    feedback_.ShowStatus(places_.FromPath(name) + "をコピー中");
    outcome_.selected[i] = 0;
  }

  // Final bits of the folders made, then the flush of the copy-to side,
  // also when nothing was copied now: copies and folders an earlier, stopped
  // copy left may not be on the disk yet.
  void Finish() {
    outcome_.failed += places_.FinishFolders().size();
    outcome_.sync = places_.Sync();
  }

 private:
  // Counted once per file, though both passes may have tried it.
  void Failed(size_t i) {
    if (!failedItems_[i]) ++outcome_.failed;
    failedItems_[i] = 1;
  }

  const SelectiveCopyRequest& request_;
  CopyFeedback& feedback_;
  SelectiveCopyOutcome& outcome_;
  std::vector<char> failedItems_;
  CopyPlaces places_;
};

void CreateCopyToRoot(const std::string& root, CopyFeedback& feedback) {
  if (IsFolder(root)) return;
  if (MakeFolder(TrimTrailingSlashes(root))) {
    feedback.ShowMessage(quillfen_ui::FolderCreatedMessage(root));
  } else {
    feedback.ShowMessage(quillfen_ui::kFolderNotCreated);
  }
}

void CopyFiles(const SelectiveCopyRequest& request, CopyFeedback& feedback,
               SelectiveCopyOutcome& outcome) {
  Copier copier(request, feedback, outcome);
  std::vector<char>& selected = outcome.selected;
  const size_t n = request.items.size();

  // Keep-original pass: copy only when the target is missing or the
  // copy-from file is older than it, so the first copy made is kept.
  for (size_t i = 0; i < n; ++i) {
    if (selected[i] && Contains(request.keepOriginal, FileExtension(request.items[i]))) {
      copier.CopyIfWanted(i, false, CopyPlaces::MakeFolders::kAlways);
    }
  }

  // Excluded pass.
  for (size_t i = 0; i < n; ++i) {
    if (selected[i] && Contains(request.excluded, FileExtension(request.items[i]))) selected[i] = 0;
  }

  // Newer pass: folders are made only for the files copied.
  for (size_t i = 0; i < n; ++i) {
    if (selected[i]) copier.CopyIfWanted(i, true, CopyPlaces::MakeFolders::kWhenCopying);
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
    outcome.failed =
        static_cast<size_t>(std::count(outcome.selected.begin(), outcome.selected.end(), 1));
    return outcome;
  }
  CreateCopyToRoot(request.toRoot, feedback);
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

SelectiveCopyOutcome RunSelectiveCopy(const SelectiveCopyRequest& request, CopyFeedback& feedback) {
  SelectiveCopyOutcome outcome = CopySelected(request, feedback);
  FinishSelectiveCopy(request, outcome, feedback);
  return outcome;
}

}  // namespace quillfen
