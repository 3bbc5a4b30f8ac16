#include "engine/FileCopy.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "engine/TestTree.h"

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

}  // namespace
}  // namespace quillfen
