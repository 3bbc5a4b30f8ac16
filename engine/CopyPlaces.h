// The places of copies: the files of one folder of a tree after another, each
// with its place in a second tree, the decision whether it is to be copied,
// and the copy. Both trees are reached through FolderChains, so no folder is
// reached through a link, and nothing planted in the copy-to tree can lead a
// copy outside it. The backup run, the selective backup and the restore all
// copy through this.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "engine/CopyQueue.h"
#include "engine/DeferredCloser.h"
#include "engine/FileAgeCache.h"
#include "engine/FolderChain.h"
#include "engine/Status.h"

namespace quillfen {

class CopyPlaces : private FolderMaker {
 public:
  // What a symbolic link in the copy-to tree means. kReplace: it was planted
  // there (the destination of a backup holds no links of the user's): one in
  // place of a folder is replaced by a folder, one at a file's place is
  // removed and the file counts as missing. Within the source's own folders,
  // where the destination is or holds the source tree, links are the user's
  // and are treated as with kKeep. kKeep: links are the user's (a restore
  // writes into the source tree): one in place of a folder is never entered,
  // and a file below it fails with that reason; one at a file's place is
  // followed for the decision and replaced by the copy.
  enum class Links { kReplace, kKeep };

  // `fromRoot` and `toRoot` are the two roots; trailing '/' are ignored. The
  // roots themselves are opened by their paths (links in them are the user's
  // choice and are followed). Nothing is opened until the first question.
  CopyPlaces(std::string_view fromRoot, std::string_view toRoot, Links links);
  ~CopyPlaces() override;
  CopyPlaces(const CopyPlaces&) = delete;
  CopyPlaces& operator=(const CopyPlaces&) = delete;

  // Moves on to the folder `relative` ("" for the roots, else "/a/b") of
  // both trees; the folder already current stays as it is.
  void Enter(std::string_view relative);

  // Looks at the current folder of both trees anew at the next question, as
  // if it had not been entered: after a destination in trouble answers
  // again, what failed in it is tried once more.
  void LookAgain();

  // When a missing copy-to folder is made: at every question (the folder of
  // a file that is not excluded is made whatever the answer), or only for a
  // file that is to be copied.
  enum class MakeFolders { kAlways, kWhenCopying };

  struct Decision {
    bool copy = false;
    // Not ok when the file can be neither decided nor copied (a folder of its
    // place that cannot be made or entered, a file that cannot be looked
    // at): the file fails with this ("<from> -> <to>: <reason>").
    Status failure = Status::Ok();
    // The source's last-write second and size the decision was taken on;
    // -1 and 0 when no regular file was there.
    int64_t sourceSeconds = -1;
    int64_t sourceBytes = 0;
  };

  // Whether the file `name` of the current folder is to be copied:
  //  newer == true (newer test): it exists in the copy-from tree and its
  //    file age is greater than that of the copy-to file (missing: -1);
  //  newer == false (keep-original test): no copy-to file, or one newer
  //    than the copy-from file.
  // The copy-to folder is made first as `make` says: missing folders get the
  // permission bits (and, run as root, the owner) of the matching copy-from
  // folder, never more open; a folder whose bits lack the owner's write or
  // search permission gets them until FinishFolders. The copy-to root itself,
  // when missing, is made with its missing parents as any folder the user
  // makes. In every folder entered, leftover temporary files of the program
  // are removed first. Where the copy-to file system folds names (letter
  // case on FAT, exFAT), a copy-to file or folder met under another name
  // than the one asked for fails the file when the copy-from tree holds
  // another entry of that name (two names folded into one: the copy there
  // is kept); otherwise it is the file's own (renamed in case only).
  Decision Check(const char* name, bool newer, MakeFolders make);

  // Copies the file `name` of the current folder after a Check that said so
  // (see CopyFileAt).
  Status Copy(const char* name, DeferredCloser* closer = nullptr);

  // The copy of the file `name` of the current folder, after a Check that
  // said so, as work for another thread (see CopyQueue): `job` holds
  // descriptors of its own for the two folders. False, with `job` untouched,
  // where the copy must be made here through Copy: where the copy-to file
  // system may fold names (the next file's check must see this copy made),
  // or the folders cannot be held.
  // `newer` and `decision` are the test and the Check's answer.
  bool Detach(const char* name, bool newer, const Decision& decision, CopyJob& job);

  // Gives the folders made with extra owner permissions their final bits.
  // Returns the failures, one per folder.
  std::vector<Status> FinishFolders();

  // Flushes the copy-to file system (when the copy-to root exists): after
  // it, the copies made and the folders made are on the disk.
  Status Sync();

  // Whether the copy-to root was found or made since this was made.
  bool ToRootOpened() const { return to_.rootOpen(); }

  // The full paths of the file `name` of the current folder, for messages.
  std::string FromPath(std::string_view name) const;
  std::string ToPath(std::string_view name) const;

 private:
  enum class TargetState { kUnknown, kOpen, kMissing, kFailed };

