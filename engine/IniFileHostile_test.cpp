// The settings file against hostile content and hostile moments: binary
// garbage, damaged characters, huge values and lines, ten thousand sets, a
// FIFO or device in its place, and a kill in the middle of a write. The file
// must read what it can, never hang, and write back every section it did not
// change.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/IniFile.h"
#include "testing/FaultInjection.h"
#include "testing/TestTree.h"

namespace quillfen {
namespace {

using testing::TestTree;

const char kSource[] = "コピー元";
const char kDestination[] = "コピー先";
const char kEndTime[] = "終了時刻";

// `content` with every line ending as CR LF, as every write leaves the file.
std::string WithCrLf(std::string_view content) {
  std::string out;
  size_t start = 0;
  while (start < content.size()) {
    size_t lf = content.find('\n', start);
    std::string_view line = content.substr(start, lf == std::string_view::npos ? lf : lf - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    out.append(line).append("\r\n");
    if (lf == std::string_view::npos) break;
    start = lf + 1;
  }
  return out;
}

// Seeded random bytes, NUL, CR and LF included.
std::string Garbage(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>(random() & 0xFF);
  return s;
}

// Runs `work` in a child process and reports whether it ended by itself
// within `limit` (a child still running then is killed).
bool FinishesWithin(const std::function<void()>& work, std::chrono::milliseconds limit) {
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
#ifndef __SANITIZE_ADDRESS__  // AddressSanitizer needs far more address space
    struct rlimit memory = {size_t{1} << 30, size_t{1} << 30};  // a runaway read fails fast
    setrlimit(RLIMIT_AS, &memory);
#endif
    alarm(60);
    try {
      work();
    } catch (...) {
      _exit(2);  // an exception must not run the rest of the tests in the child
    }
    _exit(0);
  }
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return false;
}

TEST(IniFileHostile, GarbageAroundRealSectionsIsKeptAndTheSectionsStayReadable) {
  TestTree tree;
  const std::string path = tree.Path("Quillfen.ini");
  // ASCII-only sections between blocks of binary garbage, so that the file is
  // neither UTF-8 nor clean code page 932.
  std::string content = Garbage(3000, 1);
  content += "\r\n[Work]\r\nkey=/data/work\r\n";
  content += Garbage(3000, 2);
  content += "\r\n[Main]\r\nlist=.doc,.xls,\r\n";
  content += Garbage(200, 3);
  tree.File("Quillfen.ini", content);

  IniFile ini(path);
  const std::vector<std::string> sections = ini.Sections();
  ASSERT_GE(sections.size(), 2u);
  EXPECT_NE(std::find(sections.begin(), sections.end(), "Work"), sections.end());
  EXPECT_EQ(ini.ReadString("Work", "key", "?"), "/data/work");
  EXPECT_EQ(ini.ReadString("Main", "list", "?"), ".doc,.xls,");

  ASSERT_TRUE(ini.WriteString("Work", "key", "/data/work2").ok());
  IniFile again(path);
  EXPECT_EQ(again.Sections(), sections);
  EXPECT_EQ(again.ReadString("Work", "key", "?"), "/data/work2");
  EXPECT_EQ(again.ReadString("Main", "list", "?"), ".doc,.xls,");
  // Apart from the one value, every byte is still there.
  std::string expected = WithCrLf(content);
  const size_t at = expected.find("key=/data/work") + 14;
  expected.insert(at, "2");
  EXPECT_EQ(TestTree::Read(path), expected);
}

TEST(IniFileHostile, GarbageFileTakesAValueCodePage932CannotHoldWithoutLosingAnything) {
  for (unsigned seed = 10; seed < 30; ++seed) {
    SCOPED_TRACE(seed);
    TestTree tree;
    const std::string path = tree.Path("Quillfen.ini");
    tree.File("Quillfen.ini",
              Garbage(2000, seed) + "\r\n[S]\r\na=1\r\n" + Garbage(500, seed + 100));
    IniFile ini(path);
    const std::vector<std::string> sections = ini.Sections();
    std::vector<std::string> values;
    for (const std::string& s : sections) values.push_back(ini.ReadString(s, "a", "?"));

    const std::string wide = "/d/\u00e9t\u00e9 \U0001F600";
    ASSERT_TRUE(ini.WriteString("New", kSource, wide).ok());
    IniFile again(path);
    std::vector<std::string> after = again.Sections();
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(after.back(), "New");
    after.pop_back();
    EXPECT_EQ(after, sections);
    for (size_t i = 0; i < sections.size(); ++i)
      EXPECT_EQ(again.ReadString(sections[i], "a", "?"), values[i]) << sections[i];
    EXPECT_EQ(again.ReadString("New", kSource, "?"), wide);
  }
}

// A UTF-8 file in which one line was damaged (a character cut in half) is
// still a UTF-8 file: its other Japanese keys must stay readable, and writing
// must not bury them.
TEST(IniFileHostile, Utf8FileWithOneDamagedLineKeepsItsOtherKeys) {
  TestTree tree;
  const std::string path = tree.Path("Quillfen.ini");
  tree.File("Quillfen.ini",
            "[Work]\r\nコピー元=/data/仕事\r\nコピー先=/backup/仕事\r\n"
            "memo=\xe3\x81\r\n"
            "[Main]\r\nオリジナル保存拡張子=.doc,\r\n");
  IniFile ini(path);
  EXPECT_EQ(ini.ReadString("Work", kSource, "?"), "/data/仕事");
  EXPECT_EQ(ini.ReadString("Work", kDestination, "?"), "/backup/仕事");
  EXPECT_EQ(ini.ReadString("Main", "オリジナル保存拡張子", "?"), ".doc,");

  ASSERT_TRUE(ini.WriteString("Work", kEndTime, "2010/04/01 9:05:07").ok());
  IniFile again(path);
  EXPECT_EQ(again.ReadString("Work", kSource, "?"), "/data/仕事");
  EXPECT_EQ(again.ReadString("Work", kEndTime, "?"), "2010/04/01 9:05:07");
  EXPECT_NE(TestTree::Read(path).find("memo=\xe3\x81\r\n"), std::string::npos);
}

TEST(IniFileHostile, HugeValuesAndMegabyteLinesComeBackWhole) {
  TestTree tree;
  const std::string path = tree.Path("Quillfen.ini");
  const std::string longPath = "/" + std::string(3 << 20, 'p');
  const std::string longList = [] {
    std::string s;
    for (int i = 0; i < 100000; ++i) s += ".e" + std::to_string(i) + ",";
    return s;
  }();
  const std::string megabyteLine(1 << 20, 'x');  // no '=' and no header: kept as it is
  tree.File("Quillfen.ini", "[Big]\r\n" + megabyteLine + "\r\nコピー元=" + longPath +
                                "\r\n[Main]\r\n保存対象外拡張子=" + longList + "\r\n");
  IniFile ini(path);
  EXPECT_EQ(ini.Sections(), (std::vector<std::string>{"Big", "Main"}));
  EXPECT_EQ(ini.ReadString("Big", kSource, ""), longPath);
  EXPECT_EQ(ini.ReadString("Main", "保存対象外拡張子", ""), longList);

  ASSERT_TRUE(ini.WriteString("Big", kDestination, longPath + "/d").ok());
  IniFile again(path);
  EXPECT_EQ(again.ReadString("Big", kSource, ""), longPath);
  EXPECT_EQ(again.ReadString("Big", kDestination, ""), longPath + "/d");
  EXPECT_EQ(again.ReadString("Main", "保存対象外拡張子", ""), longList);
  EXPECT_NE(TestTree::Read(path).find("\r\n" + megabyteLine + "\r\n"), std::string::npos);
}

TEST(IniFileHostile, TenThousandSetsAreListedInOrderAndRewrittenInOneBatch) {
  TestTree tree;
  const std::string path = tree.Path("Quillfen.ini");
  std::string content;
  for (int i = 0; i < 10000; ++i) {
    content += "[Set" + std::to_string(i) + "]\r\nコピー元=/src/" + std::to_string(i) +
               "\r\nコピー先=/dst/" + std::to_string(i) + "\r\n";
  }
  content += "[Main]\r\n";
  tree.File("Quillfen.ini", content);

  IniFile ini(path);
  const std::vector<std::string> sections = ini.Sections();
  ASSERT_EQ(sections.size(), 10001u);
  EXPECT_EQ(sections[0], "Set0");
  EXPECT_EQ(sections[9999], "Set9999");
  EXPECT_EQ(ini.ReadString("Set5000", kSource, ""), "/src/5000");

  ini.BeginUpdate();
  for (int i = 9999; i >= 0; --i) {
    const std::string name = "Set" + std::to_string(i);
    ASSERT_TRUE(ini.WriteString(name, kDestination, "/new/" + std::to_string(i)).ok());
    ASSERT_TRUE(ini.WriteString(name, kEndTime, "2010/04/01").ok());
  }
  ASSERT_TRUE(ini.EndUpdate().ok());

  IniFile again(path);
  EXPECT_EQ(again.Sections(), sections);
  for (int i : {0, 1234, 9999}) {
    const std::string name = "Set" + std::to_string(i);
    EXPECT_EQ(again.ReadString(name, kSource, ""), "/src/" + std::to_string(i));
    EXPECT_EQ(again.ReadString(name, kDestination, ""), "/new/" + std::to_string(i));
    EXPECT_EQ(again.ReadDateTime(name, kEndTime, 0.0), EncodeDateTime(2010, 4, 1));
  }
}

// A FIFO or a device where the settings file should be must neither hang the
// start nor be read without end; nothing is written over it.
TEST(IniFileHostile, FifoOrDeviceInPlaceOfTheFileReadsAsUnreadable) {
  TestTree tree;
  const std::string fifo = tree.Path("fifo/Quillfen.ini");
  tree.Dir("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  const std::string zero = tree.Path("zero/Quillfen.ini");
  tree.Dir("zero");
  if (mknod(zero.c_str(), S_IFCHR | 0644, makedev(1, 5)) != 0) {
    ASSERT_EQ(symlink("/dev/zero", zero.c_str()), 0);
  }
  for (const std::string& path : {fifo, zero}) {
    SCOPED_TRACE(path);
    EXPECT_TRUE(FinishesWithin(
        [&] {
          IniFile ini(path);
          if (!ini.Sections().empty()) _exit(3);
          Status s = ini.WriteString("Work", kSource, "/x");
          if (s.ok() || s.message().rfind(path + ": ", 0) != 0) _exit(4);
        },
        std::chrono::seconds(5)))
        << "reading or writing a settings file that is no regular file hung or failed";
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_FALSE(S_ISREG(st.st_mode));
  }
}

TEST(IniFileHostile, UnwritablePlaceFailsWithTheMessageAndChangesNothing) {
  TestTree tree;
  // The settings path lies under a file, and a folder holds the settings name.
  tree.File("plain", "not a folder");
  const std::string underFile = tree.Path("plain/Quillfen.ini");
  const std::string folder = tree.Dir("dir/Quillfen.ini");
  tree.File("dir/Quillfen.ini/inside.txt", "kept");
  for (const std::string& path : {underFile, folder}) {
    SCOPED_TRACE(path);
    IniFile ini(path);
    EXPECT_TRUE(ini.Sections().empty());
    for (Status s : {ini.WriteString("Work", kSource, "/x"), ini.EraseSection("Work"),
                     ini.WriteDateTime("Work", kEndTime, 1.0)}) {
      EXPECT_FALSE(s.ok());
      EXPECT_THAT(s.message(), ::testing::StartsWith(path + ": "));
    }
  }
  EXPECT_EQ(TestTree::Read(tree.Path("plain")), "not a folder");
  EXPECT_EQ(testing::NamesIn(folder), std::set<std::string>{"inside.txt"});
}

TEST(IniFileHostile, FullDiskRefusesTheWriteAndKeepsTheFileWhole) {
  testing::SmallDisk disk(256 << 10);
  if (!disk.ok()) GTEST_SKIP() << disk.error();
  const std::string path = disk.root() + "/Quillfen.ini";
  std::string content;
  for (int i = 0; i < 2000; ++i) content += "[Set" + std::to_string(i) + "]\r\nコピー元=/s\r\n";
  {
    std::ofstream out(path, std::ios::binary);
    out << content;
  }
  {
    // Fill the disk, leaving less room than a second copy of the file needs.
    std::ofstream filler(disk.root() + "/filler", std::ios::binary);
    const std::string block(4096, 'f');
    while (filler.write(block.data(), block.size())) {
    }
  }
  IniFile ini(path);
  const Status s = ini.WriteString("Set7", kEndTime, "2010/04/01");
  ASSERT_FALSE(s.ok()) << "a write to a full disk reported success";
  EXPECT_THAT(s.message(), ::testing::StartsWith(path + ": "));
  EXPECT_EQ(TestTree::Read(path), content);
  EXPECT_EQ(testing::NamesIn(disk.root()), (std::set<std::string>{"Quillfen.ini", "filler"}));

  ASSERT_EQ(unlink((disk.root() + "/filler").c_str()), 0);
  ASSERT_TRUE(ini.WriteString("Set7", kEndTime, "2010/04/01").ok());
  EXPECT_EQ(IniFile(path).ReadString("Set7", kEndTime, ""), "2010/04/01");
}

// A child writes the whole file again and again, each time with all values of
// one generation; it is killed at seeded random moments. The file always
// parses, lists every section, and holds one whole generation.
TEST(IniFileHostile, KilledDuringAWriteLeavesTheOldOrTheNewFile) {
  TestTree tree;
  const std::string path = tree.Path("Quillfen.ini");
  constexpr int kSets = 2000;
  auto writeGeneration = [&](IniFile& ini, int generation) {
    ini.BeginUpdate();
    for (int i = 0; i < kSets; ++i) {
      const std::string name = "Set" + std::to_string(i);
      (void)ini.WriteString(name, kSource, "/gen" + std::to_string(generation) + "/" + name);
    }
    (void)ini.WriteString("Main", "generation", std::to_string(generation));
    return ini.EndUpdate();
  };
  {
    IniFile ini(path);
    ASSERT_TRUE(writeGeneration(ini, 0).ok());
  }

  std::mt19937 random(2);
  std::uniform_int_distribution<int> delayUs(1000, 80000);
  int lastGeneration = 0;
  int leftovers = 0;
  for (int round = 0; round < 10; ++round) {
    const int first = (round + 1) * 1000;
    testing::KillDuring(
        [&] {
          IniFile ini(path);
          for (int g = first;; ++g) (void)writeGeneration(ini, g);
        },
        std::chrono::microseconds(delayUs(random)));

    IniFile ini(path);
    const std::vector<std::string> sections = ini.Sections();
    ASSERT_EQ(sections.size(), static_cast<size_t>(kSets + 1)) << "round " << round;
    const std::string generation = ini.ReadString("Main", "generation", "");
    ASSERT_FALSE(generation.empty());
    for (int i = 0; i < kSets; i += 97) {
      const std::string name = "Set" + std::to_string(i);
      ASSERT_EQ(ini.ReadString(name, kSource, ""), "/gen" + generation + "/" + name)
          << "round " << round << ": the file mixes two writes";
    }
    lastGeneration = std::stoi(generation);
    leftovers += testing::NamesIn(tree.root()).size() > 1 ? 1 : 0;
  }
  EXPECT_GT(lastGeneration, 0) << "no kill landed after a complete write";

  // A kill may land between a temporary file's making and its renaming (how
  // often is recorded); the next write removes what was left, and also what
  // a gone process and an earlier version of the program left.
  tree.File(".quillfen-tmp-999999999-0123456789abcdef", "left by a killed write");
  tree.File(".Quillfen.ini.Ab3xYz", "left by an earlier version");
  IniFile ini(path);
  ASSERT_TRUE(writeGeneration(ini, 1).ok());
  EXPECT_EQ(IniFile(path).ReadString("Set7", kSource, ""), "/gen1/Set7");
  EXPECT_EQ(testing::NamesIn(tree.root()), std::set<std::string>{"Quillfen.ini"});
  ::testing::Test::RecordProperty("kills_leaving_a_temporary_file", leftovers);
}

}  // namespace
}  // namespace quillfen
