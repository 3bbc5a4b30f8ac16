#include "engine/CommaText.h"

namespace quillfen {
namespace {

// Blanks and control characters, which separate items. Bytes of multi-byte
// UTF-8 characters (0x80 and up) are never among them.
bool IsSkippable(unsigned char c) {
  return c >= 1 && c <= 32;
}

}  // namespace

std::vector<std::string> SplitCommaText(std::string_view text) {
  // The text ends at a NUL, as a C string would; no path or setting holds one.
  if (size_t nul = text.find('\0'); nul != std::string_view::npos) text = text.substr(0, nul);

  std::vector<std::string> items;
  const size_t n = text.size();
  size_t p = 0;
  auto skip = [&] {
    while (p < n && IsSkippable(static_cast<unsigned char>(text[p]))) ++p;
  };

  skip();
  while (p < n) {
    std::string item;
    if (text[p] == '"') {
      ++p;
      while (p < n) {
        if (text[p] == '"') {
          if (p + 1 < n && text[p + 1] == '"') {
            item += '"';
            p += 2;
            continue;
          }
          ++p;  // the closing quote
          break;
        }
        item += text[p++];
      }
    } else {
      const size_t start = p;
      while (p<n&& static_cast<unsigned char>(text[p])> 32 && text[p] != ',') ++p;
      item.assign(text.substr(start, p - start));
    }
    items.push_back(std::move(item));
    skip();
    if (p < n && text[p] == ',') {
      if (p + 1 == n) items.emplace_back();
      ++p;
      skip();
    }
  }
  return items;
}

void AppendQuoted(std::string& out, std::string_view item) {
  if (!out.empty()) out += ',';
  out += '"';
  for (char c : item) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

}  // namespace quillfen
