// Folders of a tree reached from an open handle of its root, one name at a
// time, never following a symbolic link: whatever is renamed, replaced or
// planted in the tree while it is worked on, nothing reached through a chain
// lies outside it. Depth is no limit (no path is ever handed to the system
// whole), and descriptors stay few however deep the tree.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "engine/Status.h"
#include "engine/UniqueFd.h"

namespace quillfen {

// What a chain does where a folder it enters is missing or is a link. Without
// one, a chain only looks: a missing folder is an error of kind kNotFound, a
// link one of kind kLink.
class FolderMaker {
 public:
  virtual ~FolderMaker() = default;
  // No entry `name` is in the open folder `parentFd`; `relative` is the
  // missing folder's relative path and `level` its depth (1 for a folder of
  // the root). Creates the folder and returns it open in `made`; an error of
  // kind kExists when something came to stand there meanwhile (the chain then
  // looks again).
  virtual Status Make(int parentFd, const char* name, std::string_view relative, size_t level,
                      UniqueFd& made) = 0;
  // A symbolic link named `name` stands in `parentFd` where the folder
  // `relative` must be. Removes it (the chain then makes the folder) or
  // returns why it must stay, which the chain's Enter returns.
  virtual Status ReplaceLink(int parentFd, const char* name, std::string_view relative) = 0;
};

class FolderChain {
 public:
  FolderChain() = default;
  FolderChain(const FolderChain&) = delete;
  FolderChain& operator=(const FolderChain&) = delete;

  // Opens the tree's root by its path. Links in the root's own path are
  // followed: the root is the user's choice. Errors name the path.
  Status OpenRoot(std::string_view rootPath);
  bool rootOpen() const { return !levels_.empty(); }
  int rootFd() const { return levels_.empty() ? -1 : levels_[0].fd.get(); }
  // The root's path as given, without trailing '/'.
  const std::string& rootPath() const { return rootPath_; }

  // Makes the folder `relative` ("" for the root, else "/a/b") the current
  // folder. Folders it shares with the current one stay open; the rest are
  // opened name by name from the deepest shared one, each without following
  // a link. With `maker`, missing folders are made and links met are handed to
  // it. On failure the error names the folder that could not be entered, and
  // fd() is -1 until the next successful Enter. A name "." or ".." or an
  // empty name is refused (kind kInvalid).
  Status Enter(std::string_view relative, FolderMaker* maker = nullptr);

  // The current folder, open for reading its entries when readable() (else
  // only for lookups, as where the folder grants search but not read).
  int fd() const { return entered_ ? levels_.back().fd.get() : -1; }
  bool readable() const { return entered_ && levels_.back().readable; }
  // Whether the last Enter opened the current folder itself (rather than
  // keeping it open from before), so that it is read from its start.
  bool openedAnew() const { return entered_ && openedAnew_; }
  // The relative path of the folder last entered (or tried).
  const std::string& relative() const { return relative_; }
  // How many levels below the root are open now (those of the last Enter up
  // to the first that failed).
  size_t depth() const { return levels_.empty() ? 0 : levels_.size() - 1; }
  // The folder at `level` (0 the root, up to depth()), reopened from the
  // deepest open folder above it when it was closed to save descriptors; -1
  // when that fails.
  int FdAt(size_t level);
  // The full path of the folder at `level`, for messages.
  std::string PathAt(size_t level) const;

  // Whether a failure of OpenRoot or Enter means only that the folder is not
  // there (any more): it vanished, or a link or a non-folder stands in its
  // place (kNotFound, kLink, kNotAFolder). A listing passes such a folder by;
  // any other failure is one to report.
  static bool IsGone(const Status& failure) {
    return failure.code() == Status::Code::kNotFound || failure.code() == Status::Code::kLink ||
           failure.code() == Status::Code::kNotAFolder;
  }

  // Descriptors kept open below the root; deeper folders close the oldest.
  static constexpr size_t kMaxOpenLevels = 48;

 private:
  struct Level {
    std::string name;
    UniqueFd fd;
    bool readable = false;
  };
  // Opens `name` in `parentFd` as the folder `relative` at `level`.
  Status OpenLevel(int parentFd, const std::string& name, std::string_view relative, size_t level,
                   FolderMaker* maker, Level& out);
  // Closes folders above the newest ones so that at most kMaxOpenLevels
  // levels below the root hold a descriptor.
  void LimitOpenLevels();

  std::string rootPath_;
  std::vector<Level> levels_;  // [0] the root
  std::string relative_;
  bool entered_ = false;
  bool openedAnew_ = false;
};

}  // namespace quillfen
