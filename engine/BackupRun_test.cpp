// The backup run as a plain function, on real temporary trees with a set clock.
#include "engine/BackupRun.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/DateTime.h"
#include "engine/IniFile.h"
#include "testing/FaultInjection.h"
#include "testing/RunSupport.h"
#include "testing/TestTree.h"

namespace quillfen {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::TestTree;

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

constexpr double kHour = 1.0 / 24;
constexpr double kMinute = kHour / 60;

class BackupRunTest : public testing::RunFixture {
 protected:
  void SetEndTime(const std::string& set, DateTime when) {
    IniFile settings(SettingsPath());
    ASSERT_TRUE(settings.WriteDateTime(set, "終了時刻", when).ok());
  }
  DateTime EndTime(const std::string& set) const {
    return IniFile(SettingsPath()).ReadDateTime(set, "終了時刻", -1.0);
  }
};

TEST(ExtensionSet, MatchesIgnoringAsciiCaseAndOtherTextByItsFold) {
  const ExtensionSet set({".jpg", ".ｄｏｃ", "", "\xff\xfe"});
  EXPECT_TRUE(set.Contains(".JPG"));
  EXPECT_TRUE(set.Contains(".Jpg"));
  EXPECT_FALSE(set.Contains(".jpeg"));
  EXPECT_FALSE(set.Contains(""));  // an empty entry matches nothing
  // Without a fold, text beyond ASCII matches by its bytes.
  EXPECT_TRUE(set.Contains(".ｄｏｃ"));
  EXPECT_FALSE(set.Contains(".ＤＯＣ"));
  // Bytes that are not UTF-8 match only the same bytes, and never the
  // fold's output: the fold is not even asked.
  EXPECT_TRUE(set.Contains("\xff\xfe"));
  EXPECT_FALSE(set.Contains("\xff\xfe\xfe"));
  EXPECT_FALSE(set.Contains("\xef\xbf\xbd"));  // the replacement character is not a wildcard
  static int asked = 0;
  const ExtensionSet folded({".X\xc3\x84", "\xff"}, [](std::string_view text) {
    ++asked;
    return std::string(text) + "!";
  });
  // The fold alone decides a text beyond ASCII (this one leaves letters be).
  EXPECT_TRUE(folded.Contains(".X\xc3\x84"));
  EXPECT_FALSE(folded.Contains(".x\xc3\x84"));
  EXPECT_TRUE(folded.Contains("\xff"));
  EXPECT_EQ(asked, 3);  // the entry and the extensions: not the invalid bytes
  EXPECT_TRUE(ExtensionSet({}).empty());
}

// The example set Docs: .tmp excluded, .xls kept as first copied.
TEST_F(BackupRunTest, DocsExample) {
  tree.File("docs/a.txt", "a");
  tree.File("docs/old/b.xls", "b");
  tree.File("docs/old/c.tmp", "c");
  tree.Dir("docs/empty");
  tree.File("docs/junk/only.TMP", "x");
  const std::string dst = tree.Path("bk/docs");

  const BackupRunResult result = Run({{"Docs", tree.Path("docs"), dst}}, {".xls"}, {".tmp"});

  EXPECT_TRUE(result.failures.empty());
  EXPECT_TRUE(result.failedSets.empty());
  EXPECT_TRUE(result.settingsError.ok());
  EXPECT_EQ(result.filesCopied, 2);
  EXPECT_EQ(TestTree::Read(dst + "/a.txt"), "a");
  EXPECT_EQ(TestTree::Read(dst + "/old/b.xls"), "b");
  EXPECT_FALSE(Exists(dst + "/old/c.tmp"));
  EXPECT_FALSE(Exists(dst + "/empty"));
  EXPECT_FALSE(Exists(dst + "/junk"));  // only excluded files: not created
  EXPECT_THAT(view.statuses, ElementsAre("Docsをバックアップ中"));
  EXPECT_EQ(view.timer2Starts, 0);
  EXPECT_NEAR(EndTime("Docs"), clock.now, 1.0 / 86400);
}

// A run that finds nothing to copy leaves the folders it read as they were,
// their access times too: nothing is left to write back, so the flush before
// its end time costs next to nothing, and a daily run does not rewrite every
// folder's metadata.
TEST_F(BackupRunTest, ARunLeavesTheAccessTimesOfTheFoldersItReads) {
  tree.File("src/sub/a.txt", "a");
  const std::string dst = tree.Path("dst");
  ASSERT_TRUE(RunNextDay({"Times", tree.Path("src"), dst}).failures.empty());
  // Access times older than the last change: a read would update them.
  const std::vector<std::string> folders = {tree.Path("src"), tree.Path("src/sub"), dst,
                                            dst + "/sub"};
  for (const std::string& folder : folders) {
    const struct timespec times[2] = {{1500000000, 0}, {UTIME_OMIT, UTIME_OMIT}};
    ASSERT_EQ(utimensat(AT_FDCWD, folder.c_str(), times, 0), 0) << folder;
  }
  // A plain read here does update an access time this old (noatime mounts
  // do not: then there is nothing to see).
  const std::string control = tree.Dir("control");
  const struct timespec old[2] = {{1500000000, 0}, {UTIME_OMIT, UTIME_OMIT}};
  ASSERT_EQ(utimensat(AT_FDCWD, control.c_str(), old, 0), 0);
  if (DIR* dir = opendir(control.c_str())) {
    while (readdir(dir) != nullptr) {
    }
    closedir(dir);
  }
  struct stat controlSt;
  ASSERT_EQ(stat(control.c_str(), &controlSt), 0);
  if (controlSt.st_atim.tv_sec == 1500000000) GTEST_SKIP() << "access times are not kept here";

  const BackupRunResult result = RunNextDay({"Times", tree.Path("src"), dst});
  ASSERT_TRUE(result.failures.empty()) << testing::Failures(result);
  EXPECT_EQ(result.filesCopied, 0);
  for (const std::string& folder : folders) {
    struct stat st;
    ASSERT_EQ(stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_atim.tv_sec, 1500000000) << folder;
  }
}

TEST_F(BackupRunTest, StandardIntervalIsTwentyFourWholeHoursEitherWay) {
  const std::vector<std::pair<std::string, double>> cases = {
      {"m2359", -(23 * kHour + 59 * kMinute)},
      {"m2401", -(24 * kHour + kMinute)},
      {"p30", 30 * kHour},
      {"p10", 10 * kHour},
  };
  std::vector<BackupSet> sets;
  for (const auto& [name, offset] : cases) {
    SetEndTime(name, clock.now + offset);
    tree.Dir("bk/" + name);  // backed up into before
    tree.File(name + "/f.txt", name);
    sets.push_back({name, tree.Path(name), tree.Path("bk/" + name)});
  }
  sets.push_back({"never", tree.Dir("never"), tree.Path("bk/never")});
  tree.File("never/g", "g");
  const DateTime before2359 = EndTime("m2359");
  const DateTime beforeP10 = EndTime("p10");

  Run(sets);

  EXPECT_FALSE(Exists(tree.Path("bk/m2359/f.txt")));
  EXPECT_TRUE(Exists(tree.Path("bk/m2401/f.txt")));
  EXPECT_TRUE(Exists(tree.Path("bk/p30/f.txt")));
  EXPECT_FALSE(Exists(tree.Path("bk/p10/f.txt")));
  EXPECT_TRUE(Exists(tree.Path("bk/never/g")));  // no end time yet: due
  EXPECT_EQ(EndTime("m2359"), before2359);
  EXPECT_EQ(EndTime("p10"), beforeP10);
  EXPECT_NEAR(EndTime("m2401"), clock.now, 1.0 / 86400);
  EXPECT_NEAR(EndTime("p30"), clock.now, 1.0 / 86400);
  EXPECT_THAT(view.statuses,
              ElementsAre("m2359は標準時間が経過していませんでした。", "m2401をバックアップ中",
                          "p30をバックアップ中", "p10は標準時間が経過していませんでした。",
                          "neverをバックアップ中"));
  EXPECT_EQ(view.timer2Starts, 2);
}

TEST_F(BackupRunTest, MissingSourceIsSkippedAfterTheIntervalTest) {
  SetEndTime("recent", clock.now - kHour);
  const BackupRunResult result = Run({{"recent", tree.Path("nothere"), tree.Path("bk1")},
                                      {"gone", tree.Path("nothere"), tree.Path("bk2")}});
  EXPECT_THAT(view.statuses, ElementsAre("recentは標準時間が経過していませんでした。",
                                         "goneはコピー元フォルダが存在しません。"));
  EXPECT_EQ(view.timer2Starts, 2);
  EXPECT_EQ(EndTime("gone"), -1.0);  // not written
  EXPECT_FALSE(Exists(tree.Path("bk2")));
  EXPECT_TRUE(result.failures.empty());
}

TEST_F(BackupRunTest, ExtensionRules) {
  tree.File("s/PHOTO.JPG", "p");
  tree.File("s/both.doc", "d");
  tree.File("s/keep.XLS", "k");
  tree.File("s/noext", "n");
  const std::string dst = tree.Path("d");
  Run({{"S", tree.Path("s"), dst}}, {".doc", ".xls"}, {".jpg", ".doc"});
  EXPECT_FALSE(Exists(dst + "/PHOTO.JPG"));
  EXPECT_FALSE(Exists(dst + "/both.doc"));  // on both lists: excluded wins
  EXPECT_EQ(TestTree::Read(dst + "/keep.XLS"), "k");
  EXPECT_EQ(TestTree::Read(dst + "/noext"), "n");
}

TEST_F(BackupRunTest, KeepOriginalKeepsTheFirstCopyUnlessTheCopyIsNewer) {
  const std::string src = tree.Path("s");
  const std::string dst = tree.Path("d");
  const std::string first = tree.File("s/book.xls", "first");
  const std::string plain = tree.File("s/note.txt", "first");
  const time_t base = 1700000000;
  TestTree::SetMtime(first, base);
  TestTree::SetMtime(plain, base);
  Run({{"S", src, dst}}, {".xls"});
  ASSERT_EQ(TestTree::Read(dst + "/book.xls"), "first");

  // Changed at the source: the ordinary file follows, the kept one does not.
  tree.File("s/book.xls", "second");
  tree.File("s/note.txt", "second");
  TestTree::SetMtime(first, base + 100);
  TestTree::SetMtime(plain, base + 100);
  clock.now += 25 * kHour;
  Run({{"S", src, dst}}, {".xls"});
  EXPECT_EQ(TestTree::Read(dst + "/book.xls"), "first");
  EXPECT_EQ(TestTree::Read(dst + "/note.txt"), "second");

  // A copy newer than the source is replaced by the source.
  TestTree::SetMtime(dst + "/book.xls", base + 1000);
  clock.now += 25 * kHour;
  Run({{"S", src, dst}}, {".xls"});
  EXPECT_EQ(TestTree::Read(dst + "/book.xls"), "second");
}

TEST_F(BackupRunTest, FailedCopiesAreCountedAndTheEndTimeIsStillWritten) {
  tree.File("s/a.txt", "a");
  tree.File("s/b.txt", "b");
  tree.File("s/c.txt", "c");
  tree.Dir("d/a.txt/x");  // a folder where a file should go
  tree.Dir("d/b.txt");
  const BackupRunResult result = Run({{"Set", tree.Path("s"), tree.Path("d")}});
  ASSERT_EQ(result.failures.size(), 2u);
  EXPECT_THAT(result.failures[0], HasSubstr(tree.Path("s/")));
  EXPECT_THAT(result.failures[0], HasSubstr(" -> " + tree.Path("d/")));
  EXPECT_EQ(TestTree::Read(tree.Path("d/c.txt")), "c");
  EXPECT_THAT(view.statuses,
              ElementsAre("Setをバックアップ中", "Setのコピーに失敗したファイルが2件あります。"));
  EXPECT_THAT(result.failedSets, ElementsAre("Setのコピーに失敗したファイルが2件あります。"));
  EXPECT_EQ(view.timer2Starts, 1);
  EXPECT_NEAR(EndTime("Set"), clock.now, 1.0 / 86400);
}

TEST_F(BackupRunTest, UnwritableSettingsStopTheRun) {
  tree.File("one/a", "a");
  tree.File("two/b", "b");
  const std::string settingsDir = tree.Dir("ro");
  IniFile settings(settingsDir + "/Quillfen.ini");
  ASSERT_EQ(::mkdir((settingsDir + "/Quillfen.ini").c_str(), 0700), 0);  // cannot be replaced
  const BackupRunResult result = RunBackup(
      {{"one", tree.Path("one"), tree.Path("bk1")}, {"two", tree.Path("two"), tree.Path("bk2")}},
      {}, {}, clock, settings, view);
  EXPECT_FALSE(result.settingsError.ok());
  EXPECT_THAT(result.settingsError.message(),
              ::testing::StartsWith(settingsDir + "/Quillfen.ini: "));
  EXPECT_TRUE(Exists(tree.Path("bk1/a")));   // copies made stay
  EXPECT_FALSE(Exists(tree.Path("bk2/b")));  // the following set is not run
  EXPECT_THAT(view.statuses, ElementsAre("oneをバックアップ中"));
}

TEST_F(BackupRunTest, DestinationInsideTheSourceDoesNotNest) {
  tree.File("s/a.txt", "a");
  const std::string src = tree.Path("s");
  Run({{"S", src + "/", src + "/bk/"}});  // trailing '/' as typed in a settings file
  clock.now += 25 * kHour;
  Run({{"S", src, src + "/bk"}});
  EXPECT_EQ(TestTree::Read(src + "/bk/a.txt"), "a");
  EXPECT_FALSE(Exists(src + "/bk/bk"));
}

TEST_F(BackupRunTest, SetWithoutDestinationIsRefused) {
  const std::string name = "quillfen-stray-" + std::to_string(::getpid()) + ".txt";
  tree.File("s/" + name, "a");
  const BackupRunResult result = Run({{"S", tree.Path("s"), ""}});
  EXPECT_FALSE(Exists("/" + name));
  EXPECT_EQ(result.failures.size(), 1u);
  EXPECT_EQ(result.filesCopied, 0);
  EXPECT_EQ(EndTime("S"), -1.0);
  EXPECT_EQ(view.timer2Starts, 1);
}

// Asked to end (a signal), the run stops before its next file: what was copied
// stays, the set it was in gets no end time and the next set is not begun.
TEST_F(BackupRunTest, AStopRequestEndsTheRunBetweenFilesAndLeavesTheSetDue) {
  for (const char* name : {"a", "b", "c", "d"}) tree.File(std::string("one/") + name, name);
  tree.File("two/e", "e");
  view.stopAfterQuestions = 2;
  const BackupRunResult result = Run(
      {{"one", tree.Path("one"), tree.Path("bk1")}, {"two", tree.Path("two"), tree.Path("bk2")}});
  EXPECT_TRUE(result.stopped);
  EXPECT_EQ(result.filesCopied, 2);
  EXPECT_EQ(testing::NamesIn(tree.Path("bk1")).size(), 2u);
  EXPECT_FALSE(Exists(tree.Path("bk2")));
  EXPECT_EQ(EndTime("one"), -1.0);
  EXPECT_EQ(EndTime("two"), -1.0);
  EXPECT_THAT(result.failures, ElementsAre("one: stopped before all files were looked at"));
  EXPECT_THAT(result.failedSets, ElementsAre("oneのバックアップは途中で終了しました。"));
  EXPECT_EQ(result.setsBackedUp, 0);

  // The next run finishes the set.
  view.stopAfterQuestions = -1;
  const BackupRunResult next = Run(
      {{"one", tree.Path("one"), tree.Path("bk1")}, {"two", tree.Path("two"), tree.Path("bk2")}});
  EXPECT_FALSE(next.stopped);
  EXPECT_EQ(next.filesCopied, 3);
  EXPECT_EQ(next.setsBackedUp, 2);
}

}  // namespace
}  // namespace quillfen
