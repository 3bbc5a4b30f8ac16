// The network shares of the tests do what the share tests take them to do:
// a file written through the mount arrives in the server's folder, a frozen
// server makes calls wait until it is thawed, a killed one makes them fail
// at once or takes the share away, a restarted one serves the share again,
// and an unmounted share leaves its mount point an empty folder.
#include "testing/LoopbackShare.h"

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "testing/FaultInjection.h"
#include "testing/TestTree.h"

namespace quillfen::testing {
namespace {

using namespace std::chrono_literals;
using Kind = LoopbackShare::Kind;

// A call run on a thread of its own, which may never come back while the
// server is frozen: the thread is left to end by itself (the share's teardown
// makes any call return) rather than waited for.
class PendingCall {
 public:
  explicit PendingCall(std::function<int()> call) : state_(std::make_shared<State>()) {
    std::thread([state = state_, call = std::move(call)] {
      state->result = call();
      state->done = true;
    }).detach();
  }
  // Whether the call came back within `limit`.
  bool WaitFor(std::chrono::milliseconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!state_->done && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(10ms);
    return state_->done;
  }
  // Its result: 0, or the errno it failed with.
  int result() const { return state_->result; }

 private:
  struct State {
    std::atomic<bool> done{false};
    std::atomic<int> result{0};
  };
  std::shared_ptr<State> state_;
};

int MakeFolder(const std::string& path) {
  return mkdir(path.c_str(), 0755) == 0 ? 0 : errno;
}

dev_t DeviceOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_dev : 0;
}

class LoopbackShareTest : public ::testing::TestWithParam<Kind> {
 protected:
  void SetUp() override {
    share_ = std::make_unique<LoopbackShare>(GetParam());
    if (!share_->mounted()) GTEST_SKIP() << share_->skipReason();
    mount_ = share_->mountPoint();
  }

  std::unique_ptr<LoopbackShare> share_;
  std::string mount_;
};

TEST_P(LoopbackShareTest, WhatIsWrittenThroughTheMountArrivesOnTheServer) {
  ASSERT_EQ(MakeFolder(mount_ + "/Folder"), 0);
  WriteFile(mount_ + "/Folder/note.txt", "through the share");
  EXPECT_EQ(ReadFile(mount_ + "/Folder/note.txt"), "through the share");
  ASSERT_TRUE(share_->Settle()) << share_->skipReason();
  EXPECT_EQ(ReadFile(share_->exported() + "/Folder/note.txt"), "through the share");
}

// A change has to reach the server (a look may be answered from the
// client's cache): it waits while the server is frozen and is done once it
// is thawed.
TEST_P(LoopbackShareTest, AFrozenServerMakesCallsWaitUntilThawed) {
  share_->FreezeServer();
  PendingCall call([path = mount_ + "/Made while frozen"] { return MakeFolder(path); });
  const bool answeredFrozen = call.WaitFor(3s);
  share_->ThawServer();
  EXPECT_FALSE(answeredFrozen) << "answered while the server was frozen: " << call.result();
  ASSERT_TRUE(call.WaitFor(60s)) << "still waiting a minute after the thaw";
  EXPECT_EQ(call.result(), 0);
  ASSERT_TRUE(share_->Settle()) << share_->skipReason();
  EXPECT_TRUE(Exists(share_->exported() + "/Made while frozen"));
}

// Once the server is dead a call comes back at once: it fails, or, where the
// client ends with its connection (sshfs), the share is gone from the mount
// point. After a restart the share serves what the server holds again.
TEST_P(LoopbackShareTest, AKilledServerFailsCallsAtOnceAndARestartedOneServes) {
  WriteFile(mount_ + "/before.txt", "before");
  ASSERT_TRUE(share_->Settle()) << share_->skipReason();
  const dev_t shareDevice = DeviceOf(mount_);
  share_->KillServer();
  PendingCall call([path = mount_ + "/after"] { return MakeFolder(path); });
  ASSERT_TRUE(call.WaitFor(10s)) << "still waiting 10 s after the server died";
  const bool shareGone = DeviceOf(mount_) != shareDevice;
  EXPECT_TRUE(call.result() != 0 || shareGone) << "made a folder on a dead server";
  EXPECT_FALSE(Exists(share_->exported() + "/after"));

  ASSERT_TRUE(share_->RestartServer()) << share_->skipReason();
  EXPECT_TRUE(share_->mounted());
  EXPECT_NE(DeviceOf(mount_), DeviceOf(share_->exported()));
  EXPECT_EQ(ReadFile(mount_ + "/before.txt"), "before");
  EXPECT_EQ(MakeFolder(mount_ + "/after the restart"), 0);
  ASSERT_TRUE(share_->Settle()) << share_->skipReason();
  EXPECT_TRUE(Exists(share_->exported() + "/after the restart"));
}

// The mount point stays as an empty local folder (smbnetfs's share folder
// goes with the mount); the server keeps what it received.
TEST_P(LoopbackShareTest, AnUnmountedShareLeavesAnEmptyFolder) {
  WriteFile(mount_ + "/kept.txt", "kept");
  const dev_t shareDevice = DeviceOf(mount_);
  share_->Unmount();
  EXPECT_FALSE(share_->mounted());
  if (GetParam() == Kind::kSmb) {
    EXPECT_FALSE(Exists(mount_));
  } else {
    struct stat st;
    ASSERT_EQ(stat(mount_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_NE(st.st_dev, shareDevice);
    EXPECT_TRUE(NamesIn(mount_).empty());
  }
  EXPECT_EQ(ReadFile(share_->exported() + "/kept.txt"), "kept");
}

INSTANTIATE_TEST_SUITE_P(Shares, LoopbackShareTest,
                         ::testing::Values(Kind::kSshfs, Kind::kSmb, Kind::kWebDav),
                         [](const ::testing::TestParamInfo<Kind>& info) {
                           return std::string(LoopbackShare::Name(info.param));
                         });

}  // namespace
}  // namespace quillfen::testing
