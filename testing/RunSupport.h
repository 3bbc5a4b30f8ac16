// Shared pieces of the backup-run tests: a view that records what the run
// shows, the fixture that runs sets, and a snapshot of what a tree holds, for
// comparing a destination with what it should hold.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <dirent.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/BackupRun.h"
#include "engine/DateTime.h"
#include "engine/IniFile.h"
#include "testing/FakeClock.h"
#include "testing/TestTree.h"

namespace quillfen::testing {

class RecordingRunView : public BackupRunView {
 public:
  std::vector<std::string> statuses;
  int timer2Starts = 0;
  // Asks the run to stop once it has asked this many times (-1: never).
  int stopAfterQuestions = -1;
  int questions = 0;
  void SetStatus(const std::string& text) override { statuses.push_back(text); }
  void StartTimer2() override { ++timer2Starts; }
  bool StopRequested() override {
    return stopAfterQuestions >= 0 && questions++ >= stopAfterQuestions;
  }
};

// The fixture of the backup-run tests: a test tree holding the settings
// file, the fake clock and a recording view.
class RunFixture : public ::testing::Test {
 protected:
  // Runs `sets` now.
  BackupRunResult Run(const std::vector<BackupSet>& sets, const std::vector<std::string>& keep = {},
                      const std::vector<std::string>& excluded = {}) {
    IniFile settings(SettingsPath());
    return RunBackup(sets, keep, excluded, clock, settings, view);
  }
  // Runs `set` a day and an hour later, so that it is due again.
  BackupRunResult RunNextDay(const BackupSet& set, const std::vector<std::string>& keep = {},
                             const std::vector<std::string>& excluded = {}) {
    clock.NextDay();
    return Run({set}, keep, excluded);
  }
  std::string SettingsPath() const { return tree.Path("Quillfen.ini"); }

  TestTree tree;
  FakeClock clock;
  RecordingRunView view;
};

// A run's failure lines, one a line, for messages.
inline std::string Failures(const BackupRunResult& result) {
  std::string out;
  for (const std::string& failure : result.failures) out += failure + "\n";
  return out;
}

// What a tree holds, keyed by path relative to its root ("/a/b.txt"): the
// content of each regular file, and "<folder>", "<link>" or "<other>" for the
// other entries. Links are never followed.
using TreeSnapshot = std::map<std::string, std::string>;

inline void AddToSnapshot(const std::string& root, const std::string& relative, TreeSnapshot& out) {
  DIR* dir = opendir((root + relative).c_str());
  if (dir == nullptr) return;
  std::vector<std::string> names;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  for (const std::string& name : names) {
    const std::string rel = relative + "/" + name;
    struct stat st;
    if (lstat((root + rel).c_str(), &st) != 0) continue;
    if (S_ISREG(st.st_mode)) {
      out[rel] = TestTree::Read(root + rel);
    } else if (S_ISDIR(st.st_mode)) {
      out[rel] = "<folder>";
      AddToSnapshot(root, rel, out);
    } else {
      out[rel] = S_ISLNK(st.st_mode) ? "<link>" : "<other>";
    }
  }
}

inline TreeSnapshot Snapshot(const std::string& root) {
  TreeSnapshot out;
  AddToSnapshot(root, "", out);
  return out;
}

// Only the regular files of a snapshot.
inline TreeSnapshot FilesOnly(const TreeSnapshot& all) {
  TreeSnapshot out;
  for (const auto& [rel, content] : all)
    if (content != "<folder>" && content != "<link>" && content != "<other>") out[rel] = content;
  return out;
}

}  // namespace quillfen::testing
