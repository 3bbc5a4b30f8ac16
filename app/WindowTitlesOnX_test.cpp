// Window titles as the window system sees them: the windows and dialogs are
// created on the xcb platform against an Xvfb server started for the test,
// and their titles are read back by a second X client, as a window manager or
// a task list reads them.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "about/Unit3.h"
#include "app/Unit1.h"
#include "compare/Unit2.h"
#include "engine/DateTime.h"
#include "ui/ApplicationName.h"
#include "ui/QtUserDialogs.h"

// Last: Xlib defines macros (Button1, Status, ...) that the headers above use as names.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

extern char** environ;

namespace {

// An Xvfb server of the test's own, on a display number it picks itself
// (-displayfd), so tests running side by side never share one.
class XvfbServer {
 public:
  XvfbServer() {
    std::string logPath = QDir::tempPath().toStdString() + "/quillfen-xvfb-XXXXXX";
    const int logFd = ::mkstemp(logPath.data());
    if (logFd < 0) {
      error_ = "cannot create a log file for Xvfb";
      return;
    }
    logPath_ = logPath;
    int fds[2];
    if (::pipe(fds) != 0) {
      ::close(logFd);
      error_ = "cannot create a pipe for Xvfb's display number";
      return;
    }
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);  // the write end is Xvfb's -displayfd

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, logFd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, logFd, STDERR_FILENO);
    const std::string displayFd = std::to_string(fds[1]);
    // -terminate: the server ends with its last client, so it does not
    // outlive a test process that crashed.
    const char* argv[] = {"Xvfb",       "-displayfd", displayFd.c_str(), "-screen",
                          "0",          "640x480x24", "-nolisten",       "tcp",
                          "-terminate", nullptr};
    const int spawned =
        ::posix_spawnp(&pid_, "Xvfb", &actions, nullptr, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    ::close(logFd);
    if (spawned != 0) {
      pid_ = -1;
      ::close(fds[0]);
      error_ = std::string("cannot start Xvfb (install it with scripts/install-deps.sh): ") +
               std::strerror(spawned);
      return;
    }
    display_ = ReadDisplayNumber(fds[0]);
    ::close(fds[0]);
    if (display_.empty()) error_ = "Xvfb gave no display number; its log:\n" + Log();
  }
  ~XvfbServer() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
    if (!logPath_.empty()) ::unlink(logPath_.c_str());
  }
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  // ":N" once the server accepts clients, else empty and error() says why.
  const std::string& display() const { return display_; }
  const std::string& error() const { return error_; }

 private:
  // Xvfb writes the number, then a line break, when it is ready for clients.
  static std::string ReadDisplayNumber(int fd) {
    std::string digits;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd ready{fd, POLLIN, 0};
      if (::poll(&ready, 1, 100) <= 0) continue;
      char c;
      if (::read(fd, &c, 1) != 1) return {};  // Xvfb ended
      if (c == '\n') return digits.empty() ? std::string() : ":" + digits;
      digits += c;
    }
    return {};
  }
  std::string Log() const {
    QFile log(QString::fromStdString(logPath_));
    return log.open(QIODevice::ReadOnly) ? log.readAll().toStdString() : std::string();
  }

  pid_t pid_ = -1;
  std::string logPath_;
  std::string display_;
  std::string error_;
};

// What other X clients read of a window.
struct XTitle {
  std::string wmName;     // WM_NAME, decoded to UTF-8
  std::string netWmName;  // _NET_WM_NAME (UTF-8)
  std::string wmClass;    // class part of WM_CLASS
};

int gXErrors = 0;
int CountXError(Display*, XErrorEvent*) {
  ++gXErrors;  // a bad window id is reported by the checks, not fatal
  return 0;
}

