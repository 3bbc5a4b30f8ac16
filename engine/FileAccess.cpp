#include "engine/FileAccess.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "engine/CommaText.h"
#include "engine/FolderChain.h"
#include "engine/FolderEntries.h"
#include "engine/TemporaryFiles.h"

namespace quillfen {
namespace {

// Walks the tree under `root` (already trimmed) depth first, reading every
// folder once through a FolderChain. Calls onFolder(relative) for each folder,
// the root first, and onFile(name) for each file of the folder last reported.
// The folder `leaveOut` (relative) is left out with everything beneath it.
// Folders that could not be read go to `errors`.
template <typename OnFolder, typename OnFile>
void WalkTree(const std::string& root, std::string_view leaveOut, OnFolder&& onFolder,
              OnFile&& onFile, std::vector<Status>& errors) {
  FolderChain chain;
  const Status opened = chain.OpenRoot(root);
  onFolder(std::string());
  if (!opened.ok()) {
    if (!FolderChain::IsGone(opened)) errors.push_back(opened);
    return;
  }
  std::vector<std::string> pending;
  pending.emplace_back();
  bool first = true;
  while (!pending.empty()) {
    std::string relative = std::move(pending.back());
    pending.pop_back();
    if (!first) {
      const Status entered = chain.Enter(relative);
      if (!entered.ok()) {
        if (!FolderChain::IsGone(entered)) errors.push_back(entered);
        continue;
      }
      onFolder(relative);
    }
    first = false;
    if (!chain.readable()) {
      errors.push_back(PathError(JoinRelative(root, relative), EACCES));
      continue;
    }
    const int err = ReadFolder(chain.fd(), [&](EntryKind kind, const char* name) {
      if (kind == EntryKind::kFile) {
        onFile(name);
        return;
      }
      std::string child = relative;
      child.push_back('/');
      child.append(name);
      if (!leaveOut.empty() && child == leaveOut) return;
      pending.push_back(std::move(child));
    });
    if (err != 0) errors.push_back(PathError(JoinRelative(root, relative), err));
  }
}

// The root as listing uses it: one trailing '/' removed, "/" kept.
std::string ListingRoot(std::string_view root) {
  if (root.size() > 1 && root.back() == '/') root.remove_suffix(1);
  return std::string(root);
}

}  // namespace

std::string ListSubfolders(std::string_view root) {
  const std::string top = ListingRoot(root);
  std::vector<std::string> folders;
  std::vector<Status> ignored;
  WalkTree(
      top, {}, [&](const std::string& relative) { folders.push_back(JoinRelative(top, relative)); },
      [](const char*) {}, ignored);
  // "/" with a trailing '/' kept, as the root came in.
  if (!folders.empty()) folders[0] = top;
  std::sort(folders.begin(), folders.end(), FolderPathLess);
  std::string text;
  for (const std::string& folder : folders) AppendQuoted(text, folder);
  return text;
}

std::string ListFiles(std::string_view folder) {
  std::string text;
  FolderChain chain;
  if (!chain.OpenRoot(folder).ok() || !chain.readable()) return text;
  ReadFolder(chain.fd(), [&](EntryKind kind, const char* name) {
    if (kind == EntryKind::kFile) AppendQuoted(text, JoinPath(folder, name));
  });
  return text;
}

TreeListing ListTree(std::string_view root, std::string_view leaveOut) {
  // Every trailing '/' goes, so that relative paths always begin with one.
  const std::string top = TrimTrailingSlashes(root);
  const std::string skip = leaveOut.empty() ? std::string() : TrimTrailingSlashes(leaveOut);
  TreeListing listing;
  std::vector<TreeListing::Folder> walked;
  WalkTree(
      top, skip,
      [&](const std::string& relative) {
        if (!walked.empty()) walked.back().names.shrink_to_fit();
        walked.push_back({relative, {}});
      },
      [&](const char* name) {
        std::string& names = walked.back().names;
        names.append(name);
        names.push_back('\0');
        ++listing.fileCount;
      },
      listing.errors);
  if (!walked.empty()) walked.back().names.shrink_to_fit();

  // The common root text is left out of the keys, which keeps their order.
  std::sort(walked.begin(), walked.end(),
            [](const TreeListing::Folder& a, const TreeListing::Folder& b) {
              return FolderPathLess(a.relative, b.relative);
            });
  listing.folders = std::move(walked);
  return listing;
}

std::vector<std::string> ListTreeFiles(std::string_view root, std::string_view leaveOut) {
  const TreeListing listing = ListTree(root, leaveOut);
  std::vector<std::string> files;
  files.reserve(listing.fileCount);
  for (const TreeListing::Folder& folder : listing.folders) {
    TreeListing::ForEachName(folder, [&](std::string_view name) {
      std::string path;
      path.reserve(folder.relative.size() + 1 + name.size());
      path.append(folder.relative).append("/").append(name);
      files.push_back(std::move(path));
    });
  }
  return files;
}

}  // namespace quillfen
