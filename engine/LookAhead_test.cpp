#include "engine/LookAhead.h"
#include "engine/DiskReads.h"
#include "engine/WorkerThreads.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/CopyPlaces.h"
#include "engine/FiCheck.h"
#include "engine/FileAccess.h"
#include "testing/FaultInjection.h"
#include "testing/TestTree.h"
#include "testing/Threads.h"

namespace quillfen {
namespace {

using testing::ScopedTimeZone;
using testing::TestTree;

// ".skip" files are excluded, ".keep" files take the keep-original test, all
// others the newer test.
bool Excluded(std::string_view name) {
  return FileExtension(name) == ".skip";
}

bool Newer(std::string_view name) {
  return FileExtension(name) != ".keep";
}

// Everything a tree holds, links not followed: path -> type, size and
// modification time.
std::map<std::string, std::string> StateOf(const std::string& root) {
  std::map<std::string, std::string> state;
  std::vector<std::string> pending = {""};
  while (!pending.empty()) {
    const std::string relative = pending.back();
    pending.pop_back();
    struct stat st;
    if (lstat((root + relative).c_str(), &st) != 0) continue;
    state[relative] = std::to_string(st.st_mode) + " " + std::to_string(st.st_size) + " " +
                      std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
    if (!S_ISDIR(st.st_mode)) continue;
    for (const std::string& name : testing::NamesIn(root + relative)) {
      pending.push_back(relative + "/" + name);
    }
  }
  return state;
}

// What stands at one side's place of a file.
struct Side {
  enum Kind { kMissing, kFile, kLinkToFile, kFolder, kDanglingLink, kFifo } kind;
  int64_t mtime = 0;
};

// Every folder's verdicts from a look-ahead with `workers` threads over
// `from` and its copies in `to`, each folder waited for.
std::vector<LookAhead::Verdicts> AllVerdicts(const TreeListing& listing, const std::string& from,
                                             const std::string& to, int workers) {
  LookAhead ahead(listing, from, to, Excluded, workers);
  std::vector<LookAhead::Verdicts> verdicts;
  for (size_t i = 0; i < listing.folders.size(); ++i) verdicts.push_back(ahead.Take(i, true));
  return verdicts;
}

class LookAheadTest : public ::testing::Test {
 protected:
  // Berlin time: its autumn change puts two moments an hour apart in UTC
  // into the opposite order of local clock readings.
  ScopedTimeZone zone_{"Europe/Berlin"};

  void Place(const std::string& path, const Side& side) {
    switch (side.kind) {
      case Side::kMissing:
        return;
      case Side::kFile:
        TestTree::SetMtime(testing::WriteFile(path, "x"), side.mtime);
        return;
      case Side::kLinkToFile: {
        const std::string aim = tree.File("aims/" + std::to_string(aims_++));
        TestTree::SetMtime(aim, side.mtime);
        ASSERT_EQ(symlink(aim.c_str(), path.c_str()), 0);
        return;
      }
      case Side::kFolder:
        ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
        return;
      case Side::kDanglingLink:
        ASSERT_EQ(symlink("/nonexistent/nothing", path.c_str()), 0);
        return;
      case Side::kFifo:
        ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
        return;
    }
  }

  // Places every pair of sides in the folder `relative` of both trees,
  // each pair under both tests; returns the names.
  std::vector<std::string> PlacePairs(const std::string& relative) {
    const int64_t even = 1700000000;    // first second of a 2-second slot
    const int64_t autumn = 1729990800;  // 2024-10-27 01:00 UTC, clocks go back
    const std::vector<Side> sides = {
        {Side::kMissing},
        {Side::kFile, even},
        {Side::kFile, even + 1},      // the same 2-second age as `even`
        {Side::kFile, even + 2},      // the next age
        {Side::kFile, even - 1},      // the age before
        {Side::kFile, autumn - 600},  // 02:50 local summer time
        {Side::kFile, autumn + 600},  // 02:10 local winter time: later, yet a smaller age
        {Side::kLinkToFile, even},
        {Side::kFolder},
        {Side::kDanglingLink},
        {Side::kFifo},
    };
    tree.Dir("src" + relative);
    tree.Dir("dst" + relative);
    std::vector<std::string> names;
    for (size_t s = 0; s < sides.size(); ++s) {
      if (sides[s].kind == Side::kMissing || sides[s].kind == Side::kFolder) continue;
      for (size_t t = 0; t < sides.size(); ++t) {
        for (const char* extension : {".txt", ".keep", ".skip"}) {
          const std::string name = "f" + std::to_string(s) + "_" + std::to_string(t) + extension;
          Place(tree.Path("src" + relative + "/" + name), sides[s]);
          Place(tree.Path("dst" + relative + "/" + name), sides[t]);
          names.push_back(name);
        }
      }
    }
    return names;
  }

