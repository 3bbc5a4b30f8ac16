#include "engine/PathOrder.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "engine/AsciiCase.h"

namespace quillfen {

bool FolderPathLess(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  // Paths of one tree share long beginnings, and equal bytes are equal
  // folded: the common part is passed over eight bytes at a time, and letters
  // are folded only from the first difference on.
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t x, y;
    std::memcpy(&x, a.data() + i, 8);
    std::memcpy(&y, b.data() + i, 8);
    if (x != y) break;
  }
  for (; i < n; ++i) {
    const auto x = static_cast<unsigned char>(LowerAscii(a[i]));
    const auto y = static_cast<unsigned char>(LowerAscii(b[i]));
    if (x != y) return x < y;
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;  // equal ignoring case: the exact bytes decide
}

}  // namespace quillfen
