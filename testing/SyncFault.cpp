#include "testing/SyncFault.h"

#include <dlfcn.h>

#include <atomic>
#include <cerrno>

namespace {

std::atomic<int> failuresLeft{0};
std::atomic<int> failureErrno{0};
std::atomic<int> calls{0};

}  // namespace

namespace quillfen::testing {

void FailNextSyncs(int err, int count) {
  failureErrno = err;
  failuresLeft = count;
}

int SyncCalls() {
  return calls.load();
}

}  // namespace quillfen::testing

// Stands in for the C library's syncfs() in the binary it is linked into.
extern "C" int syncfs(int fd) {
  ++calls;
  int left = failuresLeft.load();
  while (left > 0) {
    if (failuresLeft.compare_exchange_weak(left, left - 1)) {
      errno = failureErrno.load();
      return -1;
    }
  }
  using Syncfs = int (*)(int);
  static const Syncfs real = reinterpret_cast<Syncfs>(dlsym(RTLD_NEXT, "syncfs"));
  if (real == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  return real(fd);
}
