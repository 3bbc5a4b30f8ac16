#include "engine/FolderCopyCheck.h"

#include <fcntl.h>
#include <unistd.h>

namespace quillfen {
namespace {

int OpenFolder(const std::string& path) {
  return open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

}  // namespace

FolderCopyCheck::~FolderCopyCheck() {
  Close();
}

void FolderCopyCheck::Close() {
  if (sourceFd_ >= 0) close(sourceFd_);
  if (targetFd_ >= 0) close(targetFd_);
  sourceFd_ = -1;
  targetFd_ = -1;
  opened_ = false;
}

void FolderCopyCheck::Enter(std::string_view sourceFolder, std::string_view targetFolder) {
  Close();
  sourceFolder_.assign(sourceFolder);
  targetFolder_.assign(targetFolder);
}

void FolderCopyCheck::Open() {
  opened_ = true;
  targetFd_ = OpenFolder(targetFolder_);
  if (targetFd_ < 0) {
    EnsureFolder(targetFolder_ == "/" ? targetFolder_ : targetFolder_ + "/");
    targetFd_ = OpenFolder(targetFolder_);
  }
  sourceFd_ = OpenFolder(sourceFolder_);
}

bool FolderCopyCheck::StatFile(int folderFd, const char* name, struct stat& st) {
  return folderFd >= 0 && fstatat(folderFd, name, &st, 0) == 0 && S_ISREG(st.st_mode);
}

bool FolderCopyCheck::NeedsCopy(const char* name, bool newer, bool replaceLinks) {
  if (!opened_) Open();
  struct stat source;
  struct stat target;
  const bool haveSource = StatFile(sourceFd_, name, source);
  bool haveTarget;
  if (replaceLinks && targetFd_ >= 0) {
    haveTarget = fstatat(targetFd_, name, &target, AT_SYMLINK_NOFOLLOW) == 0;
    if (haveTarget && S_ISLNK(target.st_mode)) {
      unlinkat(targetFd_, name, 0);
      haveTarget = false;
    }
    haveTarget = haveTarget && S_ISREG(target.st_mode);
  } else {
    haveTarget = StatFile(targetFd_, name, target);
  }
  // The cases that need no age (see the table of CopyWanted).
  if (!haveTarget) return newer ? haveSource : true;
  if (!haveSource) return false;
  // The same second is the same age: neither test copies.
  if (source.st_mtim.tv_sec == target.st_mtim.tv_sec) return false;
  return CopyWanted(ages_.Pack(source.st_mtim.tv_sec), ages_.Pack(target.st_mtim.tv_sec), newer);
}

}  // namespace quillfen
