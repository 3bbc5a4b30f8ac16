// What the comparison window reads from the main window, at the moment it
// needs it: the selected set and the two extension lists.
#pragma once

#include <string>
#include <vector>

#include "engine/RunRecord.h"

class MainWindowLink {
 public:
  virtual ~MainWindowLink() = default;
  // Texts of the selected row of the set table (empty when none selected).
  virtual std::string SelectedSetName() const = 0;            // ListBox1
  virtual std::string SelectedSourceFolder() const = 0;       // ListBox2
  virtual std::string SelectedDestinationFolder() const = 0;  // ListBox3
  // Ticked entries of CheckListBox1 (keep original) / CheckListBox2
  // (excluded), in list order.
  virtual std::vector<std::string> TickedKeepOriginal() const = 0;
  virtual std::vector<std::string> TickedExcluded() const = 0;
  // StartDir + "/Quillfen.ini".
  virtual std::string SettingsPath() const = 0;
  // Whether the program is ending (safe from any thread): a copy under way
  // stops before its next file.
  virtual bool StopRequested() const { return false; }
  // The comparison window's copy is held in a destination that does not
  // answer (true), or that copy has ended (false): an end asked for from
  // outside then does not wait for it.
  virtual void CopyHeld(bool /*held*/) {}
  // Ends the program at once, the settings written, without waiting for a
  // copy held in a destination that does not answer. Does not return in the
  // program.
  virtual void EndWithoutWaiting() {}
  // Shows the result of a copy with failures where the user can read it
  // after the comparison window has closed.
  virtual void ShowFailures(const std::vector<quillfen::SetReport>& /*sets*/) {}
};
