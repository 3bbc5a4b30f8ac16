#include "engine/AsciiCase.h"

#include <gtest/gtest.h>

#include <string>

namespace quillfen {
namespace {

// Of all 256 byte values only A-Z change, each to its own small letter: no
// byte above ASCII (a part of a UTF-8 character) and none of the signs that
// lie 32 apart from each other ('@' and '`', '[' and '{') is touched.
TEST(AsciiCaseTest, LowersTheCapitalLettersAndNothingElse) {
  for (int b = 0; b < 256; ++b) {
    const char c = static_cast<char>(b);
    const char expected = b >= 'A' && b <= 'Z' ? static_cast<char>(b + 32) : c;
    EXPECT_EQ(LowerAscii(c), expected) << "byte " << b;
  }
  EXPECT_EQ(LowerAscii(std::string_view("MiXeD.TXT \xC3\x89t\xC3\xA9")),
            "mixed.txt \xC3\x89t\xC3\xA9");
  EXPECT_EQ(LowerAscii(std::string_view("")), "");
}

TEST(AsciiCaseTest, NamesMatchWhenOnlyTheCaseOfAsciiLettersDiffers) {
  EXPECT_TRUE(SameIgnoringAsciiCase("", ""));
  EXPECT_TRUE(SameIgnoringAsciiCase("Main", "mAIN"));
  EXPECT_TRUE(SameIgnoringAsciiCase("セット1", "セット1"));
  EXPECT_FALSE(SameIgnoringAsciiCase("Main", "Mains"));
  EXPECT_FALSE(SameIgnoringAsciiCase("Mains", "Main"));
  EXPECT_FALSE(SameIgnoringAsciiCase("a@", "A`"));
  EXPECT_FALSE(SameIgnoringAsciiCase("[x]", "{x}"));
  // Capital and small É differ in their second byte only: not folded.
  EXPECT_FALSE(SameIgnoringAsciiCase("\xC3\x89", "\xC3\xA9"));
  // A byte string with a NUL inside is compared whole.
  EXPECT_FALSE(SameIgnoringAsciiCase(std::string_view("a\0b", 3), std::string_view("a\0c", 3)));
  EXPECT_TRUE(SameIgnoringAsciiCase(std::string_view("a\0B", 3), std::string_view("A\0b", 3)));
}

}  // namespace
}  // namespace quillfen
