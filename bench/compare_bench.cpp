// Times the folder comparison window on two trees of N files each (default
// 100,000; 1,000,000 for the window's large-tree goals).
//
//   compare_bench [--files N] [DIR]
//       Makes (once) under DIR (default /var/tmp/quillfen-compare-bench, with
//       "-n<N>" appended for another N) a source tree of N tiny files, 100 in
//       each of N/100 folders, and a destination tree holding every other
//       source file plus N/2 files of its own, so that each side has N files
//       and half of each side is selected by a comparison, the left side in
//       N/2 separate runs (the worst case for the list's selection ranges).
//       Then, on Qt's offscreen platform, times (median of 5 after one
//       warm-up) the plain listing of both trees, the opening of the real
//       window (listing and filling both lists), the plain comparison, the
//       "比較選択" handler with its status texts and selections, "ALL" on the
//       compared left list, and a single ctrl-click toggle and a plain click
//       on the compared list (mouse press and release on the first row, each
//       running the click handler), each of the last three with the repaint
//       of the list that follows. Each line also gives the median CPU time of
//       the process.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <QApplication>
#include <QListView>
#include <QMouseEvent>

#include "compare/CompareLogic.h"
#include "compare/MainWindowLink.h"
#include "compare/PathListView.h"
#include "compare/Unit2.h"
#include "engine/DateTime.h"
#include "testing/ScriptedDialogs.h"

