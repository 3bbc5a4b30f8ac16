#include "engine/Status.h"

#include <cstring>

namespace quillfen {

std::string ErrnoText(int err) {
  char buf[256];
  // GNU strerror_r returns the text, which may or may not be in buf.
  return std::string(strerror_r(err, buf, sizeof buf));
}

Status PathError(std::string_view path, int err) {
  std::string reason = ErrnoText(err);
  return Status::Error(std::string(path) + ": " + reason, reason);
}

}  // namespace quillfen
