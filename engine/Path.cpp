#include "engine/Path.h"

#include <sys/stat.h>

#include <cerrno>

#include <filesystem>
#include <system_error>

namespace quillfen {

std::string TrimTrailingSlashes(std::string_view path) {
  size_t end = path.size();
  while (end > 0 && path[end - 1] == '/') --end;
  if (end == 0 && !path.empty()) return "/";
  return std::string(path.substr(0, end));
}

std::string JoinPath(std::string_view folder, std::string_view name) {
  std::string path;
  path.reserve(folder.size() + 1 + name.size());
  path.append(folder);
  if (path.empty() || path.back() != '/') path.push_back('/');
  path.append(name);
  return path;
}

std::string JoinRelative(std::string_view root, std::string_view relative) {
  std::string path = TrimTrailingSlashes(root);
  if (path == "/" && !relative.empty()) path.clear();
  path.append(relative);
  return path;
}

std::string_view FolderOf(std::string_view relative) {
  const size_t slash = relative.rfind('/');
  return slash == std::string_view::npos ? std::string_view() : relative.substr(0, slash);
}

std::string FolderOfFull(std::string_view path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

std::string_view LastName(std::string_view path) {
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string_view FileExtension(std::string_view path) {
  const std::string_view name = LastName(path);
  const size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? std::string_view() : name.substr(dot);
}

bool IsInside(std::string_view inner, std::string_view outer) {
  if (outer == "/") return inner.size() > 1 && inner.front() == '/';
  return inner.size() > outer.size() + 1 && inner.substr(0, outer.size()) == outer &&
         inner[outer.size()] == '/';
}

bool IsAtOrBelow(std::string_view folder, std::string_view place) {
  if (place.empty()) return true;
  return folder == place ||
         (folder.size() > place.size() && folder.substr(0, place.size()) == place &&
          folder[place.size()] == '/');
}

std::string ResolvedPath(std::string_view path) {
  if (path.empty()) return {};
  std::error_code ec;
  const std::filesystem::path resolved = std::filesystem::weakly_canonical(std::string(path), ec);
  if (ec) return {};
  return TrimTrailingSlashes(resolved.string());
}

bool IsFolder(std::string_view path) {
  struct stat st;
  return !path.empty() && ::stat(std::string(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool MakeFolder(std::string_view path) {
  return !path.empty() && ::mkdir(std::string(path).c_str(), 0777) == 0;
}

Status MakeFolderPath(std::string_view path) {
  const std::string folder = TrimTrailingSlashes(path);
  if (folder.empty() || IsFolder(folder) || MakeFolder(folder)) return Status::Ok();
  for (size_t slash = folder.find('/', 1); slash != std::string::npos;
       slash = folder.find('/', slash + 1)) {
    const std::string part = folder.substr(0, slash);
    if (IsFolder(part) || MakeFolder(part)) continue;
    const int err = errno;
    // Made meanwhile by someone else: go on.
    if (err != EEXIST || !IsFolder(part)) return PathError(part, err);
  }
  if (MakeFolder(folder)) return Status::Ok();
  const int err = errno;
  return IsFolder(folder) ? Status::Ok() : PathError(folder, err);
}

std::string FolderToLeaveOut(std::string_view source, std::string_view destination) {
  const std::string src = TrimTrailingSlashes(source);
  const std::string dst = TrimTrailingSlashes(destination);
  if (src.empty() || dst.empty()) return {};
  if (IsInside(dst, src)) return src == "/" ? dst : dst.substr(src.size());
  // The same place may be reached through symbolic links.
  const std::string realSrc = ResolvedPath(src);
  const std::string realDst = ResolvedPath(dst);
  if (realSrc.empty() || realDst.empty() || !IsInside(realDst, realSrc)) return {};
  return realSrc == "/" ? realDst : realDst.substr(realSrc.size());
}

std::optional<std::string> SourcePlaceInDestination(std::string_view source,
                                                    std::string_view destination) {
  const std::string src = ResolvedPath(source);
  const std::string dst = ResolvedPath(destination);
  if (src.empty() || dst.empty() || src == dst) return std::string();
  if (!IsInside(src, dst)) return std::nullopt;
  return dst == "/" ? src : src.substr(dst.size());
}

}  // namespace quillfen
