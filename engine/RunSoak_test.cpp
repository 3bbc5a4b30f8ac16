// Soak test of the backup run: 200 runs, a day apart, over a source tree that
// changes between runs and, at every third run, also in the middle of it (after
// the listing, before the first copy). After each run the destination must
// hold exactly what the copy rules say and the run must report exactly the
// files that could not be copied. Seeded, so every failure repeats.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/BackupRun.h"
#include "engine/IniFile.h"
#include "testing/FaultInjection.h"
#include "testing/RunSupport.h"

namespace quillfen {
namespace {

namespace fs = std::filesystem;
using testing::FakeClock;
using testing::FilesOnly;
using testing::RecordingRunView;
using testing::Snapshot;
using testing::TestTree;
using testing::TreeSnapshot;

// A regular file as the rules see it: content and last-write second.
struct FileState {
  std::string content;
  int64_t mtime = 0;
  bool operator==(const FileState&) const = default;
};
// Shown in failures as its size, last-write second and first bytes.
void PrintTo(const FileState& f, std::ostream* os) {
  *os << f.content.size() << " bytes at " << f.mtime << " \"" << f.content.substr(0, 24) << "\"";
}
using FileMap = std::map<std::string, FileState>;

FileMap RegularFiles(const std::string& root) {
  FileMap out;
  for (const auto& [rel, content] : FilesOnly(Snapshot(root))) {
    struct stat st;
    if (lstat((root + rel).c_str(), &st) == 0) out[rel] = {content, st.st_mtim.tv_sec};
  }
  return out;
}

bool EndsWithIgnoringCase(const std::string& s, const std::string& suffix) {
  if (s.size() < suffix.size()) return false;
  for (size_t i = 0; i < suffix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(s[s.size() - suffix.size() + i])) != suffix[i])
      return false;
  return true;
}

// The extension rules of the soak: .tmp excluded, .keep kept as first copied.
std::string ExtensionClass(const std::string& rel) {
  const std::string name = rel.substr(rel.rfind('/') + 1);
  if (EndsWithIgnoringCase(name, ".tmp")) return "excluded";
  if (EndsWithIgnoringCase(name, ".keep")) return "keep";
  return "ordinary";
}

// What the destination must hold: regular files and the folders the run has
// made on the way.
struct Expected {
  FileMap files;
  std::set<std::string> folders;
};

// Applies one run to the model: `listed` is the source as listed, `now` the
// source as it is when the copies are made. Returns the number of files whose
// copy must fail and counts in `copies` those that must be copied.
size_t ApplyRun(Expected& dest, const FileMap& listed, const FileMap& now, long long& copies) {
  size_t failures = 0;
  copies = 0;
  for (const auto& [rel, unused] : listed) {
    const std::string cls = ExtensionClass(rel);
    if (cls == "excluded") continue;
    // The target's folders are made on every test; a file in their place blocks.
    bool blocked = false;
    for (size_t slash = rel.find('/', 1); slash != std::string::npos;
         slash = rel.find('/', slash + 1)) {
      const std::string folder = rel.substr(0, slash);
      if (dest.files.count(folder)) {
        blocked = true;
        break;
      }
      dest.folders.insert(folder);
    }
    auto src = now.find(rel);
    const int64_t srcAge = src == now.end() ? -1 : src->second.mtime;
    auto dst = dest.files.find(rel);
    const int64_t dstAge = dst == dest.files.end() ? -1 : dst->second.mtime;
    const bool copy = cls == "keep" ? (dstAge == -1 || (srcAge != -1 && srcAge < dstAge))
                                    : (srcAge != -1 && srcAge > dstAge);
    if (!copy) continue;
    if (blocked || dest.folders.count(rel) || src == now.end()) {
      ++failures;
      continue;
    }
    dest.files[rel] = src->second;
    ++copies;
  }
  return failures;
}

class Soak {
 public:
  Soak(std::string src, unsigned seed) : src_(std::move(src)), random_(seed) {}

