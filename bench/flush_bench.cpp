// What it costs to make copies durable before they are named, by strategy:
// N files of B bytes are each written as an unnamed file (O_TMPFILE) in a
// folder of DIR and then linked under their names, as the backup run writes
// its copies, on two threads. Every strategy ends with one syncfs, so that
// all of them leave the same on the disk; they differ in when the data is
// flushed, and so in what a power cut in the middle can leave.
//
//   flush_bench [--files N] [--size B] [--rounds R] DIR
//
//   none            named at once, flushed only by the syncfs at the end:
//                   a power cut can leave empty copies under their names
//   fsync           fsync of each file before its name
//   fdatasync       fdatasync of each file before its name (does not hold
//                   the last-write time, shown for comparison only)
//   group-N         the files are flushed N at a time with one syncfs, then
//                   named together
//   group-N+write   as group-N, and write-back of each file started at once
//                   with sync_file_range(SYNC_FILE_RANGE_WRITE)
//
// Each strategy runs R times in turns (A B C ... A B C), each time into a
// fresh folder; printed are the median seconds and the ratio to "none".
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Strategy {
  const char* name;
  int group;  // files per syncfs; 0: none
  bool fsyncEach;
  bool fdatasyncEach;
  bool startWrite;
};

void Die(const char* what, const std::string& path) {
  std::fprintf(stderr, "flush_bench: %s %s: %s\n", what, path.c_str(), std::strerror(errno));
  std::exit(1);
}

void Link(int fd, int folder, const std::string& name) {
  char proc[40];
  std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
  if (linkat(AT_FDCWD, proc, folder, name.c_str(), AT_SYMLINK_FOLLOW) != 0) Die("link", name);
}

// One run of `s`: `files` files of `data` into the new folder `path`.
double RunOnce(const Strategy& s, const std::string& path, int files, const std::string& data) {
  if (mkdir(path.c_str(), 0755) != 0) Die("mkdir", path);
  const int folder = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) Die("open", path);
  std::mutex mutex;
  std::vector<std::pair<int, std::string>> pending;
  const auto start = std::chrono::steady_clock::now();
  auto commit = [&](std::vector<std::pair<int, std::string>>& group) {
    if (syncfs(folder) != 0) Die("syncfs", path);
    for (auto& [fd, name] : group) {
      Link(fd, folder, name);
      close(fd);
    }
    group.clear();
  };
  auto worker = [&](int first) {
    for (int i = first; i < files; i += 2) {
      const int fd = openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
      if (fd < 0) Die("O_TMPFILE in", path);
      if (write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size())) {
        Die("write", path);
      }
      const struct timespec times[2] = {{1600000000, 0}, {1600000000, 0}};
      futimens(fd, times);
      if (s.startWrite) sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
      char name[24];
      std::snprintf(name, sizeof name, "f%d", i);
      if (s.group == 0) {
        if (s.fsyncEach && fsync(fd) != 0) Die("fsync", path);
        if (s.fdatasyncEach && fdatasync(fd) != 0) Die("fdatasync", path);
        Link(fd, folder, name);
        close(fd);
        continue;
      }
      std::vector<std::pair<int, std::string>> full;
      {
        std::lock_guard<std::mutex> lock(mutex);
        pending.emplace_back(fd, name);
        if (pending.size() >= static_cast<size_t>(s.group)) full.swap(pending);
      }
      if (!full.empty()) commit(full);
    }
  };
  std::thread other(worker, 1);
  worker(0);
  other.join();
  if (!pending.empty()) commit(pending);
  if (syncfs(folder) != 0) Die("syncfs", path);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  close(folder);
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  int files = 5000;
  size_t size = 6000;
  int rounds = 5;
  std::string dir;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--files") == 0 && i + 1 < argc) {
      files = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--size") == 0 && i + 1 < argc) {
      size = static_cast<size_t>(std::atoll(argv[++i]));
    } else if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = std::atoi(argv[++i]);
    } else {
      dir = argv[i];
    }
  }
  if (dir.empty() || files < 1 || rounds < 1) {
    std::fputs("usage: flush_bench [--files N] [--size B] [--rounds R] DIR\n", stderr);
    return 2;
  }
  const std::vector<Strategy> strategies = {
      {"none", 0, false, false, false},          {"fsync", 0, true, false, false},
      {"fdatasync", 0, false, true, false},      {"group-64", 64, false, false, false},
      {"group-256", 256, false, false, false},   {"group-256+write", 256, false, false, true},
      {"group-1024", 1024, false, false, false},
  };
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 131 + 7);
  std::vector<std::vector<double>> times(strategies.size());
  int run = 0;
  for (int round = 0; round <= rounds; ++round) {  // round 0 warms up
    for (size_t s = 0; s < strategies.size(); ++s) {
      const std::string path =
          dir + "/flush-" + std::to_string(getpid()) + "-" + std::to_string(run++);
      const double seconds = RunOnce(strategies[s], path, files, data);
      if (round > 0) times[s].push_back(seconds);
    }
  }
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  const double none = median(times[0]);
  std::printf("%d files of %zu bytes, 2 threads, median of %d rounds (folders left in %s)\n", files,
              size, rounds, dir.c_str());
  for (size_t s = 0; s < strategies.size(); ++s) {
    const double m = median(times[s]);
    std::printf("  %-16s %8.3f s  %6.3f ms per file  %5.2f x none\n", strategies[s].name, m,
                m * 1000 / files, m / none);
  }
  return 0;
}
