// Runs the backup of one set from the command line, without a window and
// without the start delay: the same RunBackup call the Backup button makes.
//
//   quillfen_run [--settings FILE] [--name NAME] SOURCE DESTINATION
//
// Without --settings the end time goes to a fresh settings file in a
// temporary folder that is removed afterwards, so every call backs the set
// up. No extension entries are in force. Prints one line with the number of
// files copied. Exit status: 0 done, 1 some files could not be copied,
// 2 the settings file could not be written, 3 the set was skipped.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/BackupRun.h"
#include "engine/DateTime.h"
#include "engine/IniFile.h"

namespace {

// Keeps the last status text; there is no window to show it in. The run
// keeps its progress figures as it does for the window, so that their cost
// is part of what is timed.
class SilentView : public quillfen::BackupRunView {
 public:
  void SetStatus(const std::string& text) override { last = text; }
  void StartTimer2() override {}
  void Failed(const std::string& line) override { std::fprintf(stderr, "%s\n", line.c_str()); }
  quillfen::RunProgress* Progress() override { return &progress; }
  std::string last;
  quillfen::RunProgress progress;
};

int Usage() {
  std::fputs("usage: quillfen_run [--settings FILE] [--name NAME] SOURCE DESTINATION\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string settingsPath;
  std::string name = "bench";
  std::vector<std::string> folders;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--settings") == 0 && i + 1 < argc) {
      settingsPath = argv[++i];
    } else if (std::strcmp(argv[i], "--name") == 0 && i + 1 < argc) {
      name = argv[++i];
    } else if (argv[i][0] == '-' && argv[i][1] == '-') {
      return Usage();
    } else {
      folders.push_back(argv[i]);
    }
  }
  if (folders.size() != 2) return Usage();

  std::string tempFolder;
  if (settingsPath.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != 0 ? tmp : "/tmp") + "/quillfen_run.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      std::perror(pattern.c_str());
      return 2;
    }
    tempFolder = pattern;
    settingsPath = tempFolder + "/Quillfen.ini";
  }

  int status = 0;
  {
    quillfen::IniFile settings(settingsPath);
    quillfen::SystemClock clock;
    SilentView view;
    const std::vector<quillfen::BackupSet> sets{{name, folders[0], folders[1]}};
    const quillfen::BackupRunResult result =
        quillfen::RunBackup(sets, {}, {}, clock, settings, view);
    if (!result.settingsError.ok()) {
      std::fprintf(stderr, "%s\n", result.settingsError.message().c_str());
      status = 2;
    } else if (result.setsBackedUp != 1) {
      std::fprintf(stderr, "quillfen_run: set not backed up: %s\n", view.last.c_str());
      status = 3;
    } else if (!result.failures.empty()) {
      status = 1;
    }
    std::printf("copied=%lld\n", result.filesCopied);
  }
  if (!tempFolder.empty()) {
    ::unlink(settingsPath.c_str());
    ::rmdir(tempFolder.c_str());
  }
  return status;
}
