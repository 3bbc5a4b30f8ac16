#include "engine/DeferredCloser.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "engine/FileCopy.h"
#include "testing/FaultInjection.h"
#include "testing/TestTree.h"

namespace quillfen {
namespace {

using testing::NamesIn;
using testing::SmallDisk;
using testing::TestTree;

bool IsOpen(int fd) {
  return fcntl(fd, F_GETFD) != -1;
}

std::vector<int> OpenMany(size_t count) {
  std::vector<int> fds;
  for (size_t i = 0; i < count; ++i) fds.push_back(open("/dev/null", O_RDONLY | O_CLOEXEC));
  return fds;
}

TEST(DeferredCloserTest, WaitReturnsWithEveryDescriptorClosed) {
  DeferredCloser closer;
  EXPECT_FALSE(closer.Wait()) << "nothing was handed in";
  // More than may wait at a time: Close holds the caller back instead of failing.
  const std::vector<int> fds = OpenMany(3 * DeferredCloser::kMaxPending);
  for (int fd : fds) closer.Close(fd);
  closer.Wait();
  for (int fd : fds) EXPECT_FALSE(IsOpen(fd)) << fd;
  EXPECT_FALSE(closer.Wait());
}

TEST(DeferredCloserTest, DestructorClosesWhatIsLeft) {
  std::vector<int> fds = OpenMany(20);
  {
    DeferredCloser closer;
    for (int fd : fds) closer.Close(fd);
  }
  for (int fd : fds) EXPECT_FALSE(IsOpen(fd)) << fd;
}

// The slowest closer possible: nothing is closed before Wait.
class HoldingCloser : public DeferredCloser {
 public:
  ~HoldingCloser() override { HoldingCloser::Wait(); }
  void Close(int fd) override { held.push_back(fd); }
  bool Wait() override {
    for (int fd : held) close(fd);
    const bool any = !held.empty();
    held.clear();
    return any;
  }
  std::vector<int> held;
};

std::string Bytes(size_t size, char fill) {
  return std::string(size, fill);
}

// A replaced file whose space is not yet given back makes the next copy run
// out of room on a small disk; the copy then waits for it and succeeds, as it
// would have without the waiting.
TEST(DeferredCloserTest, CopyOutOfSpaceWaitsForReplacedFilesAndSucceeds) {
  SmallDisk disk(1 << 20);
  if (!disk.ok()) GTEST_SKIP() << disk.error();
  TestTree src;
  src.File("a.bin", Bytes(450 << 10, 'A'));
  src.File("b.bin", Bytes(450 << 10, 'B'));
  const int from = open(src.root().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  const int to = open(disk.root().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(from, 0);
  ASSERT_GE(to, 0);
  ASSERT_TRUE(CopyFileAt(from, "a.bin", to, "a.bin", "a", "a").ok());
  src.File("a.bin", Bytes(400 << 10, 'a'));  // a new version to replace the copy with

  HoldingCloser closer;
  Status s = CopyFileAt(from, "a.bin", to, "a.bin", "a", "a", &closer);
  ASSERT_TRUE(s.ok()) << s.message();
  ASSERT_EQ(closer.held.size(), 1u) << "the replaced copy was not handed over";
  // 400 KB new a + 450 KB old a still held + 450 KB b: more than 1 MB.
  s = CopyFileAt(from, "b.bin", to, "b.bin", "b", "b", &closer);
  EXPECT_TRUE(s.ok()) << s.message();
  EXPECT_TRUE(closer.held.empty());
  EXPECT_EQ(TestTree::Read(disk.root() + "/a.bin"), Bytes(400 << 10, 'a'));
  EXPECT_EQ(TestTree::Read(disk.root() + "/b.bin"), Bytes(450 << 10, 'B'));
  EXPECT_EQ(NamesIn(disk.root()), (std::set<std::string>{"a.bin", "b.bin"}));
  close(from);
  close(to);
}

}  // namespace
}  // namespace quillfen
