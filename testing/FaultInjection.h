// Test helper for the fault tests: gates that run a fault at the moment a
// file is first opened or read, a small tmpfs mounted for one test (to run a
// destination out of space), a forked child killed at a chosen moment, a
// helper process acting while the code under test works, work run as a second
// user, and a listing of a folder's names to spot left-over temporary files.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/fanotify.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

namespace quillfen::testing {

// Runs `action` while an access to the file at `path` waits, for the first
// `times` accesses of the kinds in `events` (fanotify permission events:
// FAN_OPEN_PERM for an opening, FAN_ACCESS_PERM for a reading); later ones
// pass. After the last action the file is no longer watched, so the action
// may open it too. Needs root; ok() is false (reason in error()) where the
// system refuses permission events.
class PermissionGate {
 public:
  PermissionGate(const std::string& path, uint64_t events, int times, std::function<void()> action)
      : times_(times), action_(std::move(action)) {
    if (pipe2(wake_, O_CLOEXEC) != 0) {
      error_ = "pipe failed";
      return;
    }
    fd_ = fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY | O_CLOEXEC);
    if (fd_ < 0 || fanotify_mark(fd_, FAN_MARK_ADD, events, AT_FDCWD, path.c_str()) != 0) {
      error_ = std::string("fanotify permission events refused (") + strerror(errno) +
               "); run the fault tests as root";
      return;
    }
    watcher_ = std::thread([this] { Watch(); });
  }
  ~PermissionGate() {
    if (watcher_.joinable()) {
      // Wake a watcher still waiting for an access.
      stop_ = true;
      if (write(wake_[1], "x", 1) < 0) {
      }
      watcher_.join();
    }
    if (fd_ >= 0) close(fd_);
    for (int fd : wake_)
      if (fd >= 0) close(fd);
  }
  PermissionGate(const PermissionGate&) = delete;
  PermissionGate& operator=(const PermissionGate&) = delete;

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  // How many times the action has run.
  int fired() const { return fired_; }

 private:
  void Watch() {
    for (;;) {
      struct pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
      if (poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[0].revents & POLLIN) {
        alignas(fanotify_event_metadata) char buf[4096];
        const ssize_t n = read(fd_, buf, sizeof buf);
        if (n <= 0) continue;
        auto* event = reinterpret_cast<fanotify_event_metadata*>(buf);
        ssize_t left = n;
        while (FAN_EVENT_OK(event, left)) {
          if (fired_ < times_) {
            if (fired_ + 1 == times_) fanotify_mark(fd_, FAN_MARK_FLUSH, 0, AT_FDCWD, nullptr);
            action_();
            ++fired_;
          }
          struct fanotify_response answer = {event->fd, FAN_ALLOW};
          if (write(fd_, &answer, sizeof answer) < 0) {
          }
          if (event->fd >= 0) close(event->fd);
          event = FAN_EVENT_NEXT(event, left);
        }
      }
      if (stop_) return;
    }
  }

  int fd_ = -1;
  int wake_[2] = {-1, -1};
  const int times_;
  std::function<void()> action_;
  std::string error_;
  std::atomic<int> fired_{0};
  std::atomic<bool> stop_{false};
  std::thread watcher_;
};

// Runs `action` at the moment the file at `path` is first opened, while that
// open waits: a fault injected exactly between a listing (which never opens
// files) and the first copy.
class OpenGate : public PermissionGate {
 public:
  OpenGate(const std::string& path, std::function<void()> action)
      : PermissionGate(path, FAN_OPEN_PERM, 1, std::move(action)) {}
};

// Runs `action` each time the file at `path` is read (copied from, cloned),
// while that read waits, for the first `times` reads: a change that lands
// between a copy's first look at the file and its reading.
class ReadGate : public PermissionGate {
 public:
  ReadGate(const std::string& path, int times, std::function<void()> action)
      : PermissionGate(path, FAN_ACCESS_PERM, times, std::move(action)) {}
};

// A tmpfs of `bytes` mounted on a fresh folder; unmounted and removed when the
// object goes away. ok() is false (with the reason in error()) when the system
// refuses the mount, for instance when the tests do not run as root.
class SmallDisk {
 public:
  explicit SmallDisk(size_t bytes) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "quillfen-disk-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
    if (mount("tmpfs", root_.c_str(), "tmpfs", 0, options.c_str()) == 0) {
      mounted_ = true;
    } else {
      error_ = std::string("cannot mount a tmpfs (") + strerror(errno) +
               "); run the fault tests as root to test a full disk";
    }
  }
  ~SmallDisk() {
    if (mounted_) umount2(root_.c_str(), MNT_DETACH);
    rmdir(root_.c_str());
  }
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;

  bool ok() const { return mounted_; }
  const std::string& error() const { return error_; }
  const std::string& root() const { return root_; }

 private:
  std::string root_;
  std::string error_;
  bool mounted_ = false;
};

// Runs `work` in a forked child, lets it run for `delay`, then kills it with
// SIGKILL and reaps it. Returns true when the child was still running at the
// kill (false when it had already ended by itself). The child never returns
// into the test: it leaves with _exit.
inline bool KillDuring(const std::function<void()>& work, std::chrono::microseconds delay) {
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    alarm(60);  // never outlive a test that lost track of us
    try {
      work();
    } catch (...) {
      _exit(2);  // an exception must not run the rest of the tests in the child
    }
    _exit(0);
  }
  std::this_thread::sleep_for(delay);
  kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

// A helper process that runs `step` over and over until the object goes
// away: an attacker or a busy user acting while the code under test works.
class BackgroundProcess {
 public:
  explicit BackgroundProcess(const std::function<void()>& step) {
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      alarm(120);  // never outlive a test that lost track of us
      try {
        for (;;) step();
      } catch (...) {
      }
      _exit(0);
    }
  }
  ~BackgroundProcess() {
    kill(pid_, SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

 private:
  pid_t pid_ = -1;
};

// The user and group nobody/nogroup, a second user for the tests run as root.
constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;

// Runs `work` in a child process as the user `uid` with group `gid` and no
// other groups, and returns whether it returned true. Only root may switch
// users; callers skip without root.
inline bool AsUser(uid_t uid, gid_t gid, const std::function<bool()>& work) {
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    alarm(60);
    bool ok = setgroups(0, nullptr) == 0 && setresgid(gid, gid, gid) == 0 &&
              setresuid(uid, uid, uid) == 0;
    try {
      ok = ok && work();
    } catch (...) {
      ok = false;
    }
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// How many descriptors this process has open.
inline int OpenDescriptorCount() {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++count;
  }
  return count;
}

// The names directly inside `folder`, sorted.
inline std::set<std::string> NamesIn(const std::string& folder) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
    names.insert(entry.path().filename().string());
  return names;
}

}  // namespace quillfen::testing
