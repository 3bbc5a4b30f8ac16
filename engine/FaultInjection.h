// Test helper for the fault tests: a small tmpfs mounted for one test (to run
// a destination out of space), a forked child killed at a chosen moment, and a
// listing of a folder's names to spot left-over temporary files.
#pragma once

#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>

namespace quillfen::testing {

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

// The names directly inside `folder`, sorted.
inline std::set<std::string> NamesIn(const std::string& folder) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
    names.insert(entry.path().filename().string());
  return names;
}

}  // namespace quillfen::testing
