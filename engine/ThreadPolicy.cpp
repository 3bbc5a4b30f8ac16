#include "engine/ThreadPolicy.h"

#include <algorithm>
#include <cstdlib>

namespace quillfen {

ThreadPolicy ThreadPolicy::ForRun() {
  ThreadPolicy policy;
  if (std::getenv("QUILLFEN_LOOKAHEAD") != nullptr) {
    policy.cacheThreads = ThreadsSetting("QUILLFEN_LOOKAHEAD", kCacheThreads);
    policy.diskThreads = policy.cacheThreads;
  }
  policy.copyThreads = ThreadsSetting("QUILLFEN_COPIES", kCopyThreads);
  policy.distantCopyThreads = ThreadsSetting("QUILLFEN_COPIES", kDistantCopyThreads);
  policy.diskThreads = std::max(policy.diskThreads, policy.cacheThreads);
  return policy;
}

int ThreadsSetting(const char* variable, int otherwise) {
  if (const char* text = std::getenv(variable)) {
    char* end = nullptr;
    const long n = std::strtol(text, &end, 10);
    if (end != text && *end == '\0' && n >= 0) return static_cast<int>(std::min(n, 16L));
  }
  return otherwise;
}

}  // namespace quillfen
