#include "engine/IniFile.h"

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <span>
#include <sstream>
#include <string_view>

#include "testing/FaultInjection.h"

namespace quillfen {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

const char kSource[] = "コピー元";
const char kTarget[] = "コピー先";
const char kEndTime[] = "終了時刻";
const char kKeepExt[] = "オリジナル保存拡張子";
const char kSkipExt[] = "保存対象外拡張子";
const char kAppEnd[] = "ソフト終了時刻";

// The same keys in code page 932.
const std::string kSource932 = "\x83\x52\x83\x73\x81\x5B\x8C\xB3";
const std::string kTarget932 = "\x83\x52\x83\x73\x81\x5B\x90\xE6";
const std::string kEndTime932 = "\x8F\x49\x97\xB9\x8E\x9E\x8D\x8F";
const std::string kKeepExt932 =
    "\x83\x49\x83\x8A\x83\x57\x83\x69\x83\x8B\x95\xDB\x91\xB6\x8A\x67\x92\xA3\x8E\x71";
const std::string kSkipExt932 = "\x95\xDB\x91\xB6\x91\xCE\x8F\xDB\x8A\x4F\x8A\x67\x92\xA3\x8E\x71";
const std::string kAppEnd932 = "\x83\x5C\x83\x74\x83\x67\x8F\x49\x97\xB9\x8E\x9E\x8D\x8F";

class IniFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/quillfen-ini-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/Quillfen.ini";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  void Put(const std::string& bytes) { Put(path_, bytes); }
  static void Put(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
  }
  std::string Get() const { return Get(path_); }
  static std::string Get(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // Names in the folder, to see that no temporary file was left behind.
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir_)) {
      names.push_back(e.path().filename().string());
    }
    return names;
  }

  std::string dir_;
  std::string path_;
};

TEST_F(IniFileTest, BuildsTheFileOfASetCreatedBackedUpAndClosedTwice) {
  const DateTime run = EncodeDateTime(2010, 4, 1, 9, 5, 7);
  auto close = [&](DateTime at) {
    IniFile ini(path_);
    EXPECT_TRUE(ini.WriteString("Work", kSource, "/data/work").ok());
    EXPECT_TRUE(ini.WriteString("Work", kTarget, "/backup/work").ok());
    EXPECT_TRUE(ini.WriteString("Main", kKeepExt, ".doc,.xls,").ok());
    EXPECT_TRUE(ini.WriteString("Main", kSkipExt, ".tmp,").ok());
    EXPECT_TRUE(ini.WriteDateTime("Main", kAppEnd, at).ok());
  };
  close(run - 1);
  EXPECT_TRUE(IniFile(path_).WriteDateTime("Work", kEndTime, run).ok());
  close(run + 65.0 / 86400);

  EXPECT_EQ(Get(),
            "[Work]\r\n"
            "コピー元=/data/work\r\n"
            "コピー先=/backup/work\r\n"
            "終了時刻=2010/04/01 9:05:07\r\n"
            "[Main]\r\n"
            "オリジナル保存拡張子=.doc,.xls,\r\n"
            "保存対象外拡張子=.tmp,\r\n"
            "ソフト終了時刻=2010/04/01 9:06:12\r\n");
  IniFile ini(path_);
  EXPECT_THAT(ini.Sections(), ElementsAre("Work", "Main"));
  EXPECT_EQ(ini.ReadDateTime("Work", kEndTime, 0), run);
}

TEST_F(IniFileTest, MissingFileReadsAsEmptyAndFirstWriteCreatesIt) {
  IniFile ini(path_);
  EXPECT_THAT(ini.Sections(), IsEmpty());
  EXPECT_EQ(ini.ReadString("Work", kSource, "def"), "def");
  EXPECT_EQ(ini.ReadDateTime("Work", kEndTime, 12.5), 12.5);
  EXPECT_FALSE(std::filesystem::exists(path_));
  ASSERT_TRUE(ini.WriteString("Work", kSource, "/a").ok());
  EXPECT_EQ(Get(), "[Work]\r\nコピー元=/a\r\n");
}

