#include "engine/CopyPlaces.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unordered_map>

#include "engine/AsciiCase.h"
#include "engine/FiCheck.h"
#include "engine/FileCopy.h"
#include "engine/FolderRead.h"
#include "engine/NameFolding.h"
#include "engine/Path.h"
#include "engine/SmbNames.h"
#include "engine/TemporaryFiles.h"

namespace quillfen {
namespace {

// A folder of a copy's place that could not be made: the copies into it
// fail with that folder and its reason ("cannot make the folder <path>:
// <reason>"), so the user is led to the folder, not to each file.
Status CannotMake(const Status& made) {
  return Status::Error(made.code(), made.message(), "cannot make the folder " + made.message());
}

// Whether a failed look at a file means that no regular file is there.
bool NoFileThere(int err) {
  return err == ENOENT || err == ENOTDIR || err == ELOOP;
}

// The names in the open folder `folderFd` (read from its start); false when
// it cannot be read (a folder open for lookups only).
bool ReadNames(int folderFd, std::unordered_set<std::string>& names) {
  names.clear();
  if (lseek(folderFd, 0, SEEK_SET) != 0) return false;
  return ForEachFolderEntry(
             folderFd, [&](const struct dirent64& entry) { names.emplace(entry.d_name); }) == 0;
}

bool SameEntry(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The name under which the folder `folderFd`, listing `names`, holds the
// entry that the unlisted `name` led to (`target`); empty when none is found.
std::string ListedNameOf(int folderFd, const std::unordered_set<std::string>& names,
                         std::string_view name, const struct stat& target) {
  // Names differing in letter case only first: one of them is nearly always it.
  std::vector<const std::string*> caseOnly;
  for (const std::string& listed : names) {
    if (SameIgnoringAsciiCase(listed, name)) caseOnly.push_back(&listed);
  }
  auto isTarget = [&](const std::string& listed) {
    struct stat st;
    return fstatat(folderFd, listed.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           SameEntry(st, target);
  };
  for (const std::string* listed : caseOnly) {
    if (isTarget(*listed)) return *listed;
  }
  // A FUSE file system may number the entry anew for each name it is looked
  // up by: the one name differing in case only is taken as it.
  if (caseOnly.size() == 1) {
    struct stat st;
    return fstatat(folderFd, caseOnly[0]->c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 ? *caseOnly[0]
                                                                                  : std::string();
  }
  for (const std::string& listed : names) {
    if (isTarget(listed)) return listed;
  }
  return {};
}

// Whether the copy-from folder `sourceFd` holds, as `listed`, another entry
// than `name` (of the same kind: a folder when `folder`), whose copy the
// copy-to entry under that name is. Where it cannot be looked at, it counts
// as there.
bool OtherSourceHolds(int sourceFd, const std::string& listed, const char* name, bool folder) {
  if (listed.empty()) return true;
  struct stat other;
  if (fstatat(sourceFd, listed.c_str(), &other, AT_SYMLINK_NOFOLLOW) != 0) return errno != ENOENT;
  if (folder && !S_ISDIR(other.st_mode)) return false;
  struct stat self;
  // The same entry: the copy-from folder folds the two names as well.
  return fstatat(sourceFd, name, &self, AT_SYMLINK_NOFOLLOW) != 0 || !SameEntry(self, other);
}

// Another name than `name` that the copy-from folder `sourceFd` holds as
// another entry, of the names `sourceNames` in it that differ from `name` in
// letter case only, and that the copy-to folder `targetFd` holds now: where
// the copy-to file system folds letter case, that entry is the one `name`
// leads to there. Empty when there is none. Looked at on the spot, by both
// names: a copy-to listing may lag behind (a share).
std::string OtherNameThere(
    int sourceFd, int targetFd,
    const std::unordered_map<std::string, std::vector<std::string>>& sourceNames, const char* name,
    bool folder) {
  const auto found = sourceNames.find(LowerAscii(name));
  if (found == sourceNames.end()) return {};
  for (const std::string& other : found->second) {
    struct stat there;
    if (other == name || fstatat(targetFd, other.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0) {
      continue;
    }
    if (OtherSourceHolds(sourceFd, other, name, folder)) return other;
  }
  return {};
}

// The names of the open folder `folderFd` by their ASCII lower case; empty
// when it cannot be read.
std::unordered_map<std::string, std::vector<std::string>> NamesByLowerCase(int folderFd) {
  std::unordered_map<std::string, std::vector<std::string>> byLower;
  std::unordered_set<std::string> names;
  if (!ReadNames(folderFd, names)) return byLower;
  for (const std::string& name : names) byLower[LowerAscii(name)].push_back(name);
  return byLower;
}

// Why the unlisted name `name` of a file (or, with `folder`, of the folder
// `name` the file is in) cannot be written: the entry it leads to is `listed`.
std::string FoldedReason(std::string_view name, const std::string& listed, bool folder) {
  std::string reason = "the destination's file system does not tell ";
  if (folder)
    reason.append("the folder \"").append(name).append("\" from ");
  else
    reason.append("this name from ");
  if (listed.empty()) return reason.append("another name there, which is kept");
  return reason.append("\"").append(listed).append(folder
                                                       ? "\", another folder's copy, which is kept"
                                                       : "\", another file's copy, which is kept");
}

void AddPlace(std::vector<std::string>& places, std::string place) {
  if (std::find(places.begin(), places.end(), place) == places.end()) {
    places.push_back(std::move(place));
  }
}

}  // namespace

CopyPlaces::CopyPlaces(std::string_view fromRoot, std::string_view toRoot, Links links)
    : fromRoot_(TrimTrailingSlashes(fromRoot)),
      toRoot_(TrimTrailingSlashes(toRoot)),
      links_(links) {
  // A new set of copies: what was seen of file systems before may be of
  // others by now.
  ForgetTimesKeptOnNaming();
  if (links_ != Links::kReplace) return;
  // The source's own folders in the destination tree, by the paths as given
  // and with links resolved.
  if (fromRoot_ == toRoot_) {
    AddPlace(sourcePlaces_, std::string());
  } else if (IsInside(fromRoot_, toRoot_)) {
    AddPlace(sourcePlaces_, toRoot_ == "/" ? fromRoot_ : fromRoot_.substr(toRoot_.size()));
  }
  if (std::optional<std::string> place = SourcePlaceInDestination(fromRoot_, toRoot_)) {
    AddPlace(sourcePlaces_, std::move(*place));
  }
}

CopyPlaces::~CopyPlaces() = default;

void CopyPlaces::Enter(std::string_view relative) {
  // Items of one folder one after another (the selective copy) stay in it:
  // its folders are not looked up, nor its leftovers looked for, again. A
  // folder made a moment ago holds their copies by now: its names are
  // looked up from here on.
  if (entered_ && relative == relative_) {
    targetMadeEmpty_ = false;
    return;
  }
  entered_ = true;
  relative_.assign(relative);
  fromEntered_ = false;
  target_ = TargetState::kUnknown;
  targetMadeEmpty_ = false;
  detachKnown_ = false;
  detached_.reset();
  replaceFileLinks_ = links_ == Links::kReplace && !InSourcePlace(relative_);
}

void CopyPlaces::LookAgain() {
  if (!entered_) return;
  const std::string relative = relative_;
  entered_ = false;
  Enter(relative);
}

bool CopyPlaces::InSourcePlace(std::string_view relative) const {
  return std::any_of(sourcePlaces_.begin(), sourcePlaces_.end(),
                     [&](const std::string& place) { return IsAtOrBelow(relative, place); });
}

std::string CopyPlaces::FromPath(std::string_view name) const {
  return JoinPath(JoinRelative(fromRoot_, relative_), name);
}

std::string CopyPlaces::ToPath(std::string_view name) const {
  return JoinPath(JoinRelative(toRoot_, relative_), name);
}

Status CopyPlaces::Failure(const char* name, const Status& reason) const {
  std::string message = FromPath(name);
  message.append(" -> ").append(ToPath(name)).append(": ").append(reason.detail());
  return Status::Error(reason.code(), std::move(message), reason.detail());
}

void CopyPlaces::EnterFrom() {
  if (fromEntered_) return;
  fromEntered_ = true;
  if (!from_.rootOpen()) {
    fromStatus_ = from_.OpenRoot(fromRoot_);
    if (!fromStatus_.ok()) return;
  }
  fromStatus_ = from_.Enter(relative_);
}

void CopyPlaces::EnterTo(bool make) {
  if (target_ == TargetState::kOpen || target_ == TargetState::kFailed) return;
  if (target_ == TargetState::kMissing && !make) return;
  if (!to_.rootOpen()) {
    Status opened = to_.OpenRoot(toRoot_);
    const bool makeable =
        opened.code() == Status::Code::kNotFound || opened.code() == Status::Code::kNotAFolder;
    if (makeable && make) {
      // The folder that could not be made, and why, is the reason the
      // copies fail; not the root that is missing in consequence.
      const Status made = MakeFolderPath(toRoot_);
      opened = to_.OpenRoot(toRoot_);
      if (!opened.ok() && !made.ok()) opened = CannotMake(made);
    }
    if (!opened.ok()) {
      const bool later = opened.code() == Status::Code::kNotFound && !make;
      target_ = later ? TargetState::kMissing : TargetState::kFailed;
      targetStatus_ = opened;
      return;
    }
  }
  if (Status refused = RefusedFolder(); !refused.ok()) {
    target_ = TargetState::kFailed;
    targetStatus_ = std::move(refused);
    return;
  }
  lastMade_.clear();
  Status entered = to_.Enter(relative_, make ? this : nullptr);
  if (entered.ok()) entered = CheckFolderFolding();
  if (entered.ok()) {
    target_ = TargetState::kOpen;
    targetMadeEmpty_ = !lastMade_.empty() && lastMade_ == relative_ && !FoldsNames(to_.fd());
    if (to_.readable() && !targetMadeEmpty_) RemoveLeftoverTemporaryFiles(to_.fd());
    return;
  }
  // Only looking: a missing folder (or a link in its place) is made, or
  // replaced, when a copy needs it.
  const bool later =
      !make && (entered.code() == Status::Code::kNotFound || entered.code() == Status::Code::kLink);
  target_ = later ? TargetState::kMissing : TargetState::kFailed;
  targetStatus_ = entered;
}

Status CopyPlaces::LookAtSource(const char* name, struct stat& source, bool& have) {
  have = false;
  EnterFrom();
  if (!fromStatus_.ok())
    return FolderChain::IsGone(fromStatus_) ? Status::Ok() : Failure(name, fromStatus_);
  if (fstatat(from_.fd(), name, &source, 0) == 0) {
    have = S_ISREG(source.st_mode);
  } else if (!NoFileThere(errno)) {
    return Failure(name, PathError(FromPath(name), errno));
  }
  return Status::Ok();
}

Status CopyPlaces::LookAtTarget(const char* name, bool make, struct stat& target, bool& have) {
  have = false;
  EnterTo(make);
  if (target_ != TargetState::kOpen || targetMadeEmpty_) return Status::Ok();
  const int flags = replaceFileLinks_ ? AT_SYMLINK_NOFOLLOW : 0;
  if (fstatat(to_.fd(), name, &target, flags) != 0) {
    return NoFileThere(errno) ? Status::Ok() : Failure(name, PathError(ToPath(name), errno));
  }
  if (replaceFileLinks_ && S_ISLNK(target.st_mode)) {
    // Planted: the copy takes its place, and what it names is neither
    // compared nor written.
    unlinkat(to_.fd(), name, 0);
    return Status::Ok();
  }
  have = S_ISREG(target.st_mode);
  return Status::Ok();
}

CopyPlaces::Decision CopyPlaces::Check(const char* name, bool newer, MakeFolders make) {
  Decision decision;
  struct stat source {};
  struct stat target {};
  bool haveSource = false;
  bool haveTarget = false;
  decision.failure = LookAtSource(name, source, haveSource);
  if (decision.failure.ok() && haveSource) {
    // Never looked up where the share cannot hold it.
    EnterTo(make == MakeFolders::kAlways);
    if (target_ != TargetState::kFailed && RefusesName(name)) {
      decision.failure = Failure(name, NameRefused(ToPath(name)));
    }
  }
  if (decision.failure.ok()) {
    decision.failure = LookAtTarget(name, make == MakeFolders::kAlways, target, haveTarget);
  }
  if (decision.failure.ok() && haveSource && haveTarget) {
    decision.failure = CheckFolding(name, target);
  }
  if (!decision.failure.ok()) return decision;
  if (haveSource) {
    decision.sourceSeconds = source.st_mtim.tv_sec;
    decision.sourceBytes = source.st_size;
  }

  decision.copy = CopyDecided(haveSource, source.st_mtim.tv_sec, haveTarget, target.st_mtim.tv_sec,
                              newer, ages_);
  if (!decision.copy) return decision;
  // A copy needs both folders.
  if (target_ == TargetState::kMissing) EnterTo(true);
  if (target_ != TargetState::kOpen) {
    decision.failure = Failure(name, targetStatus_);
  } else if (RefusesName(name)) {
    decision.failure = Failure(name, NameRefused(ToPath(name)));
  } else if (!fromStatus_.ok()) {
    decision.failure = Failure(name, fromStatus_);
  }
  decision.copy = decision.failure.ok();
  return decision;
}

Status CopyPlaces::Copy(const char* name, DeferredCloser* closer) {
  Status copied =
      CopyFileAt(from_.fd(), name, to_.fd(), name, FromPath(name), ToPath(name), closer);
  if (copied.ok()) NoteMade(to_.depth(), relative_, name);
  return copied;
}

bool CopyPlaces::Detach(const char* name, bool newer, const Decision& decision, CopyJob& job) {
  if (!detachKnown_) {
    detachKnown_ = true;
    if (target_ != TargetState::kOpen || !fromStatus_.ok() || FoldsNames(to_.fd())) return false;
    auto folders = std::make_shared<CopyFolders>();
    folders->from.reset(fcntl(from_.fd(), F_DUPFD_CLOEXEC, 0));
    folders->to.reset(fcntl(to_.fd(), F_DUPFD_CLOEXEC, 0));
    if (!folders->from.valid() || !folders->to.valid()) return false;
    const FolderTraits traits = TraitsAt(folders->to.get());
    folders->flushesPerFile = traits.flushesPerFile ? 1 : 0;
    folders->distant = traits.distant;
    detached_ = std::move(folders);
  }
  if (detached_ == nullptr) return false;
  job.folders = detached_;
  job.name = name;
  job.from = FromPath(name);
  job.to = ToPath(name);
  job.newer = newer;
  job.sourceSeconds = decision.sourceSeconds;
  job.sourceBytes = decision.sourceBytes;
  return true;
}

const std::unordered_set<std::string>* CopyPlaces::FoldableNames(size_t level,
                                                                 std::string_view relative, int fd,
                                                                 bool again) {
  if (chainNames_.size() <= level) chainNames_.resize(level + 1);
  FolderNames& folder = chainNames_[level];
  if (!folder.known || folder.relative != relative) {
    folder.known = true;
    folder.relative.assign(relative);
    folder.names.clear();
    folder.listed = FoldsNames(fd) && ReadNames(fd, folder.names);
  } else if (again && folder.listed) {
    folder.listed = ReadNames(fd, folder.names);
  }
  return folder.listed ? &folder.names : nullptr;
}

bool CopyPlaces::FoldsNames(int fd) {
  Device* device = DeviceAt(fd);
  if (device == nullptr) return true;  // cannot be told: the checks stay
  if (!MayFoldNamesOn(fd, device->kind)) return false;
  if (device->folds < 0) device->folds = FoldsLetterCase(fd) ? 1 : 0;
  return device->folds != 0;
}

CopyPlaces::Device* CopyPlaces::DeviceAt(int fd) {
  const dev_t id = DeviceOf(fd);
  if (id == 0) return nullptr;
  for (Device& device : devices_) {
    if (device.id == id) return &device;
  }
  struct statfs fs;
  if (fstatfs(fd, &fs) != 0) return nullptr;
  return &devices_.emplace_back(Device{id, static_cast<unsigned long>(fs.f_type)});
}

Status CopyPlaces::NameRefused(std::string_view path) {
  return PathError(path, Status::Code::kInvalid,
                   "the destination's file system cannot hold this name");
}

bool CopyPlaces::RefusesName(std::string_view name) {
  if (!SmbRefusesName(name) || !to_.rootOpen()) return false;
  Device* device = DeviceAt(to_.FdAt(0));
  if (device == nullptr) return false;
  if (device->smb < 0) device->smb = SpeaksSmb(device->id, device->kind) ? 1 : 0;
  return device->smb != 0;
}

Status CopyPlaces::RefusedFolder() {
  size_t pos = 0;
  while (pos < relative_.size()) {
    const size_t slash = relative_.find('/', pos + 1);
    const size_t end = slash == std::string::npos ? relative_.size() : slash;
    if (RefusesName(std::string_view(relative_).substr(pos + 1, end - pos - 1))) {
      return NameRefused(JoinRelative(toRoot_, relative_.substr(0, end)));
    }
    pos = end;
  }
  return Status::Ok();
}

FolderTraits CopyPlaces::TraitsAt(int fd) {
  const Device* device = DeviceAt(fd);
  return device != nullptr ? TraitsOfKind(device->kind) : TraitsOf(fd);
}

void CopyPlaces::NoteMade(size_t level, std::string_view relative, std::string_view name) {
  if (level >= chainNames_.size()) return;
  FolderNames& folder = chainNames_[level];
  if (folder.listed && folder.relative == relative) folder.names.emplace(name);
}

Status CopyPlaces::CheckFolding(const char* name, const struct stat& target) {
  const size_t level = to_.depth();
  const std::unordered_set<std::string>* names = FoldableNames(level, relative_, to_.fd());
  if (names == nullptr || names->count(name) != 0) return Status::Ok();
  // Made by another meanwhile, perhaps: the listing is read once more.
  names = FoldableNames(level, relative_, to_.fd(), true);
  if (names == nullptr || names->count(name) != 0) return Status::Ok();
  // Not listed: either another file's copy it was folded onto, or a listing
  // that lags behind. Only another name there now refuses it.
  if (sourceNames_.relative != relative_ || !sourceNames_.known) {
    sourceNames_.relative = relative_;
    sourceNames_.known = true;
    sourceNames_.byLower = NamesByLowerCase(from_.fd());
  }
  std::string other = OtherNameThere(from_.fd(), to_.fd(), sourceNames_.byLower, name, false);
  if (other.empty()) {
    // Folded beyond ASCII letter case: the listed name that leads to it.
    const std::string listed = ListedNameOf(to_.fd(), *names, name, target);
    if (!listed.empty() && OtherSourceHolds(from_.fd(), listed, name, false)) other = listed;
  }
  if (other.empty()) return Status::Ok();
  return Failure(name,
                 PathError(ToPath(name), Status::Code::kExists, FoldedReason(name, other, false)));
}

Status CopyPlaces::CheckFolderFolding() {
  // Each level of the copy-to chain against its parent's listing, which is
  // read once for all its subfolders; a level already found listed is not
  // looked at again.
  std::string relative;
  size_t level = 0;
  size_t pos = 0;
  while (pos < relative_.size()) {
    const size_t slash = relative_.find('/', pos + 1);
    const size_t end = slash == std::string::npos ? relative_.size() : slash;
    const std::string parent = relative;
    const std::string name = relative_.substr(pos + 1, end - pos - 1);
    relative = relative_.substr(0, end);
    pos = end;
    ++level;
    if (checkedFolders_.size() < level) checkedFolders_.resize(level);
    if (checkedFolders_[level - 1] == relative) continue;
    const int parentFd = to_.FdAt(level - 1);
    if (parentFd < 0) return Status::Ok();
    const std::unordered_set<std::string>* names = FoldableNames(level - 1, parent, parentFd);
    if (names != nullptr && names->count(name) == 0) {
      names = FoldableNames(level - 1, parent, parentFd, true);
    }
    if (names != nullptr && names->count(name) == 0) {
      struct stat target;
      if (fstatat(parentFd, name.c_str(), &target, AT_SYMLINK_NOFOLLOW) != 0) return Status::Ok();
      const int sourceParent = from_.depth() + 1 >= level ? from_.FdAt(level - 1) : -1;
      std::string other;
      if (sourceParent >= 0) {
        other = OtherNameThere(sourceParent, parentFd, NamesByLowerCase(sourceParent), name.c_str(),
                               true);
      }
      if (other.empty()) {
        const std::string listed = ListedNameOf(parentFd, *names, name, target);
        if (!listed.empty() &&
            (sourceParent < 0 || OtherSourceHolds(sourceParent, listed, name.c_str(), true))) {
          other = listed;
        }
      }
      if (!other.empty()) {
        return PathError(JoinRelative(toRoot_, relative), Status::Code::kExists,
                         FoldedReason(name, other, true));
      }
    }
    checkedFolders_[level - 1] = relative;
  }
  return Status::Ok();
}

Status CopyPlaces::Make(int parentFd, const char* name, std::string_view relative, size_t level,
                        UniqueFd& made) {
  const std::string path = JoinRelative(toRoot_, relative);
  // The matching copy-from folder: the same level of the same folder, when
  // the copy-from chain reached it.
  struct stat source;
  bool haveSource = false;
  if (fromEntered_ && from_.rootOpen() && from_.relative() == relative_ && level <= from_.depth()) {
    const int fd = from_.FdAt(level);
    haveSource = fd >= 0 && fstat(fd, &source) == 0;
  }
  // Made with the source's bits where it is the source owner's and group's
  // from the start (nothing is more open than the source then, and on a
  // share no call is needed to set them), else private until its owner and
  // bits are set. The copies below must be able to enter and write.
  const bool ownersMatch = haveSource && source.st_uid == geteuid() && source.st_gid == getegid();
  const mode_t initial = ownersMatch ? (source.st_mode & 0777) | S_IRWXU : S_IRWXU;
  if (mkdirat(parentFd, name, initial) != 0) {
    const Status failed = PathError(path, errno);
    if (failed.code() != Status::Code::kExists) return CannotMake(failed);
    // Made meanwhile: the caller looks again. Unless nothing is there: some
    // shares answer so where nothing may be made (sshfs when read-only).
    struct stat there;
    if (fstatat(parentFd, name, &there, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT) return failed;
    struct statvfs fs;
    if (fstatvfs(parentFd, &fs) == 0 && (fs.f_flag & ST_RDONLY) != 0) {
      return CannotMake(PathError(path, EROFS));
    }
    return CannotMake(
        PathError(path, Status::Code::kIo, "the file system says it exists, but nothing is there"));
  }
  UniqueFd fd(openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) return PathError(path, errno);
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return PathError(path, errno);
  if (st.st_uid != geteuid()) {
    return PathError(path, Status::Code::kChanged, "replaced while it was being made");
  }
  mode_t bits = S_IRWXU;
  if (haveSource) {
    bits = AdoptOwner(source, fd.get());
    if ((bits & S_IRWXU) != S_IRWXU) {
      // Until the end: the copies below it must be able to enter and write.
      finalBits_.emplace_back(std::string(relative), bits);
      bits |= S_IRWXU;
    }
  }
  if ((st.st_mode & 07777) != bits) {
    if (const int err = SetPermissionBits(fd.get(), bits)) return PathError(path, err);
  }
  // Elsewhere the flush at the end of the run takes the new entry to the disk.
  if (TraitsAt(fd.get()).flushesPerFile) {
    if (const int err = FlushFolder(parentFd)) return PathError(path, err);
  }
  NoteMade(level - 1, FolderOf(relative), name);
  lastMade_.assign(relative);
  made = std::move(fd);
  return Status::Ok();
}

Status CopyPlaces::ReplaceLink(int parentFd, const char* name, std::string_view relative) {
  const std::string path = JoinRelative(toRoot_, relative);
  if (links_ != Links::kReplace || InSourcePlace(relative)) {
    return PathError(path, Status::Code::kLink, "a symbolic link stands where a folder must be");
  }
  if (unlinkat(parentFd, name, 0) != 0 && errno != ENOENT) return PathError(path, errno);
  return Status::Ok();
}

std::vector<Status> CopyPlaces::FinishFolders() {
  std::vector<Status> failures;
  // Deepest first: a folder that loses its owner's search permission must
  // not keep its subfolders from being reached.
  for (auto it = finalBits_.rbegin(); it != finalBits_.rend(); ++it) {
    const Status entered = to_.Enter(it->first);
    if (!entered.ok()) {
      if (!FolderChain::IsGone(entered)) failures.push_back(entered);
      continue;
    }
    if (const int err = SetPermissionBits(to_.fd(), it->second)) {
      failures.push_back(PathError(JoinRelative(toRoot_, it->first), err));
    }
  }
  finalBits_.clear();
  target_ = TargetState::kUnknown;
  targetMadeEmpty_ = false;
  chainNames_.clear();
  checkedFolders_.clear();
  return failures;
}

Status CopyPlaces::Sync() {
  // Not entered by this run: an earlier one may still have left copies
  // there that are not on the disk.
  if (!to_.rootOpen()) return SyncFileSystemAt(toRoot_);
  const int root = to_.rootFd();
  if (FlushesPerFile(root)) {
    // Files and folders were flushed one by one; the root's own entry (it
    // may have been made by this run) is what is left.
    const UniqueFd parent(openat(root, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (parent.valid() && fsync(parent.get()) != 0) return PathError(toRoot_, errno);
  }
  return SyncFileSystemOf(root, toRoot_);
}

}  // namespace quillfen
