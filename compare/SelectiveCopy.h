// Copying the selected files of one list of the comparison window to the
// other tree (backup: source to destination; restore: destination to source),
// applying the keep-original and excluded extension lists and the newer test.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "compare/CompareLogic.h"
#include "engine/DateTime.h"
#include "engine/DestinationRoot.h"
#include "engine/DestinationWatch.h"
#include "engine/RunRecord.h"
#include "engine/Status.h"

namespace quillfen {

// What the copy shows while it runs. Message boxes are modal: ShowMessage
// returns when the user has dismissed the box.
class CopyFeedback : public StatusSink {
 public:
  virtual void ShowMessage(std::string_view text) = 0;
  virtual void ShowError(std::string_view text) = 0;
  // Switches on the timer that clears the status line (kept running if on).
  virtual void StartStatusTimer() = 0;
  // Whether the copy is to stop before its next file.
  virtual bool StopRequested() { return false; }
  // Where the copy keeps its progress; null: nowhere.
  virtual RunProgress* Progress() { return nullptr; }
  // The copy-to folder has not answered for the patience (`line` says so),
  // while the copy may be held in it; called once, on a thread of its own.
  virtual void DestinationHung(std::string_view line) { static_cast<void>(line); }
};

struct SelectiveCopyRequest {
  // Roots as the main window holds them; a trailing '/' is ignored when
  // paths are formed, so "/" + "/a" gives "/a".
  std::string fromRoot;  // copied from
  std::string toRoot;    // copied to
  // Relative paths of the list acted on, and its selection flags.
  std::vector<std::string> items;
  std::vector<char> selected;
  // Ticked entries of the two extension lists, in list order (".txt").
  std::vector<std::string> keepOriginal;
  std::vector<std::string> excluded;
  // Backup: links planted in the copy-to tree are replaced, never followed. A
  // restore writes into the user's own source tree, whose links are the
  // user's: they are left as they are, and a file below a link in place of a
  // folder fails (see CopyPlaces::Links).
  bool replacePlantedLinks = false;
  // Where media and shares are mounted: a missing copy-to folder is not made
  // where one that is not mounted would be (see MayMakeDestinationRoot).
  MountTables mounts;
  // How long the copy-to folder may go without answering before the copy
  // gives it up (see DestinationWatch).
  std::chrono::milliseconds patience = DestinationWatch::kPatience;
  // Where the end time is recorded.
  std::string setName;
  std::string settingsPath;
  DateTime now = 0;
};

struct SelectiveCopyOutcome {
  std::vector<char> selected;  // new flags: every copied file deselected
  size_t copied = 0;
  size_t failed = 0;         // files whose copy did not succeed
  bool completed = false;    // something was selected, the passes ran
  bool closeWindow = false;  // completed and the end time written
  // The flush of the copy-to file system after the copies.
  Status sync = Status::Ok();
  // One line per file that failed ("<from> -> <to>: <reason>"), in order.
  std::vector<std::string> failures;
  // Asked to stop: the files after the last one copied were left alone.
  bool stopped = false;
};

// The copying half: nothing-selected check ("ファイルが選択されていません！"),
// creation of a missing copy-to root (one level), the keep-original pass, the
// excluded pass, the newer pass. Extension matching is exact (letter case
// counts). A copy that fails leaves its item selected and is counted. An
// empty root copies nothing: every selected item counts as failed. A
// copy-to folder in trouble is waited for and the file tried once more; one
// that does not answer within the patience, or whose share is gone, ends the
// copy: the files after it are left selected, and the reason is the
// outcome's sync failure (no end time is written).
SelectiveCopyOutcome CopySelected(const SelectiveCopyRequest& request, CopyFeedback& feedback);

// The closing half, run in every case: writes the end time under
// [setName] "終了時刻" (an unwritable file shows the error and the window
// stays open), then, when the copy completed, shows "バックアップが終了しました。"
// (with a second line counting the files that could not be copied) and sets
// outcome.closeWindow. When the flush after the copies failed, the error is
// shown instead, no end time is written and the window stays open.
void FinishSelectiveCopy(const SelectiveCopyRequest& request, SelectiveCopyOutcome& outcome,
                         CopyFeedback& feedback);

}  // namespace quillfen