  std::vector<LookAhead::Verdicts> VerdictsOf(const TreeListing& listing, int workers) {
    return AllVerdicts(listing, tree.Path("src"), tree.Path("dst"), workers);
  }

  TestTree tree{TestTree::MemoryBase()};
  int aims_ = 0;
};

// Whether the run may pass over the file: both are regular files (the source
// through a link), the copy is no link, and the test says no copy.
bool ExpectedUpToDate(const std::string& source, const std::string& target, bool newer) {
  struct stat s;
  struct stat t;
  if (stat(source.c_str(), &s) != 0 || !S_ISREG(s.st_mode)) return false;
  if (lstat(target.c_str(), &t) != 0 || !S_ISREG(t.st_mode)) return false;
  return !NeedsCopy(source, target, newer);
}

TEST_F(LookAheadTest, VerdictsAgreeWithCheckAndTouchNothing) {
  const std::vector<std::string> names = PlacePairs("");
  PlacePairs("/sub");
  PlacePairs("/sub/deeper");
  // Folders whose copies the look-ahead cannot vouch for.
  PlacePairs("/linked");  // a link stands in place of the copy-to folder
  ASSERT_EQ(rename(tree.Path("dst/linked").c_str(), tree.Path("elsewhere").c_str()), 0);
  ASSERT_EQ(symlink(tree.Path("elsewhere").c_str(), tree.Path("dst/linked").c_str()), 0);
  PlacePairs("/absent");  // no copy-to folder
  ASSERT_EQ(rename(tree.Path("dst/absent").c_str(), tree.Path("gone").c_str()), 0);
  PlacePairs("/leftover");  // a temporary file of the program is left in the copy
  tree.File("dst/leftover/.quillfen-0123456789abcdef");
  tree.File("dst/leftover/.quillfen-0123456789", "old form");
  PlacePairs("/onlysearch");  // the copy-to folder can be searched, not read
  ASSERT_EQ(chmod(tree.Path("dst/onlysearch").c_str(), 0311), 0);

  const TreeListing listing = ListTree(tree.Path("src"));
  ASSERT_EQ(listing.folders.size(), 7u);
  const auto before = StateOf(tree.root());
  const std::vector<LookAhead::Verdicts> verdicts = VerdictsOf(listing, 2);
  EXPECT_EQ(StateOf(tree.root()), before) << "the look-ahead changed something";

  // Each copy-to file that is a regular file is seen with its time.
  int seen = 0;
  int look = 0;
  for (size_t f = 0; f < listing.folders.size(); ++f) {
    const TreeListing::Folder& folder = listing.folders[f];
    // A folder that can be searched but not read does not tell whether it
    // folds names (its flags cannot be asked), so only root, who reads it,
    // has it looked at ahead.
    const bool vouched = folder.relative == "" || folder.relative == "/sub" ||
                         folder.relative == "/sub/deeper" ||
                         (folder.relative == "/onlysearch" && geteuid() == 0);
    if (!vouched) {
      EXPECT_TRUE(verdicts[f].empty()) << folder.relative;
      continue;
    }
    ASSERT_FALSE(verdicts[f].empty()) << folder.relative;
    size_t i = 0;
    TreeListing::ForEachName(folder, [&](std::string_view name) {
      const int64_t verdict = verdicts[f][i++];
      const std::string target = tree.Path("dst" + folder.relative + "/" + std::string(name));
      struct stat st;
      const bool file = lstat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode);
      EXPECT_EQ(verdict, file && !Excluded(name) ? st.st_mtim.tv_sec : LookAhead::kLook) << target;
      (verdict != LookAhead::kLook ? seen : look)++;
    });
    EXPECT_EQ(i, verdicts[f].size());
  }
  // Both verdicts occur often enough for the comparison to mean something.
  EXPECT_GT(seen, 50);
  EXPECT_GT(look, 50);

