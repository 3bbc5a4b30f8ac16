#include "compare/SelectiveCopy.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/FiCheck.h"
#include "engine/IniFile.h"
#include "testing/CompareSupport.h"
#include "testing/TestTree.h"

using namespace quillfen;
using quillfen::testing::CopyAndFinish;
using quillfen::testing::Exists;
using quillfen::testing::ReadFile;
using quillfen::testing::RecordingFeedback;
using quillfen::testing::TestTree;
using quillfen::testing::WriteFile;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

constexpr long kOld = 1500000000;
constexpr long kNew = 1600000000;
const char kDone[] = "バックアップが終了しました。";

// A set with its two trees under one temporary folder.
class SelectiveCopyTest : public ::testing::Test {
 protected:
  TestTree dir;
  std::string src = dir.Path("src");
  std::string dst = dir.Path("dst");
  std::string ini = dir.Path("Quillfen.ini");
  RecordingFeedback feedback;

  void SetUp() override {
    std::filesystem::create_directories(src);
    std::filesystem::create_directories(dst);
  }

  // A request copying every listed item (all selected) from `from` to `to`.
  SelectiveCopyRequest Request(const std::string& from, const std::string& to,
                               std::vector<std::string> items) const {
    return quillfen::testing::Request(from, to, std::move(items), ini);
  }

  std::string EndTime() const { return IniFile(ini).ReadString("Set1", "終了時刻", "<none>"); }
};

TEST_F(SelectiveCopyTest, BackupCopiesMissingFilesWithTheirFoldersAndCloses) {
  WriteFile(src + "/a.txt", "A", kOld);
  WriteFile(src + "/sub/deep/b", "B", kNew);
  const SelectiveCopyOutcome out =
      CopyAndFinish(Request(src, dst, {"/a.txt", "/sub/deep/b"}), feedback);
  EXPECT_EQ(ReadFile(dst + "/a.txt"), "A");
  EXPECT_EQ(ReadFile(dst + "/sub/deep/b"), "B");
  EXPECT_EQ(FileAge(dst + "/a.txt"), FileAge(src + "/a.txt"));
  EXPECT_THAT(out.selected, ElementsAre(0, 0));
  EXPECT_TRUE(out.closeWindow);
  EXPECT_THAT(feedback.events, ElementsAre("status: " + src + "/a.txtをコピー中",
                                           "status: " + src + "/sub/deep/bをコピー中", "timer",
                                           std::string("message: ") + kDone));
  EXPECT_EQ(EndTime(), "2026/12/07 9:05:07");
}

TEST_F(SelectiveCopyTest, RestoreCopiesBackAndWritesTheEndTime) {
  WriteFile(dst + "/only-dst.dat", "D", kOld);
  const SelectiveCopyOutcome out = CopyAndFinish(Request(dst, src, {"/only-dst.dat"}), feedback);
  EXPECT_EQ(ReadFile(src + "/only-dst.dat"), "D");
  EXPECT_TRUE(out.closeWindow);
  EXPECT_THAT(feedback.Messages(), ElementsAre(kDone));
  EXPECT_EQ(EndTime(), "2026/12/07 9:05:07");
}

TEST_F(SelectiveCopyTest, NothingSelectedStillWritesTheEndTimeAndStaysOpen) {
  WriteFile(src + "/a", "A");
  SelectiveCopyRequest r = Request(src, dst, {"/a"});
  r.selected = {0};
  const SelectiveCopyOutcome out = CopyAndFinish(r, feedback);
  EXPECT_FALSE(out.closeWindow);
  EXPECT_FALSE(Exists(dst + "/a"));
  EXPECT_THAT(feedback.events, ElementsAre("message: ファイルが選択されていません！"));
  EXPECT_EQ(EndTime(), "2026/12/07 9:05:07");
}

TEST_F(SelectiveCopyTest, NewerPassLeavesEqualAndNewerTargets) {
  WriteFile(src + "/equal", "new content", kNew);
  WriteFile(dst + "/equal", "old content", kNew);
  WriteFile(src + "/older", "src", kOld);
  WriteFile(dst + "/older", "dst", kNew);
  WriteFile(src + "/newer", "src", kNew);
  WriteFile(dst + "/newer", "dst", kOld);
  const SelectiveCopyOutcome out =
      CopyAndFinish(Request(src, dst, {"/equal", "/newer", "/older"}), feedback);
  EXPECT_EQ(ReadFile(dst + "/equal"), "old content");
  EXPECT_EQ(ReadFile(dst + "/older"), "dst");
  EXPECT_EQ(ReadFile(dst + "/newer"), "src");
  EXPECT_THAT(out.selected, ElementsAre(1, 0, 1));
  EXPECT_TRUE(out.closeWindow);
}

