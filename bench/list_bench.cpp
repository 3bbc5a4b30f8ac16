// Times the listing of a large tree.
//
//   list_bench [DIR]
//       Makes (once) a tree of 100,000 empty or tiny files in 10,000 folders,
//       5 to 6 levels deep, under DIR (default /var/tmp/quillfen-list-bench),
//       from a fixed seed, so every machine lists the same tree. Then lists
//       it with ListTreeFiles once to warm the cache and 5 more times, and
//       prints the median, minimum and maximum time of those 5 runs, and the
//       same for ListSubfolders, the folders alone as a quoted path list,
//       split again.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "engine/CommaText.h"
#include "engine/FileAccess.h"

namespace {

constexpr int kFolders = 10000;
constexpr int kFiles = 100000;
constexpr unsigned kSeed = 20261207;

bool MakeFolder(const std::string& path) {
  return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

// Creates the tree under `dir` unless a finished one is already there (the
// marker file is written last).
bool MakeTree(const std::string& dir) {
  const std::string marker = dir + "/.complete";
  if (access(marker.c_str(), F_OK) == 0) return true;
  if (!MakeFolder(dir)) return false;
  // Never into a folder of other files (a tree of another benchmark named
  // by mistake): only an empty one, or one this program began.
  if (access((dir + "/top0").c_str(), F_OK) != 0) {
    DIR* folder = opendir(dir.c_str());
    if (folder == nullptr) return false;
    int entries = 0;
    while (readdir(folder) != nullptr) ++entries;
    closedir(folder);
    if (entries > 2) {
      errno = ENOTEMPTY;
      return false;
    }
  }

  std::mt19937 gen(kSeed);
  // Ten top-level folders; each further folder hangs below a random folder of
  // depth 1 to 5 (the root's depth is 0), which gives trees 5 to 6 levels deep.
  std::vector<std::string> folders;
  std::vector<std::vector<int>> byDepth(7);
  for (int i = 0; i < 10; ++i) {
    folders.push_back(dir + "/top" + std::to_string(i));
    byDepth[1].push_back(i);
  }
  while (static_cast<int>(folders.size()) < kFolders) {
    int depth = 1 + static_cast<int>(gen() % 5);
    while (byDepth[depth].empty()) --depth;
    const std::vector<int>& candidates = byDepth[depth];
    int parent = candidates[gen() % candidates.size()];
    int index = static_cast<int>(folders.size());
    const char* stems[] = {"Docs", "src", "Photos", "archive", "build", "notes"};
    folders.push_back(folders[parent] + "/" + stems[gen() % 6] + std::to_string(index));
    byDepth[depth + 1].push_back(index);
  }
  for (const std::string& folder : folders) {
    if (!MakeFolder(folder)) return false;
  }
  const char* extensions[] = {".txt", ".jpg", ".doc", ".c", ".h", ""};
  for (int i = 0; i < kFiles; ++i) {
    const std::string& folder = folders[gen() % folders.size()];
    std::string path = folder + "/file" + std::to_string(i) + extensions[gen() % 6];
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    size_t size = gen() % 3 == 0 ? gen() % 64 : 0;
    std::string content(size, 'x');
    bool ok = write(fd, content.data(), size) == static_cast<ssize_t>(size);
    if (close(fd) != 0 || !ok) return false;
  }
  int fd = open(marker.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  close(fd);
  return true;
}

template <typename Body>
void Time(const char* what, Body body) {
  body();  // warm-up
  std::vector<double> ms;
  size_t count = 0;
  for (int run = 0; run < 5; ++run) {
    auto start = std::chrono::steady_clock::now();
    count = body();
    auto end = std::chrono::steady_clock::now();
    ms.push_back(std::chrono::duration<double, std::milli>(end - start).count());
  }
  std::sort(ms.begin(), ms.end());
  std::printf("%-15s %7zu entries  median %7.1f ms  (min %.1f, max %.1f)\n", what, count, ms[2],
              ms.front(), ms.back());
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir = argc > 1 ? argv[1] : "/var/tmp/quillfen-list-bench";
  if (!MakeTree(dir)) {
    std::perror(("cannot make the tree under " + dir).c_str());
    return 1;
  }
  Time("ListTreeFiles", [&] { return quillfen::ListTreeFiles(dir).size(); });
  Time("ListSubfolders",
       [&] { return quillfen::SplitCommaText(quillfen::ListSubfolders(dir)).size(); });
  return 0;
}
