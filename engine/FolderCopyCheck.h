// The copy decision for the files of one folder after another, with each
// folder opened once instead of one path lookup per file.
#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>

#include "engine/FiCheck.h"
#include "engine/FileAgeCache.h"

namespace quillfen {

// Answers NeedsCopy(sourceFolder + '/' + name, targetFolder + '/' + name,
// newer) for the files of one pair of folders, then of the next pair.
// Differences from calling NeedsCopy per file, none of them visible in what is
// copied: the target folder is tested (and created when missing) at the first
// question about it instead of at every one; ages are read relative to the
// open folders; two files with the same modification second have the same age
// without converting it to local time; other times go through a FileAgeCache.
class FolderCopyCheck {
 public:
  FolderCopyCheck() = default;
  ~FolderCopyCheck();
  FolderCopyCheck(const FolderCopyCheck&) = delete;
  FolderCopyCheck& operator=(const FolderCopyCheck&) = delete;

  // Moves on to a pair of folders (paths without a trailing '/', except "/").
  // Nothing is opened or created until the first question.
  void Enter(std::string_view sourceFolder, std::string_view targetFolder);

  // What NeedsCopy answers for the file `name` of the current pair; makes the
  // target folder, with its missing parents, on the first call for the pair.
  // With `replaceLinks`, a link standing at the target is removed first and
  // the target counts as missing: a copy then replaces the link instead of
  // being compared with, or written through to, whatever it points at. The
  // one target lookup serves both, so this costs no extra system call.
  bool NeedsCopy(const char* name, bool newer, bool replaceLinks = false);

  // The open target folder of the current pair (-1 when it could not be
  // opened, or before the first question); valid until the next Enter.
  int targetFolderFd() const { return targetFd_; }
  // The open source folder of the current pair (-1 when it could not be opened).
  int sourceFolderFd() const { return sourceFd_; }

 private:
  void Close();
  void Open();
  // The regular file `name` in the folder `folderFd`, followed through links;
  // false when there is none.
  static bool StatFile(int folderFd, const char* name, struct stat& st);

  std::string sourceFolder_;
  std::string targetFolder_;
  bool opened_ = false;
  int sourceFd_ = -1;
  int targetFd_ = -1;
  FileAgeCache ages_;
};

}  // namespace quillfen
