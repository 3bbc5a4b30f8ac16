#include "engine/RunLog.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/FakeClock.h"
#include "testing/TestTree.h"

namespace quillfen {
namespace {

using ::testing::HasSubstr;
using testing::TestTree;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  EXPECT_EQ(start, text.size()) << "the last line is not ended";
  return lines;
}

TEST(RunLog, LivesBesideTheSettingsFile) {
  EXPECT_EQ(RunLog::PathBeside("/home/u/work/Quillfen.ini"), "/home/u/work/Quillfen.log");
  EXPECT_EQ(RunLog::PathBeside("/Quillfen.ini"), "/Quillfen.log");
  EXPECT_EQ(RunLog::PathBeside("Quillfen.ini"), "./Quillfen.log");
}

TEST(RunLog, AppendsStampedLinesEachKeptOnOneLine) {
  TestTree tree;
  tree.File("Quillfen.log", "2026-01-01 00:00:00 from an earlier run\n");
  testing::FakeClock clock;
  RunLog log(tree.Path("Quillfen.log"), clock);
  log.Append("Docs: 3 files copied");
  log.Append("/src/a\nb -> /dst/a\nb: Permission denied");
  EXPECT_TRUE(log.status().ok());
  const std::vector<std::string> lines = Lines(TestTree::Read(log.path()));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "2026-01-01 00:00:00 from an earlier run");
  EXPECT_THAT(lines[1],
              ::testing::MatchesRegex(
                  "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} Docs: 3 files copied"));
  EXPECT_THAT(lines[2], HasSubstr(" /src/a\\x0ab -> /dst/a\\x0ab: Permission denied"));
}

TEST(RunLog, StaysBoundedKeepingOneOlderFile) {
  TestTree tree;
  testing::FakeClock clock;
  const std::string path = tree.Path("Quillfen.log");
  const int64_t limit = 4096;
  RunLog log(path, clock, limit);
  for (int i = 0; i < 1000; ++i) log.Append("line " + std::to_string(i) + std::string(40, 'x'));
  // A line longer than the whole limit is cut, not let through.
  log.Append(std::string(3 * limit, 'y'));
  log.Append("the last line");
  ASSERT_TRUE(log.status().ok()) << log.status().message();
  const std::string now = TestTree::Read(path);
  const std::string older = TestTree::Read(path + ".1");
  EXPECT_LE(now.size(), static_cast<size_t>(limit));
  EXPECT_LE(older.size(), static_cast<size_t>(limit));
  EXPECT_GT(older.size(), static_cast<size_t>(limit) / 2) << "rotated too early";
  EXPECT_THAT(Lines(now).back(), HasSubstr(" the last line"));
  EXPECT_FALSE(testing::Exists(path + ".2"));
  // Every kept line is whole.
  for (const std::string& line : Lines(older + now)) {
    EXPECT_THAT(line, ::testing::MatchesRegex("[0-9-]+ [0-9:]+ (line [0-9]+x+|y+|the last line)"));
  }
}

TEST(RunLog, LinesFromSeveralThreadsNeverMix) {
  TestTree tree;
  testing::FakeClock clock;
  RunLog log(tree.Path("Quillfen.log"), clock);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&log, t] {
      for (int i = 0; i < 500; ++i) log.Append(std::string(100, static_cast<char>('a' + t)));
    });
  }
  for (std::thread& thread : threads) thread.join();
  const std::vector<std::string> lines = Lines(TestTree::Read(log.path()));
  ASSERT_EQ(lines.size(), 2000u);
  for (const std::string& line : lines)
    EXPECT_THAT(line, ::testing::MatchesRegex("[0-9-]+ [0-9:]+ (a+|b+|c+|d+)"));
}

TEST(RunLog, ALinkInItsPlaceIsNeverFollowed) {
  TestTree tree;
  testing::FakeClock clock;
  const std::string victim = tree.File("victim", "keep me");
  ASSERT_EQ(symlink(victim.c_str(), tree.Path("Quillfen.log").c_str()), 0);
  RunLog log(tree.Path("Quillfen.log"), clock);
  log.Append("anything");
  EXPECT_FALSE(log.status().ok());
  EXPECT_THAT(log.status().message(), HasSubstr(tree.Path("Quillfen.log")));
  EXPECT_EQ(TestTree::Read(victim), "keep me");
}

}  // namespace
}  // namespace quillfen
