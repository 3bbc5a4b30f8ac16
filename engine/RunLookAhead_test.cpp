// The backup run with and without its look-ahead threads: the same copies, the
// same failure lines in the same order, the same destination.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "engine/BackupRun.h"
#include "engine/WorkerThreads.h"
#include "testing/RunSupport.h"
#include "testing/TestTree.h"

namespace quillfen {
namespace {

using testing::Snapshot;
using testing::TestTree;
using testing::WriteFile;

constexpr int64_t kTime = 1'700'000'000;

// Notes the worker threads alive at the run's first question about
// stopping, before any copy (the pools' own, whatever else the process runs).
class ThreadCountingView : public testing::RecordingRunView {
 public:
  int threadsAtStart = -1;
  bool StopRequested() override {
    if (threadsAtStart < 0) threadsAtStart = WorkerThreads::Live();
    return RecordingRunView::StopRequested();
  }
};

class RunLookAheadTest : public ::testing::Test {
 protected:
  ~RunLookAheadTest() override {
    for (const char* top : {"a", "b", "c"})
      chmod(tree.Path(std::string(top) + "/src/closed").c_str(), 0755);
    unsetenv("QUILLFEN_LOOKAHEAD");
  }

  // Makes under `top` a source and a destination that hold every case the
  // look-ahead meets: up to date, newer on either side, excluded, missing,
  // planted links, a folder or a FIFO at a file's place, a link or nothing at
  // a folder's place, a leftover temporary file, an unreadable folder.
  void MakeCase(const std::string& top) {
    const std::string src = tree.Dir(top + "/src");
    const std::string dst = tree.Dir(top + "/dst");
    auto pair = [&](const std::string& name, int64_t source, int64_t target) {
      WriteFile(src + name, "new " + name, kTime + source);
      if (target >= 0) WriteFile(dst + name, "old " + name, kTime + target);
    };
    pair("/up.txt", 0, 0);
    pair("/newer.txt", 100, 0);
    pair("/same-age.txt", 1, 0);  // the same two-second file age
    pair("/older.txt", 0, 100);
    pair("/keep.xls", 0, 100);      // keep-original, copy newer: copied
    pair("/keepsame.xls", 100, 0);  // keep-original, source newer: kept
    pair("/skip.tmp", 100, 0);      // excluded
    pair("/missing.txt", 0, -1);
    pair("/linked.txt", 0, -1);
    const std::string outside = WriteFile(tree.Path(top + "/outside.txt"), "outside", kTime + 500);
    ASSERT_EQ(symlink(outside.c_str(), (dst + "/linked.txt").c_str()), 0);
    pair("/folder.txt", 0, -1);
    tree.Dir(top + "/dst/folder.txt");
    pair("/fifo.txt", 0, -1);
    ASSERT_EQ(mkfifo((dst + "/fifo.txt").c_str(), 0644), 0);
    pair("/sub/a.txt", 0, 0);
    tree.File(top + "/dst/sub/.quillfen-0123456789", "leftover");
    // The link names a folder with an up-to-date copy: followed, it would
    // hide that the copy is missing.
    pair("/sub2/x.txt", 0, -1);
    WriteFile(tree.Path(top + "/outside-folder/x.txt"), "old /sub2/x.txt", kTime);
    ASSERT_EQ(symlink(tree.Path(top + "/outside-folder").c_str(), (dst + "/sub2").c_str()), 0);
    pair("/sub3/y.txt", 0, -1);
    // More folders than the look-ahead may be ahead by, so that its threads
    // are still there at the run's first question.
    for (int i = 0; i < 1100; ++i) {
      pair("/many/d" + std::to_string(i) + "/f.txt", i % 7 == 0 ? 100 : 0, 0);
    }
    pair("/closed/z.txt", 0, 0);
    ASSERT_EQ(chmod((src + "/closed").c_str(), 0), 0);
  }

  // Runs the set of `top` with the look-ahead set to `workers` threads.
  BackupRunResult RunCase(const std::string& top, const char* workers, ThreadCountingView& view) {
    setenv("QUILLFEN_LOOKAHEAD", workers, 1);
    clock.NextDay();
    IniFile settings(tree.Path(top + "/Quillfen.ini"));
    const BackupSet set{"S", tree.Path(top + "/src"), tree.Path(top + "/dst")};
    return RunBackup({set}, {".xls"}, {".tmp"}, clock, settings, view);
  }

