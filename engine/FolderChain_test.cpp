#include "engine/FolderChain.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "testing/FaultInjection.h"
#include "testing/TestTree.h"

namespace quillfen {
namespace {

using testing::TestTree;

// The device and inode of the open folder `fd`, to tell folders apart.
std::pair<dev_t, ino_t> Identity(int fd) {
  struct stat st {};
  EXPECT_EQ(fstat(fd, &st), 0);
  return {st.st_dev, st.st_ino};
}

std::pair<dev_t, ino_t> Identity(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  return {st.st_dev, st.st_ino};
}

TEST(FolderChain, EntersFoldersNameByNameAndRefusesWhatIsNoFolderName) {
  TestTree tree;
  tree.Dir("a/b/c");
  tree.Dir("a/x");
  tree.File("a/file", "f");
  const std::string outside = tree.Dir("outside");
  ASSERT_EQ(symlink(outside.c_str(), tree.Path("a/link").c_str()), 0);
  FolderChain chain;
  ASSERT_TRUE(chain.OpenRoot(tree.root() + "/").ok());
  EXPECT_EQ(chain.rootPath(), tree.root());
  ASSERT_TRUE(chain.Enter("/a/b/c").ok());
  EXPECT_EQ(Identity(chain.fd()), Identity(tree.Path("a/b/c")));
  EXPECT_EQ(chain.depth(), 3u);
  ASSERT_TRUE(chain.Enter("/a/x").ok());
  EXPECT_EQ(Identity(chain.fd()), Identity(tree.Path("a/x")));
  ASSERT_TRUE(chain.Enter("").ok());
  EXPECT_EQ(chain.fd(), chain.rootFd());

  // A link is never entered, whatever it names; the error says which folder.
  Status s = chain.Enter("/a/link/deeper");
  EXPECT_EQ(s.code(), Status::Code::kLink);
  EXPECT_EQ(s.message(), tree.Path("a/link") + ": a symbolic link stands where a folder must be");
  EXPECT_EQ(chain.fd(), -1);
  EXPECT_EQ(chain.Enter("/a/file").code(), Status::Code::kNotAFolder);
  EXPECT_EQ(chain.Enter("/a/missing").code(), Status::Code::kNotFound);
  for (const char* bad : {"/a/../outside", "/.", "a", "/a//b", "/a/"}) {
    EXPECT_EQ(chain.Enter(bad).code(), Status::Code::kInvalid) << bad;
  }
  // A folder entered before is entered again after an error.
  ASSERT_TRUE(chain.Enter("/a/b").ok());
  EXPECT_EQ(Identity(chain.fd()), Identity(tree.Path("a/b")));
}

// What a listing passes by as gone: a folder missing, or a link or a file in
// its place; not a name the chain refuses, nor any other failure.
TEST(FolderChain, TellsAFolderThatIsGoneFromOneThatFailed) {
  TestTree tree;
  tree.Dir("a");
  tree.File("file", "f");
  ASSERT_EQ(symlink(tree.Path("a").c_str(), tree.Path("link").c_str()), 0);
  FolderChain chain;
  EXPECT_TRUE(FolderChain::IsGone(chain.OpenRoot(tree.Path("missing"))));
  EXPECT_TRUE(FolderChain::IsGone(chain.OpenRoot(tree.Path("file"))));
  ASSERT_TRUE(chain.OpenRoot(tree.root()).ok());
  for (const char* gone : {"/missing", "/file", "/link", "/a/missing"}) {
    EXPECT_TRUE(FolderChain::IsGone(chain.Enter(gone))) << gone;
  }
  EXPECT_FALSE(FolderChain::IsGone(chain.Enter("/a/..")));
  for (Status::Code code : {Status::Code::kPermission, Status::Code::kIo, Status::Code::kExists,
                            Status::Code::kIsAFolder, Status::Code::kInvalid}) {
    EXPECT_FALSE(FolderChain::IsGone(Status::Error(code, "x"))) << static_cast<int>(code);
  }
}

// A folder renamed away and replaced by a link while the chain holds it open:
// what the chain holds stays the real folder, and a fresh Enter meets the link.
// A folder the chain opened anew is read from its start; one it kept open
// (entered again, or the parent of the last one) may have been read already.
TEST(FolderChain, TellsWhetherTheCurrentFolderWasOpenedAnew) {
  TestTree tree;
  tree.Dir("a/b");
  tree.Dir("a/c");
  FolderChain chain;
  ASSERT_TRUE(chain.OpenRoot(tree.root()).ok());
  ASSERT_TRUE(chain.Enter("/a/b").ok());
  EXPECT_TRUE(chain.openedAnew());
  ASSERT_TRUE(chain.Enter("/a/b").ok());
  EXPECT_FALSE(chain.openedAnew());
  ASSERT_TRUE(chain.Enter("/a").ok());
  EXPECT_FALSE(chain.openedAnew());
  ASSERT_TRUE(chain.Enter("/a/c").ok());
  EXPECT_TRUE(chain.openedAnew());
  EXPECT_FALSE(chain.Enter("/a/missing").ok());
  EXPECT_FALSE(chain.openedAnew());
}

TEST(FolderChain, FoldersHeldOpenAreTheRealOnesWhateverIsRenamedMeanwhile) {
  TestTree tree;
  tree.Dir("root/sub/deep");
  const std::string outside = tree.Dir("outside/deep");
  FolderChain chain;
  ASSERT_TRUE(chain.OpenRoot(tree.Path("root")).ok());
  ASSERT_TRUE(chain.Enter("/sub/deep").ok());
  const auto real = Identity(chain.fd());
  ASSERT_EQ(rename(tree.Path("root/sub").c_str(), tree.Path("root/moved").c_str()), 0);
  ASSERT_EQ(symlink(tree.Path("outside").c_str(), tree.Path("root/sub").c_str()), 0);
  EXPECT_EQ(Identity(chain.fd()), real);
  // Moving on and back: the shared levels are kept, the rest looked up anew.
  ASSERT_TRUE(chain.Enter("/sub/deep").ok());
  EXPECT_EQ(Identity(chain.fd()), real);
  ASSERT_TRUE(chain.Enter("").ok());
  EXPECT_EQ(chain.Enter("/sub/deep").code(), Status::Code::kLink);
  EXPECT_NE(Identity(outside), real);
}

// Deeper than the descriptors it keeps: folders above are closed and opened
// again when the chain comes back to them, one name at a time.
TEST(FolderChain, DeepTreesKeepFewDescriptorsAndComeBackUp) {
  TestTree tree;
  const std::string name(120, 'n');
  std::string relative;
  const size_t levels = 2 * FolderChain::kMaxOpenLevels + 5;
  for (size_t i = 0; i < levels; ++i) relative += "/" + name;
  testing::MakeDeepFile(tree.root(), relative + "/" + name, "f", "x");
  testing::MakeDeepFile(tree.root(), "/" + name + "/sibling", "f", "x");
  const int before = testing::OpenDescriptorCount();
  {
    FolderChain chain;
    ASSERT_TRUE(chain.OpenRoot(tree.root()).ok());
    ASSERT_TRUE(chain.Enter(relative).ok());
    EXPECT_EQ(chain.depth(), levels);
    EXPECT_LE(testing::OpenDescriptorCount(),
              before + 1 + static_cast<int>(FolderChain::kMaxOpenLevels));
    // Down one more, then back to a folder whose descriptor was closed.
    ASSERT_TRUE(chain.Enter(relative + "/" + name).ok());
    ASSERT_TRUE(chain.Enter("/" + name + "/sibling").ok());
    EXPECT_EQ(chain.depth(), 2u);
    struct stat st;
    EXPECT_EQ(fstatat(chain.fd(), "f", &st, 0), 0);
    ASSERT_TRUE(chain.Enter(relative).ok());
    EXPECT_EQ(fstatat(chain.FdAt(1), "sibling", &st, 0), 0);
    EXPECT_NE(chain.PathAt(levels).find(relative), std::string::npos);
  }
  EXPECT_EQ(testing::OpenDescriptorCount(), before);
}

// What a maker is asked, and when: missing folders are made outermost first,
// a link is handed over before the folder in its place is made.
TEST(FolderChain, AMakerMakesMissingFoldersAndDecidesAboutLinks) {
  class Recorder : public FolderMaker {
   public:
    std::string calls;
    bool replace = true;
    Status Make(int parentFd, const char* name, std::string_view relative, size_t level,
                UniqueFd& made) override {
      calls += "make " + std::string(relative) + " " + std::to_string(level) + ";";
      if (mkdirat(parentFd, name, 0700) != 0) return PathError(relative, errno);
      made.reset(openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
      return Status::Ok();
    }
    Status ReplaceLink(int parentFd, const char* name, std::string_view relative) override {
      calls += "link " + std::string(relative) + ";";
      if (!replace) return PathError(relative, Status::Code::kLink, "kept");
      return unlinkat(parentFd, name, 0) == 0 ? Status::Ok() : PathError(relative, errno);
    }
  };
  TestTree tree;
  tree.Dir("root/have");
  const std::string outside = tree.Dir("outside");
  ASSERT_EQ(symlink(outside.c_str(), tree.Path("root/have/link").c_str()), 0);
  Recorder maker;
  FolderChain chain;
  ASSERT_TRUE(chain.OpenRoot(tree.Path("root")).ok());
  ASSERT_TRUE(chain.Enter("/have/new/newer", &maker).ok());
  EXPECT_EQ(maker.calls, "make /have/new 2;make /have/new/newer 3;");
  maker.calls.clear();
  maker.replace = false;
  EXPECT_EQ(chain.Enter("/have/link/x", &maker).message(), "/have/link: kept");
  EXPECT_EQ(maker.calls, "link /have/link;");
  maker.calls.clear();
  maker.replace = true;
  ASSERT_TRUE(chain.Enter("/have/link/x", &maker).ok());
  EXPECT_EQ(maker.calls, "link /have/link;make /have/link 2;make /have/link/x 3;");
  struct stat st;
  ASSERT_EQ(lstat(tree.Path("root/have/link").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_TRUE(testing::NamesIn(outside).empty());
}

}  // namespace
}  // namespace quillfen
