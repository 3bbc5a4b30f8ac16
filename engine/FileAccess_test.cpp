#include "engine/FileAccess.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "engine/CommaText.h"
#include "testing/TestTree.h"

namespace quillfen {
namespace {

using ::testing::AnyOf;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::TestTree;
using ::testing::UnorderedElementsAre;

// The paths of the quoted path lists.
std::vector<std::string> Folders(std::string_view root) {
  return SplitCommaText(ListSubfolders(root));
}
std::vector<std::string> Files(std::string_view folder) {
  return SplitCommaText(ListFiles(folder));
}

TEST(ListSubfoldersTest, RootFirstParentsBeforeChildrenCaseInsensitiveOrder) {
  TestTree t;
  for (const char* rel : {"b", "A", "a", "B/y", "C/x", "c-d", "_z", "Y", ".hidden/deep"}) {
    t.Dir(rel);
  }
  t.File("C/file.txt", "x");  // files are not folders
  const std::string& r = t.root();
  EXPECT_THAT(Folders(r), ElementsAre(r, r + "/.hidden", r + "/.hidden/deep", r + "/_z", r + "/A",
                                      r + "/a", r + "/B", r + "/b", r + "/B/y", r + "/C",
                                      r + "/c-d", r + "/C/x", r + "/Y"));
}

TEST(ListSubfoldersTest, RemovesOneTrailingSlashFromRoot) {
  TestTree t;
  t.Dir("sub");
  const std::string& r = t.root();
  EXPECT_THAT(Folders(r + "/"), ElementsAre(r, r + "/sub"));
  // Only one is removed; children are still joined with a single '/'.
  EXPECT_THAT(Folders(r + "//"), ElementsAre(r + "/", r + "/sub"));
}

TEST(ListSubfoldersTest, MissingRootOrFolderWithoutSubfoldersGivesRootAlone) {
  TestTree t;
  t.File("only-a-file", "x");
  EXPECT_THAT(Folders(t.root()), ElementsAre(t.root()));
  EXPECT_THAT(Folders(t.Path("missing/")), ElementsAre(t.Path("missing")));
  EXPECT_EQ(ListSubfolders(t.Path("missing")), "\"" + t.Path("missing") + "\"");
}

TEST(ListSubfoldersTest, LinksToFoldersAreNotFollowedSoLoopsEnd) {
  TestTree t;
  t.Dir("a/b");
  ASSERT_EQ(symlink("..", t.Path("a/b/up").c_str()), 0);              // loop to its grandparent
  ASSERT_EQ(symlink(t.root().c_str(), t.Path("a/root").c_str()), 0);  // loop to the root
  ASSERT_EQ(symlink("/", t.Path("escape").c_str()), 0);
  EXPECT_THAT(Folders(t.root()), ElementsAre(t.root(), t.Path("a"), t.Path("a/b")));
}

TEST(ListSubfoldersTest, DeepTreeIsListedCompletely) {
  TestTree t;
  std::string rel = "d";
  for (int i = 0; i < 70; ++i) rel += "/d";
  t.Dir(rel);
  std::vector<std::string> folders = Folders(t.root());
  ASSERT_EQ(folders.size(), 72u);
  EXPECT_EQ(folders.back(), t.Path(rel));
  EXPECT_TRUE(std::is_sorted(folders.begin(), folders.end(), FolderPathLess));
}

TEST(ListSubfoldersTest, SiblingsDifferingOnlyInCaseAreTwoFolders) {
  TestTree t;
  t.Dir("Data/x");
  t.Dir("data/x");
  const std::string& r = t.root();
  EXPECT_THAT(Folders(r), ElementsAre(r, r + "/Data", r + "/data", r + "/Data/x", r + "/data/x"));
}

// Names that stress the quoted list: blanks (leading and trailing), commas,
// quotes, a line break, a tab and bytes that are not UTF-8.
const char* const kAwkwardNames[] = {
    "two words",
    " lead",
    "trail ",
    "a,b",
    "say \"hi\"",
    "\"",
    "line\nbreak",
    "tab\there",
    "\xff\xfe-latin1-\xe9",
    "\xe6\x97\xa5\xe6\x9c\xac",
    ",",
};

TEST(ListSubfoldersTest, AwkwardNamesSurviveQuotedListAndSplit) {
  TestTree t;
  for (const char* name : kAwkwardNames) t.Dir(std::string("x/") + name);
  std::vector<std::string> expected = {t.root(), t.Path("x")};
  for (const char* name : kAwkwardNames) expected.push_back(t.Path("x/") + name);
  std::sort(expected.begin() + 2, expected.end(), FolderPathLess);
  EXPECT_EQ(Folders(t.root()), expected);
}

TEST(ListFilesTest, AwkwardNamesSurviveQuotedListAndSplit) {
  TestTree t;
  std::vector<std::string> expected;
  for (const char* name : kAwkwardNames) expected.push_back(t.File(name, "x"));
  std::vector<std::string> files = Files(t.root());
  std::sort(files.begin(), files.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(files, expected);
}

TEST(ListFilesTest, ListsRegularFilesAndLinksToThemOnly) {
  TestTree t;
  t.File("plain.txt", "x");
  t.File(".hidden", "x");
  t.File("empty");
  t.File("target.bin", "x");
  chmod(t.File("readonly", "x").c_str(), 0444);
  t.Dir("folder");
  t.Dir("folder-target");
  ASSERT_EQ(symlink("target.bin", t.Path("link-to-file").c_str()), 0);
  ASSERT_EQ(symlink("folder-target", t.Path("link-to-folder").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", t.Path("dangling").c_str()), 0);
  ASSERT_EQ(symlink("self-loop", t.Path("self-loop").c_str()), 0);
  ASSERT_EQ(mkfifo(t.Path("fifo").c_str(), 0600), 0);

  int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::string sockPath = t.Path("sock");
  ASSERT_LT(sockPath.size(), sizeof addr.sun_path);
  std::memcpy(addr.sun_path, sockPath.c_str(), sockPath.size() + 1);
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  close(sock);

  EXPECT_THAT(Files(t.root()), UnorderedElementsAre(t.Path("plain.txt"), t.Path(".hidden"),
                                                    t.Path("empty"), t.Path("target.bin"),
                                                    t.Path("readonly"), t.Path("link-to-file")));
}

TEST(ListFilesTest, NothingToListGivesEmptyText) {
  TestTree t;
  t.Dir("empty");
  t.Dir("only-folders/a");
  t.Dir("only-folders/b");
  EXPECT_EQ(ListFiles(t.Path("empty")), "");
  EXPECT_EQ(ListFiles(t.Path("only-folders")), "");
  EXPECT_EQ(ListFiles(t.Path("missing")), "");
  EXPECT_EQ(ListFiles(t.File("a-file", "x")), "");
}

TEST(ListFilesTest, JoinsWithOneSlashAndQuotesEachPath) {
  TestTree t;
  t.File("f", "x");
  EXPECT_EQ(ListFiles(t.root()), "\"" + t.root() + "/f\"");
  EXPECT_EQ(ListFiles(t.root() + "/"), "\"" + t.root() + "/f\"");
  t.File("g", "x");
  const std::string f = "\"" + t.root() + "/f\"", g = "\"" + t.root() + "/g\"";
  EXPECT_THAT(ListFiles(t.root()), AnyOf(f + "," + g, g + "," + f));
}

TEST(ListTreeFilesTest, RelativePathsInFolderOrder) {
  TestTree t;
  t.File("top.txt", "x");
  t.File("b/in-b", "x");
  t.File("A/in-A", "x");
  t.File("A/sub/deep", "x");
  t.Dir("empty");
  EXPECT_THAT(ListTreeFiles(t.root()),
              ElementsAre("/top.txt", "/A/in-A", "/A/sub/deep", "/b/in-b"));
  EXPECT_THAT(ListTreeFiles(t.root() + "//"),
              ElementsAre("/top.txt", "/A/in-A", "/A/sub/deep", "/b/in-b"));
  EXPECT_THAT(ListTreeFiles(t.Path("missing")), IsEmpty());
}

TEST(ListTreeFilesTest, FilesOfEachFolderComeInDirectoryOrder) {
  TestTree t;
  for (const char* name : {"m", "z", "a", "K", "b"}) t.File(std::string("s/") + name, "x");
  std::vector<std::string> expected;
  for (const std::string& full : Files(t.Path("s"))) {
    expected.push_back(full.substr(t.root().size()));
  }
  EXPECT_EQ(ListTreeFiles(t.root()), expected);
}

TEST(ListTreeFilesTest, RootTextInsideThePathIsKept) {
  TestTree t;
  // The root's own text appears again further down: only the leading root is removed.
  std::string inner = t.root().substr(1) + "/f";
  t.File(inner, "x");
  EXPECT_THAT(ListTreeFiles(t.root()), ElementsAre(t.root() + "/f"));
}

TEST(ListTreeFilesTest, SkippedFolderIsLeftOutWithItsSubtree) {
  TestTree t;
  t.File("keep.txt", "x");
  t.File("backup/old.txt", "x");
  t.File("backup/deeper/older.txt", "x");
  t.File("backup-2/other.txt", "x");
  EXPECT_THAT(ListTreeFiles(t.root(), "/backup"), ElementsAre("/keep.txt", "/backup-2/other.txt"));
  EXPECT_THAT(ListTreeFiles(t.root() + "/", "/backup/deeper"),
              ElementsAre("/keep.txt", "/backup/old.txt", "/backup-2/other.txt"));
}

// Runs `body` in a child process whose root is the tree, so that listing "/"
// covers a small known tree. Needs the right to chroot.
template <typename Body>
void InChrootedChild(const TestTree& t, Body body) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to change the root folder";
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    bool ok = chroot(t.root().c_str()) == 0 && chdir("/") == 0 && body();
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(FileSystemRootTest, ListingTheRootJoinsWithOneSlash) {
  TestTree t;
  t.File("f", "x");
  t.File("d/g", "x");
  InChrootedChild(t, [] {
    return ListSubfolders("/") == "\"/\",\"/d\"" && ListFiles("/") == "\"/f\"" &&
           ListTreeFiles("/") == std::vector<std::string>{"/f", "/d/g"} &&
           ListTreeFiles("/", "/d") == std::vector<std::string>{"/f"};
  });
}

}  // namespace
}  // namespace quillfen