  // The run's quick decision is CopyPlaces::Check's wherever it passes a file
  // over, and passes over every file both sides of which are regular files
  // needing no copy.
  UpToDateCheck quick(tree.Path("src"));
  CopyPlaces places(tree.Path("src"), tree.Path("dst"), CopyPlaces::Links::kReplace);
  int passed = 0;
  for (size_t f = 0; f < listing.folders.size(); ++f) {
    if (verdicts[f].empty()) continue;
    const std::string& folder = listing.folders[f].relative;
    places.Enter(folder);
    size_t i = 0;
    TreeListing::ForEachName(listing.folders[f], [&](std::string_view name) {
      const int64_t verdict = verdicts[f][i++];
      if (verdict == LookAhead::kLook) return;
      const std::string text(name);
      const bool upToDate = quick.UpToDate(folder, text.c_str(), Newer(name), verdict);
      EXPECT_EQ(upToDate, ExpectedUpToDate(tree.Path("src" + folder + "/" + text),
                                           tree.Path("dst" + folder + "/" + text), Newer(name)))
          << folder << "/" << name;
      if (!upToDate) return;
      ++passed;
      const CopyPlaces::Decision decision =
          places.Check(text.c_str(), Newer(name), CopyPlaces::MakeFolders::kAlways);
      EXPECT_TRUE(decision.failure.ok()) << decision.failure.message();
      EXPECT_FALSE(decision.copy) << folder << "/" << name;
    });
  }
  EXPECT_GT(passed, 50);
  chmod(tree.Path("dst/onlysearch").c_str(), 0755);
}

TEST_F(LookAheadTest, ACopyFolderThatCannotBeSearchedIsLeftToTheRun) {
  if (geteuid() == 0) GTEST_SKIP() << "root searches every folder";
  PlacePairs("/closed");
  ASSERT_EQ(chmod(tree.Path("dst/closed").c_str(), 0600), 0);
  const TreeListing listing = ListTree(tree.Path("src"));
  const std::vector<LookAhead::Verdicts> verdicts = VerdictsOf(listing, 1);
  chmod(tree.Path("dst/closed").c_str(), 0755);
  ASSERT_EQ(verdicts.size(), 2u);
  EXPECT_TRUE(verdicts[1].empty());
}

// More folders than the window holds, taken in order, taken with gaps, and
// left early: every verdict is that folder's own, and nothing hangs.
TEST_F(LookAheadTest, TheWindowMovesWithTheRun) {
  const size_t count = LookAhead::kAheadFolders + 300;
  for (size_t i = 0; i < count; ++i) {
    const std::string folder = "/d" + std::to_string(i);
    // A copy in even folders, none in odd ones.
    testing::WriteFile(tree.Path("src" + folder + "/a.txt"), "a", 1600000000);
    if (i % 2 == 0) testing::WriteFile(tree.Path("dst" + folder + "/a.txt"), "a", 1600000000 + i);
  }
  const TreeListing listing = ListTree(tree.Path("src"));
  ASSERT_EQ(listing.folders.size(), count + 1);
  auto expected = [&](size_t index) {
    const std::string& relative = listing.folders[index].relative;
    if (relative.empty()) return LookAhead::Verdicts{};
    const int64_t number = std::stol(relative.substr(2));
    return number % 2 == 1 ? LookAhead::Verdicts{} : LookAhead::Verdicts{1600000000 + number};
  };
  for (int workers : {1, 4}) {
    const std::vector<LookAhead::Verdicts> verdicts = VerdictsOf(listing, workers);
    for (size_t i = 0; i < verdicts.size(); ++i) {
      EXPECT_EQ(verdicts[i], expected(i)) << workers << " workers, " << listing.folders[i].relative;
    }
  }
  for (bool wait : {true, false}) {
    // With gaps; without waiting, a folder no worker has reached is left to
    // the run.
    LookAhead ahead(listing, tree.Path("src"), tree.Path("dst"), Excluded, 2);
    int given = 0;
    for (size_t i = 0; i < listing.folders.size(); i += 7) {
      const LookAhead::Verdicts verdicts = ahead.Take(i, wait);
      if (!wait && verdicts.empty()) continue;
      EXPECT_EQ(verdicts, expected(i)) << listing.folders[i].relative;
      given += verdicts.empty() ? 0 : 1;
    }
    if (wait) {
      EXPECT_GT(given, 50);
    }
  }
  {
    LookAhead ahead(listing, tree.Path("src"), tree.Path("dst"), Excluded, 2);
    ahead.Take(3);
  }  // left with the workers ahead
  LookAhead off(listing, tree.Path("src"), tree.Path("dst"), Excluded, 0);
  for (size_t i = 0; i < listing.folders.size(); ++i) EXPECT_TRUE(off.Take(i).empty());
}

// The run looks at the copy-from file when it gets there: changes made to it
// after the look-ahead saw the copy are not missed.
TEST_F(LookAheadTest, ChangesToTheSourceAfterTheLookAreSeen) {
  for (const char* name : {"same.txt", "changed.txt", "replaced.txt", "gone.txt"}) {
    testing::WriteFile(tree.Path(std::string("src/a/") + name), "s", 1600000000);
    testing::WriteFile(tree.Path(std::string("dst/a/") + name), "s", 1600000000);
  }
  const TreeListing listing = ListTree(tree.Path("src"));
  const std::vector<LookAhead::Verdicts> verdicts = VerdictsOf(listing, 2);
  ASSERT_EQ(listing.folders.size(), 2u);
  ASSERT_EQ(verdicts[1], LookAhead::Verdicts(4, 1600000000));

  TestTree::SetMtime(tree.Path("src/a/changed.txt"), 1600000100);
  ASSERT_EQ(unlink(tree.Path("src/a/replaced.txt").c_str()), 0);
  ASSERT_EQ(mkdir(tree.Path("src/a/replaced.txt").c_str(), 0755), 0);
  ASSERT_EQ(unlink(tree.Path("src/a/gone.txt").c_str()), 0);
  UpToDateCheck quick(tree.Path("src"));
  EXPECT_TRUE(quick.UpToDate("/a", "same.txt", true, 1600000000));
  EXPECT_FALSE(quick.UpToDate("/a", "changed.txt", true, 1600000000));
  EXPECT_TRUE(quick.UpToDate("/a", "changed.txt", false, 1600000000));  // keep-original
  EXPECT_FALSE(quick.UpToDate("/a", "replaced.txt", true, 1600000000));
  EXPECT_FALSE(quick.UpToDate("/a", "gone.txt", true, 1600000000));
  // A source folder replaced by a link is not entered.
  ASSERT_EQ(rename(tree.Path("src/a").c_str(), tree.Path("moved").c_str()), 0);
  ASSERT_EQ(symlink(tree.Path("moved").c_str(), tree.Path("src/a").c_str()), 0);
  UpToDateCheck later(tree.Path("src"));
  EXPECT_FALSE(later.UpToDate("/a", "same.txt", true, 1600000000));
}

// A tree of 600 folders in `tree`, each with two files and their copies, up
// to date.
void MakeUpToDateTree(TestTree& tree) {
  for (int i = 0; i < 600; ++i) {
    const std::string folder = "/d" + std::to_string(i % 20) + "/e" + std::to_string(i);
    for (const char* name : {"/f.txt", "/g"}) {
      tree.File("src" + folder + name, "x");
      tree.File("dst" + folder + name, "x");
      TestTree::SetMtime(tree.Path("src" + folder + name), 1700000000);
      TestTree::SetMtime(tree.Path("dst" + folder + name), 1700000000);
    }
  }
}

// Workers added once a worker sees the tree come from the disk join the
// others while the run takes verdicts (the run reads the workers while they
// grow: ThreadSanitizer watches this test); the verdicts stay the same.
TEST(LookAheadFromDisk, WorkersAddedDuringTheRunGiveTheSameVerdicts) {
  unsetenv("QUILLFEN_LOOKAHEAD");
  TestTree tree(TestTree::MemoryBase());
  MakeUpToDateTree(tree);
  const TreeListing listing = ListTree(tree.Path("src"));
  auto verdictsOf = [&] { return AllVerdicts(listing, tree.Path("src"), tree.Path("dst"), 2); };
  WorkerThreads::ResetMostLive();
  const std::vector<LookAhead::Verdicts> warm = verdictsOf();
  ASSERT_EQ(warm.back(), LookAhead::Verdicts(2, 1700000000));
  // From the cache: two workers, never more.
  EXPECT_LE(WorkerThreads::MostLive(), 2);

  DiskReadWatch::AssumeFromDisk(true);
  WorkerThreads::ResetMostLive();
  const std::vector<LookAhead::Verdicts> cold = verdictsOf();
  EXPECT_EQ(WorkerThreads::MostLive(), kDiskThreads);
  EXPECT_EQ(cold, warm);
  // A run that does not wait for the workers takes folders as fast as it
  // can while they grow: what it gets is the verdict or nothing (the folder
  // left to it), never another.
  for (int round = 0; round < 20; ++round) {
    LookAhead ahead(listing, tree.Path("src"), tree.Path("dst"), Excluded, 2);
    for (size_t i = 0; i < listing.folders.size(); ++i) {
      const LookAhead::Verdicts verdicts = ahead.Take(i);
      if (!verdicts.empty()) {
        ASSERT_EQ(verdicts, warm[i]) << "folder " << i;
      }
    }
  }
  DiskReadWatch::AssumeFromDisk(false);
}

// The same on a real cold cache: the disk reads are what tell.
TEST(LookAheadFromDisk, MoreWorkersLookAtATreeFromTheDisk) {
  if (geteuid() != 0) GTEST_SKIP() << "dropping the caches needs root";
  const testing::CacheDropLock caches;
  unsetenv("QUILLFEN_LOOKAHEAD");
  TestTree tree("/var/tmp");  // on the disk, not in memory
  MakeUpToDateTree(tree);
  const TreeListing listing = ListTree(tree.Path("src"));
  auto verdictsOf = [&] { return AllVerdicts(listing, tree.Path("src"), tree.Path("dst"), 2); };
  const std::vector<LookAhead::Verdicts> warm = verdictsOf();
  ASSERT_EQ(warm.back(), LookAhead::Verdicts(2, 1700000000));
  if (!testing::DropCaches()) GTEST_SKIP() << "the caches cannot be dropped here";

  WorkerThreads::ResetMostLive();
  std::vector<LookAhead::Verdicts> cold = verdictsOf();
  EXPECT_GT(WorkerThreads::MostLive(), 2);
  EXPECT_EQ(cold, warm);
  WorkerThreads::ResetMostLive();
  cold = verdictsOf();
  EXPECT_LE(WorkerThreads::MostLive(), 2);
  EXPECT_EQ(cold, warm);
}

// The nice value of each worker thread of the process.
std::vector<int> NiceOfWorkers() {
  std::vector<int> nice;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream in(task.path() / "stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Only the pools' workers: the process may run other threads (a
    // sanitizer's). The name stands in parentheses as field 2.
    const size_t open = stat.find('(');
    const size_t close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos ||
        stat.substr(open + 1, close - open - 1) != WorkerThreads::kThreadName) {
      continue;
    }
    // Field 19, counted after the name.
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    for (int i = 3; i <= 19 && fields >> field; ++i) {
    }
    nice.push_back(std::stoi(field));
  }
  return nice;
}

