// Selective backup and restore under faults: a full destination, selected
// files that vanish or stop being files before their turn, targets that are
// folders, and links planted in the tree copied into. A file not copied stays
// selected and is counted; nothing is half written; nothing outside is made.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "compare/CompareLogic.h"
#include "compare/SelectiveCopy.h"
#include "engine/FileCopy.h"
#include "engine/IniFile.h"
#include "testing/CompareSupport.h"
#include "testing/FaultInjection.h"
#include "testing/FuseVolume.h"
#include "testing/SyncFault.h"
#include "testing/TestTree.h"

namespace quillfen {
namespace {

using quillfen::testing::CopyAndFinish;
using quillfen::testing::NamesIn;
using quillfen::testing::ReadFile;
using quillfen::testing::RecordingFeedback;
using quillfen::testing::Request;
using quillfen::testing::TestTree;
using quillfen::testing::WriteFile;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

TEST(SelectiveCopyFaults, FullDestinationCountsEachFileKeepsItSelectedAndWritesNoPart) {
  testing::SmallDisk disk(1 << 20);
  if (!disk.ok()) GTEST_SKIP() << disk.error();
  TestTree dir;
  const std::string src = dir.Path("src");
  const std::vector<std::string> items = {"/a.bin", "/b.bin", "/c.bin", "/d.bin"};
  for (size_t i = 0; i < items.size(); ++i)
    WriteFile(src + items[i], testing::Pattern(300 << 10, static_cast<char>('a' + i)));
  const std::string dst = disk.root() + "/dst";
  RecordingFeedback feedback;

  SelectiveCopyRequest request = Request(src, dst, items, dir.Path("Quillfen.ini"));
  SelectiveCopyOutcome outcome = CopyAndFinish(request, feedback);
  ASSERT_GT(outcome.failed, 0u) << "1.2 MB cannot fit on a 1 MB disk";
  EXPECT_EQ(outcome.copied + outcome.failed, items.size());
  size_t stillSelected = 0;
  for (size_t i = 0; i < items.size(); ++i) {
    const std::string there = ReadFile(dst + items[i]);
    const bool whole = there == ReadFile(src + items[i]);
    EXPECT_TRUE(whole || there == "<missing>") << items[i] << " half written";
    EXPECT_EQ(outcome.selected[i] != 0, !whole) << items[i];
    stillSelected += outcome.selected[i] ? 1 : 0;
  }
  EXPECT_EQ(stillSelected, outcome.failed);
  EXPECT_EQ(NamesIn(dst).size(), outcome.copied) << "a temporary file stayed behind";
  EXPECT_THAT(feedback.Messages().back(),
              HasSubstr("コピーできなかったファイルが " + std::to_string(outcome.failed) + " 件"));

  // Space freed: copying what is still selected completes the set.
  for (size_t i = 0; i < items.size(); ++i)
    if (!outcome.selected[i]) std::filesystem::remove(dst + items[i]);
  request.selected = outcome.selected;
  outcome = CopyAndFinish(request, feedback);
  EXPECT_EQ(outcome.failed, 0u);
  for (size_t i = 0; i < items.size(); ++i) EXPECT_EQ(outcome.selected[i], 0) << items[i];
}

TEST(SelectiveCopyFaults, SelectedFilesThatWentOrChangedKindNeitherHangNorCountAsCopied) {
  TestTree dir;
  const std::string src = dir.Path("src");
  const std::string dst = dir.Path("dst");
  const std::vector<std::string> items = {"/gone.txt", "/fifo.keep", "/folder.txt", "/fine.txt"};
  for (const std::string& item : items) WriteFile(src + item, item);
  // Between the listing and the copy:
  std::filesystem::remove(src + "/gone.txt");
  std::filesystem::remove(src + "/fifo.keep");
  ASSERT_EQ(mkfifo((src + "/fifo.keep").c_str(), 0644), 0);
  std::filesystem::remove(src + "/folder.txt");
  WriteFile(src + "/folder.txt/inner.txt", "inner");
  std::filesystem::create_directories(dst);

  RecordingFeedback feedback;
  SelectiveCopyRequest request = Request(src, dst, items, dir.Path("Quillfen.ini"));
  request.keepOriginal = {".keep"};
  const SelectiveCopyOutcome outcome = CopyAndFinish(request, feedback);
  EXPECT_EQ(outcome.copied, 1u);
  EXPECT_THAT(outcome.selected, ElementsAre(1, 1, 1, 0));
  EXPECT_EQ(outcome.failed, 1u);  // the keep-original FIFO was tried and refused
  EXPECT_EQ(NamesIn(dst), std::set<std::string>{"fine.txt"});
}

TEST(SelectiveCopyFaults, RestoreOntoAFolderFailsAndIsCounted) {
  TestTree dir;
  const std::string src = dir.Path("src");
  const std::string dst = dir.Path("dst");
  WriteFile(dst + "/x.txt", "backup", 1600000000);
  WriteFile(dst + "/y.txt", "backup y", 1600000000);
  WriteFile(src + "/x.txt/kept.txt", "a folder now stands here");
  RecordingFeedback feedback;
  const SelectiveCopyOutcome outcome =
      CopyAndFinish(Request(dst, src, {"/x.txt", "/y.txt"}, dir.Path("Quillfen.ini")), feedback);
  EXPECT_EQ(outcome.failed, 1u);
  EXPECT_THAT(outcome.selected, ElementsAre(1, 0));
  EXPECT_EQ(ReadFile(src + "/x.txt/kept.txt"), "a folder now stands here");
  EXPECT_EQ(ReadFile(src + "/y.txt"), "backup y");
}

TEST(SelectiveCopyFaults, HostileTreeIsListedOnceWithoutLoopsAndCopiedExactly) {
  TestTree dir;
  const std::string src = dir.Path("src");
  const std::string dst = dir.Path("dst");
  const std::vector<std::string> names = {"/\"q\"",         "/a,b",          "/ lead",
                                          "/new\nline",     "/-rf",          "/\xff\xfe",
                                          "/sub dir/x.txt", "/SUB DIR/x.txt"};
  for (const std::string& name : names) WriteFile(src + name, name);
  ASSERT_EQ(symlink(src.c_str(), (src + "/loop").c_str()), 0);
  ASSERT_EQ(symlink("self", (src + "/self").c_str()), 0);
  ASSERT_EQ(mkfifo((src + "/fifo").c_str(), 0644), 0);

  std::vector<std::string> listed = ListRelativeFiles(src);
  std::vector<std::string> expected = names;
  std::sort(expected.begin(), expected.end());
  std::vector<std::string> sorted = listed;
  std::sort(sorted.begin(), sorted.end());
  ASSERT_EQ(sorted, expected);

  RecordingFeedback feedback;
  SelectiveCopyRequest request = Request(src, dst, listed, dir.Path("Quillfen.ini"));
  const SelectiveCopyOutcome outcome = CopyAndFinish(request, feedback);
  EXPECT_EQ(outcome.copied, names.size());
  EXPECT_EQ(outcome.failed, 0u);
  for (const std::string& name : names) EXPECT_EQ(ReadFile(dst + name), name);
}

// Backing up into a destination where a link to a folder elsewhere was
// planted: nothing may be created or written outside the destination.
TEST(SelectiveCopyFaults, BackupDoesNotWriteThroughALinkPlantedInTheDestination) {
  TestTree dir;
  const std::string src = dir.Path("src");
  const std::string dst = dir.Path("dst");
  const std::string outside = dir.Path("outside");
  WriteFile(src + "/sub/a.txt", "a");
  WriteFile(src + "/sub/deeper/b.txt", "b");
  std::filesystem::create_directories(dst);
  std::filesystem::create_directories(outside);
  ASSERT_EQ(symlink(outside.c_str(), (dst + "/sub").c_str()), 0);
  RecordingFeedback feedback;
  SelectiveCopyRequest request =
      Request(src, dst, {"/sub/a.txt", "/sub/deeper/b.txt"}, dir.Path("Quillfen.ini"));
  request.replacePlantedLinks = true;  // as the window asks for a backup
  const SelectiveCopyOutcome outcome = CopyAndFinish(request, feedback);
  EXPECT_TRUE(NamesIn(outside).empty()) << "written outside the destination";
  EXPECT_EQ(outcome.copied, 2u);
  EXPECT_EQ(ReadFile(dst + "/sub/deeper/b.txt"), "b");
}

// A backup onto the source itself (the same folder, or a link to it) must not
// touch the user's own links there.
TEST(SelectiveCopyFaults, BackupOntoTheSourceItselfKeepsTheUsersLinks) {
  TestTree dir;
  const std::string src = dir.Path("src");
  WriteFile(src + "/a.txt", "a");
  const std::string elsewhere = WriteFile(dir.Path("elsewhere/file.txt"), "linked");
  ASSERT_EQ(symlink(elsewhere.c_str(), (src + "/link.txt").c_str()), 0);
  ASSERT_EQ(symlink(dir.Path("elsewhere").c_str(), (src + "/linkdir").c_str()), 0);
  ASSERT_EQ(symlink(src.c_str(), dir.Path("alias").c_str()), 0);
  for (const std::string& to : {src, dir.Path("alias")}) {
    RecordingFeedback feedback;
    SelectiveCopyRequest request =
        Request(src, to, {"/a.txt", "/link.txt", "/linkdir/file.txt"}, dir.Path("Quillfen.ini"));
    request.replacePlantedLinks = true;
    (void)CopyAndFinish(request, feedback);
    struct stat st;
    ASSERT_EQ(lstat((src + "/link.txt").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << to;
    ASSERT_EQ(lstat((src + "/linkdir").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << to;
    EXPECT_EQ(ReadFile(elsewhere), "linked");
  }
}

// A restore writes into the user's own source tree: a link the user keeps
// there in place of a folder is never entered; the file below it fails, is
// counted and stays selected, and what the link names is left alone.
TEST(SelectiveCopyFaults, RestoreNeverEntersALinkInTheSourceTree) {
  TestTree dir;
  const std::string src = dir.Path("src");
  const std::string dst = dir.Path("dst");
  WriteFile(dst + "/photos/a.jpg", "from the backup");
  WriteFile(dst + "/other.txt", "other");
  std::filesystem::create_directories(src);
  const std::string elsewhere = dir.Path("elsewhere");
  std::filesystem::create_directories(elsewhere);
  ASSERT_EQ(symlink(elsewhere.c_str(), (src + "/photos").c_str()), 0);
  RecordingFeedback feedback;
  const SelectiveCopyOutcome out = CopyAndFinish(
      Request(dst, src, {"/other.txt", "/photos/a.jpg"}, dir.Path("Quillfen.ini")), feedback);
  EXPECT_THAT(out.selected, ElementsAre(0, 1));
  EXPECT_EQ(out.failed, 1u);
  EXPECT_TRUE(NamesIn(elsewhere).empty());
  EXPECT_EQ(ReadFile(src + "/other.txt"), "other");
  struct stat st;
  ASSERT_EQ(lstat((src + "/photos").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
}

// The flush after the copies fails (a failing disk): the end time must not
// claim copies that a power loss could take back. No end time is written,
// the failure is shown, and the window stays open.
TEST(SelectiveCopyFaults, AFailedFlushWritesNoEndTimeAndShowsTheFailure) {
  TestTree dir;
  WriteFile(dir.Path("src/a.txt"), "a");
  RecordingFeedback feedback;
  const std::string ini = dir.Path("Quillfen.ini");
  testing::FailNextSyncs(EIO);
  const SelectiveCopyOutcome out =
      CopyAndFinish(Request(dir.Path("src"), dir.Path("dst"), {"/a.txt"}, ini), feedback);
  EXPECT_EQ(out.copied, 1u);
  EXPECT_FALSE(out.closeWindow);
  EXPECT_EQ(IniFile(ini).ReadString("Set1", "終了時刻", "<none>"), "<none>");
  ASSERT_FALSE(feedback.events.empty());
  EXPECT_EQ(feedback.events.back(), "error: " + dir.Path("dst") + ": " + ErrnoText(EIO));
  EXPECT_THAT(feedback.Messages(),
              ::testing::Not(::testing::Contains("バックアップが終了しました。")));
}

// Nothing is left to copy (the file selected is up to date, or nothing is
// selected): the copy-to side is flushed all the same before the end time,
// for what an earlier, stopped copy left there.
TEST(SelectiveCopyFaults, ACopyOfNothingStillFlushesBeforeTheEndTime) {
  TestTree dir;
  WriteFile(dir.Path("src/a.txt"), "a", 1700000000);
  WriteFile(dir.Path("dst/a.txt"), "a", 1700000000);
  const std::string ini = dir.Path("Quillfen.ini");
  for (const std::vector<std::string>& items :
       {std::vector<std::string>{"/a.txt"}, std::vector<std::string>{}}) {
    RecordingFeedback feedback;
    testing::FailNextSyncs(EIO);
    const SelectiveCopyOutcome out =
        CopyAndFinish(Request(dir.Path("src"), dir.Path("dst"), items, ini), feedback);
    EXPECT_EQ(out.copied, 0u);
    EXPECT_EQ(IniFile(ini).ReadString("Set1", "終了時刻", "<none>"), "<none>");
    ASSERT_FALSE(feedback.events.empty());
    EXPECT_EQ(feedback.events.back(), "error: " + dir.Path("dst") + ": " + ErrnoText(EIO));
  }
}

// Folders made by a backup or a restore take the bits of the folder copied
// from: a private folder stays private on the other side.
TEST(SelectiveCopyFaults, FoldersMadeAreAsPrivateAsTheFoldersCopiedFrom) {
  TestTree dir;
  const std::string src = dir.Path("src");
  const std::string dst = dir.Path("dst");
  WriteFile(src + "/private/inner/a.txt", "a");
  WriteFile(dst + "/kept/b.txt", "b");
  ASSERT_EQ(chmod((src + "/private/inner").c_str(), 0750), 0);
  ASSERT_EQ(chmod((src + "/private").c_str(), 0700), 0);
  ASSERT_EQ(chmod((dst + "/kept").c_str(), 0711), 0);
  std::filesystem::create_directories(dst);
  RecordingFeedback feedback;
  SelectiveCopyRequest backup =
      Request(src, dst, {"/private/inner/a.txt"}, dir.Path("Quillfen.ini"));
  backup.replacePlantedLinks = true;
  ASSERT_EQ(CopyAndFinish(backup, feedback).copied, 1u);
  ASSERT_EQ(
      CopyAndFinish(Request(dst, src, {"/kept/b.txt"}, dir.Path("Quillfen.ini")), feedback).copied,
      1u);
  auto bits = [](const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  };
  EXPECT_EQ(bits(dst + "/private"), 0700u);
  EXPECT_EQ(bits(dst + "/private/inner"), 0750u);
  EXPECT_EQ(bits(src + "/kept"), 0711u);
}

// Kills or stops a FUSE volume's daemon, standing in for a share's server,
// the `after`-th time the copy asks whether to stop; a hang seen lets the
// daemon go on, as a server may after a while, so that the copy comes back.
class TroubleFeedback : public RecordingFeedback, public testing::DaemonTrouble {
 public:
  bool StopRequested() override {
    Asked();
    return false;
  }
  void DestinationHung(std::string_view line) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      hung_ = std::string(line);
    }
    volume->SignalDaemons(SIGCONT);
  }
  std::string hung() {
    std::lock_guard<std::mutex> lock(mutex_);
    return hung_;
  }

 private:
  std::mutex mutex_;
  std::string hung_;
};

// A share that dies or hangs in the middle of a copy from the comparison
// window: the copy ends soon with one line saying so instead of one a file,
// the files not copied stay selected, no end time is written and the window
// shows why and stays open.
TEST(SelectiveCopyFaults, AShareThatDiesOrHangsEndsTheCopyWithOneLine) {
  for (const int signal : {SIGKILL, SIGSTOP}) {
    SCOPED_TRACE(signal == SIGKILL ? "server killed" : "server frozen");
    auto volume = std::make_unique<testing::FuseVolume>(testing::FuseVolume::Kind::kFat);
    if (!volume->mounted()) GTEST_SKIP() << volume->skipReason();
    TestTree dir;
    std::vector<std::string> items;
    for (int i = 0; i < 300; ++i) {
      items.push_back("/many/f" + std::to_string(i) + ".txt");
      WriteFile(dir.Path("src" + items.back()), "f", 1600000000);
    }
    SelectiveCopyRequest request =
        Request(dir.Path("src"), volume->root() + "/backup", items, dir.Path("Quillfen.ini"));
    request.patience = std::chrono::milliseconds(1500);
    TroubleFeedback feedback;
    feedback.volume = volume.get();
    feedback.signal = signal;
    feedback.after = static_cast<int>(items.size()) + 50;  // asked once a file in each pass
    const auto start = std::chrono::steady_clock::now();
    const SelectiveCopyOutcome outcome = CopyAndFinish(request, feedback);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    volume->SignalDaemons(SIGCONT);

    EXPECT_GT(outcome.copied, 0u);
    EXPECT_LT(outcome.copied, items.size());
    ASSERT_FALSE(outcome.failures.empty());
    EXPECT_LE(outcome.failures.size(), 3u) << ::testing::PrintToString(outcome.failures);
    EXPECT_THAT(outcome.failures.back(), HasSubstr(volume->root() + "/backup: "));
    if (signal == SIGSTOP) {
      EXPECT_EQ(feedback.hung(),
                volume->root() + "/backup: the destination does not answer (waited 1 s)");
    }
    EXPECT_EQ(std::count(outcome.selected.begin(), outcome.selected.end(), 1),
              static_cast<long>(items.size() - outcome.copied));
    EXPECT_FALSE(outcome.closeWindow);
    EXPECT_THAT(feedback.events, ::testing::Contains(HasSubstr("error: ")));
    EXPECT_EQ(IniFile(dir.Path("Quillfen.ini")).ReadString("Set1", "終了時刻", "<none>"), "<none>");
  }
}

// A share already frozen when the copy starts, into a copy-to folder not
// made yet: the first looks at it, before any folder is made, are watched
// too. The copy ends with the one line, nothing copied, no end time.
TEST(SelectiveCopyFaults, AShareFrozenBeforeTheCopyIsSeenAtTheFirstLook) {
  auto volume = std::make_unique<testing::FuseVolume>(testing::FuseVolume::Kind::kFat);
  if (!volume->mounted()) GTEST_SKIP() << volume->skipReason();
  TestTree dir;
  const std::vector<std::string> items = {"/a.txt", "/b.txt", "/c.txt"};
  for (const std::string& item : items) WriteFile(dir.Path("src" + item), "f", 1600000000);
  SelectiveCopyRequest request =
      Request(dir.Path("src"), volume->root() + "/backup", items, dir.Path("Quillfen.ini"));
  request.patience = std::chrono::milliseconds(1500);
  TroubleFeedback feedback;  // answers the hang by letting the daemon go on
  feedback.volume = volume.get();
  feedback.after = -1;
  volume->SignalDaemons(SIGSTOP);
  // Should the hang never be seen, the daemon goes on after 30 s all the same.
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
  std::thread guard([&] {
    std::unique_lock<std::mutex> lock(mutex);
    if (!ended.wait_for(lock, std::chrono::seconds(30), [&] { return done; })) {
      volume->SignalDaemons(SIGCONT);
    }
  });
  const auto start = std::chrono::steady_clock::now();
  const SelectiveCopyOutcome outcome = CopyAndFinish(request, feedback);
  const auto took = std::chrono::steady_clock::now() - start;
  {
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
  }
  ended.notify_all();
  guard.join();
  volume->SignalDaemons(SIGCONT);

  EXPECT_EQ(feedback.hung(),
            volume->root() + "/backup: the destination does not answer (waited 1 s)");
  EXPECT_LT(took, std::chrono::seconds(20));
  EXPECT_EQ(outcome.copied, 0u);
  EXPECT_THAT(outcome.selected, ::testing::ElementsAre(1, 1, 1));
  EXPECT_THAT(outcome.failures, ::testing::ElementsAre(feedback.hung()));
  EXPECT_FALSE(outcome.closeWindow);
  EXPECT_EQ(IniFile(dir.Path("Quillfen.ini")).ReadString("Set1", "終了時刻", "<none>"), "<none>");
}

}  // namespace
}  // namespace quillfen
