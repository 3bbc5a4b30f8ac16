// The copy under faults: a full disk, a kill in the middle, sources that are
// gone or are not files, targets that are folders, read-only files or links.
// Whatever happens, the target is the old file or the complete new one, no
// temporary file stays behind, and a failure is reported as one.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "engine/FileCopy.h"
#include "testing/FaultInjection.h"
#include "testing/TestTree.h"

namespace quillfen {
namespace {

using testing::NamesIn;
using testing::Pattern;
using testing::SmallDisk;
using testing::TestTree;

// The whole content of a file, read in one piece (large files, checked often).
std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  std::string content(static_cast<size_t>(std::max<std::streamoff>(in.tellg(), 0)), '\0');
  in.seekg(0);
  in.read(content.data(), static_cast<std::streamsize>(content.size()));
  return content;
}

TEST(CopyFaults, FullDiskKeepsOldTargetLeavesNoPartAndSucceedsOnceSpaceIsFree) {
  SmallDisk disk(1 << 20);
  if (!disk.ok()) GTEST_SKIP() << disk.error();
  TestTree src;
  const std::string oldContent = Pattern(100 << 10, 'a');
  const std::string newContent = Pattern(600 << 10, 'n');
  const std::string filler = src.File("filler.bin", Pattern(500 << 10, 'f'));
  const std::string small = src.File("doc.bin", oldContent);
  const std::string dest = disk.root() + "/doc.bin";

  ASSERT_TRUE(CopyFile(small, dest).ok());
  ASSERT_TRUE(CopyFile(filler, disk.root() + "/filler.bin").ok());

  // 600 KB do not fit beside 600 KB on a 1 MB disk.
  src.File("doc.bin", newContent);
  Status s = CopyFile(small, dest);
  ASSERT_FALSE(s.ok()) << "a copy that cannot fit reported success";
  EXPECT_NE(s.message().find(dest), std::string::npos) << s.message();
  EXPECT_EQ(s.detail(), ErrnoText(ENOSPC));
  EXPECT_EQ(TestTree::Read(dest), oldContent);
  EXPECT_EQ(NamesIn(disk.root()), (std::set<std::string>{"doc.bin", "filler.bin"}));

  // A new target that does not fit is not left half written either.
  s = CopyFile(small, disk.root() + "/second.bin");
  EXPECT_FALSE(s.ok());
  EXPECT_EQ(NamesIn(disk.root()), (std::set<std::string>{"doc.bin", "filler.bin"}));

  ASSERT_EQ(unlink((disk.root() + "/filler.bin").c_str()), 0);
  ASSERT_TRUE(CopyFile(small, dest).ok());
  EXPECT_EQ(TestTree::Read(dest), newContent);
  EXPECT_EQ(NamesIn(disk.root()), (std::set<std::string>{"doc.bin"}));
}

TEST(CopyFaults, KilledInTheMiddleLeavesOldOrNewTargetAndTheNextCopyWorks) {
  TestTree tree;
  // Two versions of different sizes, so that a torn target cannot pass for either.
  const std::string versionA = Pattern(4 << 20, 'A');
  const std::string versionB = Pattern((4 << 20) + 12345, 'B');
  const std::string a = tree.File("a.bin", versionA);
  const std::string b = tree.File("b.bin", versionB);
  const std::string dest = tree.Dir("dest");
  const std::string target = dest + "/big.bin";
  ASSERT_TRUE(CopyFile(a, target).ok());

  std::mt19937 random(8);
  std::uniform_int_distribution<int> delayUs(2000, 60000);
  int killedRunning = 0;
  for (int round = 0; round < 8; ++round) {
    const bool killed = testing::KillDuring(
        [&] {
          for (;;) {
            (void)CopyFile(b, target);
            (void)CopyFile(a, target);
          }
        },
        std::chrono::microseconds(delayUs(random)));
    killedRunning += killed ? 1 : 0;
    const std::string now = ReadWhole(target);
    ASSERT_TRUE(now == versionA || now == versionB)
        << "round " << round << ": torn target of " << now.size() << " bytes";
  }
  EXPECT_EQ(killedRunning, 8);

  // The next copy completes; what a kill left behind is never the target.
  ASSERT_TRUE(CopyFile(b, target).ok());
  EXPECT_EQ(ReadWhole(target), versionB);
  EXPECT_EQ(NamesIn(dest).count("big.bin"), 1u);
}

// A process stopped for good in the middle of writing a copy (here by the
// file-size limit, which kills it with SIGXFSZ at a known point) leaves the
// old target and nothing else: no temporary file under any name.
TEST(CopyFaults, KilledWhileWritingLeavesNoTemporaryFileBehind) {
  TestTree tree;
  const std::string source = tree.File("big.bin", Pattern(8 << 20, 'N'));
  const std::string dest = tree.Dir("dest");
  const std::string target = tree.File("dest/big.bin", "old");
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    struct rlimit limit = {1 << 20, 1 << 20};
    setrlimit(RLIMIT_FSIZE, &limit);
    (void)CopyFile(source, target);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ)
      << "the copy was not stopped in the middle";
  EXPECT_EQ(TestTree::Read(target), "old");
  EXPECT_EQ(NamesIn(dest), std::set<std::string>{"big.bin"});
}

