#include "engine/DiskReads.h"

#include <sys/resource.h>

#include <algorithm>
#include <cstdlib>

namespace quillfen {

uint64_t ThreadDiskReads() {
  struct rusage usage;
  if (getrusage(RUSAGE_THREAD, &usage) != 0) return 0;
  return static_cast<uint64_t>(usage.ru_inblock);
}

DiskReadCounter::DiskReadCounter() : reads_(ThreadDiskReads()) {}

int DiskReadCounter::Done() {
  if (++pieces_ < kBatch) return 0;
  return Flush();
}

int DiskReadCounter::Flush() {
  if (pieces_ == 0) return 0;
  const uint64_t now = ThreadDiskReads();
  const uint64_t blocks = (now - reads_ + 7) / 8;
  reads_ = now;
  const int pieces = pieces_;
  pieces_ = 0;
  return static_cast<int>(std::min<uint64_t>(blocks, static_cast<uint64_t>(pieces)));
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
