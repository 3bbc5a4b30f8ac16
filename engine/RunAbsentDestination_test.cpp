// A destination that is not there: a medium that is not plugged in, a share
// that is not mounted or whose client died, a disk that stops answering. The
// set fails with one line and stays due; nothing is written onto the disk
// that holds the empty mount point, and the run goes on with the next set.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/BackupRun.h"
#include "engine/FileAccess.h"
#include "engine/IniFile.h"
#include "testing/FuseVolume.h"
#include "testing/RunSupport.h"
#include "testing/TestTree.h"

namespace quillfen {
namespace {

using ::testing::ElementsAre;
using testing::Failures;
using testing::FilesOnly;
using testing::FuseVolume;
using ::testing::HasSubstr;
using testing::Snapshot;
using testing::TestTree;

// A view with this test's own mount tables and patience.
class AbsentView : public testing::RecordingRunView {
 public:
  MountTables tables;
  std::chrono::milliseconds patience{2000};
  MountTables Mounts() override { return tables; }
  std::chrono::milliseconds DestinationPatience() override { return patience; }
};

class RunAbsentDestination : public ::testing::Test {
 protected:
  void SetUp() override {
    view.tables.fstab = tree.File("fstab", "//nas/backups " + tree.Path("nas") + " cifs noauto\n");
    view.tables.mediaFolders = {tree.Path("media")};
    tree.File("src/a.txt", "a");
    tree.File("src/sub/b.txt", "b");
  }
  BackupRunResult Run(const std::vector<BackupSet>& sets) {
    clock.NextDay();
    IniFile settings(tree.Path("Quillfen.ini"));
    return RunBackup(sets, {}, {}, clock, settings, view);
  }
  std::string EndTimeText(const std::string& set) const {
    return IniFile(tree.Path("Quillfen.ini")).ReadString(set, "終了時刻", "<none>");
  }

