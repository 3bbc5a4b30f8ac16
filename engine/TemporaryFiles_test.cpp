#include "engine/TemporaryFiles.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <set>
#include <string>

#include "engine/UniqueFd.h"
#include "testing/FaultInjection.h"
#include "testing/TestTree.h"

namespace quillfen {
namespace {

using testing::NamesIn;
using testing::TestTree;

TEST(TemporaryNames, SayWhoseTheyAreAndAreNeverAUsersName) {
  const std::string name = NewTemporaryName();
  EXPECT_EQ(name.rfind(".quillfen-tmp-" + std::to_string(getpid()) + "-", 0), 0u) << name;
  EXPECT_TRUE(IsTemporaryName(name));
  EXPECT_NE(NewTemporaryName(), name);
  EXPECT_TRUE(IsTemporaryName(".quillfen-0123456789"));  // what earlier versions left
  EXPECT_TRUE(IsTemporaryName(".quillfen-tmp-1-0123456789abcdef"));
  for (const char* users :
       {".quillfen-notes.txt", ".quillfen-0123456789.bak", ".quillfen-012345678",
        ".quillfen-ABCDEF0123", ".quillfen-tmp-12-0123456789ABCDEF",
        ".quillfen-tmp-012-0123456789abcdef", ".quillfen-tmp--0123456789abcdef",
        "quillfen-0123456789", ".Quillfen.ini.Ab3xYz"}) {
    EXPECT_FALSE(IsTemporaryName(users)) << users;
  }
  EXPECT_TRUE(IsOldSettingsTemporaryName(".Quillfen.ini.Ab3xYz", "Quillfen.ini"));
  EXPECT_TRUE(IsOldSettingsTemporaryName(".Quillfen.ini.x8yyzz", "Quillfen.ini"));
  EXPECT_FALSE(IsOldSettingsTemporaryName(".Quillfen.ini.backup", "Quillfen.ini"));
  EXPECT_FALSE(IsOldSettingsTemporaryName(".Quillfen.ini.Ab3xY", "Quillfen.ini"));
  EXPECT_FALSE(IsOldSettingsTemporaryName(".Quillfen.ini.Ab3-Yz", "Quillfen.ini"));
  EXPECT_FALSE(IsOldSettingsTemporaryName(".Other.ini.Ab3xYz", "Quillfen.ini"));
}

// Leftovers of gone processes go; the temporary file of a process still at
// work (another instance of the program) and every user's file stay.
TEST(TemporaryNames, LeftoversOfGoneProcessesAreRemoved) {
  TestTree tree;
  pid_t gone = fork();
  ASSERT_GE(gone, 0);
  if (gone == 0) _exit(0);
  ASSERT_EQ(waitpid(gone, nullptr, 0), gone);
  const std::string living = ".quillfen-tmp-" + std::to_string(getppid()) + "-0123456789abcdef";
  for (const std::string& name :
       {".quillfen-tmp-" + std::to_string(gone) + "-0123456789abcdef",
        ".quillfen-tmp-" + std::to_string(getpid()) + "-fedcba9876543210", living,
        std::string(".quillfen-0123456789"), std::string(".Quillfen.ini.Ab3xYz"),
        std::string(".Quillfen.ini.backup"), std::string("kept.txt")}) {
    tree.File(name, "x");
  }
  const UniqueFd folder(open(tree.root().c_str(), O_RDONLY | O_DIRECTORY));
  EXPECT_EQ(RemoveLeftoverTemporaryFiles(folder.get()), 3);
  EXPECT_EQ(NamesIn(tree.root()), (std::set<std::string>{living, ".Quillfen.ini.Ab3xYz",
                                                         ".Quillfen.ini.backup", "kept.txt"}));
  // Beside the settings file, its own old leftovers go too.
  EXPECT_EQ(RemoveLeftoverTemporaryFiles(folder.get(), "Quillfen.ini"), 1);
  EXPECT_EQ(NamesIn(tree.root()),
            (std::set<std::string>{living, ".Quillfen.ini.backup", "kept.txt"}));
}

}  // namespace
}  // namespace quillfen
