#include "engine/FileAccess.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "engine/CommaText.h"

namespace quillfen {
namespace {

// What a directory entry is, as far as listing cares.
enum class EntryKind { kOther, kFolder, kFile };

bool IsDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Classifies one entry of the open directory `dir`. Only entries whose type the
// directory does not deliver, and links, cost a stat: a link counts as a file
// when it leads to a regular file, and never as a folder (links to folders are
// not followed, which also rules out loops).
EntryKind Classify(DIR* dir, const dirent* entry) {
  if (IsDotOrDotDot(entry->d_name)) return EntryKind::kOther;
  struct stat st;
  switch (entry->d_type) {
    case DT_DIR:
      return EntryKind::kFolder;
    case DT_REG:
      return EntryKind::kFile;
    case DT_LNK:
      if (fstatat(dirfd(dir), entry->d_name, &st, 0) == 0 && S_ISREG(st.st_mode)) {
        return EntryKind::kFile;
      }
      return EntryKind::kOther;
    case DT_UNKNOWN:
      if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return EntryKind::kOther;
      }
      if (S_ISDIR(st.st_mode)) return EntryKind::kFolder;
      if (S_ISREG(st.st_mode)) return EntryKind::kFile;
      if (S_ISLNK(st.st_mode) && fstatat(dirfd(dir), entry->d_name, &st, 0) == 0 &&
          S_ISREG(st.st_mode)) {
        return EntryKind::kFile;
      }
      return EntryKind::kOther;
    default:
      return EntryKind::kOther;
  }
}

// An open directory stream, closed on every way out.
class DirReader {
 public:
  explicit DirReader(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    dir_ = fdopendir(fd);
    if (dir_ == nullptr) close(fd);
  }
  ~DirReader() {
    if (dir_ != nullptr) closedir(dir_);
  }
  DirReader(const DirReader&) = delete;
  DirReader& operator=(const DirReader&) = delete;

  // Calls visit(kind, name) for every entry worth listing; a stream that could
  // not be opened, or that fails while reading, simply ends.
  template <typename Visit>
  void ForEach(Visit&& visit) {
    if (dir_ == nullptr) return;
    while (const dirent* entry = readdir(dir_)) {
      EntryKind kind = Classify(dir_, entry);
      if (kind != EntryKind::kOther) visit(kind, entry->d_name);
    }
  }

