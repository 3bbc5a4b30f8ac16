#include "app/ExtensionFold.h"

#include <gtest/gtest.h>

#include "engine/BackupRun.h"

namespace quillfen {
namespace {

TEST(ExtensionFold, ExtensionListsMatchIgnoringCaseAcrossScripts) {
  EXPECT_EQ(FoldUnicodeCase("ＤＯＣ"), "ｄｏｃ");
  EXPECT_EQ(FoldUnicodeCase("ÄRZTE.Txt"), "ärzte.txt");
  const ExtensionSet set({".jpg", ".ｄｏｃ", ".ÄRZTE", "", "\xff\xfe"}, &FoldUnicodeCase);
  EXPECT_TRUE(set.Contains(".JPG"));
  EXPECT_TRUE(set.Contains(".ＤＯＣ"));  // full-width letters fold too
  EXPECT_TRUE(set.Contains(".ärzte"));
  EXPECT_FALSE(set.Contains(".jpeg"));
  EXPECT_TRUE(set.Contains("\xff\xfe"));
  EXPECT_FALSE(set.Contains("\xef\xbf\xbd"));
}

}  // namespace
}  // namespace quillfen
