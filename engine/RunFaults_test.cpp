// The backup run under faults: a full destination, sources that change between
// the listing and the copy, targets that are folders, read-only files or links.
// The run goes on with the next file, reports exactly what failed, and loses
// nothing.
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/BackupRun.h"
#include "engine/FileCopy.h"
#include "engine/IniFile.h"
#include "testing/FaultInjection.h"
#include "testing/RunSupport.h"
#include "testing/SyncFault.h"
#include "testing/TestTree.h"

namespace quillfen {
namespace {

using testing::FilesOnly;
using ::testing::HasSubstr;
using testing::Snapshot;
using testing::TestTree;
using testing::TreeSnapshot;

class RunFaults : public testing::RunFixture {};

TEST_F(RunFaults, FullDestinationReportsEachFileKeepsOldCopiesAndCompletesOnceSpaceIsFree) {
  testing::SmallDisk disk(1 << 20);
  if (!disk.ok()) GTEST_SKIP() << disk.error();
  const std::string src = tree.Dir("src");
  const std::string dst = disk.root() + "/dst";
  tree.File("src/a.txt", "first version");
  TestTree::SetMtime(tree.Path("src/a.txt"), 1700000000);
  const BackupSet set{"Full", src, dst};
  ASSERT_TRUE(Run({set}).failures.empty());

  tree.File("src/a.txt", testing::Pattern(200 << 10, 'a'));
  for (const char* name : {"b1.bin", "sub/b2.bin", "sub/b3.bin"})
    tree.File(std::string("src/") + name, testing::Pattern(200 << 10, name[1]));
  tree.File("src/z.txt", "small");
  // Only about 400 KB stay free for 800 KB of changes.
  {
    TestTree fillerSource;
    const std::string filler = fillerSource.File("filler", testing::Pattern(600 << 10, 'f'));
    ASSERT_TRUE(CopyFile(filler, disk.root() + "/filler").ok());
  }

  BackupRunResult result = RunNextDay(set);
  ASSERT_FALSE(result.failures.empty()) << "800 KB cannot fit into 400 KB";
  for (const std::string& failure : result.failures) {
    EXPECT_THAT(failure, HasSubstr(ErrnoText(ENOSPC)));
    EXPECT_THAT(failure, HasSubstr(" -> " + dst + "/"));
  }
  // What is there is whole: the new version, or for a.txt the first one.
  const TreeSnapshot source = FilesOnly(Snapshot(src));
  TreeSnapshot copied = FilesOnly(Snapshot(dst));
  size_t missingOrOld = 0;
  for (const auto& [rel, content] : source) {
    auto it = copied.find(rel);
    if (it == copied.end() || it->second != content) ++missingOrOld;
    if (it != copied.end() && it->second != content) {
      EXPECT_EQ(rel, "/a.txt");
      EXPECT_EQ(it->second, "first version");
    }
  }
  EXPECT_EQ(missingOrOld, result.failures.size()) << "every file not copied is reported, once";
  for (const auto& [rel, content] : copied) EXPECT_TRUE(source.count(rel)) << "stray " << rel;
  EXPECT_THAT(view.statuses.back(), HasSubstr("Full"));

  ASSERT_EQ(unlink((disk.root() + "/filler").c_str()), 0);
  result = RunNextDay(set);
  EXPECT_TRUE(result.failures.empty()) << result.failures.front();
  EXPECT_EQ(FilesOnly(Snapshot(dst)), source);
}

// Faults injected at the moment the first file is opened for copying, that
// is after the whole tree was listed: files vanish, change, turn into folders,
// FIFOs or dangling links, a whole folder goes, new files appear.
TEST_F(RunFaults, SourceChangesBetweenListingAndCopyingAreSurvived) {
  const std::string src = tree.Dir("src");
  const std::string dst = tree.Path("dst");
  tree.File("src/sub/old.txt", "backed up before");
  const BackupSet set{"Moving", src, dst};
  ASSERT_TRUE(Run({set}).failures.empty());

  tree.File("src/0first.bin",
            testing::Pattern(4096, '0'));  // the only file of the root: copied first
  for (const char* name : {"vanish.txt", "vanish.keep", "changed.txt", "tofolder.txt",
                           "tofifo.keep", "todangling.txt"})
    tree.File(std::string("src/sub/") + name, name);
  tree.File("src/gone/a.txt", "a");
  tree.File("src/gone/deep/b.txt", "b");
  tree.File("src/sub2/after.txt", "after");
  TestTree::SetMtime(tree.Path("src/sub/changed.txt"), 1700000000);

  // The changes must land before any other file is looked at: copies in
  // flight on other threads would let the run look on meanwhile, so this
  // run copies on its own thread. (The copy threads take a file changed
  // after its look as it then is: CopyQueue_test.)
  testing::ScopedEnv oneThread("QUILLFEN_COPIES", "0");
  testing::OpenGate gate(tree.Path("src/0first.bin"), [&] {
    unlink(tree.Path("src/sub/vanish.txt").c_str());
    unlink(tree.Path("src/sub/vanish.keep").c_str());
    tree.File("src/sub/changed.txt", "second version");
    TestTree::SetMtime(tree.Path("src/sub/changed.txt"), 1700000100);
    unlink(tree.Path("src/sub/tofolder.txt").c_str());
    tree.File("src/sub/tofolder.txt/inner.txt", "inner");
    unlink(tree.Path("src/sub/tofifo.keep").c_str());
    mkfifo(tree.Path("src/sub/tofifo.keep").c_str(), 0644);
    unlink(tree.Path("src/sub/todangling.txt").c_str());
    symlink("/nonexistent/target", tree.Path("src/sub/todangling.txt").c_str());
    std::filesystem::remove_all(tree.Path("src/gone"));
    unlink(tree.Path("src/sub/old.txt").c_str());
    tree.File("src/sub/new.txt", "appeared");
  });
  if (!gate.ok()) GTEST_SKIP() << gate.error();

  BackupRunResult result = RunNextDay(set, {".keep"});
  ASSERT_TRUE(gate.fired());
  // The keep-original files whose targets are missing are tried and fail; the
  // ordinary files that went are simply no longer newer than anything.
  ASSERT_EQ(result.failures.size(), 2u) << ::testing::PrintToString(result.failures);
  EXPECT_THAT(result.failures[0] + result.failures[1], HasSubstr("/sub/vanish.keep -> "));
  EXPECT_THAT(result.failures[0] + result.failures[1], HasSubstr("/sub/tofifo.keep -> "));
  EXPECT_EQ(FilesOnly(Snapshot(dst)), (TreeSnapshot{{"/0first.bin", testing::Pattern(4096, '0')},
                                                    {"/sub/old.txt", "backed up before"},
                                                    {"/sub/changed.txt", "second version"},
                                                    {"/sub2/after.txt", "after"}}));
  EXPECT_EQ(result.setsBackedUp, 1);

  // The next run completes the set as it now stands.
  result = RunNextDay(set, {".keep"});
  EXPECT_TRUE(result.failures.empty()) << result.failures.front();
  EXPECT_EQ(FilesOnly(Snapshot(dst)), (TreeSnapshot{{"/0first.bin", testing::Pattern(4096, '0')},
                                                    {"/sub/old.txt", "backed up before"},
                                                    {"/sub/changed.txt", "second version"},
                                                    {"/sub/new.txt", "appeared"},
                                                    {"/sub/tofolder.txt/inner.txt", "inner"},
                                                    {"/sub2/after.txt", "after"}}));
}

// A child process runs the backup and is killed at seeded random moments:
// every target is then its old version or its new one, never a torn file; the
// settings file still reads; and the next run completes the set, removing any
// temporary file a kill left.
TEST_F(RunFaults, KilledInTheMiddleOfARunLeavesWholeFilesAndTheNextRunCompletes) {
  const std::string src = tree.Dir("src");
  const std::string dst = tree.Path("dst");
  const std::vector<std::string> names = {"/a.bin",     "/b.bin",          "/sub/c.bin",
                                          "/sub/d.bin", "/sub/deep/e.bin", "/f.txt"};
  // Every version of every file, made once. Sizes differ between
  // generations, so a torn file matches none.
  constexpr int kGenerations = 7;
  std::vector<std::vector<std::string>> versions(kGenerations);
  for (int g = 0; g < kGenerations; ++g)
    for (size_t i = 0; i < names.size(); ++i)
      versions[g].push_back(testing::Pattern((1 << 20) + 4096 * g + i, static_cast<char>('a' + g)));
  auto writeGeneration = [&](int g) {
    for (size_t i = 0; i < names.size(); ++i) {
      tree.File("src" + names[i], versions[g][i]);
      TestTree::SetMtime(tree.Path("src" + names[i]), 1700000000 + 10 * g);
    }
  };
  const BackupSet set{"Killed", src, dst};
  writeGeneration(0);
  ASSERT_TRUE(Run({set}).failures.empty());

  std::mt19937 random(77);
  std::uniform_int_distribution<int> delayUs(500, 30000);
  for (int g = 1; g < kGenerations; ++g) {
    SCOPED_TRACE("generation " + std::to_string(g));
    writeGeneration(g);
    clock.NextDay();
    testing::KillDuring([&] { (void)Run({set}); }, std::chrono::microseconds(delayUs(random)));
    for (size_t i = 0; i < names.size(); ++i) {
      // The new version, or one of the earlier ones (kills may have hit
      // before this file's turn in several runs).
      const std::string now = TestTree::Read(dst + names[i]);
      bool whole = false;
      for (int e = 0; e <= g && !whole; ++e) whole = now == versions[e][i];
      ASSERT_TRUE(whole) << names[i] << " is torn: " << now.size() << " bytes";
    }
    IniFile settings(tree.Path("Quillfen.ini"));
    ASSERT_EQ(settings.Sections(), std::vector<std::string>{"Killed"});
  }

  const BackupRunResult result = RunNextDay(set);
  EXPECT_TRUE(result.failures.empty());
  // Whatever temporary file a kill left, the next run removed it.
  EXPECT_EQ(FilesOnly(Snapshot(dst)), FilesOnly(Snapshot(src)));
}

// The flush after a set's copies fails: the end time must not claim copies a
// power loss could take back, so the set stays due; the failure is reported.
TEST_F(RunFaults, AFailedFlushLeavesTheSetDueAndIsReported) {
  tree.File("src/a.txt", "a");
  const BackupSet set{"Flush", tree.Path("src"), tree.Path("dst")};
  testing::FailNextSyncs(EIO);
  const BackupRunResult result = Run({set});
  EXPECT_EQ(result.filesCopied, 1);
  EXPECT_EQ(result.failures, std::vector<std::string>{tree.Path("dst") + ": " + ErrnoText(EIO)});
  EXPECT_EQ(result.setsBackedUp, 0);
  EXPECT_EQ(IniFile(tree.Path("Quillfen.ini")).ReadString("Flush", "終了時刻", "<none>"), "<none>");
}

// A run with nothing to copy still flushes the destination before its end
// time: copies an earlier, stopped run made may not be on the disk yet.
TEST_F(RunFaults, ARunThatCopiesNothingStillFlushesBeforeItsEndTime) {
  tree.File("src/a.txt", "a");
  ASSERT_TRUE(Run({{"First", tree.Path("src"), tree.Path("dst")}}).failures.empty());
  testing::FailNextSyncs(EIO);
  const BackupRunResult result = Run({{"Again", tree.Path("src"), tree.Path("dst")}});
  EXPECT_EQ(result.filesCopied, 0);
  EXPECT_EQ(result.failures, std::vector<std::string>{tree.Path("dst") + ": " + ErrnoText(EIO)});
  EXPECT_EQ(result.setsBackedUp, 0);
  EXPECT_EQ(IniFile(tree.Path("Quillfen.ini")).ReadString("Again", "終了時刻", "<none>"), "<none>");
}

// The copies are flushed in groups, not one by one; where a group's flush
// fails, its copies are flushed one by one and still made, but the set stays
// due, as the disk lost a write.
TEST_F(RunFaults, CopiesAreFlushedInGroupsAndAFailedGroupFlushLeavesTheSetDue) {
  constexpr int kFiles = 600;
  for (int i = 0; i < kFiles; ++i) {
    tree.File("src/d" + std::to_string(i % 7) + "/f" + std::to_string(i),
              "content " + std::to_string(i));
  }
  const int before = testing::SyncCalls();
  ASSERT_TRUE(Run({{"Grouped", tree.Path("src"), tree.Path("dst")}}).failures.empty());
  const int flushes = testing::SyncCalls() - before;
  EXPECT_GE(flushes, 1);
  // Groups of 256 when the copies come fast; a loaded machine, where the
  // run waits for slower copies, flushes smaller groups, never one a copy.
  EXPECT_LT(flushes, kFiles / 2) << "one flush per copy or nearly";

  TestTree other;
  for (int i = 0; i < 50; ++i) other.File("src/f" + std::to_string(i), "v" + std::to_string(i));
  testing::FailNextSyncs(EIO);
  const BackupRunResult result = Run({{"Lost", other.Path("src"), other.Path("dst")}});
  EXPECT_EQ(result.filesCopied, 50);
  EXPECT_EQ(result.failures, std::vector<std::string>{other.Path("dst") + ": " + ErrnoText(EIO)});
  EXPECT_EQ(result.setsBackedUp, 0);
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(TestTree::Read(other.Path("dst/f" + std::to_string(i))), "v" + std::to_string(i));
  }
}

TEST_F(RunFaults, TargetFaultsFailOneFileEachAndTheRunGoesOn) {
  const std::string src = tree.Dir("src");
  const std::string dst = tree.Dir("dst");
  for (const char* name :
       {"isdir.txt", "ro.txt", "link.txt", "dangling.txt", "plain.txt", "blocked/x.txt"})
    tree.File(std::string("src/") + name, std::string("new ") + name);
  tree.File("dst/isdir.txt/keep.txt", "kept");
  tree.File("dst/ro.txt", "old ro");
  TestTree::SetMtime(tree.Path("dst/ro.txt"), 1600000000);
  chmod(tree.Path("dst/ro.txt").c_str(), 0444);
  const std::string outside = tree.File("outside/secret.txt", "secret");
  symlink(outside.c_str(), tree.Path("dst/link.txt").c_str());
  symlink("/nonexistent/x", tree.Path("dst/dangling.txt").c_str());
  tree.File("dst/blocked", "a file where the source has a folder");
  const std::string src2 = tree.Dir("src2");
  tree.File("src2/next.txt", "next set");

  const BackupRunResult result = Run({{"Faulty", src, dst}, {"Next", src2, tree.Path("dst2")}});
  std::string failures;
  for (const std::string& f : result.failures) failures += f + "\n";
  EXPECT_THAT(failures, HasSubstr("/src/isdir.txt -> "));
  EXPECT_THAT(failures, HasSubstr("/src/blocked/x.txt -> "));
  const bool roReplaced = TestTree::Read(tree.Path("dst/ro.txt")) == "new ro.txt";
  EXPECT_EQ(result.failures.size(), roReplaced ? 2u : 3u) << failures;
  if (!roReplaced) {
    EXPECT_EQ(TestTree::Read(tree.Path("dst/ro.txt")), "old ro");
  }

  const TreeSnapshot after = Snapshot(dst);
  EXPECT_EQ(after.at("/isdir.txt"), "<folder>");
  EXPECT_EQ(after.at("/isdir.txt/keep.txt"), "kept");
  EXPECT_EQ(after.at("/dangling.txt"), "new dangling.txt");
  EXPECT_EQ(after.at("/plain.txt"), "new plain.txt");
  EXPECT_EQ(after.at("/blocked"), "a file where the source has a folder");
  EXPECT_EQ(TestTree::Read(outside), "secret");
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status("/nonexistent/x")));
  // The set after the faulty one is still backed up.
  EXPECT_EQ(TestTree::Read(tree.Path("dst2/next.txt")), "next set");
  EXPECT_EQ(result.setsBackedUp, 2);
}