TEST_F(IniFileTest, NamesMatchIgnoringAsciiCaseAndKeepFirstSpelling) {
  Put("[work]\r\nKEY=1\r\n  Other \t=2\r\n");
  IniFile ini(path_);
  EXPECT_EQ(ini.ReadString("WORK", "key", ""), "1");
  EXPECT_EQ(ini.ReadString("Work", " other ", ""), "2");
  EXPECT_EQ(ini.ReadString("Work", "Other ", ""), "2");
  // Only ASCII letters fold: full-width letters are other names.
  EXPECT_EQ(ini.ReadString("ｗｏｒｋ", "key", "none"), "none");
  ASSERT_TRUE(ini.WriteString("WORK", "Key", "3").ok());
  ASSERT_TRUE(ini.WriteString("Work", "other", "4").ok());
  EXPECT_EQ(Get(), "[work]\r\nKEY=3\r\n  Other \t=4\r\n");
  EXPECT_THAT(IniFile(path_).Sections(), ElementsAre("work"));
}

TEST_F(IniFileTest, ValuesAreExactlyWhatFollowsTheFirstEquals) {
  Put("[S]\r\na= lead\r\nb=trail \r\nc=x=y\r\nd=\r\n");
  IniFile ini(path_);
  EXPECT_EQ(ini.ReadString("S", "a", ""), " lead");
  EXPECT_EQ(ini.ReadString("S", "b", ""), "trail ");
  EXPECT_EQ(ini.ReadString("S", "c", ""), "x=y");
  EXPECT_EQ(ini.ReadString("S", "d", "def"), "");
  EXPECT_EQ(ini.ReadString("S", "e", "def"), "def");
  ASSERT_TRUE(ini.WriteString("S", kTarget, "/backup/folder ").ok());
  EXPECT_EQ(IniFile(path_).ReadString("s", kTarget, ""), "/backup/folder ");
}

TEST_F(IniFileTest, NewKeyGoesAfterTheLastKeyOfItsSectionAndNewSectionAtTheEnd) {
  Put("[A]\r\na=1\r\n\r\n; note\r\n[Empty]\r\n\r\n[B]\r\nb=1");
  IniFile ini(path_);
  ASSERT_TRUE(ini.WriteString("a", "x", "2").ok());
  ASSERT_TRUE(ini.WriteString("empty", "y", "3").ok());
  ASSERT_TRUE(ini.WriteString("B", "z", "4").ok());
  ASSERT_TRUE(ini.WriteString("C", "w", "5").ok());
  EXPECT_EQ(Get(),
            "[A]\r\na=1\r\nx=2\r\n\r\n; note\r\n[Empty]\r\ny=3\r\n\r\n[B]\r\nb=1\r\nz=4\r\n"
            "[C]\r\nw=5\r\n");
}

TEST_F(IniFileTest, LinesThatAreNotEntriesSurviveUnchanged) {
  const std::string text =
      "; written by hand\r\n"
      "stray=before any section\r\n"
      "\r\n"
      "  [Work]  trailing words\r\n"
      "garbage line\r\n"
      ";k=comment, not a key\r\n"
      "\tk=1\r\n";
  Put(text);
  IniFile ini(path_);
  EXPECT_THAT(ini.Sections(), ElementsAre("Work"));
  EXPECT_EQ(ini.ReadString("Work", ";k", "none"), "none");
  EXPECT_EQ(ini.ReadString("", "stray", "none"), "none");
  ASSERT_TRUE(ini.WriteString("Work", "k", "1").ok());
  EXPECT_EQ(Get(), text);
}

TEST_F(IniFileTest, LfOnlyFilesAreReadAndWrittenBackWithCrLf) {
  Put("[A]\na=1\n\n[B]\nb=2\n");
  IniFile ini(path_);
  EXPECT_THAT(ini.Sections(), ElementsAre("A", "B"));
  EXPECT_EQ(ini.ReadString("A", "a", ""), "1");
  EXPECT_EQ(ini.ReadString("B", "b", ""), "2");
  ASSERT_TRUE(ini.WriteString("B", "b", "3").ok());
  EXPECT_EQ(Get(), "[A]\r\na=1\r\n\r\n[B]\r\nb=3\r\n");
}

