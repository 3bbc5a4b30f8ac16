// Test helper: a real temporary folder tree, removed with everything in it
// when the object goes away. Used by the engine's tests only.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace quillfen::testing {

class TestTree {
 public:
  // Creates an empty folder under `base`, by default the system's temporary
  // folder.
  explicit TestTree(const std::string& base = std::filesystem::temp_directory_path()) {
    std::string pattern = base + "/quillfen-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
  }

  // A folder in memory (/dev/shm) where there is one, else the temporary
  // folder: for tests that sync the file system many times, which costs
  // nothing there.
  static std::string MemoryBase() {
    return access("/dev/shm", W_OK) == 0 ? "/dev/shm"
                                         : std::filesystem::temp_directory_path().string();
  }
  ~TestTree() { RemoveAll(AT_FDCWD, root_.c_str()); }
  TestTree(const TestTree&) = delete;
  TestTree& operator=(const TestTree&) = delete;

  // The tree's absolute root path (no trailing '/').
  const std::string& root() const { return root_; }

  // root() + '/' + rel.
  std::string Path(std::string_view rel) const { return root_ + "/" + std::string(rel); }

  // Creates the folder at `rel` with all missing parents; returns its full path.
  std::string Dir(std::string_view rel) const {
    std::string path = Path(rel);
    std::filesystem::create_directories(path);
    return path;
  }

  // Writes `content` to the file at `rel` (parents created); returns its full path.
  std::string File(std::string_view rel, std::string_view content = {}) const {
    std::string path = Path(rel);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
    return path;
  }

  // Sets the last-write (and access) time of `path` without following a link.
  static void SetMtime(const std::string& path, int64_t seconds, long nanoseconds = 0) {
    struct timespec times[2] = {{static_cast<time_t>(seconds), nanoseconds},
                                {static_cast<time_t>(seconds), nanoseconds}};
    if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) {
      throw std::runtime_error("utimensat failed on " + path);
    }
  }

  // The whole content of the file at `path`.
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  // Removes `name` in `parentFd` with everything below it, one name at a
  // time (so that depth is no limit), making folders writable on the way.
  static void RemoveAll(int parentFd, const char* name) {
    if (unlinkat(parentFd, name, 0) == 0) return;
    fchmodat(parentFd, name, 0700, 0);
    const int fd = openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return;
    if (DIR* dir = fdopendir(dup(fd))) {
      std::vector<std::string> names;
      while (const dirent* entry = readdir(dir)) {
        const std::string child = entry->d_name;
        if (child != "." && child != "..") names.push_back(child);
      }
      closedir(dir);
      for (const std::string& child : names) RemoveAll(fd, child.c_str());
    }
    close(fd);
    unlinkat(parentFd, name, AT_REMOVEDIR);
  }

  std::string root_;
};

// Content of `size` bytes that a length or offset mistake does not give back
// by chance: each byte depends on `seed` and its place.
inline std::string Pattern(size_t size, char seed) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>(seed + i * 7 + i / 4096);
  return s;
}

// Writes `content` at the full path `path` (parents created) with the
// last-write time `mtime` (seconds since the epoch); returns the path.
inline std::string WriteFile(const std::string& path, std::string_view content,
                             int64_t mtime = 1600000000) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
  }
  TestTree::SetMtime(path, mtime);
  return path;
}

// The content of the file at `path`, or "<missing>" when there is none.
inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "<missing>";
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Whether anything (a link too) stands at `path`.
inline bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// The folder `relative` ("/a/b", any length) below `root`, reached one name
// at a time, as no path longer than the system takes whole can be used, and
// made on the way when `make`; -1 when it cannot be reached.
inline int OpenDeepFolder(const std::string& root, std::string_view relative, bool make) {
  int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (size_t pos = 1; fd >= 0 && pos < relative.size();) {
    size_t slash = relative.find('/', pos);
    if (slash == std::string_view::npos) slash = relative.size();
    const std::string part(relative.substr(pos, slash - pos));
    if (make) mkdirat(fd, part.c_str(), 0755);
    const int next = openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    close(fd);
    fd = next;
    pos = slash + 1;
  }
  return fd;
}

// Writes `content` into the file `name` of the folder `relative` below `root`,
// making the folders on the way.
inline void MakeDeepFile(const std::string& root, std::string_view relative,
                         const std::string& name, std::string_view content) {
  const int folder = OpenDeepFolder(root, relative, true);
  const int file =
      folder < 0 ? -1
                 : openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (folder >= 0) close(folder);
  const bool written = file >= 0 && write(file, content.data(), content.size()) ==
                                        static_cast<ssize_t>(content.size());
  if (file >= 0) close(file);
  if (!written) throw std::runtime_error("cannot write a deep file");
}

// The content of the file `name` in the folder `relative` below `root`;
// "<missing>" when it cannot be reached.
inline std::string ReadDeepFile(const std::string& root, std::string_view relative,
                                const std::string& name) {
  const int folder = OpenDeepFolder(root, relative, false);
  const int file = folder < 0 ? -1 : openat(folder, name.c_str(), O_RDONLY | O_CLOEXEC);
  if (folder >= 0) close(folder);
  if (file < 0) return "<missing>";
  std::string content;
  char buf[4096];
  for (ssize_t n; (n = read(file, buf, sizeof buf)) > 0;)
    content.append(buf, static_cast<size_t>(n));
  close(file);
  return content;
}

// Sets the environment variable `name` to `value` for the life of the
// object, then puts the previous value back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) saved_ = old;
    setenv(name, value, 1);
  }
  ~ScopedEnv() {
    if (saved_) {
      setenv(name_.c_str(), saved_->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> saved_;
};

// Sets TZ for the life of the object, then puts the previous value back.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    if (const char* tz = std::getenv("TZ")) saved_ = tz;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (saved_) {
      setenv("TZ", saved_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

 private:
  std::optional<std::string> saved_;
};

}  // namespace quillfen::testing