TEST_F(SelectiveCopyTest, ExcludedExtensionIsDeselectedUncopiedAndMatchedByExactCase) {
  WriteFile(src + "/skip.tmp", "x", kNew);
  WriteFile(src + "/copy.TMP", "y", kNew);
  WriteFile(src + "/dir.tmp/plain", "z", kNew);  // a dot in a folder name does not count
  SelectiveCopyRequest r = Request(src, dst, {"/copy.TMP", "/dir.tmp/plain", "/skip.tmp"});
  r.excluded = {".tmp"};
  const SelectiveCopyOutcome out = CopyAndFinish(r, feedback);
  EXPECT_FALSE(Exists(dst + "/skip.tmp"));
  EXPECT_EQ(ReadFile(dst + "/copy.TMP"), "y");
  EXPECT_EQ(ReadFile(dst + "/dir.tmp/plain"), "z");
  EXPECT_THAT(out.selected, ElementsAre(0, 0, 0));
}

TEST_F(SelectiveCopyTest, KeepOriginalCopiesWheneverAgesDifferInEitherDirection) {
  // Backup: an older source replaces a newer target; restore: the same for
  // the other side. Equal ages copy nothing.
  for (const bool restore : {false, true}) {
    SCOPED_TRACE(restore ? "restore" : "backup");
    const std::string& from = restore ? dst : src;
    const std::string& to = restore ? src : dst;
    WriteFile(from + "/older.doc", "from-old", kOld);
    WriteFile(to + "/older.doc", "to-new", kNew);
    WriteFile(from + "/newer.doc", "from-new", kNew);
    WriteFile(to + "/newer.doc", "to-old", kOld);
    WriteFile(from + "/equal.doc", "from-eq", kNew);
    WriteFile(to + "/equal.doc", "to-eq", kNew);
    WriteFile(from + "/case.DOC", "from-case", kOld);  // not a match: newer pass rules
    WriteFile(to + "/case.DOC", "to-case", kNew);
    SelectiveCopyRequest r =
        Request(from, to, {"/case.DOC", "/equal.doc", "/newer.doc", "/older.doc"});
    r.keepOriginal = {".doc"};
    RecordingFeedback fb;
    const SelectiveCopyOutcome out = CopyAndFinish(r, fb);
    EXPECT_EQ(ReadFile(to + "/older.doc"), "from-old");
    EXPECT_EQ(ReadFile(to + "/newer.doc"), "from-new");
    EXPECT_EQ(ReadFile(to + "/equal.doc"), "to-eq");
    EXPECT_EQ(ReadFile(to + "/case.DOC"), "to-case");
    EXPECT_THAT(out.selected, ElementsAre(1, 1, 0, 0));
    // The keep-original pass runs first.
    EXPECT_THAT(fb.Statuses(),
                ElementsAre(from + "/older.docをコピー中", from + "/newer.docをコピー中"));
  }
}

TEST_F(SelectiveCopyTest, KeepOriginalRunsBeforeExcluded) {
  WriteFile(src + "/both.log", "first", kNew);  // target missing: the keep test copies it
  WriteFile(src + "/kept.log", "newer", kNew);
  WriteFile(dst + "/kept.log", "original", kOld);
  SelectiveCopyRequest r = Request(src, dst, {"/both.log", "/kept.log"});
  r.keepOriginal = {".log"};
  r.excluded = {".log"};
  const SelectiveCopyOutcome out = CopyAndFinish(r, feedback);
  EXPECT_EQ(ReadFile(dst + "/both.log"), "first");
  EXPECT_EQ(ReadFile(dst + "/kept.log"), "original");
  EXPECT_THAT(out.selected, ElementsAre(0, 0));
}

TEST_F(SelectiveCopyTest, VanishedSourceStaysSelected) {
  const SelectiveCopyOutcome out = CopyAndFinish(Request(src, dst, {"/gone"}), feedback);
  EXPECT_THAT(out.selected, ElementsAre(1));
  EXPECT_EQ(out.failed, 0u);
  EXPECT_THAT(feedback.Messages(), ElementsAre(kDone));
}

