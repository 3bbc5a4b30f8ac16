// The backup run onto the destinations users carry about: USB sticks with FAT,
// exFAT or NTFS, mounted through FUSE. They hold no owners or permission bits
// (FAT refuses even to be asked), keep times coarsely (FAT to two seconds),
// fold letter case and refuse some names. A copy still gets its content and
// its time, a second run copies nothing, and a file that cannot be held
// fails on its own line without harming another's copy.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/BackupRun.h"
#include "engine/FileAccess.h"
#include "engine/LookAhead.h"
#include "engine/NamingTimes.h"
#include "testing/FaultInjection.h"
#include "testing/FuseVolume.h"
#include "testing/RunSupport.h"
#include "testing/TestTree.h"

namespace quillfen {
namespace {

using testing::Failures;
using testing::FilesOnly;
using testing::FuseVolume;
using ::testing::HasSubstr;
using testing::NamesIn;
using ::testing::SizeIs;
using testing::Snapshot;
using testing::TestTree;

struct Medium {
  FuseVolume::Kind kind;
  bool foldsCase;
  // Refuses the names Windows refuses (':', '?' in them).
  bool refusesWindowsNames;
  // The last-write time is held to this many nanoseconds at least.
  long long grain;
};

void PrintTo(const Medium& medium, std::ostream* out) {
  *out << FuseVolume::Name(medium.kind);
}

class RunRemovableMedia : public testing::RunFixture, public ::testing::WithParamInterface<Medium> {
 protected:
  void SetUp() override {
    volume_ = std::make_unique<FuseVolume>(GetParam().kind);
    if (!volume_->mounted()) GTEST_SKIP() << volume_->skipReason();
    dst_ = volume_->root() + "/backup";
  }
  void TearDown() override { volume_.reset(); }

