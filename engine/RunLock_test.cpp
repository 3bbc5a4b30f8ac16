#include "engine/RunLock.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "testing/TestTree.h"

namespace quillfen {
namespace {

using testing::TestTree;

TEST(RunLockTest, OneRunAtATimeAndTheLockGoesWithItsHolder) {
  TestTree tree;
  const std::string settings = tree.Path("Quillfen.ini");
  EXPECT_EQ(RunLock::PathBeside(settings), tree.Path("Quillfen.lock"));
  EXPECT_EQ(RunLock::PathBeside("Quillfen.ini"), "./Quillfen.lock");
  {
    RunLock first(settings);
    ASSERT_TRUE(first.held()) << first.status().message();
    RunLock second(settings);
    EXPECT_TRUE(second.busy());
    EXPECT_FALSE(second.held());
  }
  // Another process finds it held; killed, its holder leaves nothing behind.
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    RunLock mine(settings);
    const char held = mine.held() ? 'y' : 'n';
    if (write(ready[1], &held, 1) != 1) _exit(1);
    pause();
    _exit(0);
  }
  char held = 0;
  ASSERT_EQ(read(ready[0], &held, 1), 1);
  EXPECT_EQ(held, 'y');
  EXPECT_TRUE(RunLock(settings).busy());
  kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  close(ready[0]);
  close(ready[1]);
  EXPECT_TRUE(RunLock(settings).held());
}

TEST(RunLockTest, APlantedLinkOrFolderIsNeverFollowedAndDoesNotBlockTheRun) {
  TestTree tree;
  tree.File("elsewhere", "x");
  ASSERT_EQ(symlink(tree.Path("elsewhere").c_str(), tree.Path("Quillfen.lock").c_str()), 0);
  RunLock linked(tree.Path("Quillfen.ini"));
  EXPECT_FALSE(linked.busy());
  EXPECT_FALSE(linked.held());
  EXPECT_FALSE(linked.status().ok());
  EXPECT_EQ(TestTree::Read(tree.Path("elsewhere")), "x");

  TestTree other;
  other.Dir("Quillfen.lock");
  RunLock folder(other.Path("Quillfen.ini"));
  EXPECT_FALSE(folder.busy());
  EXPECT_FALSE(folder.status().ok());
}

}  // namespace
}  // namespace quillfen
