#include "engine/TargetFolder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

// Makes every folder of `folder` after its first `from` characters (`from` is
// at least the length of the base and ends at a '/') a real folder, outermost
// first: a missing one is created, a link in its place replaced. False when
// one could not be made.
bool MakeRealFolders(const std::string& folder, size_t from) {
  if (folder.size() <= from) return true;
  struct stat st;
  for (size_t slash = folder.find('/', from + 1);; slash = folder.find('/', slash + 1)) {
    const std::string part = folder.substr(0, slash);
    if (lstat(part.c_str(), &st) != 0) {
      if (mkdir(part.c_str(), 0777) != 0) return false;
    } else if (S_ISLNK(st.st_mode)) {
      if (unlink(part.c_str()) != 0 || mkdir(part.c_str(), 0777) != 0) return false;
    } else if (!S_ISDIR(st.st_mode)) {
      return false;  // a file: the copy fails and says so
    }
    if (slash == std::string::npos) return true;
  }
}

// The length of the longest leading run of whole folders that `a` and `b`
// share ("/x/ab" and "/x/a" share "/x").
size_t SharedFolders(const std::string& a, const std::string& b) {
  const size_t n = std::min(a.size(), b.size());
  size_t i = 0;
  while (i < n && a[i] == b[i]) ++i;
  const auto boundary = [](const std::string& s, size_t k) { return k == s.size() || s[k] == '/'; };
  if (boundary(a, i) && boundary(b, i)) return i;
  const size_t slash = a.rfind('/', i == 0 ? 0 : i - 1);
  return slash == std::string::npos ? 0 : slash;
}

}  // namespace

void PrepareTarget(std::string_view root, std::string_view relative, std::string& lastFolder) {
  const std::string base = Base(root);
  const std::string path = base + std::string(relative);
  const size_t fileSlash = path.rfind('/');
  if (fileSlash == std::string::npos || fileSlash < base.size()) return;
  const std::string folder = path.substr(0, fileSlash);
  if (folder != lastFolder) {
    MakeRealFolders(folder, base.size());
    lastFolder = folder;
  }
  struct stat st;
  if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) unlink(path.c_str());
}

TargetPlaces::TargetPlaces(std::string_view root) : base_(Base(root)) {}

void TargetPlaces::EnterFolder(std::string_view relativeFolder) {
  const std::string folder = base_ + std::string(relativeFolder);
  // The folders this one shares with the last one entered were made real
  // then: only the rest is looked at, so a run costs about one lookup per
  // folder, not one per folder and level.
  const size_t from = std::max(base_.size(), SharedFolders(folder, lastReal_));
  if (MakeRealFolders(folder, from)) {
    lastReal_ = folder;
  } else {
    lastReal_.clear();
  }
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
