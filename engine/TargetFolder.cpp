#include "engine/TargetFolder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

namespace quillfen {

void PrepareTarget(std::string_view root, std::string_view relative, std::string& lastFolder) {
  std::string base(root);
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  if (base == "/") base.clear();
  const std::string path = base + std::string(relative);
  const size_t fileSlash = path.rfind('/');
  if (fileSlash == std::string::npos || fileSlash < base.size()) return;
  const std::string folder = path.substr(0, fileSlash);

  struct stat st;
  if (folder != lastFolder) {
    // Walk the folders below the root, outermost first.
    for (size_t slash = path.find('/', base.size() + 1);
         slash != std::string::npos && slash <= fileSlash; slash = path.find('/', slash + 1)) {
      const std::string part = path.substr(0, slash);
      if (lstat(part.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) continue;
        if (!S_ISLNK(st.st_mode)) break;  // a file: the copy fails and says so
        if (unlink(part.c_str()) != 0) break;
      }
      if (mkdir(part.c_str(), 0777) != 0) break;
    }
    lastFolder = folder;
  }
  if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) unlink(path.c_str());
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