TEST_F(RunFaults, DestinationThatIsAFileFailsEveryFileAndIsLeftAlone) {
  const std::string src = tree.Dir("src");
  tree.File("src/a.txt", "a");
  tree.File("src/sub/b.txt", "b");
  tree.File("src/c.tmp", "excluded");
  const std::string dst = tree.File("dst", "a file, not a folder");
  const BackupRunResult result = Run({{"OntoAFile", src, dst}}, {}, {".tmp"});
  EXPECT_EQ(result.failures.size(), 2u);
  EXPECT_EQ(result.filesCopied, 0);
  EXPECT_EQ(TestTree::Read(dst), "a file, not a folder");
}

// A link planted in the destination where a copy belongs, pointing at a newer
// file outside: the link is no copy of the source file, so the run replaces it
// with one instead of trusting the outside file's age or writing through it.
TEST_F(RunFaults, PlantedFileLinkInTheDestinationIsReplacedByTheCopy) {
  const std::string src = tree.Dir("src");
  const std::string dst = tree.Dir("dst");
  tree.File("src/a.txt", "source content");
  TestTree::SetMtime(tree.Path("src/a.txt"), 1600000000);
  const std::string outside = tree.File("outside/newer.txt", "outside content");
  ASSERT_EQ(symlink(outside.c_str(), tree.Path("dst/a.txt").c_str()), 0);

  const BackupRunResult result = Run({{"Planted", src, dst}});
  EXPECT_TRUE(result.failures.empty());
  EXPECT_EQ(Snapshot(dst), (TreeSnapshot{{"/a.txt", "source content"}}));
  EXPECT_EQ(TestTree::Read(outside), "outside content");
}

