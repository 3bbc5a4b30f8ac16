// The backup run over all sets, as a plain function: the main window feeds it
// the set table and the ticked extension entries and shows what it reports.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "engine/DateTime.h"
#include "engine/DestinationRoot.h"
#include "engine/DestinationWatch.h"
#include "engine/IniFile.h"
#include "engine/RunRecord.h"
#include "engine/Status.h"

namespace quillfen {

// Folds the case of a valid UTF-8 text that is not all ASCII (Unicode case
// folding, which the program's toolkit provides): what the extension lists
// match by. Must be safe to call from the run's thread.
using TextFold = std::string (*)(std::string_view utf8);

// One row of the set table: the set's name (its section in the settings file),
// source folder and destination folder.
struct BackupSet {
  std::string name;
  std::string source;
  std::string destination;
  bool operator==(const BackupSet&) const = default;
};

// What the run shows while it works, called on the run's thread. The order
// of the calls is the order of what they show.
class BackupRunView {
 public:
  virtual ~BackupRunView() = default;
  // Puts `text` (UTF-8) into the status line.
  virtual void SetStatus(const std::string& text) = 0;
  // Switches on the timer that empties the status line later; a timer already
  // running keeps its count.
  virtual void StartTimer2() = 0;
  // Whether the run is to stop (a signal, the user): it then stops before
  // the next file, and the set it was in stays due.
  virtual bool StopRequested() { return false; }
  // Asked on the run's thread a few times a second while a set's tree is
  // listed: whether the run is to stop now (a signal, the user). The
  // listing then ends early and the set stays due, as with StopRequested.
  virtual bool StopWhileListing() { return false; }
  // Each failure line as it is found, in order: all of them, where
  // BackupRunResult::failures keeps the first kKeptFailures.
  virtual void Failed(const std::string& /*line*/) {}
  // What each set came to, once it is done or skipped, for the run's record:
  // "<name>: 3 件コピー", the skip or failure text, ...
  virtual void SetDone(const std::string& /*line*/) {}
  // How extensions beyond ASCII are folded; null: by their exact bytes.
  virtual TextFold CaseFold() { return nullptr; }
  // Where the run keeps its progress; null: nowhere.
  virtual RunProgress* Progress() { return nullptr; }
  // Where media and shares are mounted, for the question whether a missing
  // destination folder may be made: the system's own tables.
  virtual MountTables Mounts() { return MountTables(); }
  // How long the destination may go without answering before the set in
  // progress is given up (see DestinationWatch).
  virtual std::chrono::milliseconds DestinationPatience() { return DestinationWatch::kPatience; }
  // Called on another thread, once, when the destination of the set in
  // progress did not answer within the patience: the run may be held in a
  // call into it for as long as it hangs. `line` names the set, the folder
  // and the reason. When the run comes back, the set ends as given up.
  virtual void DestinationHung(const std::string& /*line*/) {}
};

struct BackupRunResult {
  // One line per file that could not be copied ("<source> -> <target>:
  // <reason>") and per source folder that could not be read ("<folder>:
  // <reason>"), in the order met: the first kKeptFailures of them, the rest
  // only counted in failuresNotKept (each went to the view as it was found),
  // so that a run of a million failing files keeps a few hundred kilobytes.
  static constexpr size_t kKeptFailures = 1000;
  std::vector<std::string> failures;
  size_t failuresNotKept = 0;
  // For each set that had failures, in order, the line that says so
  // ("<name>のコピーに失敗したファイルがN件あります。", ...): what a notice to
  // the user names.
  std::vector<std::string> failedSets;
  // Ok, or the error that stopped the run while writing an end time.
  Status settingsError = Status::Ok();
  int setsBackedUp = 0;
  long long filesCopied = 0;
  // The run stopped early because the view asked it to; the set it was in
  // got no end time and the sets after it were not looked at.
  bool stopped = false;
};

// Runs every set in order. A set is skipped when fewer than 24 whole hours lie
// between now and its end time (either direction) or its source folder is
// missing; otherwise its whole tree is listed (a destination inside it left
// out), then each file is passed over (excluded extension), copied when no
// copy exists or the copy is newer (keep-original extension), or copied when
// newer than its copy (all others), through CopyPlaces: nothing planted in the
// destination leads a copy outside it. Source folders that cannot be read
// count as failed files. Afterwards the destination file system is synced and
// the set's end time is written to `settings`; a failed sync leaves the set
// due, a failed write ends the run there. When the view asks the run to stop,
// it stops before the next file with a failure line for the set.
BackupRunResult RunBackup(const std::vector<BackupSet>& sets,
                          const std::vector<std::string>& keepOriginal,
                          const std::vector<std::string>& excluded, const Clock& clock,
                          IniFile& settings, BackupRunView& view);

// A set of extension entries matched without regard to letter case: ASCII
// letters always, other valid UTF-8 as `fold` folds it (exact bytes without
// one), anything else by its exact bytes. Empty entries never match.
class ExtensionSet {
 public:
  explicit ExtensionSet(const std::vector<std::string>& entries, TextFold fold = nullptr);
  bool Contains(std::string_view extension) const;
  bool empty() const { return keys_.empty(); }

 private:
  std::unordered_set<std::string> keys_;
  TextFold fold_;
};

}  // namespace quillfen
