#include "engine/Encoding.h"

#include <gtest/gtest.h>

namespace quillfen {
namespace {

// The settings keys and their bytes in code page 932.
const struct {
  const char* utf8;
  const char* cp932;
} kKeys[] = {
    {"コピー元", "\x83\x52\x83\x73\x81\x5B\x8C\xB3"},
    {"コピー先", "\x83\x52\x83\x73\x81\x5B\x90\xE6"},
    {"終了時刻", "\x8F\x49\x97\xB9\x8E\x9E\x8D\x8F"},
    {"オリジナル保存拡張子",
     "\x83\x49\x83\x8A\x83\x57\x83\x69\x83\x8B\x95\xDB\x91\xB6\x8A\x67\x92\xA3\x8E\x71"},
    {"保存対象外拡張子", "\x95\xDB\x91\xB6\x91\xCE\x8F\xDB\x8A\x4F\x8A\x67\x92\xA3\x8E\x71"},
    {"ソフト終了時刻", "\x83\x5C\x83\x74\x83\x67\x8F\x49\x97\xB9\x8E\x9E\x8D\x8F"},
};

TEST(Cp932, SettingsKeysConvertBothWays) {
  for (const auto& key : kKeys) {
    EXPECT_EQ(Utf8ToCp932(key.utf8), key.cp932) << key.utf8;
    EXPECT_EQ(Cp932ToUtf8(key.cp932), key.utf8) << key.utf8;
  }
}

TEST(Cp932, BackslashAndTildeStayAscii) {
  // Shift-JIS proper would read 0x5C as a yen sign and 0x7E as an overline.
  EXPECT_EQ(Cp932ToUtf8("C:\\Data\\~x"), "C:\\Data\\~x");
  EXPECT_EQ(Utf8ToCp932("C:\\Data\\~x"), "C:\\Data\\~x");
  // Full-width tilde and NEC/IBM extension characters exist in 932.
  EXPECT_EQ(Cp932ToUtf8("\x81\x60"), "～");
  EXPECT_EQ(Cp932ToUtf8("\x87\x40"), "①");
  EXPECT_EQ(Utf8ToCp932("①～"), "\x87\x40\x81\x60");
}

TEST(Cp932, RefusesWhatItCannotHold) {
  EXPECT_FALSE(Cp932ToUtf8("\x80"));
  EXPECT_FALSE(Cp932ToUtf8("ab\x83"));  // a lead byte cut off at the end
  EXPECT_FALSE(Cp932ToUtf8("\xFF"));
  EXPECT_FALSE(Utf8ToCp932("😀"));
  EXPECT_FALSE(Utf8ToCp932("é"));
  EXPECT_FALSE(Utf8ToCp932("\xFF"));  // not UTF-8 at all
  EXPECT_EQ(Utf8ToCp932(""), "");
  EXPECT_EQ(Cp932ToUtf8(""), "");
}

TEST(Utf8, Validity) {
  for (const char* good : {"", "plain", "コピー元", "é", "😀", "\xF4\x8F\xBF\xBF", "\xEF\xBB\xBF"}) {
    EXPECT_TRUE(IsValidUtf8(good)) << good;
  }
  for (const char* bad :
       {"\x80", "\xC0\x80", "\xC1\xBF", "\xE0\x80\x80", "\xED\xA0\x80", "\xF0\x80\x80\x80",
        "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xE3\x82", "a\xE3", "\xFF", "\x83\x52\x83\x73"}) {
    EXPECT_FALSE(IsValidUtf8(bad)) << bad;
  }
  EXPECT_TRUE(IsValidUtf8(std::string_view("a\0b", 3)));
}

}  // namespace
}  // namespace quillfen
