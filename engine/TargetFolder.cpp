#include "engine/TargetFolder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

namespace quillfen {

namespace {

// The root as the base of joined paths: without trailing '/', empty for "/".
std::string Base(std::string_view root) {
  std::string base(root);
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  if (base == "/") base.clear();
  return base;
}

// Makes every folder of `folder` below `base` (a prefix of it) a real folder,
// outermost first: a missing one is created, a link in its place replaced.
void MakeRealFolders(const std::string& base, const std::string& folder) {
  if (folder.size() <= base.size()) return;
  struct stat st;
  for (size_t slash = folder.find('/', base.size() + 1);; slash = folder.find('/', slash + 1)) {
    const std::string part = folder.substr(0, slash);
    if (lstat(part.c_str(), &st) != 0) {
      if (mkdir(part.c_str(), 0777) != 0) return;
    } else if (S_ISLNK(st.st_mode)) {
      if (unlink(part.c_str()) != 0 || mkdir(part.c_str(), 0777) != 0) return;
    } else if (!S_ISDIR(st.st_mode)) {
      return;  // a file: the copy fails and says so
    }
    if (slash == std::string::npos) return;
  }
}

}  // namespace

void PrepareTarget(std::string_view root, std::string_view relative, std::string& lastFolder) {
  const std::string base = Base(root);
  const std::string path = base + std::string(relative);
  const size_t fileSlash = path.rfind('/');
  if (fileSlash == std::string::npos || fileSlash < base.size()) return;
  const std::string folder = path.substr(0, fileSlash);
  if (folder != lastFolder) {
    MakeRealFolders(base, folder);
    lastFolder = folder;
  }
  struct stat st;
  if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) unlink(path.c_str());
}

TargetPlaces::TargetPlaces(std::string_view root) : base_(Base(root)) {}

TargetPlaces::~TargetPlaces() {
  if (fd_ >= 0) close(fd_);
}

void TargetPlaces::EnterFolder(std::string_view relativeFolder) {
  if (fd_ >= 0) close(fd_);
  const std::string folder = base_ + std::string(relativeFolder);
  MakeRealFolders(base_, folder);
  fd_ = open(folder.empty() ? "/" : folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

bool MayReplaceLinks(std::string_view source, std::string_view destination) {
  std::error_code ec;
  const std::string src = std::filesystem::weakly_canonical(std::string(source), ec).string();
  if (ec || src.empty()) return false;
  const std::string dst = std::filesystem::weakly_canonical(std::string(destination), ec).string();
  if (ec || dst.empty()) return false;
  auto trim = [](std::string s) {
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
  };
  const std::string s = trim(src);
  const std::string d = trim(dst);
  if (s == d) return false;
  // The source lies in the destination tree: a target path may enter it.
  if (d == "/") return false;
  return !(s.size() > d.size() && s.compare(0, d.size(), d) == 0 && s[d.size()] == '/');
}

}  // namespace quillfen