TEST_F(IniFileTest, DuplicateSectionsUseTheFirstAndEraseRemovesAll) {
  Put("[A]\r\nk=1\r\n[B]\r\nk=b\r\n[a]\r\nk=2\r\nj=3\r\n[C]\r\n");
  IniFile ini(path_);
  EXPECT_THAT(ini.Sections(), ElementsAre("A", "B", "C"));
  EXPECT_EQ(ini.ReadString("a", "k", ""), "1");
  EXPECT_EQ(ini.ReadString("a", "j", "none"), "none");
  ASSERT_TRUE(ini.WriteString("A", "j", "4").ok());
  EXPECT_EQ(Get(), "[A]\r\nk=1\r\nj=4\r\n[B]\r\nk=b\r\n[a]\r\nk=2\r\nj=3\r\n[C]\r\n");
  ASSERT_TRUE(ini.EraseSection("A").ok());
  EXPECT_EQ(Get(), "[B]\r\nk=b\r\n[C]\r\n");
  EXPECT_THAT(ini.Sections(), ElementsAre("B", "C"));
  EXPECT_EQ(ini.ReadString("A", "k", "gone"), "gone");
  // A section written after the erase is new again, at the end.
  ASSERT_TRUE(ini.WriteString("a", "k", "5").ok());
  EXPECT_EQ(Get(), "[B]\r\nk=b\r\n[C]\r\n[a]\r\nk=5\r\n");
}

TEST_F(IniFileTest, EraseKeepsTheOtherSectionsInOrder) {
  Put("[One]\r\nx=1\r\n[Two]\r\nx=2\r\n[Three]\r\nx=3\r\n");
  IniFile ini(path_);
  ASSERT_TRUE(ini.EraseSection("two").ok());
  ASSERT_TRUE(ini.EraseSection("Missing").ok());
  EXPECT_EQ(Get(), "[One]\r\nx=1\r\n[Three]\r\nx=3\r\n");
  EXPECT_THAT(IniFile(path_).Sections(), ElementsAre("One", "Three"));
}

// Reading every section in one pass gives what reading each by name gives:
// the first of sections sharing a name (ignoring ASCII case only), keys
// matched ignoring ASCII case and blanks, "" for a missing key, and nothing
// from lines before the first header or from a header that did not decode.
TEST_F(IniFileTest, ReadingAllSectionsAtOnceMatchesReadingEachByName) {
  Put("k=before\r\n[One]\r\n K =1\r\nj=x\r\n[\xFF\xFE]\r\nk=raw\r\n[two]\r\n;k=comment\r\n"
      "[ONE]\r\nk=second\r\n[Ｔｗｏ]\r\nK=wide\r\n[Two]\r\nk=later\r\n");
  IniFile ini(path_);
  const std::string_view keys[] = {"k", "J "};
  std::vector<std::string> seen;
  ini.ForEachSection(keys, [&](std::string_view name, std::span<const std::string_view> values) {
    ASSERT_EQ(values.size(), 2u);
    seen.push_back(std::string(name) + ":" + std::string(values[0]) + "," + std::string(values[1]));
  });
  EXPECT_THAT(seen, ElementsAre("One:1,x", "two:,", "Ｔｗｏ:wide,"));
  std::vector<std::string> byName;
  for (const std::string& name : ini.Sections()) {
    byName.push_back(name + ":" + ini.ReadString(name, "k", "") + "," +
                     ini.ReadString(name, "J ", ""));
  }
  EXPECT_EQ(seen, byName);
}

// Sections added one by one far past the index's first size, names written
// in other letter cases, erased in the middle and added again: every name
// still finds its own section, in memory and read back.
TEST_F(IniFileTest, LookupsStayRightThroughManyAdditionsAndErasures) {
  constexpr int kSets = 3000;
  auto name = [](int i) { return "Set " + std::to_string(i); };
  auto shouted = [](int i) { return "SET " + std::to_string(i); };
  IniFile ini(path_);
  ini.BeginUpdate();
  for (int i = 0; i < kSets; ++i) {
    ASSERT_TRUE(ini.WriteString(name(i), "k", std::to_string(i)).ok());
  }
  // The same sections, named in capitals: no new section, a second key.
  for (int i = 0; i < kSets; ++i) {
    ASSERT_TRUE(ini.WriteString(shouted(i), "j", "j" + std::to_string(i)).ok());
  }
  ASSERT_TRUE(ini.EndUpdate().ok());
  ASSERT_EQ(ini.Sections().size(), static_cast<size_t>(kSets));

  // Every seventh set erased (named in capitals), then some of them and a
  // renamed one written again: those go to the end.
  ini.BeginUpdate();
  for (int i = 0; i < kSets; i += 7) ASSERT_TRUE(ini.EraseSection(shouted(i)).ok());
  ASSERT_TRUE(ini.EraseSection(name(1)).ok());
  ASSERT_TRUE(ini.WriteString("Renamed 1", "k", "1").ok());
  ASSERT_TRUE(ini.WriteString(name(14), "k", "again").ok());
  ASSERT_TRUE(ini.EndUpdate().ok());

  auto check = [&](const IniFile& file) {
    std::vector<std::string> expected;
    for (int i = 0; i < kSets; ++i) {
      const bool erased = i % 7 == 0 || i == 1;
      if (!erased) expected.push_back(name(i));
      const std::string k = file.ReadString(shouted(i), "k", "none");
      const std::string j = file.ReadString(name(i), "j", "none");
      if (i == 14) {
        EXPECT_EQ(k, "again");
        EXPECT_EQ(j, "none");
      } else if (erased) {
        EXPECT_EQ(k, "none") << i;
        EXPECT_EQ(j, "none") << i;
      } else {
        EXPECT_EQ(k, std::to_string(i)) << i;
        EXPECT_EQ(j, "j" + std::to_string(i)) << i;
      }
    }
    expected.push_back("Renamed 1");
    expected.push_back(name(14));
    EXPECT_EQ(file.Sections(), expected);
    EXPECT_EQ(file.ReadString("renamed 1", "K", ""), "1");
  };
  check(ini);
  check(IniFile(path_));
  const std::string text = Get();
  EXPECT_EQ(text.find("[SET"), std::string::npos);
  const std::string tail = "[Renamed 1]\r\nk=1\r\n[Set 14]\r\nk=again\r\n";
  ASSERT_GT(text.size(), tail.size());
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}

