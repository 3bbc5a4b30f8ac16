#include "engine/SmbNames.h"

#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sys/sysmacros.h>

#include "testing/TestTree.h"

namespace quillfen {
namespace {

TEST(SmbNames, RefusedNamesHoldWhatSmbCannotName) {
  for (const char* name : {"10:30 meeting.txt", "why?.txt", "a*b", "say \"hi\"", "a<b>c",
                           "back\\slash", "pipe|d", "tab\there", "\x1f"}) {
    EXPECT_TRUE(SmbRefusesName(name)) << name;
  }
  for (const char* name : {"Report 01.TXT", "ümlaut ä.md", "日本語.txt", "a.b.c",
                           "#hash%&'()+,;=@[]^`{}~", ".hidden", "trailing."}) {
    EXPECT_FALSE(SmbRefusesName(name)) << name;
  }
}

// The kernel's clients by their kind; a FUSE mount by its line in the mount
// table, matched by device, never by another mount's line.
TEST(SmbNames, SharesAreToldByKindOrByTheirMountLine) {
  EXPECT_TRUE(SpeaksSmb(makedev(0, 50), 0xfe534d42, "/nonexistent"));
  EXPECT_TRUE(SpeaksSmb(makedev(0, 50), 0xff534d42, "/nonexistent"));
  EXPECT_FALSE(SpeaksSmb(makedev(0, 50), EXT4_SUPER_MAGIC, "/nonexistent"));
  testing::TestTree tree;
  const std::string table = tree.File(
      "mountinfo",
      "46 28 0:41 / /mnt/ssh rw,nosuid,nodev,relatime - fuse.sshfs root@host:/x rw\n"
      "47 28 0:42 / /mnt/smb rw,nosuid,nodev,relatime shared:7 - fuse.smbnetfs smbnetfs rw\n"
      "48 28 0:142 / /mnt/other rw - fuse.smbnetfs smbnetfs rw\n");
  constexpr unsigned long kFuse = 0x65735546;
  EXPECT_FALSE(SpeaksSmb(makedev(0, 41), kFuse, table));
  EXPECT_TRUE(SpeaksSmb(makedev(0, 42), kFuse, table));
  EXPECT_FALSE(SpeaksSmb(makedev(0, 43), kFuse, table)) << "not mounted";
  EXPECT_FALSE(SpeaksSmb(makedev(0, 42), kFuse, "/nonexistent"));
}

}  // namespace
}  // namespace quillfen
