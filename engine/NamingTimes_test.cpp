#include "engine/NamingTimes.h"

#include <gtest/gtest.h>
#include <sys/sysmacros.h>

#include <thread>
#include <vector>

namespace quillfen {
namespace {

// A device is trusted only after enough namings in a row kept the time,
// never again once one lost it, each device on its own, and nothing is
// remembered past Forget.
TEST(NamingTimes, TrustedOnlyAfterUnbrokenKeepsAndNeverAfterALoss) {
  NamingTimes seen;
  const dev_t share = makedev(0, 51);
  const dev_t stick = makedev(0, 52);
  for (int i = 0; i < NamingTimes::kTrustedAfter - 1; ++i) seen.Note(share, true);
  EXPECT_FALSE(seen.Trusted(share));
  seen.Note(share, true);
  EXPECT_TRUE(seen.Trusted(share));
  EXPECT_FALSE(seen.Trusted(stick));

  // A medium that stamps the time anew now and then is never trusted, however
  // many namings kept it around the loss.
  for (int i = 0; i < 10; ++i) seen.Note(stick, true);
  seen.Note(stick, false);
  for (int i = 0; i < 4 * NamingTimes::kTrustedAfter; ++i) seen.Note(stick, true);
  EXPECT_FALSE(seen.Trusted(stick));
  EXPECT_TRUE(seen.Trusted(share));

  // A loss seen after trust came still withdraws it.
  seen.Note(share, false);
  EXPECT_FALSE(seen.Trusted(share));

  seen.Forget();
  for (int i = 0; i < NamingTimes::kTrustedAfter; ++i) seen.Note(stick, true);
  EXPECT_TRUE(seen.Trusted(stick)) << "another file system may have the number now";
}

// Copy threads note namings at once: no note is lost.
TEST(NamingTimes, NotesFromManyThreadsAllCount) {
  NamingTimes seen;
  const dev_t device = makedev(0, 60);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < NamingTimes::kTrustedAfter / 4; ++i) seen.Note(device, true);
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_TRUE(seen.Trusted(device));
}

}  // namespace
}  // namespace quillfen
