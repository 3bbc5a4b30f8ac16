#include "engine/FileCopy.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/UniqueFd.h"
#include "testing/FaultInjection.h"
#include "testing/TestTree.h"

namespace quillfen {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;
using testing::TestTree;

// Content that a byte-order or length mistake cannot reproduce by chance.
std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

// Names in `folder` left behind by a copy (its temporary files).
std::vector<std::string> Leftovers(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    std::string name = entry.path().filename().string();
    if (name.rfind(".quillfen-", 0) == 0) names.push_back(name);
  }
  return names;
}

struct stat StatOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  return st;
}

TEST(CopyFileTest, CopiesContentTimeToTheNanosecondAndMode) {
  TestTree t;
  for (size_t size : {size_t{0}, size_t{1}, size_t{4096}, (size_t{3} << 20) + 7}) {
    SCOPED_TRACE(size);
    std::string content = RandomBytes(size, static_cast<unsigned>(size));
    std::string src = t.File("src", content);
    ASSERT_EQ(chmod(src.c_str(), 0640), 0);
    TestTree::SetMtime(src, 1600000000, 123456789);
    std::string dst = t.Path("out/dst");
    t.Dir("out");

    Status s = CopyFile(src, dst);
    ASSERT_TRUE(s.ok()) << s.message();
    EXPECT_EQ(TestTree::Read(dst), content);
    struct stat st = StatOf(dst);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_mtim.tv_sec, 1600000000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 123456789);
    EXPECT_TRUE(Leftovers(t.Path("out")).empty());
  }
}