  // The lines with the case's own folder taken out.
  std::vector<std::string> Neutral(std::vector<std::string> lines, const std::string& top) {
    const std::string root = tree.Path(top);
    for (std::string& line : lines) {
      for (size_t at; (at = line.find(root)) != std::string::npos;)
        line.replace(at, root.size(), "<top>");
    }
    return lines;
  }

  TestTree tree{TestTree::MemoryBase()};
  testing::FakeClock clock;
};

TEST_F(RunLookAheadTest, ARunWithTheLookAheadAndCopyThreadsDoesWhatARunWithoutThemDoes) {
  MakeCase("a");
  MakeCase("b");
  MakeCase("c");
  const int threadsBefore = WorkerThreads::Live();
  ThreadCountingView viewOff;
  ThreadCountingView viewTwo;
  ThreadCountingView viewFour;
  // The first run also copies on its own thread; the others on two and on
  // four copy threads.
  std::optional<testing::ScopedEnv> copies;
  copies.emplace("QUILLFEN_COPIES", "0");
  const BackupRunResult off = RunCase("a", "0", viewOff);
  copies.emplace("QUILLFEN_COPIES", "2");
  const BackupRunResult two = RunCase("b", "2", viewTwo);
  copies.emplace("QUILLFEN_COPIES", "4");
  const BackupRunResult four = RunCase("c", "4", viewFour);
  copies.reset();
  // The look-ahead was at work in the second and third runs only.
  EXPECT_EQ(viewOff.threadsAtStart, threadsBefore);
  EXPECT_EQ(viewTwo.threadsAtStart, threadsBefore + 2);
  EXPECT_EQ(viewFour.threadsAtStart, threadsBefore + 4);

  // newer, keep, missing, linked, fifo, sub2, sub3 and 158 of many.
  EXPECT_EQ(off.filesCopied, 165) << testing::Failures(off);
  const bool root = geteuid() == 0;
  // The folder at a file's place; as a user also the closed source folder.
  EXPECT_EQ(off.failures.size(), root ? 1u : 2u) << testing::Failures(off);
  for (const auto* run : {&two, &four}) {
    const std::string top = run == &two ? "b" : "c";
    EXPECT_EQ(run->filesCopied, off.filesCopied);
    EXPECT_EQ(Neutral(run->failures, top), Neutral(off.failures, "a"));
    EXPECT_EQ(Neutral(run->failedSets, top), Neutral(off.failedSets, "a"));
    EXPECT_EQ(run->setsBackedUp, off.setsBackedUp);
    const ThreadCountingView& view = run == &two ? viewTwo : viewFour;
    EXPECT_EQ(view.statuses, viewOff.statuses);
    EXPECT_EQ(Snapshot(tree.Path(top + "/dst")), Snapshot(tree.Path("a/dst")));
    EXPECT_EQ(Snapshot(tree.Path(top + "/outside-folder")),
              Snapshot(tree.Path("a/outside-folder")));
    EXPECT_EQ(TestTree::Read(tree.Path(top + "/outside.txt")), "outside");
  }
  // The leftover went in every run, up to date as its folder was.
  EXPECT_EQ(Snapshot(tree.Path("b/dst")).count("/sub/.quillfen-0123456789"), 0u);
  EXPECT_EQ(Snapshot(tree.Path("a/dst")).count("/sub/.quillfen-0123456789"), 0u);
}

// A second run finds everything up to date with the look-ahead as without.
TEST_F(RunLookAheadTest, AnUpToDateTreeIsPassedOverWhole) {
  MakeCase("a");
  chmod(tree.Path("a/src/closed").c_str(), 0755);
  ThreadCountingView first;
  const BackupRunResult copied = RunCase("a", "0", first);
  ASSERT_EQ(copied.failures.size(), 1u)
      << testing::Failures(copied);  // the folder at a file's place
  ASSERT_EQ(rmdir(tree.Path("a/dst/folder.txt").c_str()), 0);
  ThreadCountingView second;
  const BackupRunResult fixed = RunCase("a", "0", second);
  ASSERT_TRUE(fixed.failures.empty()) << testing::Failures(fixed);
  const testing::TreeSnapshot before = Snapshot(tree.Path("a/dst"));
  for (const char* workers : {"2", "0"}) {
    ThreadCountingView view;
    const BackupRunResult again = RunCase("a", workers, view);
    EXPECT_EQ(again.filesCopied, 0) << workers;
    EXPECT_TRUE(again.failures.empty()) << testing::Failures(again);
    EXPECT_EQ(again.setsBackedUp, 1);
    EXPECT_EQ(Snapshot(tree.Path("a/dst")), before);
  }
}

}  // namespace
}  // namespace quillfen