// Writing back a value exactly as stored leaves the file byte for byte as it
// was, in either encoding, also where its key is spelled otherwise.
TEST_F(IniFileTest, WritingTheStoredValuesBackChangesNoByte) {
  const std::string utf8 = "[A]\r\n Key =v\r\n[B]\r\nk=\r\n";
  Put(utf8);
  {
    IniFile ini(path_);
    ini.BeginUpdate();
    ASSERT_TRUE(ini.WriteString("a", "key", "v").ok());
    ASSERT_TRUE(ini.WriteString("B", "K", "").ok());
    ASSERT_TRUE(ini.EndUpdate().ok());
  }
  EXPECT_EQ(Get(), utf8);
  const std::string cp932 = "[\x83\x5A\x83\x62\x83\x67]\r\n" + kSource932 + "=C:\\\x83\x66\r\n";
  Put(cp932);
  {
    IniFile ini(path_);
    ASSERT_TRUE(ini.WriteString("セット", kSource, "C:\\デ").ok());
  }
  EXPECT_EQ(Get(), cp932);
}

TEST_F(IniFileTest, DateTimeValues) {
  Put("[Work]\r\n終了時刻=2010/04/01\r\n[Bad]\r\n終了時刻=never\r\n[Odd]\r\n終了時刻=2010/4/1 "
      "9:5\r\n");
  IniFile ini(path_);
  EXPECT_EQ(ini.ReadDateTime("Work", kEndTime, 0), EncodeDateTime(2010, 4, 1));
  EXPECT_EQ(ini.ReadDateTime("Bad", kEndTime, 0), 0);
  EXPECT_EQ(ini.ReadDateTime("Odd", kEndTime, 0), EncodeDateTime(2010, 4, 1, 9, 5));
  EXPECT_EQ(ini.ReadDateTime("None", kEndTime, 7), 7);
  ASSERT_TRUE(ini.WriteDateTime("Bad", kEndTime, EncodeDateTime(2011, 1, 2)).ok());
  EXPECT_EQ(ini.ReadString("Bad", kEndTime, ""), "2011/01/02");
}

TEST_F(IniFileTest, BatchedWritesReachTheDiskOnlyAtTheEnd) {
  Put("[A]\r\na=1\r\n");
  IniFile ini(path_);
  ini.BeginUpdate();
  ini.BeginUpdate();
  ASSERT_TRUE(ini.WriteString("A", "a", "2").ok());
  ASSERT_TRUE(ini.WriteString("B", "b", "3").ok());
  EXPECT_EQ(ini.ReadString("B", "b", ""), "3");
  ASSERT_TRUE(ini.EndUpdate().ok());
  EXPECT_EQ(Get(), "[A]\r\na=1\r\n");
  ASSERT_TRUE(ini.EndUpdate().ok());
  EXPECT_EQ(Get(), "[A]\r\na=2\r\n[B]\r\nb=3\r\n");
}