// A link to a folder planted in the destination tree, where the run must
// create a subfolder and copy into it: the run must not create folders or
// write files through it, outside the destination.
TEST_F(RunFaults, PlantedFolderLinkInTheDestinationIsNotWrittenThrough) {
  const std::string src = tree.Dir("src");
  const std::string dst = tree.Dir("dst");
  tree.File("src/sub/a.txt", "a");
  tree.File("src/sub/deeper/b.txt", "b");
  const std::string outside = tree.Dir("outside");
  ASSERT_EQ(symlink(outside.c_str(), tree.Path("dst/sub").c_str()), 0);

  const BackupRunResult result = Run({{"Planted", src, dst}});
  EXPECT_EQ(Snapshot(outside), TreeSnapshot{}) << "the run wrote outside the destination";
  EXPECT_EQ(FilesOnly(Snapshot(dst)),
            (TreeSnapshot{{"/sub/a.txt", "a"}, {"/sub/deeper/b.txt", "b"}}));
  EXPECT_TRUE(result.failures.empty());
}

TEST_F(RunFaults, AFolderThatCannotBeMadeIsTheReasonGiven) {
  tree.File("src/a.txt", "a");
  tree.File("src/sub/b.txt", "b");
  tree.File("blocked", "a file where the destination's parent folder should be");
  const std::string dst = tree.Path("blocked/backup/docs");
  BackupRunResult result = Run({{"Blocked", tree.Path("src"), dst}});
  ASSERT_EQ(result.failures.size(), 2u) << testing::Failures(result);
  for (const std::string& failure : result.failures) {
    EXPECT_THAT(failure, HasSubstr(": cannot make the folder " + tree.Path("blocked") + ": " +
                                   ErrnoText(EEXIST)));
  }

  // A folder inside the tree: its own path and reason too.
  if (geteuid() == 0) return;  // root is not refused by the folder's bits
  tree.File("src/locked/c.txt", "c");
  const std::string open = tree.Dir("open");
  ASSERT_TRUE(Run({{"Open", tree.Path("src"), open}}).failures.empty());
  ASSERT_EQ(system(("rm -r '" + open + "/locked'").c_str()), 0);
  ASSERT_EQ(chmod(open.c_str(), 0555), 0);
  tree.File("src/locked/c.txt", "changed");
  result = RunNextDay({"Open", tree.Path("src"), open});
  chmod(open.c_str(), 0755);
  ASSERT_EQ(result.failures.size(), 1u) << testing::Failures(result);
  EXPECT_THAT(result.failures[0],
              HasSubstr(": cannot make the folder " + open + "/locked: " + ErrnoText(EACCES)));
}

