#include "engine/DiskReads.h"

#include <sys/resource.h>

namespace quillfen {

uint64_t ThreadDiskReads() {
  struct rusage usage;
  if (getrusage(RUSAGE_THREAD, &usage) != 0) return 0;
  return static_cast<uint64_t>(usage.ru_inblock);
}

}  // namespace quillfen
