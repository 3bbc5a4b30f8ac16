#include "engine/ThreadPolicy.h"

#include <gtest/gtest.h>
#include <stdlib.h>

namespace quillfen {
namespace {

TEST(ThreadPolicyTest, TheEnvironmentSetsTheCountsOrSwitchesThemOff) {
  unsetenv("QUILLFEN_LOOKAHEAD");
  unsetenv("QUILLFEN_COPIES");
  ThreadPolicy policy = ThreadPolicy::ForRun();
  EXPECT_EQ(policy.cacheThreads, kCacheThreads);
  EXPECT_EQ(policy.diskThreads, kDiskThreads);
  EXPECT_EQ(policy.copyThreads, kCopyThreads);
  EXPECT_GT(policy.distantCopyThreads, policy.copyThreads);

  // One figure for the listing and the look-ahead, from the cache and the
  // disk alike: a sweep can set exactly what it measures.
  setenv("QUILLFEN_LOOKAHEAD", "3", 1);
  setenv("QUILLFEN_COPIES", "0", 1);
  policy = ThreadPolicy::ForRun();
  EXPECT_EQ(policy.cacheThreads, 3);
  EXPECT_EQ(policy.diskThreads, 3);
  EXPECT_EQ(policy.copyThreads, 0);
  EXPECT_EQ(policy.distantCopyThreads, 0) << "copies to a share stay on the run's thread too";

  setenv("QUILLFEN_LOOKAHEAD", "0", 1);
  EXPECT_EQ(ThreadPolicy::ForRun().diskThreads, 0);
  setenv("QUILLFEN_LOOKAHEAD", "99", 1);
  EXPECT_EQ(ThreadPolicy::ForRun().cacheThreads, 16);
  for (const char* ignored : {"many", "-1", "", "2x"}) {
    setenv("QUILLFEN_LOOKAHEAD", ignored, 1);
    setenv("QUILLFEN_COPIES", ignored, 1);
    policy = ThreadPolicy::ForRun();
    EXPECT_EQ(policy.cacheThreads, kCacheThreads) << ignored;
    EXPECT_EQ(policy.diskThreads, kCacheThreads) << ignored;
    EXPECT_EQ(policy.copyThreads, kCopyThreads) << ignored;
    EXPECT_EQ(policy.distantCopyThreads, kDistantCopyThreads) << ignored;
  }
  unsetenv("QUILLFEN_LOOKAHEAD");
  unsetenv("QUILLFEN_COPIES");
}

}  // namespace
}  // namespace quillfen
