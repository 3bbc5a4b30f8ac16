// Test helpers of the comparison window's tests: real temporary trees,
// a fake main window, a fixed clock and a recorder of what the copy shows.
#pragma once

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "compare/MainWindowLink.h"
#include "compare/SelectiveCopy.h"
#include "engine/DateTime.h"

namespace compare_test {

// A temporary folder, removed with everything in it at the end.
class TempDir {
 public:
  TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "quillfen-compare-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::permissions(root_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(root_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& root() const { return root_; }
  std::string Path(std::string_view rel) const { return root_ + "/" + std::string(rel); }

 private:
  std::string root_;
};

// Writes `content` at `path` (parents created) with last-write time `mtime`
// (seconds since the epoch); returns the path.
inline std::string WriteFile(const std::string& path, std::string_view content,
                             long mtime = 1600000000) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
  }
  const timeval times[2] = {{mtime, 0}, {mtime, 0}};
  if (utimes(path.c_str(), times) != 0) throw std::runtime_error("utimes failed on " + path);
  return path;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "<missing>";
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline bool Exists(const std::string& path) {
  return std::filesystem::exists(path);
}

// The main window as the comparison window sees it.
class FakeMainWindow : public MainWindowLink {
 public:
  std::string setName = "Set1";
  std::string source, destination, settingsPath;
  std::vector<std::string> keepOriginal, excluded;

  std::string SelectedSetName() const override { return setName; }
  std::string SelectedSourceFolder() const override { return source; }
  std::string SelectedDestinationFolder() const override { return destination; }
  std::vector<std::string> TickedKeepOriginal() const override { return keepOriginal; }
  std::vector<std::string> TickedExcluded() const override { return excluded; }
  std::string SettingsPath() const override { return settingsPath; }
};

class FixedClock : public quillfen::Clock {
 public:
  quillfen::DateTime now = quillfen::EncodeDateTime(2026, 12, 7, 9, 5, 7);
  quillfen::DateTime Now() const override { return now; }
};

// Everything the copy shows, in order, each prefixed with its kind.
class RecordingFeedback : public quillfen::CopyFeedback {
 public:
  std::vector<std::string> events;
  std::vector<std::string> Statuses() const { return Of("status: "); }
  std::vector<std::string> Messages() const { return Of("message: "); }

  void ShowStatus(std::string_view text) override { events.push_back("status: " + S(text)); }
  void ShowMessage(std::string_view text) override { events.push_back("message: " + S(text)); }
  void ShowError(std::string_view text) override { events.push_back("error: " + S(text)); }
  void StartStatusTimer() override { events.push_back("timer"); }

 private:
  static std::string S(std::string_view t) { return std::string(t); }
  std::vector<std::string> Of(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const std::string& e : events)
      if (e.rfind(prefix, 0) == 0) out.push_back(e.substr(prefix.size()));
    return out;
  }
};

}  // namespace compare_test
