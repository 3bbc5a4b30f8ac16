// When a missing destination folder may be made: never where an absent
// medium or share would be, so that a set is not backed up onto the local
// disk in its place.
#include "engine/DestinationRoot.h"

#include <sys/mount.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/FileAccess.h"
#include "testing/TestTree.h"

namespace quillfen {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::TestTree;

class DestinationRootTest : public ::testing::Test {
 protected:
  // Tables of this test's own: an fstab naming `nas`, the media folder
  // `media`, and what is mounted as the system has it.
  MountTables Tables() {
    MountTables tables;
    tables.fstab =
        tree.File("fstab", "# a comment\nUUID=1234 / ext4 defaults 0 1\n" + tree.Path("nas") +
                               " /srv/x cifs noauto 0 0\n" + "//server/share " + tree.Path("nas") +
                               " cifs noauto 0 0\nnone swap swap sw 0 0\n");
    tables.mediaFolders = {tree.Path("media")};
    return tables;
  }
  TestTree tree;
};

TEST_F(DestinationRootTest, AFirstBackupMayMakeItsFolderWithItsParents) {
  tree.Dir("home");
  EXPECT_TRUE(MayMakeDestinationRoot(tree.Path("home/backups/docs"), false, Tables()).ok());
  EXPECT_TRUE(MayMakeDestinationRoot(tree.Dir("there"), true, Tables()).ok()) << "it exists";
}

TEST_F(DestinationRootTest, AFolderBackedUpIntoBeforeIsNotMadeAnew) {
  tree.Dir("home");
  const Status refused = MayMakeDestinationRoot(tree.Path("home/docs"), true, Tables());
  EXPECT_EQ(refused.code(), Status::Code::kNotFound);
  EXPECT_THAT(refused.message(), HasSubstr(tree.Path("home/docs") + ": "));
  EXPECT_THAT(refused.message(), HasSubstr("is its medium or share mounted?"));
}

TEST_F(DestinationRootTest, AMountPointOfTheFstabThatIsNotMountedIsNeverBackedUpInto) {
  tree.Dir("nas");
  for (const char* below : {"nas/docs", "nas/backups/docs"}) {
    const Status refused = MayMakeDestinationRoot(tree.Path(below), false, Tables());
    EXPECT_EQ(refused.code(), Status::Code::kNotFound) << below;
    EXPECT_THAT(refused.message(), HasSubstr("is it mounted?"));
  }
  // Something the user left in it meanwhile changes nothing.
  tree.Dir("nas/backups");
  EXPECT_FALSE(MayMakeDestinationRoot(tree.Path("nas/backups/docs"), false, Tables()).ok());
}

TEST_F(DestinationRootTest, AFolderOfTheMediaFoldersOwnFileSystemIsNeverBackedUpInto) {
  // The stick is not plugged in, another one is: neither the user's media
  // folder nor a folder left there by hand gets the backup.
  tree.Dir("media/me/OTHER");
  tree.Dir("media/me/LEFT");
  for (const char* path : {"media/me/STICK/backup", "media/me/LEFT/backup", "media/backup"}) {
    EXPECT_FALSE(MayMakeDestinationRoot(tree.Path(path), false, Tables()).ok()) << path;
  }
}

TEST_F(DestinationRootTest, AMediumOrShareMountedNowMayHaveItsFolderMade) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a file system needs root";
  const std::string stick = tree.Dir("media/me/STICK");
  const std::string nas = tree.Dir("nas");
  ASSERT_EQ(mount("quillfen-test", stick.c_str(), "tmpfs", 0, "size=1m"), 0) << ErrnoText(errno);
  ASSERT_EQ(mount("quillfen-test", nas.c_str(), "tmpfs", 0, "size=1m"), 0) << ErrnoText(errno);
  EXPECT_TRUE(MayMakeDestinationRoot(stick + "/backup/docs", false, Tables()).ok());
  EXPECT_TRUE(MayMakeDestinationRoot(nas + "/docs", false, Tables()).ok());
  // A bind mount keeps the device: the table of mounts tells it.
  const std::string bound = tree.Dir("media/me/BOUND");
  ASSERT_EQ(mount(tree.Dir("elsewhere").c_str(), bound.c_str(), nullptr, MS_BIND, nullptr), 0);
  EXPECT_TRUE(MayMakeDestinationRoot(bound + "/docs", false, Tables()).ok());
  umount2(bound.c_str(), MNT_DETACH);
  umount2(nas.c_str(), MNT_DETACH);
  umount2(stick.c_str(), MNT_DETACH);
}

TEST_F(DestinationRootTest, TheTablesAreReadWithTheirEscapes) {
  const std::string table = tree.File("mountinfo",
                                      "22 1 0:21 / /proc rw - proc proc rw\n"
                                      "36 35 98:0 / /media/me/MY\\040STICK rw - vfat /dev/sdb1 rw\n"
                                      "short line\n");
  EXPECT_THAT(MountPointsIn(table, 4), ElementsAre("/proc", "/media/me/MY STICK"));
  EXPECT_THAT(MountPointsIn(Tables().fstab, 1), ElementsAre("/", "/srv/x", tree.Path("nas")));
  EXPECT_TRUE(MountPointsIn(tree.Path("no such table"), 1).empty());
}

}  // namespace
}  // namespace quillfen
