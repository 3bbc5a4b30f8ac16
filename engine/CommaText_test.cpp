#include "engine/CommaText.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace quillfen {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(SplitCommaText, ExtensionListsAsStoredByTheClose) {
  EXPECT_THAT(SplitCommaText(".doc,.xls,"), ElementsAre(".doc", ".xls", ""));
  EXPECT_THAT(SplitCommaText(".tmp,"), ElementsAre(".tmp", ""));
  EXPECT_THAT(SplitCommaText(""), IsEmpty());
  EXPECT_THAT(SplitCommaText("   "), IsEmpty());
}

TEST(SplitCommaText, BlanksSeparateAndAreSkipped) {
  EXPECT_THAT(SplitCommaText(".doc, .xls"), ElementsAre(".doc", ".xls"));
  EXPECT_THAT(SplitCommaText(".my ext,"), ElementsAre(".my", "ext", ""));
  EXPECT_THAT(SplitCommaText("  .a \t,\r\n .b  "), ElementsAre(".a", ".b"));
  // A comma followed by blanks is not the last character: no empty item.
  EXPECT_THAT(SplitCommaText(".a, "), ElementsAre(".a"));
  // Empty items between commas.
  EXPECT_THAT(SplitCommaText("a,,b"), ElementsAre("a", "", "b"));
  EXPECT_THAT(SplitCommaText(","), ElementsAre("", ""));
}

TEST(SplitCommaText, QuotedItems) {
  EXPECT_THAT(SplitCommaText(R"("/a b/c","/d,e")"), ElementsAre("/a b/c", "/d,e"));
  EXPECT_THAT(SplitCommaText(R"("say ""hi""")"), ElementsAre(R"(say "hi")"));
  EXPECT_THAT(SplitCommaText(R"("")"), ElementsAre(""));
  // An unclosed quote runs to the end of the text.
  EXPECT_THAT(SplitCommaText(R"("/open, end)"), ElementsAre("/open, end"));
  // Text right after a closing quote starts the next item.
  EXPECT_THAT(SplitCommaText(R"("ab"cd)"), ElementsAre("ab", "cd"));
}

TEST(SplitCommaText, MultiByteCharactersAreNeverSeparators) {
  // UTF-8 bytes are all >= 0x80; a path with Japanese names stays whole.
  EXPECT_THAT(SplitCommaText("/データ/写真,.文書"), ElementsAre("/データ/写真", ".文書"));
  // Bytes that are not valid UTF-8 pass through as they are.
  EXPECT_THAT(SplitCommaText("\x83\x5C\xff,\x80"), ElementsAre("\x83\x5C\xff", "\x80"));
}

TEST(SplitCommaText, TextEndsAtNul) {
  EXPECT_THAT(SplitCommaText(std::string_view("a,b\0c,d", 7)), ElementsAre("a", "b"));
  EXPECT_THAT(SplitCommaText(std::string_view("a \0", 3)), ElementsAre("a"));
}

// The quoted path list of `items`, appended one by one.
std::string Quoted(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) AppendQuoted(out, item);
  return out;
}

TEST(AppendQuoted, FormsTheQuotedPathList) {
  EXPECT_EQ(Quoted({}), "");
  EXPECT_EQ(Quoted({"/a", "/b c"}), R"("/a","/b c")");
  EXPECT_EQ(Quoted({"/x\"y"}), R"("/x""y")");
  EXPECT_EQ(Quoted({"", ""}), R"("","")");
  EXPECT_EQ(Quoted({"/a", "", "/b"}), R"("/a","","/b")");
}

TEST(AppendQuoted, AwkwardPathsRoundTripThroughSplitting) {
  const std::vector<std::vector<std::string>> cases = {
      {""},
      {"", ""},
      {"/with blank ", " /leading blank"},
      {"/comma,name", "/quote\"name", "/\"\"", "\""},
      {"/line\nbreak", "/tab\there", "/cr\r"},
      {"/bad\xff\xfe utf8", "/\x83\x5C", "/データ/写真"},
      {",", ",,", "\"", "\",\""},
  };
  for (const auto& items : cases) {
    EXPECT_EQ(SplitCommaText(Quoted(items)), items) << Quoted(items);
  }
}

}  // namespace
}  // namespace quillfen