  // One random change of the source tree.
  void Mutate() {
    const FileMap files = RegularFiles(src_);
    std::vector<std::string> paths;
    for (const auto& [rel, state] : files)
      if (rel != "/trigger.bin") paths.push_back(rel);
    const int op = paths.empty() ? 0 : Pick(9);
    const std::string victim = paths.empty() ? "" : paths[Pick(paths.size())];
    switch (op) {
      case 0:
      case 1:
      case 2:
        Write(NewPath(), NextTime());
        break;
      case 3:
      case 4:
        Write(victim, NextTime());  // changed: newer
        break;
      case 5:
        Write(victim, 1500000000 + 2 * Pick(1000));  // changed to an older version
        break;
      case 6:
        fs::remove(src_ + victim);
        break;
      case 7: {
        // A whole folder goes, or a file becomes a folder.
        const std::string folder = victim.substr(0, victim.rfind('/'));
        if (!folder.empty() && Pick(2) == 0) {
          fs::remove_all(src_ + folder);
        } else {
          fs::remove(src_ + victim);
          Write(victim + "/inside.txt", NextTime());
        }
        break;
      }
      case 8:
        fs::remove(src_ + victim);
        mkfifo((src_ + victim).c_str(), 0644);
        break;
    }
  }

  void TouchTrigger() { Write("/trigger.bin", NextTime()); }
  int Pick(size_t n) { return static_cast<int>(random_() % n); }

 private:
  std::string NewPath() {
    static const char* const kFolders[] = {"", "/a", "/a/b", "/c", "/c/d e", "/\"q,\"", "/n\nl"};
    static const char* const kExt[] = {".txt", ".keep", ".tmp", ".TMP", ".Keep", "", ".bin"};
    std::string folder = kFolders[1 + Pick(std::size(kFolders) - 1)];
    return folder + "/f" + std::to_string(serial_++) + kExt[Pick(std::size(kExt))];
  }
  int64_t NextTime() { return clock_ += 10; }
  void Write(const std::string& rel, int64_t mtime) {
    const std::string path = src_ + rel;
    std::error_code ec;
    fs::create_directories(fs::path(path).parent_path(), ec);
    if (ec) return;  // a file is where a folder would go: nothing written
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return;
    std::ofstream(path, std::ios::binary | std::ios::trunc) << "v" << mtime << " " << rel;
    TestTree::SetMtime(path, mtime);
  }