TEST_F(IniFileTest, Cp932FileRoundTripsByteForByte) {
  const std::string text = "[\x8E\x64\x8E\x96]\r\n" +                          // [仕事]
                           kSource932 + "=C:\\\x83\x66\x81\x5B\x83\x5E\r\n" +  // C:\データ
                           kTarget932 + "=D:\\Backup\r\n" + kEndTime932 +
                           "=2010/04/01 9:05:07\r\n"
                           "[Main]\r\n" +
                           kKeepExt932 + "=.doc,.xls,\r\n" + kSkipExt932 + "=.tmp,\r\n" +
                           kAppEnd932 + "=2010/04/01 9:06:12\r\n";
  Put(text);
  IniFile ini(path_);
  EXPECT_THAT(ini.Sections(), ElementsAre("仕事", "Main"));
  EXPECT_EQ(ini.ReadString("仕事", kSource, ""), "C:\\データ");
  EXPECT_EQ(ini.ReadString("Main", kKeepExt, ""), ".doc,.xls,");
  // Rewriting the same values gives the same bytes.
  ASSERT_TRUE(ini.WriteString("仕事", kSource, "C:\\データ").ok());
  ASSERT_TRUE(ini.WriteString("Main", kSkipExt, ".tmp,").ok());
  EXPECT_EQ(Get(), text);
  // New Japanese text is written in 932 too.
  ASSERT_TRUE(ini.WriteString("写真", kSource, "/写真").ok());
  EXPECT_EQ(Get(), text + "[\x8E\xCA\x90\x5E]\r\n" + kSource932 + "=/\x8E\xCA\x90\x5E\r\n");
  EXPECT_EQ(IniFile(path_).ReadString("写真", kSource, ""), "/写真");
}

TEST_F(IniFileTest, Utf8FileRoundTripsByteForByteWithItsMark) {
  const std::string text =
      "\xEF\xBB\xBF[仕事]\r\nコピー元=/データ/😀\r\n[Main]\r\nソフト終了時刻=2010/04/01\r\n";
  Put(text);
  IniFile ini(path_);
  EXPECT_THAT(ini.Sections(), ElementsAre("仕事", "Main"));
  EXPECT_EQ(ini.ReadString("仕事", kSource, ""), "/データ/😀");
  ASSERT_TRUE(ini.WriteString("仕事", kSource, "/データ/😀").ok());
  EXPECT_EQ(Get(), text);
}

TEST_F(IniFileTest, EncodingFollowsMostNonAsciiLines) {
  // A UTF-8 file with one damaged line stays UTF-8 and keeps that line.
  Put("[A]\r\nコピー元=/データ\r\nmemo=\xE3\x81\r\nコピー先=/写真\r\n");
  IniFile utf8(path_);
  EXPECT_EQ(utf8.ReadString("A", kSource, ""), "/データ");
  ASSERT_TRUE(utf8.WriteString("A", kTarget, "/新").ok());
  EXPECT_EQ(Get(), "[A]\r\nコピー元=/データ\r\nmemo=\xE3\x81\r\nコピー先=/新\r\n");

  // A 932 file with one line that happens to be valid UTF-8 stays 932.
  Put("[A]\r\n" + kSource932 + "=/a\r\n" + kTarget932 + "=/b\r\nx=\xC3\xA9\r\n");
  IniFile cp932(path_);
  EXPECT_EQ(cp932.ReadString("A", kSource, ""), "/a");
  EXPECT_EQ(cp932.ReadString("A", "x", ""), "ﾃｩ");
}

TEST_F(IniFileTest, Cp932LinesThatDoNotDecodeAreKeptAndNeverMatched) {
  // The second section's header holds a byte 932 does not define; its key
  // must not be taken for a key of the section before it.
  const std::string text = "[A]\r\n" + kSource932 + "=/a\r\nbad=\x80\x80\r\n[\xFF]\r\n" +
                           kTarget932 + "=/b\r\n[C]\r\nc=1\r\n";
  Put(text);
  IniFile ini(path_);
  EXPECT_THAT(ini.Sections(), ElementsAre("A", "C"));
  EXPECT_EQ(ini.ReadString("A", kTarget, "none"), "none");
  EXPECT_EQ(ini.ReadString("A", "bad", "none"), "none");
  ASSERT_TRUE(ini.WriteString("A", kTarget, "/t").ok());
  EXPECT_EQ(Get(), "[A]\r\n" + kSource932 + "=/a\r\nbad=\x80\x80\r\n" + kTarget932 +
                       "=/t\r\n[\xFF]\r\n" + kTarget932 + "=/b\r\n[C]\r\nc=1\r\n");
}

