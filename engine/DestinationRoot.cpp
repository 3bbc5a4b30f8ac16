#include "engine/DestinationRoot.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <sstream>

#include "engine/Path.h"

namespace quillfen {

namespace {

// "\040" and the like, as the tables write spaces, tabs and backslashes.
std::string DecodeOctalEscapes(std::string_view field) {
  std::string out;
  const auto octal = [](char c) { return c >= '0' && c <= '7'; };
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && octal(field[i + 1]) && octal(field[i + 2]) &&
        octal(field[i + 3])) {
      out.push_back(static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                      (field[i + 3] - '0')));
      i += 3;
      continue;
    }
    out.push_back(field[i]);
  }
  return out;
}

bool Listed(const std::vector<std::string>& points, const std::string& folder) {
  return std::find(points.begin(), points.end(), folder) != points.end();
}

// Whether a file system is mounted at `folder` now: another device than its
// parent's, or listed as a mount point (a bind mount keeps the device).
bool IsMountedNow(const std::string& folder, const struct stat& st,
                  const std::vector<std::string>& mounted) {
  struct stat parent;
  if (stat(FolderOfFull(folder).c_str(), &parent) == 0 && parent.st_dev != st.st_dev) return true;
  return Listed(mounted, folder);
}

// A path that cannot be looked at fails the set at once where a share in
// trouble is the reason (one line, not one a file); any other reason is left
// to the copies, which name the folder that cannot be made and why.
Status Unreachable(const std::string& path, int err) {
  return CodeOfErrno(err) == Status::Code::kUnreachable ? PathError(path, err) : Status::Ok();
}

}  // namespace

std::vector<std::string> MountPointsIn(const std::string& table, size_t fieldIndex) {
  std::vector<std::string> points;
  std::ifstream in(table);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string field;
    std::vector<std::string> parts;
    while (parts.size() <= fieldIndex && fields >> field) parts.push_back(field);
    if (parts.size() <= fieldIndex || parts[0].front() == '#') continue;
    const std::string point = DecodeOctalEscapes(parts[fieldIndex]);
    if (point.empty() || point.front() != '/') continue;  // "none", "swap"
    points.push_back(TrimTrailingSlashes(point));
  }
  return points;
}

Status MayMakeDestinationRoot(std::string_view root, bool backedUpBefore,
                              const MountTables& tables) {
  const std::string folder = TrimTrailingSlashes(root);
  if (folder.empty()) return Status::Ok();
  struct stat st;
  if (stat(folder.c_str(), &st) == 0) return Status::Ok();  // a file there fails as ever
  if (errno != ENOENT) return Unreachable(folder, errno);
  if (backedUpBefore) {
    return PathError(folder, Status::Code::kNotFound,
                     "the destination folder is missing: is its medium or share mounted? "
                     "It was backed up before and is not made anew; make it to start afresh");
  }
  // The nearest part of the path that exists.
  std::string ancestor = folder;
  for (;;) {
    ancestor = FolderOfFull(ancestor);
    if (stat(ancestor.c_str(), &st) == 0) break;
    if (errno != ENOENT) return Unreachable(ancestor, errno);
    if (ancestor == "/" || ancestor == ".") return Status::Ok();
  }
  if (!S_ISDIR(st.st_mode)) return Status::Ok();  // fails as ever, naming it
  // From that folder up: inside a file system mounted now the folder may be
  // made; a mount point of the fstab that is not mounted, or a folder of the
  // media folders' own file system, is where the medium or share is absent.
  const std::vector<std::string> fstab = MountPointsIn(tables.fstab, 1);
  const std::vector<std::string> mounted = MountPointsIn(tables.mountInfo, 4);
  for (std::string place = ancestor;; place = FolderOfFull(place)) {
    struct stat here;
    if (place == "/" || place == "." || stat(place.c_str(), &here) != 0) return Status::Ok();
    if (IsMountedNow(place, here, mounted)) return Status::Ok();
    const bool media = std::find(tables.mediaFolders.begin(), tables.mediaFolders.end(), place) !=
                       tables.mediaFolders.end();
    if (media || Listed(fstab, place)) {
      return PathError(folder, Status::Code::kNotFound,
                       "the destination folder is missing, and " + ancestor +
                           " is where a medium or share is mounted, but none is: is it mounted?");
    }
  }
}

}  // namespace quillfen