// A copy written for a group flush has no name and leaves the old target
// as it was until it is named; one never named leaves nothing behind.
TEST(CopyFileTest, AWrittenCopyReplacesTheOldOneOnlyWhenNamed) {
  TestTree t;
  const std::string content = RandomBytes(300 << 10, 7);
  const std::string src = t.File("src/a", content);
  TestTree::SetMtime(src, 1600000000, 5);
  t.File("src/b", "never named");
  const std::string dst = t.File("dst/a", "old copy");
  const UniqueFd from(open(t.Path("src").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  const UniqueFd to(open(t.Path("dst").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  {
    UnnamedCopy dropped;
    ASSERT_TRUE(WriteCopyAt(from.get(), "b", to.get(), "b", src, dst, nullptr, dropped).ok());
  }
  UnnamedCopy unnamed;
  const Status written = WriteCopyAt(from.get(), "a", to.get(), "a", src, dst, nullptr, unnamed);
  ASSERT_TRUE(written.ok()) << written.message();
  ASSERT_TRUE(unnamed.file.valid());
  EXPECT_EQ(TestTree::Read(dst), "old copy");
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(t.Path("dst"))) {
    names.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(names, std::vector<std::string>{"a"});
  ASSERT_EQ(fsync(unnamed.file.get()), 0);
  const Status named = NameCopyAt(unnamed, true, from.get(), "a", to.get(), "a", src, dst, nullptr);
  ASSERT_TRUE(named.ok()) << named.message();
  EXPECT_FALSE(unnamed.file.valid());
  EXPECT_EQ(TestTree::Read(dst), content);
  EXPECT_EQ(StatOf(dst).st_mtim.tv_nsec, 5);
  EXPECT_TRUE(Leftovers(t.Path("dst")).empty());
}

TEST(CopyFileTest, OverwritesALongerTargetWhole) {
  TestTree t;
  std::string src = t.File("src", "short");
  std::string dst = t.File("dst", std::string(100000, 'L'));
  ASSERT_TRUE(CopyFile(src, dst).ok());
  EXPECT_EQ(TestTree::Read(dst), "short");
}

TEST(CopyFileTest, KeepsUnusualPermissionBits) {
  TestTree t;
  std::string src = t.File("script", "#!/bin/sh\n");
  ASSERT_EQ(chmod(src.c_str(), 01755), 0);
  std::string dst = t.Path("copy");
  ASSERT_TRUE(CopyFile(src, dst).ok());
  EXPECT_EQ(StatOf(dst).st_mode & 07777, 01755u);
}

TEST(CopyFileTest, CopyOntoItselfKeepsTheContent) {
  TestTree t;
  std::string file = t.File("same", "precious");
  ASSERT_TRUE(CopyFile(file, file).ok());
  EXPECT_EQ(TestTree::Read(file), "precious");
  ASSERT_EQ(link(file.c_str(), t.Path("hard").c_str()), 0);
  ASSERT_TRUE(CopyFile(file, t.Path("hard")).ok());
  EXPECT_EQ(TestTree::Read(t.Path("hard")), "precious");
  EXPECT_EQ(TestTree::Read(file), "precious");
}

TEST(CopyFileTest, LinkAsSourceCopiesItsContent) {
  TestTree t;
  t.File("real", "content");
  ASSERT_EQ(symlink("real", t.Path("link").c_str()), 0);
  ASSERT_TRUE(CopyFile(t.Path("link"), t.Path("copy")).ok());
  EXPECT_TRUE(S_ISREG(StatOf(t.Path("copy")).st_mode));
  EXPECT_EQ(TestTree::Read(t.Path("copy")), "content");
}

TEST(CopyFileTest, NamesThatAreNotUtf8) {
  TestTree t;
  std::string src = t.File("\xff\xfe name \"q\"", "bytes");
  std::string dst = t.Path("\x82\xa0 copy");  // a Shift-JIS character
  ASSERT_TRUE(CopyFile(src, dst).ok());
  EXPECT_EQ(TestTree::Read(dst), "bytes");
}

TEST(CopyFileTest, LongestTargetNameStillWorks) {
  TestTree t;
  std::string src = t.File("src", "x");
  std::string dst = t.Path(std::string(255, 'n'));
  Status s = CopyFile(src, dst);
  ASSERT_TRUE(s.ok()) << s.message();
  EXPECT_EQ(TestTree::Read(dst), "x");
}

TEST(CopyFileTest, MissingSourceFailsAndKeepsTarget) {
  TestTree t;
  std::string src = t.Path("missing");
  std::string dst = t.File("dst", "old");
  Status s = CopyFile(src, dst);
  ASSERT_FALSE(s.ok());
  EXPECT_THAT(s.message(), StartsWith(src + " -> " + dst + ": "));
  EXPECT_THAT(s.message(), HasSubstr("No such file"));
  EXPECT_EQ(s.detail(), "No such file or directory");
  EXPECT_EQ(TestTree::Read(dst), "old");
  EXPECT_TRUE(Leftovers(t.root()).empty());
}

TEST(CopyFileTest, CopiesFilesThatClaimToBeEmpty) {
  // Generated files report size 0 yet have content: a copy driven by the size,
  // or a kernel copy that sees the size only, would lose it.
  const std::string src = "/proc/self/mountinfo";
  struct stat st;
  if (stat(src.c_str(), &st) != 0 || st.st_size != 0) GTEST_SKIP() << "no such file here";
  TestTree t;
  ASSERT_TRUE(CopyFile(src, t.Path("copy")).ok());
  EXPECT_FALSE(TestTree::Read(t.Path("copy")).empty());
}

TEST(CopyFileTest, CopiesAcrossFileSystems) {
  // /dev/shm is a tmpfs: the kernel copy between it and the test tree may be
  // refused, which the plain copy then handles.
  if (access("/dev/shm", W_OK) != 0) GTEST_SKIP() << "no /dev/shm";
  std::string src = "/dev/shm/quillfen-copy-test-" + std::to_string(getpid());
  std::string content = RandomBytes((size_t{2} << 20) + 3, 7);
  {
    std::ofstream out(src, std::ios::binary);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    ASSERT_TRUE(out.good());
  }
  TestTree t;
  Status s = CopyFile(src, t.Path("copy"));
  unlink(src.c_str());
  ASSERT_TRUE(s.ok()) << s.message();
  EXPECT_EQ(TestTree::Read(t.Path("copy")), content);
}

// Run as root, a copy belongs to the source's owner and group, so set-ID bits
// never make a copy run as root that ran as its owner before.
TEST(CopyFileTest, RunAsRootACopyBelongsToTheSourcesOwner) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to copy another user's files";
  TestTree t;
  for (mode_t bits : {04755, 02755, 06750, 0640}) {
    SCOPED_TRACE(bits);
    const std::string src = t.File("theirs", "#!/bin/sh\n");
    ASSERT_EQ(chown(src.c_str(), testing::kNobody, testing::kNogroup), 0);
    ASSERT_EQ(chmod(src.c_str(), bits), 0);
    const Status s = CopyFile(src, t.Path("copy"));
    ASSERT_TRUE(s.ok()) << s.message();
    const struct stat copy = StatOf(t.Path("copy"));
    EXPECT_EQ(copy.st_uid, testing::kNobody);
    EXPECT_EQ(copy.st_gid, testing::kNogroup);
    EXPECT_EQ(copy.st_mode & 07777, bits);
  }
}

// A copy made by another user keeps a set-ID bit only where it has the
// source's owner (or group): a copy of root's set-user-ID program is no
// set-user-ID program of the copier's.
TEST(CopyFileTest, ACopyThatCannotHaveTheSourcesOwnerDropsItsSetIdBits) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as a second user";
  TestTree t;
  ASSERT_EQ(chmod(t.root().c_str(), 0755), 0);
  const std::string roots = t.File("roots", "root's program");
  ASSERT_EQ(chmod(roots.c_str(), 06755), 0);
  const std::string out = t.Dir("out");
  ASSERT_EQ(chown(out.c_str(), testing::kNobody, testing::kNogroup), 0);
  const bool done = testing::AsUser(testing::kNobody, testing::kNogroup, [&] {
    const std::string own = out + "/own";
    if (!CopyFile(roots, out + "/copy").ok() || !CopyFile(roots, own).ok() ||
        chmod(own.c_str(), 06755) != 0) {
      return false;
    }
    // The copier's own set-ID file keeps its bits.
    return CopyFile(own, out + "/own-copy").ok();
  });
  ASSERT_TRUE(done);
  const struct stat copy = StatOf(out + "/copy");
  EXPECT_EQ(copy.st_uid, testing::kNobody);
  EXPECT_EQ(copy.st_mode & 07777, 0755u);
  EXPECT_EQ(StatOf(out + "/own-copy").st_mode & 07777, 06755u);
}

// A copy that cannot have the source's group gives the group it has no more
// than the source gave all others: what root's group may write, the copier's
// group may not.
TEST(CopyFileTest, ACopyInAnotherGroupGivesThatGroupOnlyWhatOthersHad) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as a second user";
  TestTree t;
  ASSERT_EQ(chmod(t.root().c_str(), 0755), 0);
  const std::string out = t.Dir("out");
  ASSERT_EQ(chown(out.c_str(), testing::kNobody, testing::kNogroup), 0);
  const std::vector<std::pair<mode_t, mode_t>> cases = {{0664, 0644}, {0674, 0644},  {0654, 0644},
                                                        {0646, 0646}, {02775, 0755}, {0777, 0777}};
  for (const auto& [bits, expected] : cases) {
    SCOPED_TRACE(bits);
    const std::string src = t.File("roots", "root's file");
    ASSERT_EQ(chmod(src.c_str(), bits), 0);
    ASSERT_TRUE(testing::AsUser(testing::kNobody, testing::kNogroup,
                                [&] { return CopyFile(src, out + "/copy").ok(); }));
    const struct stat copy = StatOf(out + "/copy");
    EXPECT_EQ(copy.st_gid, testing::kNogroup);
    EXPECT_EQ(copy.st_mode & 07777, expected);
  }
}

// When a further change must show in a file's change time: once the coarse
// clock has passed the stamp, or when the stamp lies well in the future. A
// file whose stamp is in the future must not wait (and fail) for ever.
TEST(CopyFileTest, AChangeShowsOnceTheClockHasPassedTheStamp) {
  const struct timespec stamp = {1'700'000'000, 500'000'000};
  auto at = [](time_t s, long ns) { return timespec{s, ns}; };
  EXPECT_FALSE(ChangesShowAfter(stamp, at(1'700'000'000, 500'000'000)));  // the same tick
  EXPECT_FALSE(ChangesShowAfter(stamp, at(1'700'000'000, 490'000'000)));  // ahead of the clock
  EXPECT_TRUE(ChangesShowAfter(stamp, at(1'700'000'000, 504'000'000)));
  EXPECT_TRUE(ChangesShowAfter(stamp, at(1'800'000'000, 0)));
  EXPECT_TRUE(ChangesShowAfter(stamp, at(1'600'000'000, 0)));  // a stamp in the future
  // Whole seconds: two of them.
  const struct timespec whole = {1'700'000'000, 0};
  EXPECT_FALSE(ChangesShowAfter(whole, at(1'700'000'001, 999'000'000)));
  EXPECT_TRUE(ChangesShowAfter(whole, at(1'700'000'002, 4'000'000)));
}

// A sparse file's copy takes the room of its data, not of its size.
TEST(CopyFileTest, HolesOfASparseFileStayHoles) {
  TestTree t;
  const std::string src = t.Path("sparse");
  const off_t size = off_t{1} << 30;
  const std::string head = RandomBytes(4096, 1);
  const std::string middle = RandomBytes(4096, 2);
  {
    const int fd = open(src.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, head.data(), head.size(), 0), 4096);
    ASSERT_EQ(pwrite(fd, middle.data(), middle.size(), size / 2), 4096);
    ASSERT_EQ(ftruncate(fd, size), 0);
    close(fd);
  }
  if (StatOf(src).st_blocks * 512 >= size) GTEST_SKIP() << "this file system keeps no holes";
  const Status s = CopyFile(src, t.Path("copy"));
  ASSERT_TRUE(s.ok()) << s.message();
  const struct stat copy = StatOf(t.Path("copy"));
  EXPECT_EQ(copy.st_size, size);
  EXPECT_LE(copy.st_blocks * 512, 1 << 20) << "the copy is dense";
  const int fd = open(t.Path("copy").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  std::string read(4096, '\0');
  EXPECT_EQ(pread(fd, read.data(), read.size(), 0), 4096);
  EXPECT_EQ(read, head);
  EXPECT_EQ(pread(fd, read.data(), read.size(), size / 2), 4096);
  EXPECT_EQ(read, middle);
  EXPECT_EQ(pread(fd, read.data(), read.size(), size / 4), 4096);
  EXPECT_EQ(read, std::string(4096, '\0'));
  close(fd);
}

}  // namespace
}  // namespace quillfen
