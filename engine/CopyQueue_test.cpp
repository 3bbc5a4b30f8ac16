#include "engine/CopyQueue.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "testing/TestTree.h"

namespace quillfen {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::ReadFile;
using testing::TestTree;
using testing::WriteFile;

// Both folders of a tree's "src" and "dst", open.
std::shared_ptr<const CopyFolders> OpenFolders(const TestTree& tree) {
  auto folders = std::make_shared<CopyFolders>();
  folders->from.reset(open(tree.Dir("src").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  folders->to.reset(open(tree.Dir("dst").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  EXPECT_TRUE(folders->from.valid() && folders->to.valid());
  return folders;
}

// The job for `name` as a check at this moment would hand it over: the
// source's second as it is now, under the test `newer`. The folders are
// "src" and "dst", or their subfolders `below` ("a/").
CopyJob JobFor(const TestTree& tree, const std::shared_ptr<const CopyFolders>& folders,
               const std::string& name, bool newer = true, const std::string& below = "") {
  CopyJob job;
  job.folders = folders;
  job.name = name;
  job.from = tree.Path("src/" + below + name);
  job.to = tree.Path("dst/" + below + name);
  job.newer = newer;
  struct stat st;
  if (stat(job.from.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    job.sourceSeconds = st.st_mtim.tv_sec;
    job.sourceBytes = st.st_size;
  }
  return job;
}

// What a queue handed back, one line each: "copied" or the failure.
struct Outcomes {
  std::vector<std::string> lines;
  CopyQueue::Take Taker() {
    return [this](const Status& s) { lines.push_back(s.ok() ? "copied" : s.message()); };
  }
};

class CopyQueueTest : public ::testing::TestWithParam<int> {};

// Known failures, copies that fail and copies made come back in the order
// they were asked for, however many threads copy.
TEST_P(CopyQueueTest, OutcomesComeBackInTheOrderAsked) {
  TestTree tree;
  const int kFiles = 700;  // more than may wait at once
  for (int i = 0; i < kFiles; ++i) {
    tree.File("src/f" + std::to_string(i),
              std::string(static_cast<size_t>(i % 50) * 100, 'x') + std::to_string(i));
  }
  ASSERT_EQ(mkfifo(tree.Path("src/pipe").c_str(), 0644), 0);
  auto folders = OpenFolders(tree);
  DeferredCloser closer;
  Outcomes got;
  std::vector<std::string> expected;
  {
    CopyQueue queue(GetParam(), &closer, got.Taker());
    EXPECT_EQ(queue.parallel(), GetParam() > 0);
    for (int i = 0; i < kFiles; ++i) {
      queue.Add(JobFor(tree, folders, "f" + std::to_string(i)));
      expected.push_back("copied");
      if (i % 97 == 3) {
        queue.Add(Status::Error(Status::Code::kIo, "known " + std::to_string(i)));
        expected.push_back("known " + std::to_string(i));
      }
      if (i == 350) {
        // Keep-original test with no copy there: tried, and fails.
        queue.Add(JobFor(tree, folders, "pipe", false));
        expected.push_back("pipe");
      }
    }
    queue.Finish();
  }
  ASSERT_EQ(got.lines.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_THAT(got.lines[i], HasSubstr(expected[i])) << "at " << i;
  }
  for (int i = 0; i < kFiles; i += 37) {
    const std::string name = "/f" + std::to_string(i);
    EXPECT_EQ(ReadFile(tree.Path("dst" + name)), ReadFile(tree.Path("src" + name)));
  }
}

// A source that changed after its check is decided anew when its copy's
// turn comes, as a check then would decide.
TEST_P(CopyQueueTest, ASourceChangedAfterItsCheckIsDecidedAsItNowIs) {
  TestTree tree;
  const std::string src = tree.Dir("src");
  const std::string dst = tree.Dir("dst");
  WriteFile(src + "/gone.txt", "gone", 1700000100);
  WriteFile(src + "/gone.keep", "gone", 1700000100);
  WriteFile(src + "/older.txt", "reverted", 1700000100);
  WriteFile(dst + "/older.txt", "the copy", 1700000050);
  WriteFile(src + "/newer.txt", "first", 1700000100);
  WriteFile(src + "/same.txt", "as checked", 1700000100);
  WriteFile(src + "/tofolder.txt", "file", 1700000100);
  auto folders = OpenFolders(tree);
  std::vector<CopyJob> jobs;
  for (const char* name : {"gone.txt", "older.txt", "newer.txt", "same.txt", "tofolder.txt"}) {
    jobs.push_back(JobFor(tree, folders, name));
  }
  jobs.push_back(JobFor(tree, folders, "gone.keep", false));

  // Between the checks and the copies:
  unlink((src + "/gone.txt").c_str());
  unlink((src + "/gone.keep").c_str());
  WriteFile(src + "/older.txt", "reverted", 1700000000);  // now older than its copy
  WriteFile(src + "/newer.txt", "second", 1700000200);
  unlink((src + "/tofolder.txt").c_str());
  tree.Dir("src/tofolder.txt");

  DeferredCloser closer;
  Outcomes got;
  {
    CopyQueue queue(GetParam(), &closer, got.Taker());
    for (CopyJob& job : jobs) queue.Add(std::move(job));
    queue.Finish();
  }
  // Passed over: the vanished file, the one no longer newer, the folder.
  // The keep-original file whose copy is missing is tried and fails.
  ASSERT_EQ(got.lines.size(), 3u) << ::testing::PrintToString(got.lines);
  EXPECT_EQ(got.lines[0], "copied");  // newer.txt
  EXPECT_EQ(got.lines[1], "copied");  // same.txt
  EXPECT_THAT(got.lines[2], HasSubstr("/src/gone.keep -> "));
  EXPECT_EQ(ReadFile(dst + "/older.txt"), "the copy");
  EXPECT_EQ(ReadFile(dst + "/newer.txt"), "second");
  EXPECT_EQ(ReadFile(dst + "/same.txt"), "as checked");
  EXPECT_EQ(ReadFile(dst + "/gone.txt"), "<missing>");
  EXPECT_EQ(ReadFile(dst + "/tofolder.txt"), "<missing>");
}

INSTANTIATE_TEST_SUITE_P(Threads, CopyQueueTest, ::testing::Values(0, 1, 4));

// A queue that goes away before Finish still makes every copy asked for, and
// its threads leave nothing open behind them.
TEST(CopyQueueEnd, CopiesAskedForAreMadeBeforeTheQueueGoes) {
  TestTree tree;
  // Large enough for the copies to watch their sources while they copy.
  auto content = [](int i) { return std::string(300 << 10, 'c') + std::to_string(i); };
  for (int i = 0; i < 40; ++i) tree.File("src/f" + std::to_string(i), content(i));
  auto countFds = [] {
    int n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
      ++n;
    return n;
  };
  DeferredCloser closer;
  int fdsBefore = 0;
  {
    auto folders = OpenFolders(tree);
    fdsBefore = countFds();
    Outcomes got;
    CopyQueue queue(3, &closer, got.Taker());
    for (int i = 0; i < 40; ++i) queue.Add(JobFor(tree, folders, "f" + std::to_string(i)));
  }
  closer.Wait();
  for (int i = 0; i < 40; ++i) {
    EXPECT_EQ(ReadFile(tree.Path("dst/f" + std::to_string(i))), content(i));
  }
  // The two folders, and each thread's watch instance, are closed.
  EXPECT_EQ(countFds(), fdsBefore - 2);
}

// Holds the first replaced target's close until released: a copy thread
// stopped in the middle of a copy.
class HoldingCloser : public DeferredCloser {
 public:
  void Close(int fd) override {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!held_) {
      held_ = true;
      changed_.notify_all();
      changed_.wait(lock, [this] { return released_; });
    }
    lock.unlock();
    DeferredCloser::Close(fd);
  }
  void WaitUntilHeld() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return held_; });
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool held_ = false;
  bool released_ = false;
};

// Copies wait only up to the bytes given (one larger copy alone): asking for
// more waits until the copies before have been made.
TEST(CopyQueueEnd, CopiesBeyondTheBytesAllowedWaitForTheOnesBefore) {
  TestTree tree;
  WriteFile(tree.Path("src/first"), std::string(600, 'n'), 1700000100);
  WriteFile(tree.Path("dst/first"), "old first", 1700000000);
  WriteFile(tree.Path("src/second"), std::string(600, 's'), 1700000100);
  auto folders = OpenFolders(tree);
  HoldingCloser closer;
  Outcomes got;
  CopyQueue queue(2, &closer, got.Taker(), 1000);
  queue.Add(JobFor(tree, folders, "first"));
  closer.WaitUntilHeld();  // a copy thread is in the middle of that copy
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    closer.Release();
  });
  queue.Add(JobFor(tree, folders, "second"));
  // Add came back only once the first copy was made and handed back.
  EXPECT_EQ(got.lines, std::vector<std::string>{"copied"});
  queue.Finish();
  releaser.join();
  EXPECT_EQ(got.lines, (std::vector<std::string>{"copied", "copied"}));
  EXPECT_EQ(ReadFile(tree.Path("dst/first")), std::string(600, 'n'));
}

// Notes the path of every replaced target it closes, and holds the first
// `held` closes each until released: copy threads stopped in the middle of
// their copies, in the order they came.
class GateCloser : public DeferredCloser {
 public:
  explicit GateCloser(int held) : released_(static_cast<size_t>(held), false) {}
  void Close(int fd) override {
    char path[4096] = {};
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t length = readlink(link.c_str(), path, sizeof path - 1);
    std::unique_lock<std::mutex> lock(mutex_);
    const size_t index = closed_.size();
    closed_.push_back(length > 0 ? std::string(path, static_cast<size_t>(length)) : "?");
    changed_.notify_all();
    if (index < released_.size()) changed_.wait(lock, [&] { return released_[index]; });
    lock.unlock();
    DeferredCloser::Close(fd);
  }
  // Waits (up to 20 s) until `count` closes have come; false if they did not.
  bool WaitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(20),
                             [&] { return closed_.size() >= count; });
  }
  void Release(size_t index) {
    std::lock_guard<std::mutex> lock(mutex_);
    released_[index] = true;
    changed_.notify_all();
  }
  void ReleaseAll() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_.assign(released_.size(), true);
    changed_.notify_all();
  }
  std::vector<std::string> closed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<bool> released_;
  std::vector<std::string> closed_;
};

