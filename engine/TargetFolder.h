// Preparing the place of a copy inside a destination tree so that nothing
// planted in that tree can lead a copy outside it.
#pragma once

#include <string>
#include <string_view>

namespace quillfen {

// Prepares `root` + `relative` (relative begins with '/') for a copy:
//  - every folder of `relative` below `root` is made a real folder: a missing
//    one is created, and a symbolic link in its place (to a folder elsewhere,
//    or dangling) is removed and replaced by a folder, so that no folder or
//    file is ever created outside `root` through it;
//  - a symbolic link at the file's own place is removed, so that the copy
//    decision sees no copy there and the copy puts a real file in its place,
//    instead of trusting the age of, or writing to, whatever the link names.
// `root` itself may be a link; it is the user's choice and is followed. A
// regular file in the place of a folder is left alone (the copy then fails
// and is reported). Failures are silent for the same reason.
// `lastFolder` caches the folder prepared by the previous call: files of one
// folder come one after another, and the walk is made once for them.
void PrepareTarget(std::string_view root, std::string_view relative, std::string& lastFolder);

// The same preparation for a run that goes folder by folder: EnterFolder
// makes the folders of `relativeFolder` ("" for the root, else "/a/b") below
// the root real folders (links to folders planted there are replaced). Links
// at file places are replaced by FolderCopyCheck::NeedsCopy. Failures are
// silent, as for PrepareTarget.
class TargetPlaces {
 public:
  explicit TargetPlaces(std::string_view root);

  void EnterFolder(std::string_view relativeFolder);

 private:
  std::string base_;      // the root without trailing '/'; empty for "/"
  std::string lastReal_;  // the last folder entered whose folders are all real
};

// Whether copies from `source` into `destination` may prepare their places
// with PrepareTarget: not when the destination is the source tree itself or
// holds it (links resolved), since links met there may be the user's own.
bool MayReplaceLinks(std::string_view source, std::string_view destination);

}  // namespace quillfen