class WindowTitlesOnX : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = new XvfbServer;
    if (server_->display().empty()) return;
    qputenv("DISPLAY", QByteArray::fromStdString(server_->display()));
    qputenv("QT_QPA_PLATFORM", "xcb");
    qunsetenv("WAYLAND_DISPLAY");
    // The server takes any local client; no cookie of another server is offered.
    qputenv("XAUTHORITY", "/dev/null");
    qunsetenv("QT_QPA_PLATFORMTHEME");  // Qt's own dialogs, whatever the desktop
    // A desktop's locale, whatever the caller's: WM_NAME is written in the
    // locale's encoding, which the C locale lacks for Japanese captions.
    qputenv("LC_ALL", "C.UTF-8");
    static int argc = 1;
    static char name[] = "quillfen";
    static char* argv[] = {name, nullptr};
    app_ = new QApplication(argc, argv);
    quillfen_ui::NameApplication();
  }
  static void TearDownTestSuite() {
    delete app_;
    app_ = nullptr;
    delete server_;
    server_ = nullptr;
  }

  void SetUp() override {
    ASSERT_FALSE(server_->display().empty()) << server_->error();
    ASSERT_EQ(QGuiApplication::platformName(), "xcb");
    XSetErrorHandler(CountXError);
    reader_ = XOpenDisplay(server_->display().c_str());
    ASSERT_NE(reader_, nullptr) << "cannot connect to " << server_->display();
    ASSERT_TRUE(dir_.isValid());
    oldCwd_ = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir_.path()));
    services_.dialogs = &dialogs_;
    services_.clock = &clock_;
  }
  void TearDown() override {
    QDir::setCurrent(oldCwd_);
    if (reader_ != nullptr) XCloseDisplay(reader_);
    EXPECT_EQ(gXErrors, 0);
  }

  XTitle TitleOf(QWidget* window) {
    QGuiApplication::sync();  // every request Qt made has reached the server
    const Window id = static_cast<Window>(window->winId());
    XTitle title;
    XTextProperty property{};
    if (XGetWMName(reader_, id, &property) != 0) {
      char** list = nullptr;
      int count = 0;
      if (Xutf8TextPropertyToTextList(reader_, &property, &list, &count) == Success && count > 0) {
        title.wmName = list[0];
      }
      if (list != nullptr) XFreeStringList(list);
      XFree(property.value);
    }
    Atom type = 0;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(reader_, id, XInternAtom(reader_, "_NET_WM_NAME", False), 0, 4096, False,
                           XInternAtom(reader_, "UTF8_STRING", False), &type, &format, &items,
                           &after, &data) == Success &&
        data != nullptr) {
      title.netWmName.assign(reinterpret_cast<const char*>(data), items);
      XFree(data);
    }
    XClassHint hint{};
    if (XGetClassHint(reader_, id, &hint) != 0) {
      title.wmClass = hint.res_class;
      XFree(hint.res_name);
      XFree(hint.res_class);
    }
    return title;
  }

  // Runs `open`, which shows a modal window and waits for it; reads that
  // window's title while it is up, then closes it.
  XTitle TitleOfModal(const std::function<void()>& open) {
    XTitle title;
    bool seen = false;
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [&] {
      QWidget* modal = QApplication::activeModalWidget();
      if (seen || modal == nullptr || !modal->isVisible()) return;
      seen = true;
      title = TitleOf(modal);
      if (auto* dialog = qobject_cast<QDialog*>(modal)) {
        dialog->reject();
      } else {
        modal->close();
      }
    });
    poll.start();
    open();
    poll.stop();
    EXPECT_TRUE(seen) << "no modal window opened";
    return title;
  }

  // Checks that a window carries exactly `caption`, and the program's class.
  static void ExpectCaption(const XTitle& title, const std::string& caption) {
    EXPECT_EQ(title.netWmName, caption);
    EXPECT_EQ(title.wmName, caption);
    EXPECT_EQ(title.wmClass, "Quillfen");
  }

  QtUserDialogs dialogs_;
  quillfen::SystemClock clock_;
  MainWindowServices services_;
  // The second X client, as a window manager or a task list.
  Display* reader_ = nullptr;

 private:
  static XvfbServer* server_;
  static QApplication* app_;
  QTemporaryDir dir_;
  QString oldCwd_;
};

XvfbServer* WindowTitlesOnX::server_ = nullptr;
QApplication* WindowTitlesOnX::app_ = nullptr;