// The folders "src/<name>" and "dst/<name>" of a tree, open, each copy named
// by its own thread (as on a share) and, if `distant`, on a share.
std::shared_ptr<const CopyFolders> OpenPair(const TestTree& tree, const std::string& name,
                                            bool distant) {
  auto folders = std::make_shared<CopyFolders>();
  folders->from.reset(open(tree.Dir("src/" + name).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  folders->to.reset(open(tree.Dir("dst/" + name).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  EXPECT_TRUE(folders->from.valid() && folders->to.valid());
  folders->flushesPerFile = 1;
  folders->distant = distant;
  return folders;
}

// A newer source "<folder>/<name>" over an older copy, and its job.
CopyJob ReplacingJob(TestTree& tree, const std::shared_ptr<const CopyFolders>& folders,
                     const std::string& folder, const std::string& name) {
  const std::string file = folder + "/" + name;
  WriteFile(tree.Path("src/" + file), "new " + file, 1700000100);
  WriteFile(tree.Path("dst/" + file), "old " + file, 1700000000);
  return JobFor(tree, folders, name, true, folder + "/");
}

// Copies in one folder wait for each other at the folder; a thread free to
// copy takes the next copy into a folder no other thread copies into, and
// still every copy is made and handed back in order.
TEST(CopyQueueSpread, AFreeThreadTakesACopyIntoAnotherFolder) {
  TestTree tree;
  auto a = OpenPair(tree, "a", false);
  auto b = OpenPair(tree, "b", false);
  std::vector<CopyJob> jobs;
  jobs.push_back(ReplacingJob(tree, a, "a", "first"));
  jobs.push_back(ReplacingJob(tree, a, "a", "second"));
  for (const char* name : {"x1", "x2", "x3"}) jobs.push_back(ReplacingJob(tree, a, "a", name));
  jobs.push_back(ReplacingJob(tree, b, "b", "y1"));
  GateCloser closer(2);
  Outcomes got;
  {
    CopyQueue queue(2, &closer, got.Taker());
    queue.Add(std::move(jobs[0]));
    ASSERT_TRUE(closer.WaitFor(1));  // one thread in the middle of a copy into a
    queue.Add(std::move(jobs[1]));
    ASSERT_TRUE(closer.WaitFor(2));  // the other one too
    for (size_t i = 2; i < jobs.size(); ++i) queue.Add(std::move(jobs[i]));
    closer.Release(1);
    const bool third = closer.WaitFor(3);
    closer.ReleaseAll();
    ASSERT_TRUE(third);
    EXPECT_THAT(closer.closed()[2], HasSubstr("/dst/b/y1"))
        << "the free thread took a copy into the folder still copied into";
    queue.Finish();
  }
  EXPECT_EQ(got.lines, std::vector<std::string>(6, "copied"));
  for (const char* file : {"a/first", "a/second", "a/x1", "a/x2", "a/x3", "b/y1"}) {
    EXPECT_EQ(ReadFile(tree.Path(std::string("dst/") + file)), std::string("new ") + file);
  }
}

// Into a share more copies are in flight than into a local disk: a second
// copy starts while the only thread a local disk gets is held in a copy.
TEST(CopyQueueSpread, ASharesCopiesGetMoreThreads) {
  TestTree tree;
  auto share = OpenPair(tree, "share", true);
  auto other = OpenPair(tree, "other", true);
  GateCloser closer(1);
  Outcomes got;
  {
    CopyQueue queue(1, &closer, got.Taker());
    queue.ThreadsForDistant(3);
    queue.Add(ReplacingJob(tree, share, "share", "held"));
    ASSERT_TRUE(closer.WaitFor(1));
    queue.Add(ReplacingJob(tree, other, "other", "meanwhile"));
    const bool second = closer.WaitFor(2);
    closer.ReleaseAll();
    EXPECT_TRUE(second) << "the second copy waited for the first";
    queue.Finish();
  }
  EXPECT_EQ(got.lines, std::vector<std::string>(2, "copied"));
  EXPECT_EQ(ReadFile(tree.Path("dst/other/meanwhile")), "new other/meanwhile");
}

}  // namespace
}  // namespace quillfen