TEST_F(IniFileTest, TextThatCp932CannotHoldSwitchesTheFileToUtf8) {
  Put("[A]\r\n" + kSource932 + "=/\x83\x66\x81\x5B\x83\x5E\r\n");
  IniFile ini(path_);
  ASSERT_TRUE(ini.WriteString("A", kTarget, "/😀").ok());
  EXPECT_EQ(Get(), "[A]\r\nコピー元=/データ\r\nコピー先=/😀\r\n");
  IniFile again(path_);
  EXPECT_EQ(again.ReadString("A", kSource, ""), "/データ");
  EXPECT_EQ(again.ReadString("A", kTarget, ""), "/😀");
}

TEST_F(IniFileTest, Utf8LinesInA932FileReadTheSameBeforeAndAfterTheSwitch) {
  // "[B]...仕事 ..." in UTF-8 does not decode as 932 but is valid UTF-8.
  const std::string text = "[A]\r\n" + kSource932 + "=/\x8E\x64\x8E\x96\r\n" +
                           "[B]\r\nmemo=仕事 \r\n[C]\r\nraw=\x80\r\n";
  Put(text);
  IniFile ini(path_);
  EXPECT_THAT(ini.Sections(), ElementsAre("A", "B", "C"));
  EXPECT_EQ(ini.ReadString("B", "memo", ""), "仕事 ");
  ASSERT_TRUE(ini.WriteString("A", kTarget, "/x").ok());
  EXPECT_EQ(Get(), "[A]\r\n" + kSource932 + "=/\x8E\x64\x8E\x96\r\n" + kTarget932 +
                       "=/x\r\n[B]\r\nmemo=仕事 \r\n[C]\r\nraw=\x80\r\n");
  // Replacing the value of that line writes the whole line in 932.
  ASSERT_TRUE(ini.WriteString("B", "memo", "写真").ok());
  EXPECT_NE(Get().find("[B]\r\nmemo=\x8E\xCA\x90\x5E\r\n"), std::string::npos);

  ASSERT_TRUE(ini.WriteString("C", "wide", "😀").ok());
  IniFile again(path_);
  EXPECT_THAT(again.Sections(), ElementsAre("A", "B", "C"));
  EXPECT_EQ(again.ReadString("A", kSource, ""), "/仕事");
  EXPECT_EQ(again.ReadString("B", "memo", ""), "写真");
  EXPECT_EQ(again.ReadString("C", "wide", ""), "😀");
  EXPECT_EQ(again.ReadString("C", "raw", "none"), "none");
}

TEST_F(IniFileTest, SwitchToUtf8WithUndecodableLinesMarksTheFile) {
  Put("[A]\r\n" + kSource932 + "=/a\r\nraw=\x80\r\n");
  IniFile ini(path_);
  ASSERT_TRUE(ini.WriteString("A", kTarget, "/é").ok());
  EXPECT_EQ(Get(), "\xEF\xBB\xBF[A]\r\nコピー元=/a\r\nraw=\x80\r\nコピー先=/é\r\n");
  IniFile again(path_);
  EXPECT_EQ(again.ReadString("A", kSource, ""), "/a");
  EXPECT_EQ(again.ReadString("A", kTarget, ""), "/é");
}

TEST_F(IniFileTest, RefusesNamesAndValuesThatCannotRoundTrip) {
  Put("[A]\r\na=1\r\n");
  IniFile ini(path_);
  const struct {
    const char *section, *key;
    std::string value;
  } cases[] = {
      {"A", "a", "two\r\nlines"}, {"A", "a", "x\ny"},     {"A", "a", std::string("n\0l", 3)},
      {"A\n", "a", "v"},          {"A", "a\r", "v"},      {"B]", "a", "v"},
      {"A", "k=v", "v"},          {"A", "  ", "v"},       {"A", "[k", "v"},
      {"A", ";k", "v"},           {"A", "a", "\xFF\xFE"},
  };
  for (const auto& c : cases) {
    const Status st = ini.WriteString(c.section, c.key, c.value);
    EXPECT_FALSE(st.ok()) << c.section << "/" << c.key << "/" << c.value;
    EXPECT_THAT(st.message(), ::testing::StartsWith(path_ + ": "));
    EXPECT_FALSE(st.detail().empty());
  }
  EXPECT_EQ(ini.ReadString("A", "a", ""), "1");
  EXPECT_THAT(ini.Sections(), ElementsAre("A"));
  EXPECT_EQ(Get(), "[A]\r\na=1\r\n");
}

