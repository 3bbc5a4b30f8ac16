#include "engine/FolderChain.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "engine/Path.h"

namespace quillfen {
namespace {

constexpr int kFolderFlags = O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// The names of `relative` in order; false when it is not a relative folder
// path made of real names.
bool SplitNames(std::string_view relative, std::vector<std::string_view>& names) {
  names.clear();
  if (relative.empty()) return true;
  if (relative.front() != '/') return false;
  size_t pos = 1;
  for (;;) {
    const size_t slash = relative.find('/', pos);
    const std::string_view name = relative.substr(
        pos, slash == std::string_view::npos ? std::string_view::npos : slash - pos);
    if (name.empty() || name == "." || name == "..") return false;
    names.push_back(name);
    if (slash == std::string_view::npos) return true;
    pos = slash + 1;
  }
}

// Opens `name` in the folder `parentFd` as a folder, without following a
// link: for reading when possible, else for lookups. Sets `readable`.
// Returns the descriptor, or -1 with errno set.
int OpenFolderAt(int parentFd, const char* name, bool& readable) {
  int fd = openat(parentFd, name, O_RDONLY | kFolderFlags);
  readable = fd >= 0;
  if (fd < 0 && errno == EACCES) fd = openat(parentFd, name, O_PATH | kFolderFlags);
  return fd;
}

}  // namespace

Status FolderChain::OpenRoot(std::string_view rootPath) {
  levels_.clear();
  entered_ = false;
  relative_.clear();
  rootPath_ = TrimTrailingSlashes(rootPath);
  if (rootPath_.empty()) return PathError(rootPath_, Status::Code::kInvalid, "no folder given");
  Level root;
  int fd = open(rootPath_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  root.readable = fd >= 0;
  if (fd < 0 && errno == EACCES) fd = open(rootPath_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return PathError(rootPath_, errno);
  root.fd.reset(fd);
  levels_.push_back(std::move(root));
  entered_ = true;
  return Status::Ok();
}

Status FolderChain::Enter(std::string_view relative, FolderMaker* maker) {
  entered_ = false;
  openedAnew_ = false;
  relative_.assign(relative);
  if (levels_.empty()) return PathError(rootPath_, Status::Code::kInvalid, "folder not open");
  std::vector<std::string_view> names;
  if (!SplitNames(relative, names)) {
    return PathError(JoinRelative(rootPath_, relative), Status::Code::kInvalid,
                     "not a relative folder path");
  }
  size_t shared = 0;
  while (shared < names.size() && shared + 1 < levels_.size() &&
         levels_[shared + 1].name == names[shared]) {
    ++shared;
  }
  levels_.resize(shared + 1);
  if (FdAt(shared) < 0) return PathError(PathAt(shared), errno);

  size_t end = 0;  // where the relative path of the level being opened ends
  for (size_t i = 0; i < shared; ++i) end += 1 + names[i].size();
  for (size_t i = shared; i < names.size(); ++i) {
    end += 1 + names[i].size();
    Level level;
    level.name.assign(names[i]);
    const Status opened = OpenLevel(levels_.back().fd.get(), level.name, relative.substr(0, end),
                                    i + 1, maker, level);
    if (!opened.ok()) return opened;
    levels_.push_back(std::move(level));
    LimitOpenLevels();
  }
  entered_ = true;
  openedAnew_ = shared < names.size();
  return Status::Ok();
}

Status FolderChain::OpenLevel(int parentFd, const std::string& name, std::string_view relative,
                              size_t level, FolderMaker* maker, Level& out) {
  const char* cname = name.c_str();
  // A few rounds: what stands at the name may change between the looks.
  for (int round = 0; round < 4; ++round) {
    bool readable = false;
    const int fd = OpenFolderAt(parentFd, cname, readable);
    if (fd >= 0) {
      out.fd.reset(fd);
      out.readable = readable;
      return Status::Ok();
    }
    const int err = errno;
    if (err == ENOENT) {
      if (maker == nullptr) return PathError(JoinRelative(rootPath_, relative), err);
      UniqueFd made;
      const Status status = maker->Make(parentFd, cname, relative, level, made);
      if (status.ok()) {
        out.fd = std::move(made);
        out.readable = true;
        return status;
      }
      if (status.code() == Status::Code::kExists) continue;
      return status;
    }
    if (err != ELOOP && err != ENOTDIR) return PathError(JoinRelative(rootPath_, relative), err);
    struct stat st;
    if (fstatat(parentFd, cname, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;
      return PathError(JoinRelative(rootPath_, relative), errno);
    }
    if (S_ISDIR(st.st_mode)) continue;
    if (!S_ISLNK(st.st_mode)) return PathError(JoinRelative(rootPath_, relative), ENOTDIR);
    if (maker == nullptr) {
      return PathError(JoinRelative(rootPath_, relative), Status::Code::kLink,
                       "a symbolic link stands where a folder must be");
    }
    const Status replaced = maker->ReplaceLink(parentFd, cname, relative);
    if (!replaced.ok()) return replaced;
  }
  return PathError(JoinRelative(rootPath_, relative), Status::Code::kChanged,
                   "kept changing while it was opened");
}

void FolderChain::LimitOpenLevels() {
  if (levels_.size() > kMaxOpenLevels + 1) levels_[levels_.size() - 1 - kMaxOpenLevels].fd.reset();
}

int FolderChain::FdAt(size_t level) {
  if (level >= levels_.size()) {
    errno = EINVAL;
    return -1;
  }
  if (levels_[level].fd.valid()) return levels_[level].fd.get();
  size_t open = level;
  while (!levels_[open].fd.valid()) --open;  // the root is always open
  for (size_t i = open + 1; i <= level; ++i) {
    bool readable = false;
    const int fd = OpenFolderAt(levels_[i - 1].fd.get(), levels_[i].name.c_str(), readable);
    if (fd < 0) return -1;
    levels_[i].fd.reset(fd);
    levels_[i].readable = readable;
  }
  return levels_[level].fd.get();
}

std::string FolderChain::PathAt(size_t level) const {
  std::string path = rootPath_;
  for (size_t i = 1; i <= level && i < levels_.size(); ++i) path = JoinPath(path, levels_[i].name);
  return path;
}

}  // namespace quillfen
