// The backup run as an attacker or an unlucky user meets it, run as root from
// cron over other users' files: no copy hands out a privilege, no private
// folder becomes readable, no layout and no race leads a write outside the
// destination, no kill leaves a temporary file for good, and no failure ends
// as a success.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/BackupRun.h"
#include "engine/IniFile.h"
#include "engine/TemporaryFiles.h"
#include "testing/FaultInjection.h"
#include "testing/RunSupport.h"
#include "testing/TestTree.h"

namespace quillfen {
namespace {

using testing::Failures;
using testing::FilesOnly;
using ::testing::HasSubstr;
using testing::NamesIn;
using testing::RecordingRunView;
using testing::Snapshot;
using testing::TestTree;
using testing::TreeSnapshot;

class RunTrust : public testing::RunFixture {};

struct stat StatOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  return st;
}

// The temporary names anywhere in the tree at `root`.
std::vector<std::string> TemporaryFilesIn(const std::string& root) {
  std::vector<std::string> found;
  for (const auto& [relative, content] : Snapshot(root)) {
    if (IsTemporaryName(relative.substr(relative.rfind('/') + 1))) found.push_back(relative);
  }
  return found;
}

// Folders the run makes are as private as the source's; run as root, every
// copy belongs to its source's owner, so a set-ID program of a user stays
// that user's and never becomes root's.
TEST_F(RunTrust, CopiesGrantNoMoreThanTheirSources) {
  const std::string src = tree.Dir("src");
  tree.File("src/private/diary.txt", "mine");
  tree.File("src/private/inner/more.txt", "mine too");
  tree.File("src/group/shared.txt", "ours");
  tree.File("src/tool", "#!/bin/sh\nid -u\n");
  ASSERT_EQ(chmod(tree.Path("src/private").c_str(), 0700), 0);
  ASSERT_EQ(chmod(tree.Path("src/private/inner").c_str(), 0711), 0);
  ASSERT_EQ(chmod(tree.Path("src/group").c_str(), 0750), 0);
  const bool root = geteuid() == 0;
  if (root) {
    for (const char* path : {"src", "src/private", "src/private/inner", "src/private/diary.txt",
                             "src/group", "src/tool"}) {
      ASSERT_EQ(chown(tree.Path(path).c_str(), testing::kNobody, testing::kNogroup), 0);
    }
  }
  ASSERT_EQ(chmod(tree.Path("src/tool").c_str(), 06755), 0);
  const std::string dst = tree.Path("bk/dst");
  const BackupRunResult result = RunNextDay({"Trust", src, dst});
  ASSERT_TRUE(result.failures.empty()) << Failures(result);
  EXPECT_EQ(StatOf(dst + "/private").st_mode & 07777, 0700u);
  EXPECT_EQ(StatOf(dst + "/private/inner").st_mode & 07777, 0711u);
  EXPECT_EQ(StatOf(dst + "/group").st_mode & 07777, 0750u);
  const struct stat tool = StatOf(dst + "/tool");
  EXPECT_EQ(tool.st_mode & 07777, 06755u);
  if (root) {
    EXPECT_EQ(tool.st_uid, testing::kNobody);
    EXPECT_EQ(tool.st_gid, testing::kNogroup);
    EXPECT_EQ(StatOf(dst + "/private").st_uid, testing::kNobody);
    EXPECT_EQ(StatOf(dst + "/private/diary.txt").st_uid, testing::kNobody);
    EXPECT_EQ(StatOf(dst + "/group/shared.txt").st_uid, 0u);  // root's own file stays root's
  } else {
    EXPECT_EQ(tool.st_uid, geteuid());
  }
}

// A helper process keeps swapping folders of the destination for links to an
// outside folder while runs copy into them. Nothing may ever land outside.
TEST_F(RunTrust, FoldersSwappedForLinksDuringRunsLeadNowhere) {
  const std::string src = tree.Dir("src");
  constexpr int kFolders = 4;
  constexpr int kFiles = 60;
  for (int f = 0; f < kFolders; ++f)
    for (int i = 0; i < kFiles; ++i)
      tree.File("src/sub" + std::to_string(f) + "/deeper/file" + std::to_string(i), "v0");
  const std::string dst = tree.Path("dst");
  const std::string outside = tree.Dir("outside");
  ASSERT_TRUE(RunNextDay({"Swap", src, dst}).failures.empty());

  int swapsDone = 0;
  {
    testing::BackgroundProcess attacker([&, round = 0]() mutable {
      const std::string folder = dst + "/sub" + std::to_string(round++ % kFolders);
      const std::string aside = folder + ".aside";
      if (rename(folder.c_str(), aside.c_str()) != 0) return;
      if (symlink(outside.c_str(), folder.c_str()) == 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        unlink(folder.c_str());
      }
      rename(aside.c_str(), folder.c_str());
    });
    for (int generation = 1; generation <= 15; ++generation) {
      for (int f = 0; f < kFolders; ++f) {
        for (int i = 0; i < kFiles; ++i) {
          const std::string path =
              tree.Path("src/sub" + std::to_string(f) + "/deeper/file" + std::to_string(i));
          TestTree::SetMtime(path, 1'700'000'000 + generation * 10);
        }
      }
      (void)RunNextDay({"Swap", src, dst});
      ++swapsDone;
      ASSERT_TRUE(NamesIn(outside).empty()) << "a run wrote outside the destination";
    }
  }
  EXPECT_TRUE(NamesIn(outside).empty());
  ::testing::Test::RecordProperty("runs_under_attack", swapsDone);
}

// A source inside its own destination (source /bk/data, destination /bk):
// a link planted elsewhere in the destination is replaced like any other.
TEST_F(RunTrust, ASourceInsideItsDestinationGivesPlantedLinksNoWayOut) {
  const std::string bk = tree.Dir("bk");
  const std::string src = tree.Dir("bk/data");
  tree.File("bk/data/sub/x.txt", "x");
  const std::string outside = tree.Dir("outside");
  ASSERT_EQ(symlink(outside.c_str(), (bk + "/sub").c_str()), 0);
  const BackupRunResult result = RunNextDay({"Inside", src, bk});
  EXPECT_TRUE(result.failures.empty()) << Failures(result);
  EXPECT_TRUE(NamesIn(outside).empty());
  EXPECT_EQ(TestTree::Read(bk + "/sub/x.txt"), "x");
  EXPECT_TRUE(S_ISDIR(StatOf(bk + "/sub").st_mode));
  // The source's own files were not touched, and a second run copies nothing.
  EXPECT_EQ(TestTree::Read(src + "/sub/x.txt"), "x");
  EXPECT_EQ(RunNextDay({"Inside", src, bk}).filesCopied, 0);
}

// Runs killed at random moments while they replace many small files: a kill
// between a finished copy's linking under a temporary name and its renaming
// leaves that name behind. The next run removes every one.
TEST_F(RunTrust, TemporaryFilesOfKilledRunsAreRemovedByTheNextRun) {
  const std::string src = tree.Dir("src");
  // In memory, where the sync after each run is instant and kills land in the
  // copying.
  TestTree memory(TestTree::MemoryBase());
  const std::string dst = memory.Path("dst");
  constexpr int kFiles = 240;
  auto writeGeneration = [&](int generation) {
    for (int i = 0; i < kFiles; ++i) {
      const std::string relative = "src/f" + std::to_string(i % 3) + "/n" + std::to_string(i);
      tree.File(relative, std::string(4096 + generation, static_cast<char>('a' + generation % 26)));
      TestTree::SetMtime(tree.Path(relative), 1'700'000'000 + generation * 10);
    }
  };
  writeGeneration(0);
  ASSERT_TRUE(RunNextDay({"Killed", src, dst}).failures.empty());

  std::mt19937 random(11);
  std::uniform_int_distribution<int> delayUs(300, 12000);
  int kills = 0;
  int killsLeavingOne = 0;
  for (int generation = 1; generation <= 80; ++generation) {
    writeGeneration(generation);
    clock.NextDay();
    if (testing::KillDuring(
            [&] {
              (void)RunNextDay({"Killed", src, dst});
            },
            std::chrono::microseconds(delayUs(random)))) {
      ++kills;
    }
    const size_t left = TemporaryFilesIn(dst).size();
    killsLeavingOne += left > 0 ? 1 : 0;
    if (left > 0) {
      // The next run, killed or not, must not add to them for good.
      ASSERT_TRUE(RunNextDay({"Killed", src, dst}).failures.empty());
      ASSERT_THAT(TemporaryFilesIn(dst), ::testing::IsEmpty()) << "generation " << generation;
    }
  }
  // Leftovers of earlier versions of the program and of a gone process are
  // removed in the same way.
  memory.File("dst/f1/.quillfen-0123456789", "left by an earlier version");
  memory.File("dst/f2/.quillfen-tmp-999999999-0123456789abcdef", "left by a killed run");
  writeGeneration(99);
  // A last run that was not killed wrote its end time a day after this
  // clock: one day more, so that the set is due whichever way the kills fell.
  clock.NextDay();
  const BackupRunResult last = RunNextDay({"Killed", src, dst});
  EXPECT_EQ(last.setsBackedUp, 1);
  EXPECT_TRUE(last.failures.empty()) << Failures(last);
  EXPECT_THAT(TemporaryFilesIn(dst), ::testing::IsEmpty());
  EXPECT_EQ(FilesOnly(Snapshot(dst)), FilesOnly(Snapshot(src)));
  EXPECT_GT(kills, 40) << "the runs ended before most kills";
  ::testing::Test::RecordProperty("kills", kills);
  ::testing::Test::RecordProperty("kills_leaving_a_temporary_file", killsLeavingOne);
  std::printf("kills %d, of which left a temporary file: %d\n", kills, killsLeavingOne);
}

// Thirty levels of 200-byte names: longer than the system takes a path whole.
TEST_F(RunTrust, PathsLongerThanTheSystemTakesWholeAreBackedUp) {
  const std::string src = tree.Dir("src");
  const std::string name(200, 'l');
  std::string relative;
  for (int level = 0; level < 30; ++level) relative += "/" + name;
  testing::MakeDeepFile(src, relative, "deep.txt", "at the bottom");
  ASSERT_GT((src + relative).size(), 4096u);
  const std::string dst = tree.Path("dst");
  const BackupRunResult first = RunNextDay({"Deep", src, dst});
  EXPECT_TRUE(first.failures.empty()) << Failures(first);
  EXPECT_EQ(first.filesCopied, 1);
  EXPECT_EQ(testing::ReadDeepFile(dst, relative, "deep.txt"), "at the bottom");
  EXPECT_EQ(RunNextDay({"Deep", src, dst}).filesCopied, 0);
}

// A source folder that cannot be read is a failure like a failed copy: one
// line naming it, counted in the set's notice; the rest is backed up.
TEST_F(RunTrust, ASourceFolderThatCannotBeReadIsReportedAsAFailure) {
  const std::string src = tree.Dir("src");
  tree.File("src/ok.txt", "ok");
  tree.File("src/closed/hidden.txt", "h");
  const std::string closed = tree.Path("src/closed");
  ASSERT_EQ(chmod(closed.c_str(), 0), 0);
  const std::string dst = tree.Path("dst");
  auto check = [&] {
    RecordingRunView seen;
    IniFile settings(tree.Path("Quillfen.ini"));
    const BackupRunResult result = RunBackup({{"Closed", src, dst}}, {}, {}, clock, settings, seen);
    return result.failures == std::vector<std::string>{closed + ": " + ErrnoText(EACCES)} &&
           result.filesCopied == 1 && TestTree::Read(dst + "/ok.txt") == "ok" &&
           seen.statuses.back() == "Closedのコピーに失敗したファイルが1件あります。";
  };
  if (geteuid() == 0) {
    ASSERT_EQ(chmod(tree.root().c_str(), 0777), 0);
    for (const char* path : {"src", "src/ok.txt", "src/closed"}) {
      ASSERT_EQ(chown(tree.Path(path).c_str(), testing::kNobody, testing::kNogroup), 0);
    }
    EXPECT_TRUE(testing::AsUser(testing::kNobody, testing::kNogroup, check));
  } else {
    EXPECT_TRUE(check());
  }
}

// A disk image of 5 GiB holding 8 KiB of data fits on a 64 MiB destination.
TEST_F(RunTrust, ASparseImageLargerThanTheDestinationIsBackedUp) {
  testing::SmallDisk disk(64 << 20);
  if (!disk.ok()) GTEST_SKIP() << disk.error();
  const std::string src = tree.Dir("src");
  {
    const int fd = open(tree.Path("src/disk.img").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, std::string(8192, 'd').data(), 8192, (off_t{5} << 30) - 8192), 8192);
    close(fd);
  }
  const BackupRunResult result = RunNextDay({"Image", src, disk.root() + "/bk"});
  EXPECT_TRUE(result.failures.empty()) << Failures(result);
  EXPECT_EQ(StatOf(disk.root() + "/bk/disk.img").st_size, off_t{5} << 30);
}

}  // namespace
}  // namespace quillfen
