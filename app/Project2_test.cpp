// The start-up switch, and the real program started unattended in a folder
// with a settings file, without a display.
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QTest>

#include "app/CommandLine.h"
#include "engine/IniFile.h"
#include "engine/RunLock.h"
#include "testing/FuseVolume.h"
#include "testing/NotificationStandIn.h"
#include "testing/TestTree.h"

namespace {

using quillfen::testing::TestTree;
using ::testing::HasSubstr;

TEST(CommandLine, OnlySlashOrDashWithTheLetterS) {
  for (const char* yes : {"-s", "-S", "/s", "/S"}) EXPECT_TRUE(quillfen::IsUnattendedSwitch(yes));
  for (const char* no : {"s", "--s", "/silent", "-", "", "-x", "/ss"}) {
    EXPECT_FALSE(quillfen::IsUnattendedSwitch(no)) << no;
  }
  const char* argv[] = {"-s", "x", "/S"};
  EXPECT_FALSE(quillfen::HasUnattendedSwitch(2, argv));  // the program name is not an argument
  EXPECT_TRUE(quillfen::HasUnattendedSwitch(3, argv));
}

// A stand-in environment for the platform choice.
std::map<std::string, std::string> gEnv;
const char* FakeEnv(const char* name) {
  const auto it = gEnv.find(name);
  return it == gEnv.end() ? nullptr : it->second.c_str();
}

TEST(CommandLine, UnattendedRunFallsBackToOffscreenWhateverTheDisplay) {
  const char* withSwitch[] = {"quillfen", "-s"};
  const char* without[] = {"quillfen"};
  auto platforms = [&](std::map<std::string, std::string> env) {
    gEnv = std::move(env);
    return quillfen::UnattendedPlatforms(2, withSwitch, FakeEnv).value_or("<unset>");
  };
  EXPECT_EQ(platforms({}), "offscreen");
  EXPECT_EQ(platforms({{"DISPLAY", ""}}), "offscreen");
  EXPECT_EQ(platforms({{"DISPLAY", ":0"}}), "xcb;offscreen");
  EXPECT_EQ(platforms({{"WAYLAND_DISPLAY", "wayland-0"}}), "wayland;offscreen");
  EXPECT_EQ(platforms({{"DISPLAY", ":0"}, {"WAYLAND_DISPLAY", "wayland-0"}}),
            "xcb;wayland;offscreen");
  EXPECT_EQ(
      platforms(
          {{"DISPLAY", ":0"}, {"WAYLAND_DISPLAY", "wayland-0"}, {"XDG_SESSION_TYPE", "wayland"}}),
      "wayland;xcb;offscreen");
  EXPECT_EQ(platforms({{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", ":0"}}), "xcb;offscreen");
  EXPECT_EQ(platforms({{"QT_QPA_PLATFORM", "offscreen"}}), "offscreen");
  // Without the switch the unattended choice is not made.
  gEnv = {{"DISPLAY", ":0"}};
  EXPECT_EQ(quillfen::UnattendedPlatforms(1, without, FakeEnv), std::nullopt);
}

// The window tries the displays Qt would, and lands on offscreen only when
// none works, which the program reports; a user's own offscreen stays.
TEST(CommandLine, WindowStartFallsBackToOffscreenOnlyToReportIt) {
  const char* withSwitch[] = {"quillfen", "-s"};
  const char* without[] = {"quillfen"};
  auto platforms = [&](std::map<std::string, std::string> env) {
    gEnv = std::move(env);
    return quillfen::WindowPlatforms(1, without, FakeEnv).value_or("<unset>");
  };
  EXPECT_EQ(platforms({}), "offscreen");
  EXPECT_EQ(platforms({{"DISPLAY", ":0"}}), "xcb;offscreen");
  EXPECT_EQ(platforms({{"QT_QPA_PLATFORM", "wayland"}}), "wayland;offscreen");
  EXPECT_EQ(platforms({{"QT_QPA_PLATFORM", "offscreen"}, {"DISPLAY", ":0"}}), "<unset>");
  gEnv = {{"DISPLAY", ":0"}};
  EXPECT_EQ(quillfen::WindowPlatforms(2, withSwitch, FakeEnv), std::nullopt);
}

struct Outcome {
  int exitCode = -1;
  std::string errors;
};

// Runs the program with -s in `folder`, with no display and no session bus in
// its environment but those of `displays`.
Outcome RunUnattended(const std::string& folder, const std::map<QString, QString>& displays = {}) {
  QProcess process;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM",
                           "DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR"}) {
    env.remove(name);
  }
  for (const auto& [name, value] : displays) env.insert(name, value);
  process.setProcessEnvironment(env);
  process.setWorkingDirectory(QString::fromStdString(folder));
  process.start(QUILLFEN_EXECUTABLE, {"-s"});
  Outcome outcome;
  if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit) {
    process.kill();
    return outcome;
  }
  outcome.exitCode = process.exitCode();
  outcome.errors = process.readAllStandardError().toStdString();
  return outcome;
}

// Both cases in one test: each start waits the designed 5 seconds. Run in a
// desktop session, the failed run leaves one notice; the good one none.
TEST(Program, UnattendedRunBacksUpAndReportsFailedFiles) {
  quillfen::testing::NotificationStandIn desktop;
  ASSERT_TRUE(desktop.ok()) << desktop.error().toStdString();
  const std::map<QString, QString> session = {{"DBUS_SESSION_BUS_ADDRESS", desktop.address()}};
  TestTree tree;
  tree.File("src/a.txt", "a");
  tree.File("src/sub/b.txt", "b");
  tree.File("src/c.tmp", "c");
  tree.File("Quillfen.ini", "[Work]\r\nコピー元=" + tree.Path("src") + "\r\nコピー先=" +
                                tree.Path("dst") + "\r\n[Main]\r\n保存対象外拡張子=.tmp,\r\n");
  const Outcome ok = RunUnattended(tree.root(), session);
  EXPECT_EQ(ok.exitCode, 0);
  EXPECT_EQ(ok.errors, "");  // silent on success
  EXPECT_EQ(TestTree::Read(tree.Path("dst/a.txt")), "a");
  EXPECT_EQ(TestTree::Read(tree.Path("dst/sub/b.txt")), "b");
  EXPECT_EQ(TestTree::Read(tree.Path("dst/c.tmp")), "");
  const quillfen::IniFile settings(tree.Path("Quillfen.ini"));
  EXPECT_GT(settings.ReadDateTime("Work", "終了時刻", 0.0), 0.0);
  EXPECT_GT(settings.ReadDateTime("Main", "ソフト終了時刻", 0.0), 0.0);
  EXPECT_EQ(settings.ReadString("Main", "保存対象外拡張子", ""), ".tmp,");

  // A second set whose target is blocked by a folder: copied what it could,
  // one line on standard error, status 1.
  tree.File("src2/x\n.txt", "x");  // a line break in a name stays on its line
  tree.File("src2/y.txt", "y");
  tree.Dir("dst2/x\n.txt/inner");
  tree.File("Quillfen.ini", "[Other]\r\nコピー元=" + tree.Path("src2") +
                                "\r\nコピー先=" + tree.Path("dst2") + "\r\n");
  const Outcome failed = RunUnattended(tree.root(), session);
  EXPECT_EQ(failed.exitCode, 1);
  QTRY_COMPARE_WITH_TIMEOUT(desktop.notices().size(), size_t{1}, 5000);
  EXPECT_EQ(desktop.notices()[0].summary,
            "Quillfen: バックアップできなかったファイルが1件あります");
  EXPECT_EQ(desktop.notices()[0].body, "Otherのコピーに失敗したファイルが1件あります。");
  EXPECT_THAT(failed.errors,
              HasSubstr(tree.Path("src2/x\\x0a.txt") + " -> " + tree.Path("dst2/x\\x0a.txt")));
  EXPECT_EQ(std::count(failed.errors.begin(), failed.errors.end(), '\n'), 1) << failed.errors;
  EXPECT_EQ(TestTree::Read(tree.Path("dst2/y.txt")), "y");

  // A settings file that cannot be written: the reason on standard error,
  // status 2, and the program still ends by itself.
  TestTree blocked;
  blocked.Dir("Quillfen.ini");
  const Outcome unwritable = RunUnattended(blocked.root());
  EXPECT_EQ(unwritable.exitCode, 2);
  EXPECT_THAT(unwritable.errors, HasSubstr(blocked.Path("Quillfen.ini") + " に書き込めません"));
}

// A settings file the user made read-only is never replaced, root or not: the
// first end time cannot be written, which ends the run with status 2. Lines
// ending in CR alone are read as lines, so the set is found at all.
TEST(Program, UnattendedRunOnAReadOnlySettingsFileEndsWithStatus2) {
  TestTree tree;
  tree.File("src/a.txt", "a");
  const std::string settings =
      "[Work]\rコピー元=" + tree.Path("src") + "\rコピー先=" + tree.Path("dst") + "\r";
  tree.File("Quillfen.ini", settings);
  ASSERT_EQ(chmod(tree.Path("Quillfen.ini").c_str(), 0444), 0);
  const Outcome outcome = RunUnattended(tree.root());
  EXPECT_EQ(outcome.exitCode, 2) << outcome.errors;
  EXPECT_THAT(outcome.errors, HasSubstr(tree.Path("Quillfen.ini") + " に書き込めません"));
  EXPECT_EQ(TestTree::Read(tree.Path("dst/a.txt")), "a");  // the copies were made
  EXPECT_EQ(TestTree::Read(tree.Path("Quillfen.ini")), settings);
}

// A display that is named but cannot be opened (a session that ended, a
// stale variable in a timer's environment) must not keep the run from
// running: it goes offscreen, as without a display.
TEST(Program, UnattendedRunWithADisplayThatCannotBeOpenedRunsOffscreen) {
  TestTree tree;
  tree.File("src/a.txt", "a");
  tree.File("Quillfen.ini",
            "[Work]\r\nコピー元=" + tree.Path("src") + "\r\nコピー先=" + tree.Path("dst") + "\r\n");
  const Outcome outcome =
      RunUnattended(tree.root(), {{"DISPLAY", ":97"},
                                  {"WAYLAND_DISPLAY", "quillfen-no-such-display"},
                                  {"XDG_RUNTIME_DIR", QString::fromStdString(tree.root())}});
  EXPECT_EQ(outcome.exitCode, 0) << outcome.errors;
  EXPECT_EQ(outcome.errors, "");
  EXPECT_EQ(TestTree::Read(tree.Path("dst/a.txt")), "a");
}

// Started for the window without a display (none named, or one that cannot
// be opened): one line that says what to do, status 1, no abort.
TEST(Program, WindowWithoutADisplaySaysSoInOneLine) {
  for (const std::map<QString, QString>& displays :
       {std::map<QString, QString>{}, std::map<QString, QString>{{"DISPLAY", ":97"}}}) {
    TestTree tree;
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(name);
    for (const auto& [name, value] : displays) env.insert(name, value);
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(QString::fromStdString(tree.root()));
    process.start(QUILLFEN_EXECUTABLE, QStringList());
    ASSERT_TRUE(process.waitForFinished(30000));
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 1);
    EXPECT_EQ(process.readAllStandardError().toStdString(),
              std::string(quillfen::kNoDisplayMessage) + "\n");
    EXPECT_FALSE(quillfen::testing::Exists(tree.Path("Quillfen.ini")));
  }
}

// Whether process `pid` catches `signalNumber` (its handler is installed).
bool Catches(qint64 pid, int signalNumber) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("SigCgt:", 0) == 0) {
      const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
      return (mask >> (signalNumber - 1)) & 1;
    }
  }
  return false;
}

