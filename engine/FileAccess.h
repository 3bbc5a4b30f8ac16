// Folder and file enumeration. Paths are byte strings with '/' separators;
// names that are not valid UTF-8 pass through unchanged. Folders below a root
// are read through open handles, one name at a time (see FolderChain), so
// depth is no limit and no link to a folder is ever followed. The program's
// own temporary files (TemporaryFiles.h) are never listed.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "engine/Path.h"
#include "engine/PathOrder.h"
#include "engine/Status.h"

namespace quillfen {

// Listing as quoted path lists (see CommaText.h): the plain form of the
// listing, which ListTree below is held to. The backup run and the comparison
// window list whole trees with ListTree, which gives the same folders and
// files in the same order without a text per path.
//
// ListSubfolders: the root folder and every folder beneath it, each once,
// sorted by FolderPathLess (so the root comes first and every folder before
// its subfolders). One trailing '/' is removed from the root ("/" stays "/").
// Links to folders are not followed. A folder that cannot be read gives no
// children; a missing root gives the root alone.
std::string ListSubfolders(std::string_view root);

// ListFiles: every file directly inside `folder`, in the order the directory
// delivers them: regular files (hidden ones included) and links to regular
// files. No folders, FIFOs, sockets, devices or dangling links. Path = folder
// + '/' + name ('/' not doubled when `folder` ends with one). The empty text
// when there are none, or the folder is missing.
std::string ListFiles(std::string_view folder);

// The files of a whole tree held compactly, grouped by folder: no string per
// file.
struct TreeListing {
  struct Folder {
    std::string relative;  // "" for the root, else "/a/b" (the root's text removed)
    // The folder's file names, each followed by '\0', in ListFiles order.
    // Each folder holds its own, so that a listing put together from
    // several threads' findings is never held twice.
    std::string names;
  };
  // In ListSubfolders order (the root first).
  std::vector<Folder> folders;
  size_t fileCount = 0;
  // Folders that exist but could not be read (no permission, a failing
  // disk): they contribute no files, and each is reported here, in the order
  // met, as "<folder path>: <reason>". A folder that vanished, or became a
  // link or a file, while the tree was read is not an error: it is gone.
  std::vector<Status> errors;
  // The listing was asked to stop before the whole tree was read: what it
  // holds is a part of the tree only.
  bool stopped = false;

  // Calls visit(name) for every name of `folder`, in order.
  template <typename Visit>
  static void ForEachName(const Folder& folder, Visit&& visit) {
    const char* base = folder.names.data();
    for (size_t pos = 0; pos < folder.names.size();) {
      const char* name = base + pos;
      const std::string_view view(name);
      visit(view);
      pos += view.size() + 1;
    }
  }
};

// The files of the tree under `root`: folders in ListSubfolders order
// (relative to the root, every trailing '/' of the root removed), the files
// of each folder in ListFiles order. Each folder is read once. When
// `leaveOut` (a relative folder path, see FolderToLeaveOut) is not empty,
// that folder and everything beneath it are left out. A missing root gives
// the root alone, without files and without an error.
TreeListing ListTree(std::string_view root, std::string_view leaveOut = {});

// The files of ListTree as paths relative to `root` ("/a/b.txt").
std::vector<std::string> ListTreeFiles(std::string_view root, std::string_view leaveOut = {});

}  // namespace quillfen
