#include "engine/Encoding.h"

#include <errno.h>
#include <iconv.h>

namespace quillfen {
namespace {

// One iconv conversion descriptor, opened once per thread and reused; its
// shift state is reset before every conversion.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (cd_ != reinterpret_cast<iconv_t>(-1)) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  // The converted text, or nullopt on any invalid, incomplete or
  // unrepresentable input (also when the encoding is not available).
  std::optional<std::string> Convert(std::string_view in) {
    if (cd_ == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    std::string out(in.size() * 2 + 16, '\0');
    char* src = const_cast<char*>(in.data());
    size_t src_left = in.size();
    size_t used = 0;
    for (;;) {
      char* dst = out.data() + used;
      size_t dst_left = out.size() - used;
      const size_t r = iconv(cd_, src_left ? &src : nullptr, &src_left, &dst, &dst_left);
      used = out.size() - dst_left;
      if (r == static_cast<size_t>(-1)) {
        if (errno != E2BIG) return std::nullopt;
        out.resize(out.size() * 2);
        continue;
      }
      // A positive count means characters were replaced by look-alikes.
      if (r != 0) return std::nullopt;
      if (src_left == 0) break;
    }
    out.resize(used);
    return out;
  }

 private:
  iconv_t cd_;
};

// Length of the UTF-8 sequence that `lead` opens (0 when it opens none) and
// the allowed range of its second byte.
int SequenceLength(unsigned char lead, unsigned char& lo, unsigned char& hi) {
  lo = 0x80;
  hi = 0xBF;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) {
    if (lead == 0xE0) lo = 0xA0;  // no overlong forms
    if (lead == 0xED) hi = 0x9F;  // no surrogates
    return 3;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    if (lead == 0xF0) lo = 0x90;  // no overlong forms
    if (lead == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    return 4;
  }
  return 0;
}

}  // namespace

bool IsValidUtf8(std::string_view bytes) {
  const size_t n = bytes.size();
  size_t i = 0;
  while (i < n) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    unsigned char lo, hi;
    const int len = SequenceLength(lead, lo, hi);
    if (len == 0 || n - i < static_cast<size_t>(len)) return false;
    const auto second = static_cast<unsigned char>(bytes[i + 1]);
    if (second < lo || second > hi) return false;
    for (int k = 2; k < len; ++k) {
      const auto c = static_cast<unsigned char>(bytes[i + k]);
      if (c < 0x80 || c > 0xBF) return false;
    }
    i += len;
  }
  return true;
}

std::optional<std::string> Cp932ToUtf8(std::string_view bytes) {
  thread_local Converter converter("UTF-8", "CP932");
  return converter.Convert(bytes);
}

std::optional<std::string> Utf8ToCp932(std::string_view text) {
  if (!IsValidUtf8(text)) return std::nullopt;
  thread_local Converter converter("CP932", "UTF-8");
  return converter.Convert(text);
}

}  // namespace quillfen
