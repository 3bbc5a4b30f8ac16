#include "engine/DiskReads.h"

#include <sys/resource.h>

#include <algorithm>
#include <atomic>

namespace quillfen {
namespace {

std::atomic<bool> assumeFromDisk{false};

}  // namespace

uint64_t ThreadDiskReads() {
  struct rusage usage;
  if (getrusage(RUSAGE_THREAD, &usage) != 0) return 0;
  return static_cast<uint64_t>(usage.ru_inblock);
}

DiskReadWatch::DiskReadWatch() : reads_(ThreadDiskReads()) {}

bool DiskReadWatch::Done() {
  if (inARow_ < kBatchesInARow && ++folders_ == kBatch) {
    folders_ = 0;
    const uint64_t now = ThreadDiskReads();
    const bool read = now != reads_ || assumeFromDisk.load(std::memory_order_relaxed);
    inARow_ = read ? inARow_ + 1 : 0;
    reads_ = now;
  }
  return inARow_ >= kBatchesInARow;
}

void DiskReadWatch::AssumeFromDisk(bool assume) {
  assumeFromDisk.store(assume, std::memory_order_relaxed);
}

}  // namespace quillfen