 private:
  DIR* dir_ = nullptr;
};

// `folder` + '/' + `name`, without doubling a '/' that ends `folder`.
std::string JoinPath(std::string_view folder, std::string_view name) {
  std::string path;
  path.reserve(folder.size() + 1 + name.size());
  path.append(folder);
  if (path.empty() || path.back() != '/') path.push_back('/');
  path.append(name);
  return path;
}

unsigned char FoldAscii(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

// Walks the tree under `root` (already trimmed) depth first with an explicit
// stack, reading every folder once. Calls onFolder(path) for each folder,
// the root first, and onFile(name) for each file of the folder last reported.
// A folder whose path equals `skip` is left out with everything beneath it.
template <typename OnFolder, typename OnFile>
void WalkTree(const std::string& root, std::string_view skip, OnFolder&& onFolder,
              OnFile&& onFile) {
  if (!skip.empty() && root == skip) return;
  std::vector<std::string> pending;
  pending.push_back(root);
  while (!pending.empty()) {
    std::string folder = std::move(pending.back());
    pending.pop_back();
    onFolder(folder);
    DirReader reader(folder);
    reader.ForEach([&](EntryKind kind, const char* name) {
      if (kind == EntryKind::kFile) {
        onFile(name);
        return;
      }
      std::string child = JoinPath(folder, name);
      if (!skip.empty() && child == skip) return;
      pending.push_back(std::move(child));
    });
  }
}

}  // namespace

bool FolderPathLess(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  // Paths of one tree share long beginnings: skip the equal bytes at full
  // speed, and fold letters only from the first difference on.
  size_t i =
      static_cast<size_t>(std::mismatch(a.begin(), a.begin() + n, b.begin()).first - a.begin());
  for (; i < n; ++i) {
    unsigned char ca = FoldAscii(static_cast<unsigned char>(a[i]));
    unsigned char cb = FoldAscii(static_cast<unsigned char>(b[i]));
    if (ca != cb) return ca < cb;
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;  // equal ignoring case: exact bytes decide
}

std::string_view FileExtension(std::string_view path) {
  const size_t slash = path.rfind('/');
  const size_t start = slash == std::string_view::npos ? 0 : slash + 1;
  const size_t dot = path.rfind('.');
  if (dot == std::string_view::npos || dot < start) return {};
  return path.substr(dot);
}

std::string TrimTrailingSlashes(std::string_view path) {
  size_t end = path.size();
  while (end > 0 && path[end - 1] == '/') --end;
  if (end == 0 && !path.empty()) return "/";
  return std::string(path.substr(0, end));
}

namespace {

// The root as listing uses it: one trailing '/' removed, "/" kept.
std::string ListingRoot(std::string_view root) {
  if (root.size() > 1 && root.back() == '/') root.remove_suffix(1);
  return std::string(root);
}

}  // namespace

std::vector<std::string> SubfolderPaths(std::string_view root) {
  std::vector<std::string> folders;
  WalkTree(
      ListingRoot(root), {}, [&](const std::string& folder) { folders.push_back(folder); },
      [](const char*) {});
  std::sort(folders.begin(), folders.end(), FolderPathLess);
  return folders;
}

std::string ListSubfolders(std::string_view root) {
  return JoinQuoted(SubfolderPaths(root));
}

std::vector<std::string> FilePaths(std::string_view folder) {
  std::vector<std::string> files;
  DirReader reader{std::string(folder)};
  reader.ForEach([&](EntryKind kind, const char* name) {
    if (kind == EntryKind::kFile) files.push_back(JoinPath(folder, name));
  });
  return files;
}

std::string ListFiles(std::string_view folder) {
  std::string text;
  DirReader reader{std::string(folder)};
  reader.ForEach([&](EntryKind kind, const char* name) {
    if (kind == EntryKind::kFile) AppendQuoted(text, JoinPath(folder, name));
  });
  return text;
}

TreeListing ListTree(std::string_view root, std::string_view skip) {
  // Every trailing '/' goes, so that relative paths always begin with one.
  const std::string top = TrimTrailingSlashes(root);
  const std::string skipPath = skip.empty() ? std::string() : TrimTrailingSlashes(skip);
  TreeListing listing;
  std::vector<TreeListing::Folder> walked;
  WalkTree(
      top, skipPath,
      [&](const std::string& path) {
        if (!walked.empty()) walked.back().end = listing.names.size();
        // Relative path: the full path with the root's text removed from its
        // front only. Under the file-system root the full path is relative.
        std::string relative;
        if (path != top) relative = top == "/" ? path : path.substr(top.size());
        walked.push_back({std::move(relative), listing.names.size(), listing.names.size()});
      },
      [&](const char* name) {
        listing.names.append(name);
        listing.names.push_back('\0');
        ++listing.fileCount;
      });
  if (!walked.empty()) walked.back().end = listing.names.size();

  // The common root text is left out of the keys, which keeps their order.
  std::sort(walked.begin(), walked.end(),
            [](const TreeListing::Folder& a, const TreeListing::Folder& b) {
              return FolderPathLess(a.relative, b.relative);
            });
  listing.folders = std::move(walked);
  return listing;
}

std::vector<std::string> ListTreeFiles(std::string_view root, std::string_view skip) {
  const TreeListing listing = ListTree(root, skip);
  std::vector<std::string> files;
  files.reserve(listing.fileCount);
  for (const TreeListing::Folder& folder : listing.folders) {
    TreeListing::ForEachName(listing, folder, [&](std::string_view name) {
      std::string path;
      path.reserve(folder.relative.size() + 1 + name.size());
      path.append(folder.relative).append("/").append(name);
      files.push_back(std::move(path));
    });
  }
  return files;
}

}  // namespace quillfen