TEST_F(WindowTitlesOnX, WindowsCarryTheirDesignedCaptions) {
  ASSERT_TRUE(QDir().mkdir("src"));
  QFile settings("Quillfen.ini");
  ASSERT_TRUE(settings.open(QIODevice::WriteOnly));
  settings.write("[Work]\r\nコピー元=" + QDir::current().filePath("src").toUtf8() +
                 "\r\nコピー先=" + QDir::current().filePath("dst").toUtf8() + "\r\n");
  settings.close();

  TForm1 form1(services_);
  TForm2 form2(dialogs_, clock_, form1, &form1);
  TForm3 form3(&form1);
  form1.SetModalWindows(&form2, &form3);
  form1.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form1));
  ExpectCaption(TitleOf(&form1), "Quillfen");

  form1.ListBox1->setCurrentRow(0);
  ASSERT_EQ(form1.SelectedSourceFolder(), QDir::current().filePath("src").toStdString());
  ExpectCaption(TitleOfModal([&] { form1.Button6Click(); }), "フォルダの比較");
  ExpectCaption(TitleOfModal([&] { form1.About1Click(); }), "Version情報");
}

TEST_F(WindowTitlesOnX, DialogsCarryTheirDesignedCaptions) {
  TForm1 form1(services_);
  form1.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form1));

  // Message boxes carry the program's name.
  ExpectCaption(TitleOfModal([&] { form1.Button6Click(); }), "Quillfen");
  ExpectCaption(TitleOfModal([&] { dialogs_.ShowError("error"); }), "Quillfen");
  ExpectCaption(TitleOfModal([&] { dialogs_.AskYesNo("question"); }), "Quillfen");
  // The folder browser carries its instruction, the text input its caption.
  ExpectCaption(TitleOfModal([&] { form1.Button1Click(); }),
                "【保存元】フォルダを選択してください。");
  form1.Edit1->setText("/srv");
  ExpectCaption(TitleOfModal([&] { form1.Button2Click(); }),
                "【保存先】フォルダを選択してください。");
  ExpectCaption(TitleOfModal([&] { form1.N1Click(); }), "Original保存拡張子の入力");
  ExpectCaption(TitleOfModal([&] { form1.N4Click(); }), "backup対象外拡張子の入力");
}

// Holds a run at its first file until the test lets it go (the run asks
// whether to stop before each file, on its own thread).
std::atomic<bool> runGateOpen{true};
std::atomic<int> runQuestions{0};
int HeldRun() {
  ++runQuestions;
  while (!runGateOpen.load()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  return 0;
}

// Counts the paint events a widget gets.
class PaintCounter : public QObject {
 public:
  int paints = 0;
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++paints;
    return false;
  }
};

TEST_F(WindowTitlesOnX, TheMainWindowAnswersTheWindowSystemDuringALongRun) {
  QDir().mkpath("src");
  QFile file("src/a.txt");
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.close();
  QFile ini("Quillfen.ini");
  ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
  ini.write(("[Docs]\r\nコピー元=" + QDir::current().filePath("src") +
             "\r\nコピー先=" + QDir::current().filePath("bk") + "\r\n")
                .toUtf8());
  ini.close();
  runGateOpen = false;
  runQuestions = 0;
  services_.pendingEnd = &HeldRun;
  TForm1 form1(services_);
  form1.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form1));
  PaintCounter counter;
  form1.installEventFilter(&counter);
  const Window id = static_cast<Window>(form1.winId());

  bool moved = false;
  bool repainted = false;
  QTimer::singleShot(0, &form1, [&] {
    for (int i = 0; i < 2000 && runQuestions.load() == 0; ++i) QTest::qWait(5);
    EXPECT_TRUE(form1.RunInProgress());
    // Another client moves the window and asks for its contents again, as
    // a window manager does when a window is dragged over it.
    XMoveWindow(reader_, id, 123, 77);
    counter.paints = 0;
    XClearArea(reader_, id, 0, 0, 0, 0, True);
    XFlush(reader_);
    const auto asked = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - asked < std::chrono::milliseconds(500) &&
           !(moved && repainted)) {
      QTest::qWait(10);
      moved = form1.geometry().topLeft() == QPoint(123, 77);
      repainted = counter.paints > 0;
    }
    EXPECT_TRUE(form1.RunInProgress()) << "the run was still at work meanwhile";
    runGateOpen = true;
  });
  form1.Button9Click();
  runGateOpen = true;
  EXPECT_TRUE(moved) << "the move was not taken within 500 ms";
  EXPECT_TRUE(repainted) << "no repaint within 500 ms";
  EXPECT_TRUE(QFile::exists("bk/a.txt"));
  services_.pendingEnd = nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