namespace {

constexpr int kFilesPerFolder = 100;

bool MakeFolder(const std::string& path) {
  return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

bool MakeFile(const std::string& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  const bool ok = write(fd, "x", 1) == 1;
  return close(fd) == 0 && ok;
}

// Creates both trees of `folders` folders unless a finished pair is already there.
bool MakeTrees(const std::string& dir, int folders) {
  const std::string marker = dir + "/.complete";
  if (access(marker.c_str(), F_OK) == 0) return true;
  if (!MakeFolder(dir) || !MakeFolder(dir + "/src") || !MakeFolder(dir + "/dst")) return false;
  for (int d = 0; d < folders; ++d) {
    char folder[32];
    std::snprintf(folder, sizeof folder, "/d%04d", d);
    if (!MakeFolder(dir + "/src" + folder) || !MakeFolder(dir + "/dst" + folder)) return false;
    for (int f = 0; f < kFilesPerFolder; ++f) {
      char name[64];
      std::snprintf(name, sizeof name, "%s/f%03d.txt", folder, f);
      if (!MakeFile(dir + "/src" + name)) return false;
      if (f % 2 == 0 && !MakeFile(dir + "/dst" + name)) return false;
      std::snprintf(name, sizeof name, "%s/g%03d.txt", folder, f);
      if (f % 2 == 0 && !MakeFile(dir + "/dst" + name)) return false;
    }
  }
  return MakeFile(marker);
}

// The process's CPU time (user and system, all threads) in milliseconds.
double CpuMillis() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// One warm-up run, then the median, minimum and maximum of five, and the
// median CPU time, which other work on a shared machine disturbs less.
void Report(const char* what, const std::function<void()>& prepare,
            const std::function<void()>& work) {
  prepare();
  work();
  std::vector<double> times, cpu;
  for (int i = 0; i < 5; ++i) {
    prepare();
    const double cpuStart = CpuMillis();
    const auto start = std::chrono::steady_clock::now();
    work();
    times.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
    cpu.push_back(CpuMillis() - cpuStart);
  }
  std::sort(times.begin(), times.end());
  std::sort(cpu.begin(), cpu.end());
  std::printf("%-44s median %8.1f ms  min %8.1f  max %8.1f  cpu %8.1f\n", what, times[2], times[0],
              times[4], cpu[2]);
}

class BenchMainWindow : public MainWindowLink {
 public:
  std::string source, destination, settings;
  std::string SelectedSetName() const override { return "Bench"; }
  std::string SelectedSourceFolder() const override { return source; }
  std::string SelectedDestinationFolder() const override { return destination; }
  std::vector<std::string> TickedKeepOriginal() const override { return {}; }
  std::vector<std::string> TickedExcluded() const override { return {}; }
  std::string SettingsPath() const override { return settings; }
};

// A mouse click on the first row of `list`, as the window system delivers it.
void ClickFirstRow(QListView* list, Qt::KeyboardModifiers modifiers) {
  QWidget* viewport = list->viewport();
  const QPointF pos = list->visualRect(list->model()->index(0, 0)).center();
  const QPointF global = viewport->mapToGlobal(pos);
  QMouseEvent press(QEvent::MouseButtonPress, pos, global, Qt::LeftButton, Qt::LeftButton,
                    modifiers);
  QApplication::sendEvent(viewport, &press);
  QMouseEvent release(QEvent::MouseButtonRelease, pos, global, Qt::LeftButton, Qt::NoButton,
                      modifiers);
  QApplication::sendEvent(viewport, &release);
}

class NullSink : public quillfen::StatusSink {
 public:
  size_t count = 0;
  void ShowStatus(std::string_view) override { ++count; }
};

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  int files = 100000;
  std::string dir;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--files" && i + 1 < argc) {
      files = std::atoi(argv[++i]);
    } else {
      dir = arg;
    }
  }
  if (files < kFilesPerFolder || files % kFilesPerFolder != 0) {
    std::fprintf(stderr, "compare_bench: --files takes a multiple of %d\n", kFilesPerFolder);
    return 2;
  }
  if (dir.empty()) {
    dir = "/var/tmp/quillfen-compare-bench";
    if (files != 100000) dir += "-n" + std::to_string(files);
  }
  std::printf("trees of %d files per side under %s (made once)...\n", files, dir.c_str());
  std::fflush(stdout);
  if (!MakeTrees(dir, files / kFilesPerFolder)) {
    std::perror(dir.c_str());
    return 1;
  }

  BenchMainWindow main;
  main.source = dir + "/src";
  main.destination = dir + "/dst";
  main.settings = dir + "/Quillfen.ini";

  std::vector<std::string> left, right;
  Report(
      "listing + sorting, both trees (plain)", [] {},
      [&] {
        left = quillfen::ListRelativeFiles(main.source);
        right = quillfen::ListRelativeFiles(main.destination);
      });
  std::printf("  %zu source files, %zu destination files\n", left.size(), right.size());

  NullSink sink;
  Report(
      "comparison of both sides (plain)", [] {},
      [&] { (void)quillfen::CompareListings(left, right, sink); });

  ScriptedDialogs dialogs;
  quillfen::SystemClock clock;
  TForm2 form(dialogs, clock, main);
  Report(
      "window opening: list, fill, paint", [&] { form.hide(); },
      [&] {
        form.show();
        QApplication::processEvents();
      });

  Report(
      "比較選択 handler: statuses, selections", [&] { form.Button1Click(); },
      [&] { form.Button1Click(); });
  const std::vector<char> selected = form.SelectedRows(form.ListBox1);
  std::printf("  left selected %zu of %zu\n",
              static_cast<size_t>(std::count(selected.begin(), selected.end(), 1)),
              selected.size());

  Report(
      "ALL on the compared left list", [&] { form.Button1Click(); },
      [&] {
        form.Button2Click();
        QApplication::processEvents();
      });
  const std::vector<char> all = form.SelectedRows(form.ListBox1);
  std::printf("  left selected %zu after ALL\n",
              static_cast<size_t>(std::count(all.begin(), all.end(), 1)));

  const QString clicked = form.ListBox1->model()->index(0, 0).data().toString();
  QString shown;
  form.SetStatusObserver([&](const QString& text) { shown = text; });
  Report(
      "ctrl-click toggle on the compared left list", [&] { form.Button1Click(); },
      [&] {
        ClickFirstRow(form.ListBox1, Qt::ControlModifier);
        QApplication::processEvents();
      });
  std::printf("  first row selected %d after the ctrl-click\n",
              form.SelectedRows(form.ListBox1)[0]);
  Report(
      "plain click on the compared left list", [&] { form.Button1Click(); },
      [&] {
        ClickFirstRow(form.ListBox1, Qt::NoModifier);
        QApplication::processEvents();
      });
  const std::vector<char> one = form.SelectedRows(form.ListBox1);
  std::printf("  left selected %zu after the click, status line %s\n",
              static_cast<size_t>(std::count(one.begin(), one.end(), 1)),
              shown == clicked ? "shows the clicked name" : "WRONG");
  return 0;
}