TEST_F(SelectiveCopyTest, FailedCopiesStaySelectedAndAreCounted) {
  // A vanished keep-original file with no target is attempted and fails; a
  // folder standing where the target file should go makes the other fail.
  WriteFile(src + "/blocked", "b", kNew);
  std::filesystem::create_directories(dst + "/blocked/inside");
  WriteFile(src + "/fine", "f", kNew);
  SelectiveCopyRequest r = Request(src, dst, {"/blocked", "/fine", "/gone.keep"});
  r.keepOriginal = {".keep"};
  const SelectiveCopyOutcome out = CopyAndFinish(r, feedback);
  EXPECT_THAT(out.selected, ElementsAre(1, 0, 1));
  EXPECT_EQ(out.failed, 2u);
  EXPECT_THAT(feedback.Statuses(), ElementsAre(src + "/fineをコピー中"));
  EXPECT_THAT(feedback.Messages(),
              ElementsAre(std::string(kDone) + "\nコピーできなかったファイルが 2 件あります。"));
  EXPECT_TRUE(out.closeWindow);
}

TEST_F(SelectiveCopyTest, MissingCopyToRootIsCreatedOneLevelFirst) {
  WriteFile(src + "/a", "A", kNew);
  const std::string fresh = dir.Path("fresh");
  CopyAndFinish(Request(src, fresh, {"/a"}), feedback);
  EXPECT_EQ(feedback.events.front(), "message: " + fresh + "を作成しました。");
  EXPECT_EQ(ReadFile(fresh + "/a"), "A");

  // Two missing levels: creation fails, the copy still makes the folders.
  RecordingFeedback fb;
  const std::string deep = dir.Path("x/y");
  CopyAndFinish(Request(src, deep, {"/a"}), fb);
  EXPECT_EQ(fb.events.front(), "message: 新規フォルダの作成に失敗しました。");
  EXPECT_EQ(ReadFile(deep + "/a"), "A");
}

TEST_F(SelectiveCopyTest, NothingIsCopiedBeneathTheMountPointOfAnAbsentShare) {
  WriteFile(src + "/a", "A", kNew);
  const std::string nas = dir.Path("nas");
  std::filesystem::create_directories(nas);
  SelectiveCopyRequest request = Request(src, nas + "/docs", {"/a"});
  request.mounts.fstab = dir.Path("fstab");
  WriteFile(request.mounts.fstab, "//server/backups " + nas + " cifs noauto 0 0\n", kOld);
  const SelectiveCopyOutcome out = CopyAndFinish(request, feedback);
  EXPECT_FALSE(std::filesystem::exists(nas + "/docs"));
  EXPECT_THAT(out.selected, ElementsAre(1));
  EXPECT_EQ(out.failed, 1u);
  ASSERT_EQ(feedback.events.size(), 1u);
  EXPECT_THAT(feedback.events[0], ::testing::StartsWith("error: " + nas + "/docs: "));
  EXPECT_THAT(feedback.events[0], ::testing::HasSubstr("is it mounted?"));
  EXPECT_EQ(EndTime(), "<none>");
  EXPECT_FALSE(out.closeWindow);
}

TEST_F(SelectiveCopyTest, UnwritableSettingsShowsTheErrorAndKeepsTheWindowOpen) {
  WriteFile(src + "/a", "A", kNew);
  SelectiveCopyRequest r = Request(src, dst, {"/a"});
  r.settingsPath = dir.Path("no-such-folder/Quillfen.ini");
  const SelectiveCopyOutcome out = CopyAndFinish(r, feedback);
  EXPECT_FALSE(out.closeWindow);
  EXPECT_THAT(feedback.events, Contains("error: " + r.settingsPath + " に書き込めません"));
  EXPECT_THAT(feedback.Messages(), IsEmpty());
}

TEST_F(SelectiveCopyTest, AnEmptyRootCopiesNothing) {
  const std::string name = "/quillfen-compare-empty-root-probe";
  WriteFile(src + name, "A", kNew);
  const SelectiveCopyOutcome out = CopyAndFinish(Request(src, "", {name}), feedback);
  EXPECT_FALSE(Exists(name));
  EXPECT_THAT(out.selected, ElementsAre(1));
  EXPECT_THAT(feedback.Messages(),
              ElementsAre("新規フォルダの作成に失敗しました。",
                          std::string(kDone) + "\nコピーできなかったファイルが 1 件あります。"));
}

}  // namespace