// Every failure line reaches the view as it is found, in order; the result
// keeps only the first of them and counts the rest, so that memory stays
// bounded however many files fail.
TEST_F(RunFaults, FailureLinesStreamToTheViewAndTheResultKeepsABoundedShare) {
  class LineCountingView : public testing::RecordingRunView {
   public:
    void Failed(const std::string& line) override { lines.push_back(line); }
    std::vector<std::string> lines;
  } view;
  const size_t files = BackupRunResult::kKeptFailures + 25;
  for (size_t i = 0; i < files; ++i) {
    const std::string name = "/f" + std::to_string(100000 + i) + ".txt";
    tree.File("src" + name, "x");
    // A folder that is not empty at each file's place: no copy can go there.
    tree.File("dst" + name + "/inside", "y");
  }
  IniFile settings(SettingsPath());
  const BackupRunResult result =
      RunBackup({{"Many", tree.Path("src"), tree.Path("dst")}}, {}, {}, clock, settings, view);
  ASSERT_EQ(view.lines.size(), files);
  EXPECT_EQ(result.failures.size(), BackupRunResult::kKeptFailures);
  EXPECT_EQ(result.failuresNotKept, 25u);
  EXPECT_TRUE(std::equal(result.failures.begin(), result.failures.end(), view.lines.begin()));
  // One line for each file.
  EXPECT_EQ(std::set<std::string>(view.lines.begin(), view.lines.end()).size(), files);
  EXPECT_EQ(result.failedSets.size(), 1u);
}