  void EnterFrom();
  void EnterTo(bool make);
  // The status of the file `name` of the current folder on either side, and
  // whether a regular file is there; a failure when it cannot be looked at.
  Status LookAtSource(const char* name, struct stat& source, bool& have);
  Status LookAtTarget(const char* name, bool make, struct stat& target, bool& have);
  // Ok when the copy-to file `name` of the current folder, found at
  // `target`, is listed under that name. Where the file system folds names
  // (letter case on FAT, exFAT) and lists it under another only, the failure,
  // unless the copy-from folder holds no other file of that name (the file
  // was renamed in case only: the copy there is its own).
  Status CheckFolding(const char* name, const struct stat& target);
  // Ok when each folder of the current copy-to chain is listed in its parent
  // under its own name. One that is listed under another only (a folder met
  // under another letter case) fails as another folder's copy when the
  // copy-from tree holds a folder of that name beside it, as CheckFolding.
  Status CheckFolderFolding();
  bool InSourcePlace(std::string_view relative) const;
  Status Failure(const char* name, const Status& reason) const;

  // FolderMaker
  Status Make(int parentFd, const char* name, std::string_view relative, size_t level,
              UniqueFd& made) override;
  Status ReplaceLink(int parentFd, const char* name, std::string_view relative) override;

  const std::string fromRoot_;
  const std::string toRoot_;
  const Links links_;
  // Relative folders of the copy-to tree that are the source tree's own.
  std::vector<std::string> sourcePlaces_;
  FolderChain from_;
  FolderChain to_;
  std::string relative_;
  bool entered_ = false;  // relative_ names the current folder
  bool fromEntered_ = false;
  Status fromStatus_ = Status::Ok();
  TargetState target_ = TargetState::kUnknown;
  Status targetStatus_ = Status::Ok();
  // The relative path of the copy-to folder Make made last.
  std::string lastMade_;
  // The current copy-to folder was made by this run's last Enter and its
  // names cannot fold: nothing was in it but what this run put there, and
  // a name not yet copied into it is not looked up (on a share each look is
  // a round trip). Cleared when the folder is entered again.
  bool targetMadeEmpty_ = false;
  bool replaceFileLinks_ = false;
  // What is known of the names of a folder of the copy-to chain, for the
  // checks above: read once while the folder stays on the chain, and only
  // where its file system may fold names.
  struct FolderNames {
    std::string relative;
    bool known = false;
    bool listed = false;  // `names` holds its listing and the entries made since
    std::unordered_set<std::string> names;
  };
  // The names of the copy-to folder at `level` of the chain (relative path
  // `relative`, open as `fd`), read anew when `again`; nullptr when its
  // names cannot fold or cannot be read (nothing to check).
  const std::unordered_set<std::string>* FoldableNames(size_t level, std::string_view relative,
                                                       int fd, bool again = false);
  // Whether the copy-to file system of the open folder `fd` folds letter
  // case (see FoldsLetterCase), tried once for each device.
  bool FoldsNames(int fd);
  // What is known of a copy-to file system, asked once for each device (on
  // a share each question is a round trip).
  struct Device {
    dev_t id;
    unsigned long kind;  // statfs's f_type
    int folds = -1;      // FoldsLetterCase: 1 or 0, -1 not yet tried
    int smb = -1;        // SpeaksSmb: 1 or 0, -1 not yet asked
  };
  // Whether the copy-to root is on an SMB share that cannot hold `name`
  // (SmbRefusesName); false before the root is open.
  bool RefusesName(std::string_view name);
  // The failure of a name the copy-to file system cannot hold, at `path`.
  static Status NameRefused(std::string_view path);
  // The first folder of the current relative path that RefusesName, as the
  // failure of its path; ok when there is none.
  Status RefusedFolder();
  // The device of the open folder `fd`; nullptr when it cannot be asked.
  Device* DeviceAt(int fd);
  // TraitsOf the open copy-to folder `fd`.
  FolderTraits TraitsAt(int fd);
  std::vector<Device> devices_;
  // The names of the current copy-from folder by ASCII lower case, read once
  // a folder, when a copy-to name is not listed.
  struct SourceNames {
    std::string relative;
    bool known = false;
    std::unordered_map<std::string, std::vector<std::string>> byLower;
  };
  SourceNames sourceNames_;
  // Notes the entry `name` made in the copy-to folder at `level`.
  void NoteMade(size_t level, std::string_view relative, std::string_view name);
  std::vector<FolderNames> chainNames_;  // by level, [0] the root
  // By level below the root: the relative path last found listed.
  std::vector<std::string> checkedFolders_;
  FileAgeCache ages_;
  // Folders made with the owner's permissions added, and their final bits.
  std::vector<std::pair<std::string, mode_t>> finalBits_;
  // The current folders as held for copies on other threads (see Detach);
  // null once found not to be detachable.
  bool detachKnown_ = false;
  std::shared_ptr<const CopyFolders> detached_;
};

}  // namespace quillfen