TEST_F(IniFileTest, UnwritablePathsGiveTheErrorWithThePath) {
  for (const std::string& path : {dir_ + "/missing/Quillfen.ini", dir_ + "/file/Quillfen.ini"}) {
    Put(dir_ + "/file", "not a folder");
    IniFile ini(path);
    Status st = ini.WriteString("A", "a", "1");
    EXPECT_FALSE(st.ok());
    EXPECT_THAT(st.message(), ::testing::StartsWith(path + ": "));
    EXPECT_FALSE(st.detail().empty());
    st = ini.EraseSection("A");
    EXPECT_THAT(st.message(), ::testing::StartsWith(path + ": "));
    ini.BeginUpdate();
    EXPECT_TRUE(ini.WriteString("A", "a", "2").ok());
    EXPECT_THAT(ini.EndUpdate().message(), ::testing::StartsWith(path + ": "));
  }
  EXPECT_THAT(Entries(), ElementsAre("file"));
}

TEST_F(IniFileTest, AFailedWriteLeavesTheOldFileAndNoTemporaryFile) {
  const std::string old = "[A]\r\na=" + std::string(100, 'x') + "\r\n";
  Put(old);
  IniFile ini(path_);
  // Files may grow to 64 bytes only, so writing the new content fails midway.
  struct rlimit saved {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct rlimit small = saved;
  small.rlim_cur = 64;
  auto previous = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const Status st = ini.WriteString("A", "a", std::string(200, 'y'));
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, previous);

  EXPECT_FALSE(st.ok());
  EXPECT_THAT(st.message(), ::testing::StartsWith(path_ + ": "));
  EXPECT_FALSE(st.detail().empty());
  EXPECT_EQ(Get(), old);
  EXPECT_THAT(Entries(), ElementsAre("Quillfen.ini"));
}

