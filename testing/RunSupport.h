// Shared pieces of the backup-run tests: a view that records what the run
// shows, and a snapshot of what a tree holds, for comparing a destination
// with what it should hold.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <dirent.h>

#include <map>
#include <string>
#include <vector>

#include "app/BackupRun.h"
#include "engine/DateTime.h"
#include "testing/FakeClock.h"
#include "testing/TestTree.h"

namespace quillfen::testing {

class RecordingRunView : public BackupRunView {
 public:
  std::vector<std::string> statuses;
  void SetStatus(const std::string& text) override { statuses.push_back(text); }
  void StartTimer2() override {}
};

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