// The run's own thread goes first where the workers compete with it for a
// core: they run at a lower priority, and never at a higher one than the
// thread that made them.
TEST_F(LookAheadTest, WorkersRunBelowTheRunsThread) {
  // More folders than are looked at ahead: the workers wait for the run.
  for (size_t i = 0; i <= LookAhead::kAheadFolders; ++i) {
    tree.File("src/f" + std::to_string(i) + "/a.txt");
  }
  const TreeListing listing = ListTree(tree.Path("src"));
  const pid_t testThread = gettid();
  const int mine = getpriority(PRIO_PROCESS, static_cast<id_t>(testThread));
  for (const int start : {mine, 15}) {
    // On a thread of its own, whose priority, once lowered, is not needed.
    std::thread run([&] {
      ASSERT_EQ(setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), start), 0);
      LookAhead ahead(listing, tree.Path("src"), tree.Path("dst"), Excluded, 2);
      // A worker lowers itself as it begins; one may not have begun yet.
      const std::vector<int> lowered(2, std::min(19, start + LookAhead::kWorkerNice));
      std::vector<int> nice;
      for (int wait = 0; wait < 500 && nice != lowered; ++wait) {
        if (wait > 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        nice = NiceOfWorkers();
      }
      EXPECT_EQ(nice, lowered) << "from " << start;
    });
    run.join();
  }
}

}  // namespace
}  // namespace quillfen
