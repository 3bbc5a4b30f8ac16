#include "engine/PathOrder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace quillfen {
namespace {

using ::testing::ElementsAre;

TEST(FolderPathLessTest, IgnoresAsciiCaseThenOrdersByBytes) {
  std::vector<std::string> v = {"/b", "/B", "/a/z", "/A", "/a", "/ab"};
  std::sort(v.begin(), v.end(), [](auto& a, auto& b) { return FolderPathLess(a, b); });
  EXPECT_THAT(v, ElementsAre("/A", "/a", "/a/z", "/ab", "/B", "/b"));
  EXPECT_FALSE(FolderPathLess("/x", "/x"));
  EXPECT_FALSE(FolderPathLess("", ""));
  EXPECT_TRUE(FolderPathLess("", "/"));
  EXPECT_TRUE(FolderPathLess("/a/b", "/a/C"));
  EXPECT_TRUE(FolderPathLess("/a/B", "/a/c"));
  EXPECT_TRUE(FolderPathLess("/a/_x", "/a/Y"));  // '_' sorts before every small letter
  EXPECT_TRUE(FolderPathLess("/a/B", "/a/b"));   // equal ignoring case: bytes decide
  EXPECT_FALSE(FolderPathLess("/a/b", "/a/B"));
  EXPECT_TRUE(FolderPathLess("/A", "/a/b"));  // a path before every longer one it starts
  EXPECT_FALSE(FolderPathLess("/a/b", "/A"));
}

// A letter-case difference early in two paths does not decide their order
// when a later byte differs in more than case.
TEST(FolderPathLessTest, CaseDifferenceBeforeALaterDifferenceDoesNotDecide) {
  EXPECT_TRUE(FolderPathLess("/aB/x", "/ab/y"));
  EXPECT_FALSE(FolderPathLess("/aB/y", "/ab/x"));
  EXPECT_TRUE(FolderPathLess("/ab/x", "/aB/y"));
  EXPECT_FALSE(FolderPathLess("/ab/y", "/aB/x"));
  // The same beyond the first eight bytes.
  EXPECT_TRUE(FolderPathLess("/folder/sUb/x", "/folder/sub/y"));
  EXPECT_FALSE(FolderPathLess("/folder/sub/y", "/folder/sUb/x"));
  // A separator sorts by its byte value, not as the end of a name.
  EXPECT_TRUE(FolderPathLess("/a-c", "/a/b"));
  EXPECT_TRUE(FolderPathLess("/a", "/a-c"));
  // Bytes above ASCII sort after every ASCII byte.
  EXPECT_TRUE(FolderPathLess("/z", "/\xC3\xA9"));
  EXPECT_TRUE(FolderPathLess("/folder/z", "/folder/\xC3\xA9"));
}

// Long paths that agree for many bytes and differ late, in letter case
// only, in length only or in bytes above ASCII: the same order as comparing
// byte by byte, ASCII letters folded, then the exact bytes.
TEST(FolderPathLessTest, LongPathsOrderAsTheirFoldedThenExactBytes) {
  auto reference = [](const std::string& a, const std::string& b) {
    auto fold = [](std::string s) {
      for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      }
      return s;
    };
    const std::string fa = fold(a), fb = fold(b);
    if (fa != fb) {
      return std::lexicographical_compare(
          fa.begin(), fa.end(), fb.begin(), fb.end(), [](char x, char y) {
            return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
          });
    }
    return a < b;
  };
  std::mt19937 rng(11);
  const std::string alphabet = "aAbB/.z\xC3\xA9";
  std::vector<std::string> paths;
  for (int i = 0; i < 400; ++i) {
    // A shared beginning of 0 to 24 bytes, then a few random bytes.
    std::string p = std::string("/folder/subfolder/common").substr(0, rng() % 25);
    for (int k = rng() % 6; k > 0; --k) p += alphabet[rng() % alphabet.size()];
    paths.push_back(p);
  }
  for (const std::string& a : paths) {
    for (const std::string& b : paths) {
      ASSERT_EQ(FolderPathLess(a, b), reference(a, b)) << a << " | " << b;
    }
  }
}

}  // namespace
}  // namespace quillfen
