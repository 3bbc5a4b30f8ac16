// The backup run over hostile trees: names with quotes, commas, blanks, line
// breaks, leading dashes and bytes that are not UTF-8; 255-byte names, deep
// nesting and paths near PATH_MAX; FIFOs, sockets, devices and link loops; a
// destination inside the source or linked into it. Every regular file arrives
// exactly, nothing hangs, and nothing outside the destination is written.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/BackupRun.h"
#include "engine/IniFile.h"
#include "testing/RunSupport.h"
#include "testing/TestTree.h"

namespace quillfen {
namespace {

using testing::Failures;
using testing::FilesOnly;
using testing::Snapshot;
using testing::TestTree;
using testing::TreeSnapshot;

class RunHostileTrees : public testing::RunFixture {
 protected:
  BackupRunResult Run(const BackupSet& set) { return RunNextDay(set, {".keep"}, {".tmp"}); }
  // Everything in the test's tree outside `dst` and the settings file.
  TreeSnapshot Outside(const std::string& dst) const {
    TreeSnapshot all = Snapshot(tree.root());
    const std::string skip = dst.substr(tree.root().size());
    std::erase_if(all, [&](const auto& entry) {
      return entry.first == skip || entry.first.rfind(skip + "/", 0) == 0 ||
             entry.first.rfind("/Quillfen.ini", 0) == 0 ||
             entry.first.rfind("/.Quillfen.ini", 0) == 0;
    });
    return all;
  }
};

TEST_F(RunHostileTrees, HostileNamesArriveExactlyAndAreNotCopiedTwice) {
  const std::vector<std::string> names = {"\"quoted\"",
                                          "\"\"",
                                          "a,b",
                                          ",",
                                          " lead blank",
                                          "trail blank ",
                                          "new\nline",
                                          "cr\rhere",
                                          "tab\there",
                                          "-rf",
                                          "--help",
                                          "\xff\xfe bytes",
                                          "cut \xe3\x81",
                                          "back\\slash",
                                          "*?[x]",
                                          ".hidden",
                                          std::string(251, 'n') + ".txt",
                                          "dots...",
                                          "x.KEEP"};
  const std::string src = tree.Dir("src");
  for (const std::string& folder : {std::string(), std::string("/\"q,d\" \n\xfe")}) {
    for (const std::string& name : names) tree.File("src" + folder + "/" + name, folder + name);
  }
  tree.File("src/skipped.TMP", "excluded");
  const std::string dst = tree.Path("dst");
  const TreeSnapshot outside = Outside(dst);

  BackupRunResult result = Run({"Names", src, dst});
  EXPECT_EQ(result.failures.size(), 0u) << Failures(result);
  TreeSnapshot expected = FilesOnly(Snapshot(src));
  expected.erase("/skipped.TMP");
  EXPECT_EQ(FilesOnly(Snapshot(dst)), expected);
  EXPECT_EQ(result.filesCopied, static_cast<long long>(expected.size()));
  EXPECT_EQ(Outside(dst), outside);

  result = Run({"Names", src, dst});
  EXPECT_EQ(result.filesCopied, 0) << "a copy did not keep the source's age";
}

TEST_F(RunHostileTrees, DeepNestingAndPathsNearPathMaxArrive) {
  const std::string src = tree.Dir("src");
  const std::string dst = tree.Path("dst");  // as long as src, so targets are no longer
  std::string deep;
  for (int i = 0; i < 50; ++i) deep += "/d" + std::to_string(i);
  tree.File("src" + deep + "/bottom.txt", "fifty levels down");
  // Components of 200 bytes up to a whole path just short of PATH_MAX.
  std::string longPath = "/long";
  const std::string component(200, 'c');
  while ((src + longPath).size() + 201 + 12 < PATH_MAX) longPath += "/" + component;
  longPath += "/" + std::string(PATH_MAX - 2 - (src + longPath).size() - 1, 'f');
  ASSERT_EQ((src + longPath).size(), static_cast<size_t>(PATH_MAX - 2));
  tree.File("src" + longPath, "near PATH_MAX");

  const BackupRunResult result = Run({"Deep", src, dst});
  EXPECT_EQ(result.failures.size(), 0u) << Failures(result);
  EXPECT_EQ(FilesOnly(Snapshot(dst)), (TreeSnapshot{{deep + "/bottom.txt", "fifty levels down"},
                                                    {longPath, "near PATH_MAX"}}));
}

TEST_F(RunHostileTrees, SpecialFilesAndLinkLoopsAreNeitherCopiedNorFollowed) {
  const std::string src = tree.Dir("src");
  tree.File("src/plain.txt", "plain");
  tree.File("src/sub/inner.txt", "inner");
  const std::string linked = tree.File("elsewhere/linked.txt", "through a link");
  ASSERT_EQ(mkfifo(tree.Path("src/fifo").c_str(), 0644), 0);
  ASSERT_EQ(mkfifo(tree.Path("src/fifo.keep").c_str(), 0644), 0);
  // Device nodes need root; without it the test goes on without them.
  mknod(tree.Path("src/null").c_str(), S_IFCHR | 0644, makedev(1, 3));
  mknod(tree.Path("src/block").c_str(), S_IFBLK | 0644, makedev(7, 0));
  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string sockPath = tree.Path("src/sock");
  ASSERT_LT(sockPath.size(), sizeof addr.sun_path);
  sockPath.copy(addr.sun_path, sockPath.size());
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(symlink(src.c_str(), tree.Path("src/loop").c_str()), 0);
  ASSERT_EQ(symlink("..", tree.Path("src/sub/up").c_str()), 0);
  ASSERT_EQ(symlink("self", tree.Path("src/self").c_str()), 0);
  ASSERT_EQ(symlink("/nonexistent/nowhere", tree.Path("src/dangling").c_str()), 0);
  ASSERT_EQ(symlink(linked.c_str(), tree.Path("src/tofile.txt").c_str()), 0);
  const std::string dst = tree.Path("dst");
  const TreeSnapshot outside = Outside(dst);

  const BackupRunResult result = Run({"Special", src, dst});
  close(sock);
  EXPECT_EQ(result.failures.size(), 0u) << Failures(result);
  EXPECT_EQ(Snapshot(dst), (TreeSnapshot{{"/plain.txt", "plain"},
                                         {"/sub", "<folder>"},
                                         {"/sub/inner.txt", "inner"},
                                         {"/tofile.txt", "through a link"}}));
  EXPECT_EQ(Outside(dst), outside);
}

// Last-write times before 1980, before 1970, far in the future, and empty
// files: each is copied once, exactly, with its time, and not again.
TEST_F(RunHostileTrees, ExtremeTimesAndEmptyFilesAreCopiedOnceExactly) {
  const std::string src = tree.Dir("src");
  const std::vector<std::pair<std::string, int64_t>> files = {
      {"epoch.txt", 0},          {"before1970.txt", -1000000000}, {"y1979.txt", 300000000},
      {"y2050.txt", 2524608000}, {"y2200.txt", 7258118400},       {"empty.txt", 1700000000}};
  for (const auto& [name, when] : files) {
    tree.File("src/" + name, name == "empty.txt" ? "" : name);
    TestTree::SetMtime(tree.Path("src/" + name), when);
  }
  const std::string dst = tree.Path("dst");
  BackupRunResult result = Run({"Times", src, dst});
  EXPECT_EQ(result.failures.size(), 0u) << Failures(result);
  EXPECT_EQ(result.filesCopied, static_cast<long long>(files.size()));
  EXPECT_EQ(FilesOnly(Snapshot(dst)), FilesOnly(Snapshot(src)));
  for (const auto& [name, when] : files) {
    struct stat st;
    ASSERT_EQ(stat((dst + "/" + name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, when) << name;
  }
  result = Run({"Times", src, dst});
  EXPECT_EQ(result.filesCopied, 0) << "copied again although nothing changed";
}

TEST_F(RunHostileTrees, DestinationInsideTheSourceIsNotBackedUpIntoItself) {
  const std::string src = tree.Dir("src");
  tree.File("src/a.txt", "a");
  tree.File("src/sub/b.txt", "b");
  const std::string dst = src + "/backup";
  for (int run = 0; run < 3; ++run) {
    const BackupRunResult result = Run({"Inside", src, dst});
    EXPECT_EQ(result.failures.size(), 0u) << Failures(result);
  }
  EXPECT_EQ(FilesOnly(Snapshot(dst)), (TreeSnapshot{{"/a.txt", "a"}, {"/sub/b.txt", "b"}}));
}

TEST_F(RunHostileTrees, DestinationLinkedIntoTheSourceIsNotBackedUpIntoItself) {
  const std::string src = tree.Dir("src");
  tree.File("src/a.txt", "a");
  tree.Dir("src/store");
  const std::string dst = tree.Path("link");
  ASSERT_EQ(symlink((src + "/store").c_str(), dst.c_str()), 0);
  for (int run = 0; run < 3; ++run) {
    const BackupRunResult result = Run({"Linked", src, dst});
    EXPECT_EQ(result.failures.size(), 0u) << Failures(result);
  }
  EXPECT_EQ(FilesOnly(Snapshot(src + "/store")), (TreeSnapshot{{"/a.txt", "a"}}));
}

// The user's own links in the source stay, also when the destination is the
// source itself, by its path or through a link to it.
TEST_F(RunHostileTrees, DestinationThatIsTheSourceCopiesNothingAndChangesNothing) {
  const std::string src = tree.Dir("src");
  tree.File("src/a.txt", "a");
  tree.File("src/k.keep", "k");
  const std::string elsewhere = tree.File("elsewhere/file.txt", "linked");
  ASSERT_EQ(symlink(elsewhere.c_str(), tree.Path("src/link.txt").c_str()), 0);
  ASSERT_EQ(symlink(tree.Path("elsewhere").c_str(), tree.Path("src/linkdir").c_str()), 0);
  ASSERT_EQ(symlink(src.c_str(), tree.Path("alias").c_str()), 0);
  const TreeSnapshot before = Snapshot(tree.root());
  for (const std::string& dst : {src + "/", tree.Path("alias")}) {
    SCOPED_TRACE(dst);
    const BackupRunResult result = Run({"Same", src, dst});
    EXPECT_EQ(result.failures.size(), 0u) << Failures(result);
    EXPECT_EQ(result.filesCopied, 0);
    TreeSnapshot after = Snapshot(tree.root());
    std::erase_if(after,
                  [](const auto& e) { return e.first.find("Quillfen.ini") != std::string::npos; });
    TreeSnapshot expected = before;
    std::erase_if(expected,
                  [](const auto& e) { return e.first.find("Quillfen.ini") != std::string::npos; });
    EXPECT_EQ(after, expected);
  }
}

}  // namespace
}  // namespace quillfen
