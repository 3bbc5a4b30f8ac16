// Test helper: a real temporary folder tree, removed with everything in it
// when the object goes away. Used by the engine's tests only.
#pragma once

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

namespace quillfen::testing {

class TestTree {
 public:
  // Creates an empty folder under the system's temporary folder.
  TestTree() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "quillfen-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
  }
  ~TestTree() {
    std::error_code ignored;
    // Make every folder writable again so that removal cannot stop half way.
    for (auto it = std::filesystem::recursive_directory_iterator(root_, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
      if (it->is_directory(ignored) && !it->is_symlink(ignored)) chmod(it->path().c_str(), 0700);
    }
    std::filesystem::remove_all(root_, ignored);
  }
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
  std::string root_;
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