// A stop asked while the source tree is listed (a signal, the window's stop)
// ends the run there: nothing is copied from a part of the tree, and the set
// stays due.
TEST_F(RunFaults, AStopWhileTheTreeIsListedEndsTheRunWithTheSetDue) {
  if (geteuid() != 0) GTEST_SKIP() << "holding a folder's opening needs root (fanotify)";
  class StoppingView : public testing::RecordingRunView {
   public:
    bool StopWhileListing() override { return true; }
  } view;
  tree.File("src/slow/deeper/a.txt", "a");
  for (int i = 0; i < 20; ++i) tree.File("src/d" + std::to_string(i) + "/f.txt", "x");
  testing::PermissionGate gate(tree.Path("src/slow"), FAN_OPEN_PERM | FAN_ONDIR, 1,
                               [] { std::this_thread::sleep_for(std::chrono::milliseconds(300)); });
  if (!gate.ok()) GTEST_SKIP() << gate.error();
  IniFile settings(SettingsPath());
  const BackupRunResult result =
      RunBackup({{"Listed", tree.Path("src"), tree.Path("dst")}}, {}, {}, clock, settings, view);
  EXPECT_EQ(gate.fired(), 1);
  EXPECT_TRUE(result.stopped);
  EXPECT_EQ(result.filesCopied, 0);
  EXPECT_FALSE(std::filesystem::exists(tree.Path("dst/d0/f.txt")));
  EXPECT_EQ(result.failedSets,
            std::vector<std::string>{"Listedのバックアップは途中で終了しました。"});
  EXPECT_EQ(IniFile(SettingsPath()).ReadString("Listed", "終了時刻", ""), "");
}

}  // namespace
}  // namespace quillfen
