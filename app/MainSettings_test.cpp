// The main window's settings, read and written without a window.
#include "app/MainSettings.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/TestTree.h"

namespace quillfen {

void PrintTo(const BackupSet& set, std::ostream* os) {
  *os << set.name << "(" << set.source << " -> " << set.destination << ")";
}

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::TestTree;

TEST(MainSettings, SetsAreEverySectionButExactlyMainInFileOrder) {
  TestTree tree;
  tree.File("Quillfen.ini",
            "[Main]\r\nオリジナル保存拡張子=.doc,\r\n[Work]\r\nコピー元=/data/work\r\n"
            "[Main2]\r\nコピー先=/bk/main2\r\nコピー元=/data/main2\r\n[main]\r\n");
  EXPECT_THAT(ReadSets(IniFile(tree.Path("Quillfen.ini"))),
              ElementsAre(BackupSet{"Work", "/data/work", ""},
                          BackupSet{"Main2", "/data/main2", "/bk/main2"}));
  EXPECT_THAT(ReadSets(IniFile(tree.Path("missing.ini"))), IsEmpty());
}

TEST(MainSettings, ExtensionListsAreTheirNonEmptyItems) {
  TestTree tree;
  tree.File("Quillfen.ini",
            "[Main]\r\nオリジナル保存拡張子=.doc,.xls,\r\n保存対象外拡張子=.my ext, .tmp\r\n");
  const IniFile settings(tree.Path("Quillfen.ini"));
  EXPECT_THAT(ReadExtensionList(settings, ExtensionList::kKeepOriginal),
              ElementsAre(".doc", ".xls"));
  EXPECT_THAT(ReadExtensionList(settings, ExtensionList::kExcluded),
              ElementsAre(".my", "ext", ".tmp"));
  EXPECT_THAT(ReadExtensionList(IniFile(tree.Path("none.ini")), ExtensionList::kExcluded),
              IsEmpty());
}

// The close: sets in list order before Main in a new file; a set whose
// section exists keeps its place; every item is written with its comma.
TEST(MainSettings, TheCloseWritesSetsThenTheListsThenTheEndTime) {
  TestTree tree;
  const std::string path = tree.Path("Quillfen.ini");
  {
    IniFile settings(path);
    ASSERT_TRUE(WriteSettings(settings, {{"B", "/b", "/bk/b"}, {"A", "/a", "/bk/a"}},
                              {".doc", ".xls"}, {}, EncodeDateTime(2010, 4, 1, 9, 6, 12))
                    .ok());
  }
  EXPECT_EQ(TestTree::Read(path),
            "[B]\r\nコピー元=/b\r\nコピー先=/bk/b\r\n[A]\r\nコピー元=/a\r\nコピー先=/bk/a\r\n"
            "[Main]\r\nオリジナル保存拡張子=.doc,.xls,\r\n保存対象外拡張子=\r\n"
            "ソフト終了時刻=2010/04/01 9:06:12\r\n");
  IniFile settings(path);
  ASSERT_TRUE(WriteSettings(settings, {{"A", "/a2", "/bk/a"}, {"C", "/c", "/bk/c"}}, {}, {".tmp"},
                            EncodeDateTime(2010, 4, 2, 0, 0, 0))
                  .ok());
  EXPECT_EQ(TestTree::Read(path),
            "[B]\r\nコピー元=/b\r\nコピー先=/bk/b\r\n[A]\r\nコピー元=/a2\r\nコピー先=/bk/a\r\n"
            "[Main]\r\nオリジナル保存拡張子=\r\n保存対象外拡張子=.tmp,\r\n"
            "ソフト終了時刻=2010/04/02\r\n[C]\r\nコピー元=/c\r\nコピー先=/bk/c\r\n");
}

// A renamed set keeps what tells its folder's absence from a first backup:
// the end time with its folder, or the folder alone of a first backup that
// did not end.
TEST(MainSettings, ARenamedSetKeepsItsEndTimeAndItsFolder) {
  TestTree tree;
  const std::string path =
      tree.File("Quillfen.ini",
                "[Old]\r\nコピー元=/a\r\nコピー先=/nas/a\r\n終了時刻=2010/04/01 9:06:12\r\n"
                "前回のコピー先=/nas/a\r\n[Begun]\r\nコピー元=/b\r\nコピー先=/nas/b\r\n"
                "前回のコピー先=/nas/b\r\n");
  IniFile settings(path);
  ASSERT_TRUE(WriteSettings(settings, {{"New", "/a", "/nas/a"}, {"Later", "/b", "/nas/b"}}, {}, {},
                            EncodeDateTime(2010, 4, 2, 0, 0, 0),
                            {{"Old", "New"}, {"Begun", "Later"}})
                  .ok());
  IniFile reread(path);
  EXPECT_EQ(reread.ReadString("New", "終了時刻", ""), "2010/04/01 9:06:12");
  EXPECT_EQ(reread.ReadString("New", "前回のコピー先", ""), "/nas/a");
  EXPECT_EQ(reread.ReadString("Later", "終了時刻", "<none>"), "<none>");
  EXPECT_EQ(reread.ReadString("Later", "前回のコピー先", ""), "/nas/b");
  EXPECT_THAT(reread.Sections(), ElementsAre("New", "Later", "Main"));
}

// A name the file cannot hold stops the close there; what was written before
// it reaches the file, nothing after it does.
TEST(MainSettings, AFailingWriteStopsTheRest) {
  TestTree tree;
  const std::string path = tree.Path("Quillfen.ini");
  IniFile settings(path);
  const Status status = WriteSettings(settings, {{"A", "/a", "/bk/a"}, {"B]", "/b", "/bk/b"}},
                                      {".doc"}, {}, EncodeDateTime(2010, 4, 1, 9, 6, 12));
  EXPECT_EQ(status.code(), Status::Code::kInvalid);
  EXPECT_EQ(TestTree::Read(path), "[A]\r\nコピー元=/a\r\nコピー先=/bk/a\r\n");
}

}  // namespace
}  // namespace quillfen