  TestTree tree;
  testing::FakeClock clock;
  AbsentView view;
};

TEST_F(RunAbsentDestination, ASetBackedUpBeforeWhoseFolderIsGoneFailsAndIsNotMadeAnew) {
  const BackupSet docs{"Docs", tree.Path("src"), tree.Path("home/backup/docs")};
  const BackupSet other{"Other", tree.Path("src"), tree.Path("home/other")};
  ASSERT_EQ(Run({docs}).filesCopied, 2);
  const std::string ended = EndTimeText("Docs");
  std::filesystem::remove_all(tree.Path("home/backup"));

  const BackupRunResult result = Run({docs, other});
  EXPECT_THAT(result.failures,
              ElementsAre(tree.Path("home/backup/docs") +
                          ": the destination folder is missing: is its medium or share mounted? "
                          "It was backed up before and is not made anew; make it to start afresh"));
  EXPECT_THAT(result.failedSets,
              ElementsAre("Docsはコピー先フォルダが見つかりません。"
                          "メディアや共有フォルダが接続されているか確認してください。"));
  EXPECT_FALSE(IsFolder(tree.Path("home/backup"))) << "made anew";
  EXPECT_EQ(EndTimeText("Docs"), ended) << "the set must stay due";
  EXPECT_EQ(result.setsBackedUp, 1) << "the next set still runs";
  EXPECT_EQ(FilesOnly(Snapshot(tree.Path("home/other"))).size(), 2u);

  // The user makes the folder: the set is backed up into it again.
  tree.Dir("home/backup/docs");
  const BackupRunResult again = Run({docs});
  EXPECT_TRUE(again.failures.empty()) << Failures(again);
  EXPECT_EQ(again.filesCopied, 2);
}

// A first backup that began in a folder and did not end (stopped here; a
// share that went away under it alike) counts as a backup into it: with the
// folder gone, the share's empty mount point is not backed up into.
TEST_F(RunAbsentDestination, AFirstBackupThatDidNotEndIsNotMadeAnewWhenItsFolderIsGone) {
  const BackupSet docs{"Docs", tree.Path("src"), tree.Path("share/backup/docs")};
  view.stopAfterQuestions = 1;
  const BackupRunResult first = Run({docs});
  ASSERT_TRUE(first.stopped);
  ASSERT_TRUE(IsFolder(tree.Path("share/backup/docs")));
  EXPECT_EQ(EndTimeText("Docs"), "<none>");
  std::filesystem::remove_all(tree.Path("share/backup"));

  view.stopAfterQuestions = -1;
  const BackupRunResult result = Run({docs});
  EXPECT_THAT(result.failures, ElementsAre(HasSubstr("the destination folder is missing")));
  EXPECT_FALSE(IsFolder(tree.Path("share/backup"))) << "made anew";
  EXPECT_EQ(EndTimeText("Docs"), "<none>");

  // A set that never got as far as its folder still makes it.
  const BackupSet music{"Music", tree.Path("src"), tree.Path("share2/backup/music")};
  view.stopAfterQuestions = 0;
  view.questions = 0;
  ASSERT_TRUE(Run({music}).stopped);
  ASSERT_FALSE(IsFolder(tree.Path("share2"))) << "stopped before its folder";
  view.stopAfterQuestions = -1;
  const BackupRunResult made = Run({music});
  EXPECT_TRUE(made.failures.empty()) << Failures(made);
  EXPECT_EQ(made.filesCopied, 2);
}

TEST_F(RunAbsentDestination, ASetMovedToAnotherFolderMakesItAsAFirstBackup) {
  BackupSet docs{"Docs", tree.Path("src"), tree.Path("old")};
  ASSERT_EQ(Run({docs}).filesCopied, 2);
  docs.destination = tree.Path("new/backups/docs");
  const BackupRunResult moved = Run({docs});
  EXPECT_TRUE(moved.failures.empty()) << Failures(moved);
  EXPECT_EQ(moved.filesCopied, 2);

  // Settings written before the folder was recorded: the end time alone
  // counts as a backup into the folder the set names.
  IniFile settings(tree.Path("Quillfen.ini"));
  ASSERT_TRUE(settings.WriteString("Docs", "前回のコピー先", "").ok());
  std::filesystem::remove_all(tree.Path("new"));
  EXPECT_FALSE(Run({docs}).failedSets.empty());
  EXPECT_FALSE(IsFolder(tree.Path("new")));
}

TEST_F(RunAbsentDestination, AnEmptyMountPointOrMediaFolderIsNeverBackedUpInto) {
  tree.Dir("nas");  // the share's mount point, not mounted
  tree.Dir("media/me/OTHER");
  for (const char* destination : {"nas/backups/docs", "nas/docs", "media/me/STICK/backup"}) {
    SCOPED_TRACE(destination);
    const BackupRunResult result = Run({{"First", tree.Path("src"), tree.Path(destination)}});
    ASSERT_EQ(result.failures.size(), 1u) << Failures(result);
    EXPECT_THAT(result.failures[0], HasSubstr(tree.Path(destination) + ": "));
    EXPECT_THAT(result.failures[0], HasSubstr("is it mounted?"));
    EXPECT_EQ(result.failedSets.size(), 1u);
    EXPECT_EQ(result.filesCopied, 0);
  }
  EXPECT_EQ(Snapshot(tree.Path("nas")), testing::TreeSnapshot{});
  EXPECT_EQ(Snapshot(tree.Path("media")),
            (testing::TreeSnapshot{{"/me", "<folder>"}, {"/me/OTHER", "<folder>"}}));
  EXPECT_EQ(EndTimeText("First"), "<none>");
}

// A FUSE volume standing in for a share: its daemon killed, the mount
// answers ENOTCONN to everything, as a share whose client died.
class RunLostDestination : public RunAbsentDestination {
 protected:
  void SetUp() override {
    RunAbsentDestination::SetUp();
    volume_ = std::make_unique<FuseVolume>(FuseVolume::Kind::kFat);
    if (!volume_->mounted()) GTEST_SKIP() << volume_->skipReason();
    for (int i = 0; i < 300; ++i) tree.File("src/many/f" + std::to_string(i) + ".txt", "f");
  }
  void TearDown() override {
    for (pid_t pid : volume_ ? volume_->DaemonPids() : std::vector<pid_t>{}) kill(pid, SIGCONT);
    volume_.reset();
  }
  std::unique_ptr<FuseVolume> volume_;
};

// Kills or stops the volume's daemon when the run asks the first time
// whether to stop after `after` questions.
class TroubleView : public AbsentView, public testing::DaemonTrouble {
 public:
  bool StopRequested() override {
    Asked();
    return false;
  }
  // Seen on the heartbeat's thread; the volume answers again then, as a
  // server may after a while, so that the run comes back.
  void DestinationHung(const std::string& line) override {
    hung = line;
    volume->SignalDaemons(SIGCONT);
  }
  std::string hung;
};

TEST_F(RunLostDestination, AShareWhoseClientDiedFailsTheSetWithOneLineAtOnce) {
  TroubleView trouble;
  trouble.tables = view.tables;
  trouble.volume = volume_.get();
  trouble.patience = std::chrono::seconds(30);
  const BackupSet share{"Share", tree.Path("src"), volume_->root() + "/backup"};
  const BackupSet local{"Local", tree.Path("src"), tree.Path("local")};
  IniFile settings(tree.Path("Quillfen.ini"));
  clock.NextDay();
  const auto start = std::chrono::steady_clock::now();
  const BackupRunResult result = RunBackup({share, local}, {}, {}, clock, settings, trouble);
  const auto took = std::chrono::steady_clock::now() - start;

  EXPECT_LT(took, std::chrono::seconds(20)) << "a client that is gone is not waited for";
  // The copies made before are the only ones; one line for the rest.
  ASSERT_FALSE(result.failures.empty());
  EXPECT_LE(result.failures.size(), 3u) << Failures(result);
  EXPECT_THAT(result.failures.back(),
              HasSubstr(volume_->root() + "/backup: the destination cannot be reached any more"));
  EXPECT_THAT(result.failedSets,
              ElementsAre("Shareのコピー先が応答しないため、バックアップを中断しました。"));
  EXPECT_EQ(EndTimeText("Share"), "<none>");
  EXPECT_EQ(result.setsBackedUp, 1) << "the next set still runs";
  EXPECT_EQ(FilesOnly(Snapshot(tree.Path("local"))).size(), 302u);
}

TEST_F(RunLostDestination, ADestinationThatHangsIsSeenWhileTheRunWaitsInIt) {
  TroubleView trouble;
  trouble.tables = view.tables;
  trouble.volume = volume_.get();
  trouble.signal = SIGSTOP;
  trouble.patience = std::chrono::milliseconds(1500);
  const BackupSet share{"Share", tree.Path("src"), volume_->root() + "/backup"};
  const BackupSet local{"Local", tree.Path("src"), tree.Path("local")};
  IniFile settings(tree.Path("Quillfen.ini"));
  clock.NextDay();
  const auto start = std::chrono::steady_clock::now();
  const BackupRunResult result = RunBackup({share, local}, {}, {}, clock, settings, trouble);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));

