#include "engine/DestinationWatch.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <string>
#include <system_error>
#include <thread>

#include "engine/IniFile.h"

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
  bool deviceKnown = false;
  dev_t device = 0;  // of the path, or of the nearest folder above it
};

// The device of `path`, or of the nearest folder above it that exists;
// false when none can be looked at.
bool DeviceOfNearest(std::string path, dev_t& device) {
  for (;;) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
      device = st.st_dev;
      return true;
    }
    if (errno != ENOENT) return false;
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos || path == "/") return false;
    path = slash == 0 ? std::string("/") : path.substr(0, slash);
  }
}

// The line for a destination `root` that gave no answer within `patience`;
// `error`, when above 0, is the last failure a look met.
Status NotAnswering(const std::string& root, std::chrono::milliseconds patience, int error) {
  const long long seconds = std::chrono::duration_cast<std::chrono::seconds>(patience).count();
  return PathError(root, Status::Code::kUnreachable,
                   "the destination does not answer (waited " + std::to_string(seconds) + " s" +
                       (error > 0 ? ": " + ErrnoText(error) : std::string()) + ")");
}

}  // namespace

int LookAtDestination(const std::string& path, std::chrono::steady_clock::time_point deadline,
                      dev_t* device) {
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
    dev_t device = 0;
    if ((error == 0 || error == ENOENT) && DeviceOfNearest(path, device)) {
      look->device = device;
      look->deviceKnown = true;
    }
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
  if (device != nullptr && look->deviceKnown) *device = look->device;
  return look->error;
}

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
    dev_t device = 0;
    const int error = LookAtDestination(root_, deadline, &device);
    if (deviceKnown_ && device != 0 && device != device_) {
      // The share or medium was unmounted: its mount point answers now.
      reason = PathError(root_, Status::Code::kUnreachable,
                         "the destination's share or medium is no longer mounted there");
      break;
    }
    // Any answer but trouble (a root not made yet answers ENOENT) will do.
    if (error >= 0 && error != EIO && CodeOfErrno(error) != Status::Code::kUnreachable) break;
    if (error == ENOTCONN) {
      reason = PathError(root_, Status::Code::kUnreachable,
                         "the destination cannot be reached any more: " + ErrnoText(error));
      break;
    }
    if (error < 0 || std::chrono::steady_clock::now() >= deadline) {
      reason = NotAnswering(root_, patience_, error);
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

void DestinationWatch::NoteDevice() {
  dev_t device = 0;
  if (!DeviceOfNearest(root_, device)) return;
  std::lock_guard<std::mutex> lock(mutex_);
  device_ = device;
  deviceKnown_ = true;
}

void DestinationWatch::NoteOutcome(const Status& outcome) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (outcome.ok()) {
    troubleInARow_ = 0;
    return;
  }
  if (outcome.code() != Status::Code::kUnreachable) return;
  if (++troubleInARow_ < kTroubleInARow || lost_) return;
  lost_ = true;
  reason_ = PathError(root_, Status::Code::kUnreachable,
                      "the destination failed " + std::to_string(troubleInARow_) +
                          " files in a row (" + outcome.detail() + ")");
}

void DestinationWatch::GiveUp(const Status& reason) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (lost_) return;
  lost_ = true;
  reason_ = reason;
}

struct DestinationHeartbeat::Shared {
  std::mutex mutex;
  std::condition_variable wake;
  bool stopping = false;
  Hung hung;
};

DestinationHeartbeat::DestinationHeartbeat(std::string_view root,
                                           std::chrono::milliseconds patience, Hung hung,
                                           std::chrono::milliseconds interval)
    : shared_(std::make_shared<Shared>()) {
  shared_->hung = std::move(hung);
  auto beat = [shared = shared_, root = std::string(root), patience, interval] {
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(shared->mutex);
        if (shared->wake.wait_for(lock, interval, [&] { return shared->stopping; })) return;
      }
      const int error = LookAtDestination(root, std::chrono::steady_clock::now() + patience);
      if (error >= 0) continue;
      std::lock_guard<std::mutex> lock(shared->mutex);
      if (shared->stopping) return;
      shared->hung(NotAnswering(root, patience, 0));
      return;
    }
  };
  try {
    std::thread(beat).detach();
  } catch (const std::system_error&) {
    // No thread to be had: a destination that hangs is not seen.
  }
}

DestinationHeartbeat::~DestinationHeartbeat() {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->stopping = true;
  shared_->wake.notify_all();
}

bool DestinationWatch::lost() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lost_;
}

Status DestinationWatch::reason() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return reason_;
}

std::chrono::milliseconds ReadDestinationPatience(const IniFile& settings) {
  const std::string text = settings.ReadString("Main", "応答待ち秒数", "");
  if (text.empty() || text.size() > 4 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return DestinationWatch::kPatience;
  }
  const int seconds = std::stoi(text);
  if (seconds < 5 || seconds > 3600) return DestinationWatch::kPatience;
  return std::chrono::seconds(seconds);
}

}  // namespace quillfen