TEST(CopyFaults, SourceThatIsNoLongerAFileFailsWithoutTouchingTheTarget) {
  TestTree tree;
  const std::string dest = tree.Dir("dest");
  const std::string target = tree.File("dest/t.txt", "old copy");
  const std::string fifo = tree.Path("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  const std::string folder = tree.Dir("was-a-file");
  tree.File("was-a-file/inner.txt", "x");

  for (const std::string& source : {tree.Path("vanished.txt"), fifo, folder}) {
    SCOPED_TRACE(source);
    Status s = CopyFile(source, target);  // a FIFO must not block here
    EXPECT_FALSE(s.ok());
    EXPECT_EQ(s.message().rfind(source + " -> " + target + ": ", 0), 0u) << s.message();
    EXPECT_EQ(TestTree::Read(target), "old copy");
    EXPECT_EQ(NamesIn(dest), std::set<std::string>{"t.txt"});
  }
}

// A source that a link turned into a device, a FIFO or a socket between the
// listing and its copy is looked at, never opened through the link: opening
// some devices acts (a watchdog starts, a tape rewinds), and a FIFO would wait
// for a writer. None is read, and none is left open.
TEST(CopyFaults, ASourceThatIsNoFileIsNeverRead) {
  TestTree t;
  ASSERT_EQ(mkfifo(t.Path("fifo").c_str(), 0644), 0);
  // An opener of the FIFO for writing would see a reader: it must never do.
  ASSERT_EQ(symlink(t.Path("fifo").c_str(), t.Path("link-to-fifo").c_str()), 0);
  ASSERT_EQ(symlink("/dev/null", t.Path("link-to-device").c_str()), 0);
  for (const char* name : {"fifo", "link-to-fifo", "link-to-device"}) {
    const Status s = CopyFile(t.Path(name), t.Path("copy"));
    EXPECT_EQ(s.code(), Status::Code::kInvalid) << name;
    EXPECT_EQ(s.detail(), "not a regular file") << name;
  }
  const int writer = open(t.Path("fifo").c_str(), O_WRONLY | O_NONBLOCK);
  EXPECT_EQ(writer, -1) << "the FIFO was left open for reading";
  EXPECT_EQ(errno, ENXIO);
  if (writer >= 0) close(writer);
  EXPECT_EQ(NamesIn(t.root()), (std::set<std::string>{"fifo", "link-to-device", "link-to-fifo"}));
}

TEST(CopyFaults, TargetThatIsAFolderStaysAFolderWithItsContent) {
  TestTree tree;
  const std::string source = tree.File("s.txt", "content");
  const std::string dest = tree.Dir("dest");
  tree.File("dest/t.txt/keep.txt", "kept");
  tree.Dir("dest/empty.txt");
  for (const char* name : {"t.txt", "empty.txt"}) {
    SCOPED_TRACE(name);
    const std::string target = dest + "/" + name;
    EXPECT_FALSE(CopyFile(source, target).ok());
    EXPECT_TRUE(std::filesystem::is_directory(target));
  }
  EXPECT_EQ(TestTree::Read(dest + "/t.txt/keep.txt"), "kept");
  EXPECT_EQ(NamesIn(dest), (std::set<std::string>{"empty.txt", "t.txt"}));
}

TEST(CopyFaults, ReadOnlyTargetIsReplacedWholeOrKeptWhole) {
  TestTree tree;
  const std::string source = tree.File("s.txt", "new content");
  const std::string target = tree.File("dest/t.txt", "old");
  ASSERT_EQ(chmod(target.c_str(), 0444), 0);
  Status s = CopyFile(source, target);
  EXPECT_EQ(TestTree::Read(target), s.ok() ? "new content" : "old") << s.message();
  EXPECT_EQ(NamesIn(tree.Path("dest")), std::set<std::string>{"t.txt"});
}

TEST(CopyFaults, LinkAtTheTargetIsReplacedNotWrittenThrough) {
  TestTree tree;
  const std::string source = tree.File("s.txt", "new content");
  const std::string outside = tree.File("outside/secret.txt", "must stay");
  const std::string dest = tree.Dir("dest");
  ASSERT_EQ(symlink(outside.c_str(), (dest + "/t.txt").c_str()), 0);
  ASSERT_EQ(symlink("/nonexistent/nowhere", (dest + "/dangling.txt").c_str()), 0);

  for (const char* name : {"t.txt", "dangling.txt"}) {
    SCOPED_TRACE(name);
    const std::string target = dest + "/" + name;
    ASSERT_TRUE(CopyFile(source, target).ok());
    struct stat st;
    ASSERT_EQ(lstat(target.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(TestTree::Read(target), "new content");
  }
  EXPECT_EQ(TestTree::Read(outside), "must stay");
  EXPECT_FALSE(std::filesystem::exists("/nonexistent/nowhere"));
}

TEST(CopyFaults, MissingTargetFolderIsAnErrorNamingBothPaths) {
  TestTree tree;
  const std::string source = tree.File("s.txt", "x");
  const std::string target = tree.Path("no/such/folder/t.txt");
  Status s = CopyFile(source, target);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.message(), source + " -> " + target + ": " + ErrnoText(ENOENT));
  EXPECT_EQ(SyncFileSystemOf(-1, tree.Path("no/such")).message(),
            tree.Path("no/such") + ": " + ErrnoText(EBADF));
  const int folder = open(tree.root().c_str(), O_RDONLY | O_DIRECTORY);
  EXPECT_TRUE(SyncFileSystemOf(folder, tree.root()).ok());
  close(folder);
}

// The size of a sparse file is no measure of the room its copy needs: a file
// of 5 GiB with 8 KiB of data fits on a disk of 64 MiB.
TEST(CopyFaults, ASparseFileFarLargerThanTheDiskFits) {
  SmallDisk disk(64 << 20);
  if (!disk.ok()) GTEST_SKIP() << disk.error();
  TestTree t;
  const std::string src = t.Path("image");
  const off_t size = off_t{5} << 30;
  {
    const int fd = open(src.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    const std::string data = Pattern(8192, 's');
    ASSERT_EQ(pwrite(fd, data.data(), data.size(), size - 8192), 8192);
    close(fd);
  }
  const Status s = CopyFile(src, disk.root() + "/image");
  ASSERT_TRUE(s.ok()) << s.message();
  struct stat st;
  ASSERT_EQ(stat((disk.root() + "/image").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, size);
  EXPECT_LT(st.st_blocks * 512, 1 << 20);
}

// A source rewritten while it is copied: the copy made then is never named.
// Changed once, it is copied again and the target is the new content whole;
// changed at every reading, the copy fails and the old target stays.
TEST(CopyFaults, ASourceChangedWhileItIsCopiedIsCopiedAgainOrFails) {
  TestTree t;
  const std::string src = t.File("src", Pattern(1 << 20, 'a'));
  for (int changes : {1, 1000}) {
    SCOPED_TRACE(changes);
    const std::string target = t.File("out/target", "old target");
    char version = 'b';
    testing::ReadGate gate(src, changes, [&] {
      // In place, the same size: only the times tell.
      const std::string next = Pattern(1 << 20, version++);
      const int fd = open(src.c_str(), O_WRONLY);
      if (fd >= 0) {
        if (pwrite(fd, next.data(), next.size(), 0) < 0) {
        }
        close(fd);
      }
    });
    if (!gate.ok()) GTEST_SKIP() << gate.error();
    const Status s = CopyFile(src, target);
    EXPECT_GE(gate.fired(), 1);
    if (changes == 1) {
      ASSERT_TRUE(s.ok()) << s.message();
      EXPECT_TRUE(ReadWhole(target) == ReadWhole(src)) << "not the new content whole";
    } else {
      EXPECT_EQ(s.code(), Status::Code::kChanged);
      EXPECT_EQ(s.message(), src + " -> " + target + ": changed while being copied");
      EXPECT_TRUE(ReadWhole(target) == "old target") << "the old target is gone";
    }
    EXPECT_EQ(NamesIn(t.Path("out")), std::set<std::string>{"target"});
  }
}

// The same with a helper process rewriting the source over and over, front
// to back, each version a number in every word: any state the file passes
// through holds a newer version in front of an older one. A copy that reads
// an older word in front of a newer one, or versions further apart, mixes
// moments the file never showed at once. Such a copy must never be named.
TEST(CopyFaults, CopiesOfAFileBeingRewrittenAreNeverTorn) {
  TestTree t;
  constexpr size_t kSize = 2 << 20;
  constexpr size_t kHalf = kSize / 2;
  const std::string src = t.File("src", std::string(kSize, '\0'));
  const std::string target = t.File("out/target", std::string(kSize, '\0'));
  auto wholeMoment = [](const std::string& content) {
    if (content.size() != kSize) return false;
    uint32_t first = 0;
    std::memcpy(&first, content.data(), 4);
    bool older = false;
    for (size_t at = 0; at < kSize; at += 4) {
      uint32_t word = 0;
      std::memcpy(&word, content.data() + at, 4);
      if (word == first) {
        if (older) return false;
      } else if (word + 1 == first) {
        older = true;
      } else {
        return false;
      }
    }
    return true;
  };
  testing::BackgroundProcess writer([&, version = uint32_t{0}]() mutable {
    ++version;
    std::string half(kHalf, '\0');
    for (size_t at = 0; at < kHalf; at += 4) std::memcpy(half.data() + at, &version, 4);
    const int fd = open(src.c_str(), O_WRONLY);
    if (fd < 0) return;
    if (pwrite(fd, half.data(), kHalf, 0) < 0 || pwrite(fd, half.data(), kHalf, kHalf) < 0) {
    }
    close(fd);
  });
  int copied = 0;
  int changed = 0;
  // Two seconds, and on a loaded machine longer, until the writer has met a
  // copy at least once.
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  const auto latest = end + std::chrono::seconds(30);
  for (auto now = std::chrono::steady_clock::now(); now < end || (changed == 0 && now < latest);
       now = std::chrono::steady_clock::now()) {
    const Status s = CopyFile(src, target);
    if (s.ok()) {
      ++copied;
    } else {
      ASSERT_EQ(s.code(), Status::Code::kChanged) << s.message();
      ++changed;
    }
    ASSERT_TRUE(wholeMoment(ReadWhole(target)))
        << "a copy mixing moments was named (" << copied << " copied, " << changed << " changed)";
  }
  EXPECT_GE(changed, 1) << "the writer never overlapped a copy";
  ::testing::Test::RecordProperty("copied", copied);
  ::testing::Test::RecordProperty("changed", changed);
  EXPECT_EQ(NamesIn(t.Path("out")), std::set<std::string>{"target"});
}

}  // namespace
}  // namespace quillfen
