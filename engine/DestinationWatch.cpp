#include "engine/DestinationWatch.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <system_error>
#include <thread>

namespace quillfen {

namespace {

// One look at a path, made on a thread of its own so that the looker can
// stop waiting for it: a look at a share whose server hangs may not return
// for as long as the server hangs.
struct Look {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  int error = 0;
};

// The errno of a stat of `path` (0 when it answered), or -1 when no answer
// came by `deadline`.
int LookBefore(const std::string& path, std::chrono::steady_clock::time_point deadline) {
  auto look = std::make_shared<Look>();
  // The root's own attributes may be answered from the system's cache; a
  // name looked up for the first time reaches the file system's server.
  static std::atomic<unsigned> looks{0};
  const std::string unknown = path + "/.quillfen-look-" + std::to_string(getpid()) + "-" +
                              std::to_string(looks.fetch_add(1, std::memory_order_relaxed));
  auto work = [look, path, unknown] {
    struct stat st;
    int error = stat(path.c_str(), &st) == 0 ? 0 : errno;
    if (error == 0 && stat(unknown.c_str(), &st) != 0 && errno != ENOENT) error = errno;
    std::lock_guard<std::mutex> lock(look->mutex);
    look->finished = true;
    look->error = error;
    look->done.notify_all();
  };
  try {
    std::thread(work).detach();
  } catch (const std::system_error&) {
    work();  // no thread to be had: looked at here, at the risk of waiting
  }
  std::unique_lock<std::mutex> lock(look->mutex);
  if (!look->done.wait_until(lock, deadline, [&] { return look->finished; })) return -1;
  return look->error;
}

}  // namespace

DestinationWatch::DestinationWatch(std::string_view root, std::chrono::milliseconds patience)
    : root_(root), patience_(patience) {}

bool DestinationWatch::AwaitAnswer() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (lost_) return false;
  if (looking_) {
    // Another copy met the same trouble: its look answers for both.
    answered_.wait(lock, [this] { return !looking_; });
    return !lost_;
  }
  looking_ = true;
  lock.unlock();
  const auto deadline = std::chrono::steady_clock::now() + patience_;
  Status reason = Status::Ok();
  for (;;) {
    const auto pause = std::min<std::chrono::steady_clock::duration>(
        kPause, deadline - std::chrono::steady_clock::now());
    if (pause > pause.zero()) std::this_thread::sleep_for(pause);
    const int error = LookBefore(root_, deadline);
    // Any answer but trouble (a root not made yet answers ENOENT) will do.
    if (error >= 0 && CodeOfErrno(error) != Status::Code::kUnreachable) break;
    if (error == ENOTCONN) {
      reason = PathError(root_, Status::Code::kUnreachable,
                         "the destination cannot be reached any more: " + ErrnoText(error));
      break;
    }
    if (error < 0 || std::chrono::steady_clock::now() >= deadline) {
      const long long seconds = std::chrono::duration_cast<std::chrono::seconds>(patience_).count();
      reason = PathError(root_, Status::Code::kUnreachable,
                         "the destination does not answer (waited " + std::to_string(seconds) +
                             " s" + (error > 0 ? ": " + ErrnoText(error) : std::string()) + ")");
      break;
    }
  }
  lock.lock();
  looking_ = false;
  lost_ = !reason.ok();
  reason_ = reason;
  answered_.notify_all();
  return !lost_;
}

bool DestinationWatch::lost() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lost_;
}

Status DestinationWatch::reason() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return reason_;
}

}  // namespace quillfen
