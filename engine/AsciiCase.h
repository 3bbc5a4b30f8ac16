// Letter case as the program treats it wherever names are matched or ordered
// without regard to case: only the ASCII letters A-Z and a-z fold onto each
// other. Every other byte stays as it is, so a UTF-8 name is never changed in
// its multi-byte characters and two names that differ there never match.
#pragma once

#include <string>
#include <string_view>

namespace quillfen {

// `c` with A-Z lowered to a-z; every other byte unchanged.
constexpr char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// `text` with A-Z lowered to a-z; every other byte unchanged.
inline std::string LowerAscii(std::string_view text) {
  std::string lowered(text);
  for (char& c : lowered) c = LowerAscii(c);
  return lowered;
}

// Whether `a` and `b` are the same bytes but for the case of ASCII letters.
constexpr bool SameIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

}  // namespace quillfen
