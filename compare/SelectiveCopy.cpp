#include "compare/SelectiveCopy.h"

#include <sys/stat.h>

#include <algorithm>

#include "engine/FiCheck.h"
#include "engine/FileAccess.h"
#include "engine/FileCopy.h"
#include "engine/IniFile.h"
#include "engine/TargetFolder.h"

namespace quillfen {

namespace {

bool IsFolder(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Root text followed by a relative path (which begins with '/').
std::string JoinRoot(const std::string& root, const std::string& relative) {
  std::string base = TrimTrailingSlashes(root);
  if (base == "/") base.clear();
  return base + relative;
}

bool Contains(const std::vector<std::string>& entries, std::string_view ext) {
  return std::find(entries.begin(), entries.end(), ext) != entries.end();
}

// Copies one selected item; on success deselects it and shows the status.
class Copier {
 public:
  Copier(const SelectiveCopyRequest& request, CopyFeedback& feedback, SelectiveCopyOutcome& outcome)
      : request_(request),
        feedback_(feedback),
        outcome_(outcome),
        failedItems_(request.items.size(), 0) {}

  void Copy(size_t index, const std::string& from, const std::string& to) {
    const Status status = CopyFile(from, to);
    if (!status.ok()) {
      // Counted once per file, though both passes may have tried it.
      if (!failedItems_[index]) ++outcome_.failed;
      failedItems_[index] = 1;
      return;
    }
    ++outcome_.copied;
    feedback_.ShowStatus(from + "をコピー中");
    outcome_.selected[index] = 0;
  }

  std::string From(size_t i) const { return JoinRoot(request_.fromRoot, request_.items[i]); }
  // The copy-to path of item i; for a backup its place is prepared first.
  std::string To(size_t i) {
    if (replaceLinks_) PrepareTarget(request_.toRoot, request_.items[i], prepared_);
    return JoinRoot(request_.toRoot, request_.items[i]);
  }

 private:
  const SelectiveCopyRequest& request_;
  CopyFeedback& feedback_;
  SelectiveCopyOutcome& outcome_;
  std::vector<char> failedItems_;
  std::string prepared_;  // the folder PrepareTarget made safe last
  const bool replaceLinks_ =
      request_.replacePlantedLinks && MayReplaceLinks(request_.fromRoot, request_.toRoot);
};

void CreateCopyToRoot(const std::string& root, CopyFeedback& feedback) {
  if (IsFolder(TrimTrailingSlashes(root))) return;
  if (::mkdir(TrimTrailingSlashes(root).c_str(), 0777) == 0)
    feedback.ShowMessage(root + "を作成しました。");
  else
    feedback.ShowMessage("新規フォルダの作成に失敗しました。");
}

void CopyFiles(const SelectiveCopyRequest& request, CopyFeedback& feedback,
               SelectiveCopyOutcome& outcome) {
  Copier copier(request, feedback, outcome);
  std::vector<char>& selected = outcome.selected;
  const size_t n = request.items.size();

  // Keep-original pass: copy only when the target is missing or the
  // copy-from file is older than it, so the first copy made is kept.
  for (size_t i = 0; i < n; ++i) {
    if (!selected[i]) continue;
    const std::string from = copier.From(i);
    if (!Contains(request.keepOriginal, FileExtension(from))) continue;
    const std::string to = copier.To(i);
    if (NeedsCopy(from, to, false)) copier.Copy(i, from, to);
  }

  // Excluded pass.
  for (size_t i = 0; i < n; ++i) {
    if (selected[i] && Contains(request.excluded, FileExtension(copier.From(i)))) selected[i] = 0;
  }

  // Newer pass.
  for (size_t i = 0; i < n; ++i) {
    if (!selected[i]) continue;
    const std::string from = copier.From(i);
    const std::string to = copier.To(i);
    if (FileAge(from) > FileAge(to) && NeedsCopy(from, to, true)) copier.Copy(i, from, to);
  }
  feedback.StartStatusTimer();
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
    return outcome;
  }
  if (TrimTrailingSlashes(request.fromRoot).empty() ||
      TrimTrailingSlashes(request.toRoot).empty()) {
    // No folder to copy from or to (a set whose folder text is empty): the
    // relative paths alone would name files under the file-system root.
    feedback.ShowMessage("新規フォルダの作成に失敗しました。");
    outcome.failed =
        static_cast<size_t>(std::count(outcome.selected.begin(), outcome.selected.end(), 1));
    return outcome;
  }
  CreateCopyToRoot(request.toRoot, feedback);
  CopyFiles(request, feedback, outcome);
  // The end time written next must not claim copies a power loss could undo.
  if (outcome.copied > 0) (void)SyncFileSystem(TrimTrailingSlashes(request.toRoot));
  return outcome;
}

void FinishSelectiveCopy(const SelectiveCopyRequest& request, SelectiveCopyOutcome& outcome,
                         CopyFeedback& feedback) {
  const Status written =
      IniFile(request.settingsPath).WriteDateTime(request.setName, "終了時刻", request.now);
  if (!written.ok()) {
    feedback.ShowError(written.message());
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
