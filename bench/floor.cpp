// The floor of an up-to-date check: the least metadata work any tool must do
// to find out which files of a source tree are missing or older in a target
// tree. One thread walks the source with readdir, and makes one stat call per
// source file and one per target file, both relative to open folder handles.
// Nothing is copied.
//
//   floor SRC DST            prints what it found
//   floor --verify SRC DST   also checks that every source file has a target
//                            of the same size and modification time (to the
//                            nanosecond); exit status 1 when one does not.
//   floor --both-ways A B    two floors at once on two threads, A against B
//                            and B against A: whether the machine's metadata
//                            work scales to two cores (compare its time with
//                            one floor's).
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace {

struct Counts {
  uint64_t files = 0;
  uint64_t folders = 0;
  uint64_t bytes = 0;
  uint64_t missing = 0;  // no regular file at the target
  uint64_t older = 0;    // target modified before the source
  uint64_t mismatched = 0;
};

bool verify = false;
// Per thread, for --both-ways.
thread_local Counts counts;

bool Before(const timespec& a, const timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

void Report(const std::string& target, const char* what) {
  if (++counts.mismatched <= 10) std::fprintf(stderr, "floor: %s: %s\n", target.c_str(), what);
}

// Walks the folder open as `srcFd` (closed here). `dstFd` is the matching
// target folder or -1 when it does not exist; `dstPath` is its path.
void Walk(int srcFd, int dstFd, const std::string& dstPath) {
  DIR* dir = ::fdopendir(srcFd);
  if (dir == nullptr) {
    ::close(srcFd);
    return;
  }
  ++counts.folders;
  while (dirent* e = ::readdir(dir)) {
    const char* name = e->d_name;
    if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
    unsigned char type = e->d_type;
    struct stat src;
    bool haveSrc = false;
    if (type == DT_UNKNOWN) {
      if (::fstatat(srcFd, name, &src, AT_SYMLINK_NOFOLLOW) != 0) continue;
      haveSrc = true;
      type = S_ISDIR(src.st_mode) ? DT_DIR : S_ISREG(src.st_mode) ? DT_REG : DT_UNKNOWN;
    }
    if (type == DT_DIR) {
      int childSrc = ::openat(srcFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (childSrc < 0) continue;
      int childDst =
          dstFd < 0 ? -1 : ::openat(dstFd, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      Walk(childSrc, childDst, dstPath + "/" + name);
      continue;
    }
    if (type != DT_REG) continue;
    if (!haveSrc && ::fstatat(srcFd, name, &src, AT_SYMLINK_NOFOLLOW) != 0) continue;
    ++counts.files;
    counts.bytes += static_cast<uint64_t>(src.st_size);
    struct stat dst;
    int rc = dstFd >= 0 ? ::fstatat(dstFd, name, &dst, 0)
                        : ::fstatat(AT_FDCWD, (dstPath + "/" + name).c_str(), &dst, 0);
    if (rc != 0 || !S_ISREG(dst.st_mode)) {
      ++counts.missing;
      if (verify) Report(dstPath + "/" + name, "missing");
      continue;
    }
    if (Before(dst.st_mtim, src.st_mtim)) ++counts.older;
    if (verify) {
      if (dst.st_size != src.st_size)
        Report(dstPath + "/" + name, "size differs");
      else if (dst.st_mtim.tv_sec != src.st_mtim.tv_sec ||
               dst.st_mtim.tv_nsec != src.st_mtim.tv_nsec)
        Report(dstPath + "/" + name, "modification time differs");
    }
  }
  ::closedir(dir);
  if (dstFd >= 0) ::close(dstFd);
}

// Walks `source` against `target` and prints the counts; the exit status.
int Floor(const std::string& source, const std::string& target) {
  int srcFd = ::open(source.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (srcFd < 0) {
    std::fprintf(stderr, "floor: %s: %s\n", source.c_str(), std::strerror(errno));
    return 2;
  }
  int dstFd = ::open(target.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  Walk(srcFd, dstFd, target);
  // One line in one call: with --both-ways the other thread prints too.
  char line[256];
  int length =
      std::snprintf(line, sizeof line, "files=%llu folders=%llu bytes=%llu missing=%llu older=%llu",
                    static_cast<unsigned long long>(counts.files),
                    static_cast<unsigned long long>(counts.folders),
                    static_cast<unsigned long long>(counts.bytes),
                    static_cast<unsigned long long>(counts.missing),
                    static_cast<unsigned long long>(counts.older));
  if (verify) {
    length += std::snprintf(line + length, sizeof line - length, " mismatched=%llu",
                            static_cast<unsigned long long>(counts.mismatched));
  }
  std::printf("%s\n", line);
  return verify && counts.mismatched > 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  bool bothWays = false;
  if (argc > 1 && std::strcmp(argv[1], "--verify") == 0) {
    verify = true;
    first = 2;
  } else if (argc > 1 && std::strcmp(argv[1], "--both-ways") == 0) {
    bothWays = true;
    first = 2;
  }
  if (argc - first != 2) {
    std::fputs("usage: floor [--verify | --both-ways] SRC DST\n", stderr);
    return 2;
  }
  const std::string source = argv[first], target = argv[first + 1];
  if (!bothWays) return Floor(source, target);
  int status[2] = {0, 0};
  std::thread other([&] { status[1] = Floor(target, source); });
  status[0] = Floor(source, target);
  other.join();
  return std::max(status[0], status[1]);
}
