// Fuzzes the comma-delimited splitting: any text splits without a crash, and a
// list of items appended to a quoted path list splits back into the same items.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "engine/CommaText.h"

namespace {

// Stops the run with the failed condition named, so that libFuzzer keeps the input.
#define Check(condition)                                                                 \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (false)

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  // Arbitrary text: splitting must terminate and never invent bytes.
  const std::vector<std::string> items = quillfen::SplitCommaText(text);
  size_t total = 0;
  for (const std::string& item : items) total += item.size();
  Check(total <= size);

  // The input cut at NUL bytes is a list of names; joining and splitting
  // again must give exactly those names back, quotes and blanks included.
  std::vector<std::string> names;
  size_t start = 0;
  while (start <= size) {
    size_t end = text.find('\0', start);
    if (end == std::string_view::npos) end = size;
    names.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  std::string joined;
  for (const std::string& name : names) quillfen::AppendQuoted(joined, name);
  Check(quillfen::SplitCommaText(joined) == names);
  return 0;
}