// A settings file kept elsewhere and linked into the working folder (by a
// relative or an absolute link, through a chain of links, and even before the
// file it names exists) is written where the links lead; the links stay.
TEST_F(IniFileTest, WritesGoWhereLinksLeadAndTheLinksStay) {
  const std::string dotfiles = dir_ + "/dotfiles";
  ASSERT_EQ(mkdir(dotfiles.c_str(), 0700), 0);
  Put(dotfiles + "/quillfen.conf", "[A]\r\na=1\r\n");
  ASSERT_EQ(chmod((dotfiles + "/quillfen.conf").c_str(), 0640), 0);
  ASSERT_EQ(symlink("dotfiles/quillfen.conf", path_.c_str()), 0);  // relative
  ASSERT_TRUE(IniFile(path_).WriteString("A", "a", "2").ok());
  ASSERT_EQ(symlink(path_.c_str(), (dir_ + "/second.ini").c_str()), 0);  // a chain
  ASSERT_TRUE(IniFile(dir_ + "/second.ini").WriteString("A", "b", "3").ok());
  EXPECT_EQ(Get(dotfiles + "/quillfen.conf"), "[A]\r\na=2\r\nb=3\r\n");
  struct stat st {};
  ASSERT_EQ(stat((dotfiles + "/quillfen.conf").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  for (const std::string& link : {path_, dir_ + "/second.ini"}) {
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << link;
  }
  // A link to a file that does not exist yet: the first write makes it.
  const std::string fresh = dir_ + "/fresh.ini";
  ASSERT_EQ(symlink((dotfiles + "/new.conf").c_str(), fresh.c_str()), 0);
  ASSERT_TRUE(IniFile(fresh).WriteString("Main", "k", "v").ok());
  EXPECT_EQ(Get(dotfiles + "/new.conf"), "[Main]\r\nk=v\r\n");
  ASSERT_EQ(lstat(fresh.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  // Links in a loop lead nowhere: the write is refused and nothing changes.
  ASSERT_EQ(symlink("loop-b", (dir_ + "/loop-a").c_str()), 0);
  ASSERT_EQ(symlink("loop-a", (dir_ + "/loop-b").c_str()), 0);
  EXPECT_THAT(IniFile(dir_ + "/loop-a").WriteString("A", "a", "1").message(),
              ::testing::StartsWith(dir_ + "/loop-a: "));
  EXPECT_EQ(lstat((dir_ + "/loop-a").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
}

// A link another user planted where the settings file belongs is never
// followed for writing: run as root, it would steer the write to any file.
TEST_F(IniFileTest, ALinkOfAnotherUserIsNotFollowedForWriting) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a link of another user";
  const std::string victim = dir_ + "/victim";
  Put(victim, "precious");
  ASSERT_EQ(symlink(victim.c_str(), path_.c_str()), 0);
  ASSERT_EQ(lchown(path_.c_str(), testing::kNobody, testing::kNogroup), 0);
  EXPECT_THAT(IniFile(path_).WriteString("A", "a", "1").message(),
              ::testing::StartsWith(path_ + ": "));
  EXPECT_EQ(Get(victim), "precious");
  struct stat st {};
  ASSERT_EQ(lstat(path_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
}

// A settings file the user made read-only refuses every write, even for
// root, and one this process may not write is not replaced behind its
// owner's back.
TEST_F(IniFileTest, AReadOnlyFileIsNeverReplaced) {
  const std::string old = "[A]\r\na=1\r\n";
  Put(old);
  ASSERT_EQ(chmod(path_.c_str(), 0444), 0);
  IniFile ini(path_);
  EXPECT_EQ(ini.ReadString("A", "a", ""), "1");
  Status st = ini.WriteString("A", "a", "2");
  EXPECT_THAT(st.message(), ::testing::StartsWith(path_ + ": "));
  EXPECT_THAT(ini.EraseSection("A").message(), ::testing::StartsWith(path_ + ": "));
  EXPECT_EQ(Get(), old);
  EXPECT_THAT(Entries(), ElementsAre("Quillfen.ini"));

  if (geteuid() != 0) return;  // the rest needs a second user
  ASSERT_EQ(chmod(path_.c_str(), 0644), 0);
  ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);  // the folder lets anyone rename
  const bool refused = testing::AsUser(testing::kNobody, testing::kNogroup, [&] {
    return !IniFile(path_).WriteString("A", "a", "3").ok();
  });
  EXPECT_TRUE(refused);
  EXPECT_EQ(Get(), old);
  struct stat st2 {};
  ASSERT_EQ(stat(path_.c_str(), &st2), 0);
  EXPECT_EQ(st2.st_uid, 0u);
}

// Lines may end in CR alone, as some editors write them; such lines keep
// their ends when the file is written back.
TEST_F(IniFileTest, LinesEndingInACarriageReturnAloneAreLines) {
  Put("[Work]\r" + kSource932 + "=C:\\a\r" + kTarget932 + "=C:\\b\r[Main]\r" + kSkipExt932 +
      "=.tmp,\r");
  IniFile ini(path_);
  EXPECT_THAT(ini.Sections(), ElementsAre("Work", "Main"));
  EXPECT_EQ(ini.ReadString("Work", kSource, ""), "C:\\a");
  EXPECT_EQ(ini.ReadString("Work", kTarget, ""), "C:\\b");
  EXPECT_EQ(ini.ReadString("Main", kSkipExt, ""), ".tmp,");
  ASSERT_TRUE(ini.WriteString("Work", kEndTime, "2010/04/01").ok());
  EXPECT_EQ(Get(), "[Work]\r" + kSource932 + "=C:\\a\r" + kTarget932 + "=C:\\b\r" + kEndTime932 +
                       "=2010/04/01\r\n[Main]\r" + kSkipExt932 + "=.tmp,\r");
  // Mixed ends, and a CR right before a CR LF: every line is a line.
  Put("[A]\r\na=1\nb=2\rc=3\r\r\nd=4");
  IniFile mixed(path_);
  for (const char* key : {"a", "b", "c", "d"}) EXPECT_NE(mixed.ReadString("A", key, ""), "") << key;
  ASSERT_TRUE(mixed.WriteString("A", "d", "5").ok());
  EXPECT_EQ(Get(), "[A]\r\na=1\r\nb=2\rc=3\r\r\nd=5\r\n");
}

// What a write killed earlier left beside the file goes at the next write;
// other files there stay.
TEST_F(IniFileTest, LeftoversOfAnEarlierWriteGoAtTheNextWrite) {
  Put("[A]\r\na=1\r\n");
  for (const char* name : {".Quillfen.ini.Ab3xYz", ".quillfen-tmp-999999999-0123456789abcdef",
                           ".Quillfen.ini.backup", "notes.txt"}) {
    Put(dir_ + "/" + name, "x");
  }
  ASSERT_TRUE(IniFile(path_).WriteString("A", "a", "2").ok());
  std::vector<std::string> names = Entries();
  std::sort(names.begin(), names.end());
  EXPECT_THAT(names, ElementsAre(".Quillfen.ini.backup", "Quillfen.ini", "notes.txt"));
}

}  // namespace
}  // namespace quillfen