  std::string src_;
  std::mt19937 random_;
  int64_t clock_ = 1700000000;
  int serial_ = 0;
};

// One random change a user or an intruder makes in the destination: a copy
// deleted, a copy edited (made newer), a copy replaced by a link to a newer
// file outside, or a link to an outside folder planted where the source will
// need a folder. The model follows: links are no copies.
void DamageDestination(const std::string& dst, const std::string& outside, Expected& expected,
                       Soak& soak) {
  std::vector<std::string> copies;
  for (const auto& [rel, state] : expected.files) copies.push_back(rel);
  const int op = soak.Pick(4);
  if (op < 3 && copies.empty()) return;
  const std::string rel = op < 3 ? copies[soak.Pick(copies.size())] : "";
  switch (op) {
    case 0:
      fs::remove(dst + rel);
      expected.files.erase(rel);
      break;
    case 1: {
      std::ofstream(dst + rel, std::ios::binary | std::ios::trunc) << "edited in the backup";
      TestTree::SetMtime(dst + rel, 1800000000);
      expected.files[rel] = {"edited in the backup", 1800000000};
      break;
    }
    case 2:
      fs::remove(dst + rel);
      symlink((outside + "/newer.txt").c_str(), (dst + rel).c_str());
      expected.files.erase(rel);
      break;
    case 3: {
      static const char* const kFolders[] = {"/a", "/a/b", "/c", "/c/d e", "/\"q,\"", "/n\nl"};
      const std::string folder = kFolders[soak.Pick(std::size(kFolders))];
      struct stat st;
      const std::string parent = dst + folder.substr(0, folder.rfind('/'));
      if (lstat((dst + folder).c_str(), &st) != 0 && stat(parent.c_str(), &st) == 0 &&
          S_ISDIR(st.st_mode))
        symlink((outside + "/dir").c_str(), (dst + folder).c_str());
      break;
    }
  }
}

TEST(RunSoak, TwoHundredRunsOverAChangingTreeKeepTheDestinationAsTheRulesSay) {
  // On a RAM disk the sync after each set costs nothing.
  testing::SmallDisk disk(256 << 20);
  TestTree fallback;
  const std::string root = disk.ok() ? disk.root() : fallback.root();
  const std::string src = root + "/src";
  const std::string dst = root + "/dst";
  fs::create_directories(src);
  // What links planted in the destination point at; must never change.
  const std::string outside = root + "/outside";
  fs::create_directories(outside + "/dir");
  std::ofstream(outside + "/newer.txt") << "outside";
  TestTree::SetMtime(outside + "/newer.txt", 1900000000);
  const TreeSnapshot outsideBefore = Snapshot(outside);
  Soak soak(src, 2026);
  for (int i = 0; i < 20; ++i) soak.Mutate();

  FakeClock clock;
  RecordingRunView view;
  Expected expected;
  const BackupSet set{"Soak", src, dst};
  int gated = 0;
  size_t failuresSeen = 0;
  long long copiesSeen = 0;
  for (int run = 0; run < 200; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    for (int i = soak.Pick(4); i >= 0; --i) soak.Mutate();
    if (run % 4 == 1) DamageDestination(dst, outside, expected, soak);
    const bool gate = run % 3 == 2;
    if (gate) soak.TouchTrigger();  // the only file of the root, so copied first
    const FileMap listed = RegularFiles(src);

    std::unique_ptr<testing::OpenGate> opened;
    if (gate) {
      opened = std::make_unique<testing::OpenGate>(src + "/trigger.bin", [&] {
        for (int i = soak.Pick(3); i >= 0; --i) soak.Mutate();
      });
      if (!opened->ok()) opened.reset();
    }
    clock.NextDay();
    IniFile settings(root + "/Quillfen.ini");
    // The changes at the first copy's opening must land before the other
    // files are looked at, which copies in flight on other threads do not
    // wait for: those runs copy on the run's own thread.
    std::optional<testing::ScopedEnv> oneThread;
    if (opened) oneThread.emplace("QUILLFEN_COPIES", "0");
    const BackupRunResult result = RunBackup({set}, {".keep"}, {".tmp"}, clock, settings, view);
    oneThread.reset();
    if (opened) gated += opened->fired() ? 1 : 0;
    opened.reset();

    long long copies = 0;
    const size_t failures = ApplyRun(expected, listed, RegularFiles(src), copies);
    failuresSeen += failures;
    copiesSeen += result.filesCopied;
    ASSERT_EQ(result.failures.size(), failures) << ::testing::PrintToString(result.failures);
    ASSERT_EQ(RegularFiles(dst), expected.files);
    ASSERT_EQ(result.filesCopied, copies);
    ASSERT_EQ(result.setsBackedUp, 1);
    ASSERT_EQ(Snapshot(outside), outsideBefore) << "written outside the destination";
  }
  EXPECT_GT(expected.files.size(), 50u);
  // The changes made in the middle of runs (which need root to be timed)
  // bring copies of their own.
  if (gated > 0) {
    EXPECT_EQ(gated, 66) << "the faults in the middle of runs did not all happen";
    EXPECT_GT(copiesSeen, 200);
  } else {
    EXPECT_GT(copiesSeen, 120);
  }
  EXPECT_GT(failuresSeen, 5u) << "the soak met too few failing copies to test their reporting";
}

}  // namespace
}  // namespace quillfen
