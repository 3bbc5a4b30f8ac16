// The main window started on hostile settings files: binary garbage, damaged
// characters, keys outside any section, sections without keys, duplicate
// sections, huge values, megabyte lines, ten thousand sets, and control
// characters inside names and values. The window starts, shows what it can
// read, and its close writes the file back without losing any section.
#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <sys/mount.h>

#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QProcessEnvironment>

#include "engine/IniFile.h"
#include "testing/FaultInjection.h"
#include "testing/MainWindowFixture.h"
#include "testing/TestTree.h"

namespace {

QStringList Items(const QListWidget* list) {
  QStringList items;
  for (int i = 0; i < list->count(); ++i) items << list->item(i)->text();
  return items;
}

std::string Garbage(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>(random() & 0xFF);
  std::replace(s.begin(), s.end(), '\n', ' ');  // one line, kept byte for byte
  return s;
}

// Whether every name of `before` appears in `after` in the same order.
bool KeepsInOrder(const std::vector<std::string>& before, const std::vector<std::string>& after) {
  size_t found = 0;
  for (const std::string& name : after)
    if (found < before.size() && name == before[found]) ++found;
  return found == before.size();
}

class HostileSettingsStartup : public MainWindowFixture {
 protected:
  std::string IniPath() const { return Path("Quillfen.ini").toStdString(); }
};

TEST_F(HostileSettingsStartup, GarbageAndOddStructureShowWhatCanBeReadAndSurviveTheClose) {
  const std::string hugePath = "/" + std::string(3 << 20, 'h');
  const std::string megabyteLine(1 << 20, 'm');
  const std::string garbage = Garbage(4000, 7);
  std::string text = "orphan=key before any section\r\n";
  text += "[Empty]\r\n";
  text += "[Work]\r\nコピー元=/data/仕事\r\nコピー先=/backup/仕事\r\n";
  text += garbage + "\r\n";
  text += "[Huge]\r\nコピー元=" + hugePath + "\r\n" + megabyteLine + "\r\n";
  text += "[WORK]\r\nコピー元=/second/spelling\r\n";
  text += "[Cut]\r\nコピー元=/cut/\xe3\x81\r\nコピー先=/fine\r\n";
  text += "[Main]\r\nオリジナル保存拡張子=.doc,.xls,\r\n保存対象外拡張子=.tmp,\r\n";
  WriteSettings(QByteArray::fromStdString(text));
  const std::vector<std::string> sectionsBefore = quillfen::IniFile(IniPath()).Sections();

  TForm1& form = Form();
  const QStringList names = Items(form.ListBox1);
  for (const char* name : {"Empty", "Work", "Huge", "Cut"})
    EXPECT_TRUE(names.contains(name)) << name;
  EXPECT_FALSE(names.contains("Main"));
  const int work = static_cast<int>(names.indexOf("Work"));
  const int huge = static_cast<int>(names.indexOf("Huge"));
  ASSERT_GE(work, 0);
  ASSERT_GE(huge, 0);
  EXPECT_EQ(form.ListBox2->item(work)->text(), QString::fromUtf8("/data/仕事"));
  EXPECT_EQ(form.ListBox2->item(huge)->text().size(), static_cast<qsizetype>(hugePath.size()));
  EXPECT_EQ(form.ListBox2->count(), form.ListBox1->count());
  EXPECT_EQ(form.ListBox3->count(), form.ListBox1->count());
  form.FormActivate();
  EXPECT_EQ(Items(form.CheckListBox1), QStringList({".doc", ".xls"}));
  EXPECT_EQ(Items(form.CheckListBox2), QStringList({".tmp"}));

  ASSERT_TRUE(form.FormClose()) << dialogs.shown.join("|").toStdString();
  const quillfen::IniFile after(IniPath());
  EXPECT_TRUE(KeepsInOrder(sectionsBefore, after.Sections()));
  EXPECT_EQ(after.ReadString("Work", "コピー元", ""), "/data/仕事");
  EXPECT_EQ(after.ReadString("Huge", "コピー元", ""), hugePath);
  EXPECT_EQ(after.ReadString("Main", "保存対象外拡張子", ""), ".tmp,");
  const std::string written = ReadSettings().toStdString();
  for (const std::string& kept :
       {garbage, megabyteLine, std::string("orphan=key before any section"),
        std::string("[WORK]\r\nコピー元=/second/spelling")})
    EXPECT_NE(written.find(kept), std::string::npos) << kept.substr(0, 40);
}

TEST_F(HostileSettingsStartup, TenThousandSetsStartAndCloseWithEveryRowKept) {
  std::string text;
  for (int i = 0; i < 10000; ++i) {
    const std::string n = std::to_string(i);
    text += "[Set" + n + "]\r\nコピー元=/src/" + n + "\r\nコピー先=/dst/" + n + "\r\n";
  }
  WriteSettings(QByteArray::fromStdString(text));
  TForm1& form = Form();
  ASSERT_EQ(form.ListBox1->count(), 10000);
  EXPECT_EQ(form.ListBox2->item(9999)->text(), "/src/9999");
  EXPECT_EQ(form.Edit3->text(), QString::fromUtf8("新規10001"));
  ASSERT_TRUE(form.FormClose());
  const quillfen::IniFile after(IniPath());
  const std::vector<std::string> sections = after.Sections();
  ASSERT_EQ(sections.size(), 10001u);
  EXPECT_EQ(sections[9999], "Set9999");
  EXPECT_EQ(sections.back(), "Main");
  EXPECT_EQ(after.ReadString("Set4321", "コピー先", ""), "/dst/4321");
}

TEST_F(HostileSettingsStartup, HugeExtensionListsLoadSortedAndComeBackWhole) {
  std::string keep, excluded;
  for (int i = 19999; i >= 0; --i) keep += ".k" + std::to_string(i) + ",";
  for (int i = 0; i < 20000; ++i) excluded += ".x" + std::to_string(i) + ",";
  WriteSettings(QByteArray::fromStdString("[Main]\r\nオリジナル保存拡張子=" + keep +
                                          "\r\n保存対象外拡張子=" + excluded + "\r\n"));
  TForm1& form = Form();
  form.FormActivate();
  ASSERT_EQ(form.CheckListBox1->count(), 20000);
  ASSERT_EQ(form.CheckListBox2->count(), 20000);
  EXPECT_EQ(form.CheckListBox1->item(0)->text(), ".k0");
  ASSERT_TRUE(form.FormClose());
  const quillfen::IniFile after(IniPath());
  const std::string written = after.ReadString("Main", "オリジナル保存拡張子", "");
  EXPECT_EQ(std::count(written.begin(), written.end(), ','), 20000);
  EXPECT_EQ(after.ReadString("Main", "保存対象外拡張子", "").size(), excluded.size());
}

// A control character or a NUL byte is read as part of a name or value (a
// carriage return is not: it ends a line). Writing those same texts back at
// the close must work, or one odd byte would keep every other setting from
// being saved.
TEST_F(HostileSettingsStartup, ControlCharactersReadFromTheFileCanBeWrittenBack) {
  std::string text =
      "[Odd\x01Name]\r\nコピー元=/a\x1b"
      "b\r\nコピー先=/nul";
  text += '\0';
  text += "here\r\n[Plain]\r\nコピー元=/plain\r\n";
  WriteSettings(QByteArray::fromStdString(text));
  TForm1& form = Form();
  ASSERT_EQ(form.ListBox1->count(), 2);
  form.ListBox3->item(1)->setText("/plain/changed");  // an edit the close must save
  dialogs.yesNoAnswers.push_back(false);              // keep the window if saving fails
  EXPECT_TRUE(form.FormClose()) << dialogs.shown.join("|").toStdString();
  EXPECT_TRUE(dialogs.errors.isEmpty()) << dialogs.errors.join("|").toStdString();
  const quillfen::IniFile after(IniPath());
  EXPECT_EQ(after.ReadString("Plain", "コピー先", ""), "/plain/changed");
  EXPECT_EQ(after.ReadString("Odd\x01Name", "コピー元", ""),
            "/a\x1b"
            "b");
  EXPECT_EQ(after.ReadString("Odd\x01Name", "コピー先", ""), std::string("/nul\0here", 9));
}

// The real program, unattended, on a settings file full of garbage, backing
// up onto a disk too small for the set: it ends by itself with status 1 and
// one line per file not copied, keeps every section and byte it did not
// change, and once the disk has room the next run completes the set.
TEST(HostileProgram, UnattendedOnGarbageSettingsAndAFullDiskReportsAndKeepsEverything) {
  quillfen::testing::SmallDisk disk(512 << 10);
  if (!disk.ok()) GTEST_SKIP() << disk.error();
  quillfen::testing::TestTree tree;
  for (const char* name : {"a.bin", "b.bin", "sub/c.bin"})
    tree.File(std::string("src/") + name, std::string(300 << 10, name[0]));
  const std::string garbage = Garbage(3000, 99);
  tree.File("Quillfen.ini", garbage + "\r\n[Work]\r\nコピー元=" + tree.Path("src") +
                                "\r\nコピー先=" + disk.root() + "/dst\r\n" + garbage +
                                "\r\n[Main]\r\n保存対象外拡張子=.tmp,\r\n");
  const std::vector<std::string> sections = quillfen::IniFile(tree.Path("Quillfen.ini")).Sections();

  auto run = [&] {
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(name);
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(QString::fromStdString(tree.root()));
    process.start(QUILLFEN_EXECUTABLE, {"-s"});
    const bool ended = process.waitForFinished(60000);
    if (!ended) process.kill();
    return std::make_pair(ended ? process.exitCode() : -1,
                          process.readAllStandardError().toStdString());
  };
  auto [status, errors] = run();
  EXPECT_EQ(status, 1) << errors;
  size_t missing = 0;
  for (const char* name : {"a.bin", "b.bin", "sub/c.bin"}) {
    const std::string there = quillfen::testing::TestTree::Read(disk.root() + "/dst/" + name);
    EXPECT_TRUE(there.empty() || there == std::string(300 << 10, name[0])) << name;
    missing += there.empty() ? 1 : 0;
  }
  EXPECT_GT(missing, 0u);
  EXPECT_EQ(static_cast<size_t>(std::count(errors.begin(), errors.end(), '\n')), missing) << errors;
  EXPECT_NE(errors.find(quillfen::ErrnoText(ENOSPC)), std::string::npos) << errors;
  const std::string written = quillfen::testing::TestTree::Read(tree.Path("Quillfen.ini"));
  EXPECT_NE(written.find(garbage), std::string::npos) << "garbage lines were not kept as they were";
  quillfen::IniFile settings(tree.Path("Quillfen.ini"));
  EXPECT_TRUE(KeepsInOrder(sections, settings.Sections()));

  // More room; the set is made due again, as a day later.
  ASSERT_EQ(mount("tmpfs", disk.root().c_str(), "tmpfs", MS_REMOUNT, "size=4m"), 0);
  ASSERT_TRUE(settings.WriteString("Work", "終了時刻", "2000/01/01").ok());
  std::tie(status, errors) = run();
  EXPECT_EQ(status, 0) << errors;
  for (const char* name : {"a.bin", "b.bin", "sub/c.bin"})
    EXPECT_EQ(quillfen::testing::TestTree::Read(disk.root() + "/dst/" + name),
              std::string(300 << 10, name[0]));
}

}  // namespace