  EXPECT_EQ(trouble.hung,
            "Share: " + volume_->root() + "/backup: the destination does not answer (waited 1 s)");
  ASSERT_FALSE(result.failures.empty());
  EXPECT_THAT(result.failures.back(), HasSubstr("the destination does not answer"));
  EXPECT_LE(result.failures.size(), 3u) << Failures(result);
  EXPECT_THAT(result.failedSets,
              ElementsAre("Shareのコピー先が応答しないため、バックアップを中断しました。"));
  EXPECT_EQ(EndTimeText("Share"), "<none>");
  EXPECT_EQ(result.setsBackedUp, 1) << "the next set still runs";
}

TEST_F(RunLostDestination, AWatchGivesUpADestinationThatHangsAfterItsPatience) {
  // Stopped, the volume's daemon answers nothing: a look at it hangs.
  for (pid_t pid : volume_->DaemonPids()) ASSERT_EQ(kill(pid, SIGSTOP), 0);
  DestinationWatch watch(volume_->root(), std::chrono::milliseconds(1500));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(watch.AwaitAnswer());
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(1400));
  EXPECT_LT(took, std::chrono::seconds(5));
  EXPECT_TRUE(watch.lost());
  EXPECT_THAT(watch.reason().message(),
              HasSubstr(volume_->root() + ": the destination does not answer (waited 1 s)"));
  EXPECT_FALSE(watch.AwaitAnswer()) << "once given up, at once";

  volume_->SignalDaemons(SIGCONT);
  DestinationWatch answering(volume_->root(), std::chrono::milliseconds(1500));
  EXPECT_TRUE(answering.AwaitAnswer());
  EXPECT_FALSE(answering.lost());
}

}  // namespace
}  // namespace quillfen

namespace quillfen {
namespace {

TEST(DestinationWatchTest, FilesFailingInARowGiveTheDestinationUpAndOneGoodCopyStartsAgain) {
  DestinationWatch watch("/nowhere");
  const Status trouble = PathError("/nowhere/a", EAGAIN);
  for (int i = 1; i < DestinationWatch::kTroubleInARow; ++i) watch.NoteOutcome(trouble);
  watch.NoteOutcome(Status::Ok());
  // Plain input/output errors (a full share) are no sign of a share gone.
  for (int i = 0; i < 3 * DestinationWatch::kTroubleInARow; ++i) {
    watch.NoteOutcome(PathError("/nowhere/b", EIO));
  }
  EXPECT_FALSE(watch.lost());
  watch.NoteOutcome(Status::Ok());
  for (int i = 0; i < DestinationWatch::kTroubleInARow; ++i) watch.NoteOutcome(trouble);
  EXPECT_TRUE(watch.lost());
  EXPECT_EQ(watch.reason().message(),
            "/nowhere: the destination failed 8 files in a row (" + ErrnoText(EAGAIN) + ")");
}

}  // namespace
}  // namespace quillfen