  std::unique_ptr<FuseVolume> volume_;
  std::string dst_;
};

struct timespec MtimeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return st.st_mtim;
}

long long Nanoseconds(const struct timespec& t) {
  return static_cast<long long>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// Files with bits of every kind and times to the nanosecond, odd seconds
// among them: all copied with content and time the first time, none the
// second; a source made newer afterwards is copied again, alone.
TEST_P(RunRemovableMedia, FirstRunCopiesAllSecondNothing) {
  const std::string src = tree.Dir("src");
  tree.File("src/plain.txt", "plain");
  tree.File("src/tool.sh", "#!/bin/sh\n");
  tree.File("src/private.txt", "mine");
  tree.File("src/docs/deep/er/notes.txt", "notes");
  tree.File("src/docs/empty.txt", "");
  ASSERT_EQ(chmod(tree.Path("src/tool.sh").c_str(), 0755), 0);
  ASSERT_EQ(chmod(tree.Path("src/private.txt").c_str(), 0600), 0);
  ASSERT_EQ(chmod(tree.Path("src/docs/deep").c_str(), 0700), 0);
  const std::vector<std::string> files = {"plain.txt", "tool.sh", "private.txt",
                                          "docs/deep/er/notes.txt", "docs/empty.txt"};
  for (size_t i = 0; i < files.size(); ++i) {
    TestTree::SetMtime(tree.Path("src/" + files[i]), 1'700'000'001 + 2 * static_cast<int64_t>(i),
                       123'456'789);
  }
  if (geteuid() == 0) {
    ASSERT_EQ(chown(tree.Path("src/private.txt").c_str(), testing::kNobody, testing::kNogroup), 0);
  }

  const BackupRunResult first = RunNextDay({"Stick", src, dst_});
  EXPECT_TRUE(first.failures.empty()) << Failures(first);
  EXPECT_EQ(first.filesCopied, static_cast<long long>(files.size()));
  EXPECT_EQ(first.setsBackedUp, 1);
  EXPECT_EQ(FilesOnly(Snapshot(dst_)), FilesOnly(Snapshot(src)));
  for (const std::string& file : files) {
    const long long source = Nanoseconds(MtimeOf(tree.Path("src/" + file)));
    const long long copy = Nanoseconds(MtimeOf(dst_ + "/" + file));
    EXPECT_LE(copy, source) << file;
    EXPECT_LT(source - copy, GetParam().grain) << file;
  }

  const BackupRunResult second = RunNextDay({"Stick", src, dst_});
  EXPECT_TRUE(second.failures.empty()) << Failures(second);
  EXPECT_EQ(second.filesCopied, 0);
  EXPECT_EQ(second.setsBackedUp, 1);

  tree.File("src/docs/deep/er/notes.txt", "notes, longer now");
  TestTree::SetMtime(tree.Path("src/docs/deep/er/notes.txt"), 1'700'000'101, 500'000'000);
  const BackupRunResult third = RunNextDay({"Stick", src, dst_});
  EXPECT_TRUE(third.failures.empty()) << Failures(third);
  EXPECT_EQ(third.filesCopied, 1);
  EXPECT_EQ(TestTree::Read(dst_ + "/docs/deep/er/notes.txt"), "notes, longer now");
  EXPECT_EQ(RunNextDay({"Stick", src, dst_}).filesCopied, 0);
}

// A medium that stamps a copy's time anew when it is named does so at every
// copy: after many copies the times are still set back, and none is copied
// again.
TEST_P(RunRemovableMedia, EveryCopyOfManyKeepsItsTime) {
  const std::string src = tree.Dir("src");
  const int kFiles = 3 * NamingTimes::kTrustedAfter;
  for (int i = 0; i < kFiles; ++i) {
    const std::string name = "src/f" + std::to_string(i) + ".txt";
    tree.File(name, std::to_string(i));
    TestTree::SetMtime(tree.Path(name), 1'650'000'001 + 2 * i, 250'000'000);
  }
  const BackupRunResult first = RunNextDay({"Many", src, dst_});
  EXPECT_TRUE(first.failures.empty()) << Failures(first);
  EXPECT_EQ(first.filesCopied, kFiles);
  int wrong = 0;
  for (int i = 0; i < kFiles; ++i) {
    const std::string name = "/f" + std::to_string(i) + ".txt";
    const long long source = Nanoseconds(MtimeOf(src + name));
    const long long copy = Nanoseconds(MtimeOf(dst_ + name));
    if (copy > source || source - copy >= GetParam().grain) ++wrong;
  }
  EXPECT_EQ(wrong, 0) << "copies whose time was not kept";
  const BackupRunResult second = RunNextDay({"Many", src, dst_});
  EXPECT_TRUE(second.failures.empty()) << Failures(second);
  EXPECT_EQ(second.filesCopied, 0);
}

// Times FAT cannot hold (before 1980, after 2107; fusefat would wrap them
// round its 128 years) are held as the end of its range, which is the same
// file age: no failure, a second run copies nothing, and a source changed
// to a time the medium holds is copied again.
TEST_P(RunRemovableMedia, TimesOutsideTheMediumsRangeAreNotCopiedAgain) {
  const std::string src = tree.Dir("src");
  tree.File("src/old.txt", "old");
  tree.File("src/older.txt", "older");
  tree.File("src/future.txt", "future");
  TestTree::SetMtime(tree.Path("src/old.txt"), 163'220'767);       // 1975
  TestTree::SetMtime(tree.Path("src/older.txt"), -315'619'200);    // 1960
  TestTree::SetMtime(tree.Path("src/future.txt"), 5'679'590'400);  // 2150
  for (const std::vector<std::string>& keep :
       {std::vector<std::string>{}, std::vector<std::string>{".txt"}}) {
    SCOPED_TRACE(keep.empty() ? "newer test" : "keep-original test");
    const std::string dst = dst_ + (keep.empty() ? "/newer" : "/keep");
    const BackupRunResult first = RunNextDay({"Range", src, dst}, keep);
    EXPECT_TRUE(first.failures.empty()) << Failures(first);
    EXPECT_EQ(first.filesCopied, 3);
    const BackupRunResult second = RunNextDay({"Range", src, dst}, keep);
    EXPECT_TRUE(second.failures.empty()) << Failures(second);
    EXPECT_EQ(second.filesCopied, 0);
  }
  tree.File("src/old.txt", "old, changed in 2001");
  TestTree::SetMtime(tree.Path("src/old.txt"), 1'000'000'000);
  const BackupRunResult third = RunNextDay({"Range", src, dst_ + "/newer"});
  EXPECT_TRUE(third.failures.empty()) << Failures(third);
  EXPECT_EQ(third.filesCopied, 1);
  EXPECT_EQ(TestTree::Read(dst_ + "/newer/old.txt"), "old, changed in 2001");
}

// Keep-original files compare the other way round (a copy newer than its
// source is replaced): a time the medium holds coarsely must not make the
// copy look newer, or each run would copy it again.
TEST_P(RunRemovableMedia, KeptOriginalsAreNotCopiedAgain) {
  const std::string src = tree.Dir("src");
  tree.File("src/a.keep", "a");
  tree.File("src/b.keep", "b");
  TestTree::SetMtime(tree.Path("src/a.keep"), 1'700'000'001, 999'999'999);
  TestTree::SetMtime(tree.Path("src/b.keep"), 1'700'000'000, 1);
  const BackupRunResult first = RunNextDay({"Keep", src, dst_}, {".keep"});
  EXPECT_TRUE(first.failures.empty()) << Failures(first);
  EXPECT_EQ(first.filesCopied, 2);
  const BackupRunResult second = RunNextDay({"Keep", src, dst_}, {".keep"});
  EXPECT_TRUE(second.failures.empty()) << Failures(second);
  EXPECT_EQ(second.filesCopied, 0);
}

// Two source names the medium folds into one: the first met is copied, the
// other fails on its own line, run after run, and never overwrites it. A file
// renamed in case only is still its old copy's file, with no failure.
TEST_P(RunRemovableMedia, NamesFoldedIntoOneFailNeverOverwrite) {
  const std::string src = tree.Dir("src");
  tree.File("src/Case.txt", "upper");
  tree.File("src/case.txt", "lower");
  tree.File("src/other.txt", "other");
  const BackupRunResult first = RunNextDay({"Fold", src, dst_});
  if (!GetParam().foldsCase) {
    EXPECT_TRUE(first.failures.empty()) << Failures(first);
    EXPECT_EQ(first.filesCopied, 3);
    EXPECT_EQ(TestTree::Read(dst_ + "/Case.txt"), "upper");
    EXPECT_EQ(TestTree::Read(dst_ + "/case.txt"), "lower");
    return;
  }
  EXPECT_EQ(first.filesCopied, 2);
  ASSERT_THAT(first.failures, SizeIs(1)) << Failures(first);
  const std::set<std::string> copied = NamesIn(dst_);
  ASSERT_THAT(copied, SizeIs(2));
  const bool upperFirst = copied.count("Case.txt") != 0;
  const std::string loser = upperFirst ? "case.txt" : "Case.txt";
  const std::string winner = upperFirst ? "Case.txt" : "case.txt";
  EXPECT_THAT(first.failures[0], HasSubstr(src + "/" + loser + " -> " + dst_ + "/" + loser));
  EXPECT_THAT(first.failures[0], HasSubstr("\"" + winner + "\""));
  EXPECT_EQ(TestTree::Read(dst_ + "/" + winner), upperFirst ? "upper" : "lower");

  // The loser made newer still overwrites nothing.
  TestTree::SetMtime(tree.Path("src/" + loser), 1'900'000'000);
  const BackupRunResult second = RunNextDay({"Fold", src, dst_});
  EXPECT_EQ(second.filesCopied, 0);
  ASSERT_THAT(second.failures, SizeIs(1)) << Failures(second);
  EXPECT_THAT(second.failures[0], HasSubstr(src + "/" + loser + " -> "));
  EXPECT_EQ(TestTree::Read(dst_ + "/" + winner), upperFirst ? "upper" : "lower");

  // Renamed in case only: the copy is the same file's; a newer version
  // replaces it.
  ASSERT_EQ(rename(tree.Path("src/other.txt").c_str(), tree.Path("src/OTHER.TXT").c_str()), 0);
  tree.File("src/OTHER.TXT", "other, newer");
  TestTree::SetMtime(tree.Path("src/OTHER.TXT"), 1'900'000'000);
  const BackupRunResult third = RunNextDay({"Fold", src, dst_});
  ASSERT_THAT(third.failures, SizeIs(1)) << Failures(third);  // the pair's loser only
  EXPECT_EQ(third.filesCopied, 1);
  EXPECT_EQ(TestTree::Read(dst_ + "/OTHER.TXT"), "other, newer");
}

// Two source folders the medium folds into one: the files of the one met
// second fail, each on its line, and overwrite nothing of the other's, even
// when newer.
TEST_P(RunRemovableMedia, FoldersFoldedIntoOneFailNeverOverwrite) {
  const std::string src = tree.Dir("src");
  tree.File("src/Docs/a.txt", "upper a");
  tree.File("src/Docs/sub/c.txt", "upper c");
  tree.File("src/docs/a.txt", "lower a");
  tree.File("src/docs/sub/c.txt", "lower c");
  const BackupRunResult first = RunNextDay({"Folders", src, dst_});
  if (!GetParam().foldsCase) {
    EXPECT_TRUE(first.failures.empty()) << Failures(first);
    EXPECT_EQ(FilesOnly(Snapshot(dst_)), FilesOnly(Snapshot(src)));
    return;
  }
  EXPECT_EQ(first.filesCopied, 2);
  ASSERT_THAT(first.failures, SizeIs(2)) << Failures(first);
  const std::set<std::string> copied = NamesIn(dst_);
  ASSERT_THAT(copied, SizeIs(1));
  const std::string winner = *copied.begin();
  const std::string loser = winner == "Docs" ? "docs" : "Docs";
  const std::string kept = winner == "Docs" ? "upper" : "lower";
  for (const std::string& failure : first.failures) {
    EXPECT_THAT(failure, HasSubstr(src + "/" + loser + "/"));
    EXPECT_THAT(failure, HasSubstr("the folder \"" + loser + "\" from \"" + winner +
                                   "\", another folder's copy"));
  }
  EXPECT_EQ(TestTree::Read(dst_ + "/" + winner + "/a.txt"), kept + " a");
  EXPECT_EQ(TestTree::Read(dst_ + "/" + winner + "/sub/c.txt"), kept + " c");

  TestTree::SetMtime(tree.Path("src/" + loser + "/a.txt"), 1'900'000'000);
  TestTree::SetMtime(tree.Path("src/" + loser + "/sub/c.txt"), 1'900'000'000);
  const BackupRunResult second = RunNextDay({"Folders", src, dst_});
  EXPECT_EQ(second.filesCopied, 0);
  EXPECT_THAT(second.failures, SizeIs(2)) << Failures(second);
  EXPECT_EQ(TestTree::Read(dst_ + "/" + winner + "/a.txt"), kept + " a");
  EXPECT_EQ(TestTree::Read(dst_ + "/" + winner + "/sub/c.txt"), kept + " c");
}

// Names the medium cannot hold fail each on its line with the reason; the
// rest of the run goes on, no temporary file is left, and the next run copies
// nothing and reports the same.
TEST_P(RunRemovableMedia, NamesItCannotHoldFailEachOnItsLine) {
  const std::string src = tree.Dir("src");
  tree.File("src/a:b.txt", "colon");
  tree.File("src/what?.txt", "question");
  tree.File("src/fine.txt", "fine");
  const BackupRunResult first = RunNextDay({"Names", src, dst_});
  if (!GetParam().refusesWindowsNames) {
    EXPECT_TRUE(first.failures.empty()) << Failures(first);
    EXPECT_EQ(FilesOnly(Snapshot(dst_)), FilesOnly(Snapshot(src)));
    return;
  }
  EXPECT_EQ(first.filesCopied, 1);
  ASSERT_THAT(first.failures, SizeIs(2)) << Failures(first);
  std::vector<std::string> failed = first.failures;
  std::sort(failed.begin(), failed.end());
  EXPECT_EQ(failed[0], src + "/a:b.txt -> " + dst_ +
                           "/a:b.txt: the destination's file system cannot hold this name");
  EXPECT_EQ(failed[1], src + "/what?.txt -> " + dst_ +
                           "/what?.txt: the destination's file system cannot hold this name");
  EXPECT_EQ(TestTree::Read(dst_ + "/fine.txt"), "fine");
  EXPECT_EQ(NamesIn(dst_), std::set<std::string>{"fine.txt"});
  const BackupRunResult second = RunNextDay({"Names", src, dst_});
  EXPECT_EQ(second.filesCopied, 0);
  EXPECT_THAT(second.failures, SizeIs(2)) << Failures(second);
}

// A look by name on a medium that folds names may meet another file's copy
// (case.txt finds Case.txt's): the look ahead of the run vouches for no file
// where names may fold, so every file goes through the run's own look, which
// tells them apart.
TEST_P(RunRemovableMedia, TheLookAheadLeavesFoldingMediaToTheRun) {
  const std::string src = tree.Dir("src");
  tree.File("src/Case.txt", "upper");
  tree.File("src/docs/a.txt", "a");
  ASSERT_TRUE(RunNextDay({"Stick", src, dst_}).failures.empty());
  tree.File("src/case.txt", "lower");
  TestTree::SetMtime(tree.Path("src/case.txt"), 1'600'000'000);

  const TreeListing listing = ListTree(src, "");
  LookAhead ahead(
      listing, src, dst_, [](std::string_view) { return false; }, 2);
  size_t vouched = 0;
  for (size_t i = 0; i < listing.folders.size(); ++i) vouched += ahead.Take(i, true).size();
  // FUSE does not say whether it folds: every medium here is left to the run.
  EXPECT_EQ(vouched, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Media, RunRemovableMedia,
    ::testing::Values(Medium{FuseVolume::Kind::kFat, true, true, 2'000'000'000},
                      Medium{FuseVolume::Kind::kExfat, true, true, 1'000'000'000},
                      Medium{FuseVolume::Kind::kNtfs, false, false, 100}),
    [](const ::testing::TestParamInfo<Medium>& info) {
      return std::string(FuseVolume::Name(info.param.kind));
    });

}  // namespace
}  // namespace quillfen