// Starts the program on the offscreen platform in `folder` and sends it
// `signalNumber` once it catches it; returns its exit code (-1: killed).
int EndBySignal(const std::string& folder, const QStringList& arguments, int signalNumber) {
  QProcess process;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("QT_QPA_PLATFORM", "offscreen");
  process.setProcessEnvironment(env);
  process.setWorkingDirectory(QString::fromStdString(folder));
  process.start(QUILLFEN_EXECUTABLE, arguments);
  if (!process.waitForStarted(30000)) return -2;
  for (int i = 0; i < 3000 && !Catches(process.processId(), signalNumber); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ::kill(static_cast<pid_t>(process.processId()), signalNumber);
  if (!process.waitForFinished(30000)) {
    process.kill();
    return -3;
  }
  return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

// A logout or `kill` runs the normal close: the settings are written and the
// program ends by itself. An unattended program ended before its backup says
// so in its status.
TEST(Program, TerminationAndHangUpEndThroughTheNormalClose) {
  for (const int signalNumber : {SIGTERM, SIGHUP}) {
    TestTree tree;
    tree.File("Quillfen.ini", "[Work]\r\nコピー元=/nowhere\r\nコピー先=/nowhere2\r\n");
    EXPECT_EQ(EndBySignal(tree.root(), {}, signalNumber), 0) << signalNumber;
    const quillfen::IniFile settings(tree.Path("Quillfen.ini"));
    EXPECT_GT(settings.ReadDateTime("Main", "ソフト終了時刻", 0.0), 0.0) << signalNumber;
    EXPECT_EQ(settings.ReadString("Work", "コピー元", ""), "/nowhere");
  }
  TestTree tree;
  tree.File("src/a.txt", "a");
  tree.File("Quillfen.ini",
            "[Work]\r\nコピー元=" + tree.Path("src") + "\r\nコピー先=" + tree.Path("dst") + "\r\n");
  EXPECT_EQ(EndBySignal(tree.root(), {"-s"}, SIGTERM), 128 + SIGTERM);
  EXPECT_FALSE(quillfen::testing::Exists(tree.Path("dst/a.txt")));
}

// A run started while another works on the same settings file (cron firing
// again while the last run still copies) does not start: it says so and
// ends with status 75, and copies nothing.
TEST(Program, AnUnattendedRunDoesNotStartWhileAnotherHoldsTheSettings) {
  TestTree tree;
  tree.File("src/a.txt", "a");
  tree.File("Quillfen.ini",
            "[Work]\r\nコピー元=" + tree.Path("src") + "\r\nコピー先=" + tree.Path("dst") + "\r\n");
  const quillfen::RunLock other(tree.Path("Quillfen.ini"));
  ASSERT_TRUE(other.held()) << other.status().message();
  const Outcome refused = RunUnattended(tree.root());
  EXPECT_EQ(refused.exitCode, 75);
  EXPECT_NE(refused.errors.find("another backup run is using"), std::string::npos)
      << refused.errors;
  EXPECT_FALSE(std::filesystem::exists(tree.Path("dst/a.txt")));
  EXPECT_EQ(quillfen::IniFile(tree.Path("Quillfen.ini")).ReadString("Work", "終了時刻", ""), "");
}

// A destination that hangs (a share's server that stopped answering; here a
// FUSE volume whose daemon is stopped): the unattended program still ends
// once the patience set in the settings has passed, with the set due.
TEST(Program, AnUnattendedRunEndsInBoundedTimeWhenTheDestinationHangs) {
  quillfen::testing::FuseVolume volume(quillfen::testing::FuseVolume::Kind::kFat);
  if (!volume.mounted()) GTEST_SKIP() << volume.skipReason();
  TestTree tree;
  for (int i = 0; i < 20; ++i) tree.File("src/f" + std::to_string(i) + ".txt", "f");
  tree.File("Quillfen.ini", "[Work]\r\nコピー元=" + tree.Path("src") + "\r\nコピー先=" +
                                volume.root() + "/backup\r\n[Main]\r\n応答待ち秒数=5\r\n");
  const std::vector<pid_t> daemons = volume.DaemonPids();
  ASSERT_FALSE(daemons.empty());
  for (pid_t pid : daemons) ASSERT_EQ(kill(pid, SIGSTOP), 0);
  const auto start = std::chrono::steady_clock::now();
  const Outcome ended = RunUnattended(tree.root());
  const auto took = std::chrono::steady_clock::now() - start;
  for (pid_t pid : daemons) kill(pid, SIGCONT);
  EXPECT_EQ(ended.exitCode, 1) << ended.errors;
  EXPECT_LT(took, std::chrono::seconds(25)) << "5 s start delay, 5 s patience";
  EXPECT_NE(ended.errors.find("Work: " + volume.root() +
                              "/backup: the destination does not answer (waited 5 s)"),
            std::string::npos)
      << ended.errors;
  EXPECT_EQ(quillfen::IniFile(tree.Path("Quillfen.ini")).ReadString("Work", "終了時刻", ""), "");
  EXPECT_NE(TestTree::Read(tree.Path("Quillfen.log")).find("the destination does not answer"),
            std::string::npos);
}

}  // namespace
