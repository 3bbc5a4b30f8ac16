#include "engine/Status.h"

#include <cerrno>
#include <cstring>

namespace quillfen {

std::string ErrnoText(int err) {
  char buf[256];
  // GNU strerror_r returns the text, which may or may not be in buf.
  return std::string(strerror_r(err, buf, sizeof buf));
}

Status::Code CodeOfErrno(int err) {
  switch (err) {
    case 0:
      return Status::Code::kOk;
    case ENOENT:
      return Status::Code::kNotFound;
    case EEXIST:
    case ENOTEMPTY:
      return Status::Code::kExists;
    case EACCES:
    case EPERM:
    case EROFS:
      return Status::Code::kPermission;
    case ENOSPC:
    case EDQUOT:
      return Status::Code::kNoSpace;
    case ENOTDIR:
      return Status::Code::kNotAFolder;
    case EISDIR:
      return Status::Code::kIsAFolder;
    case ELOOP:
      return Status::Code::kLink;
    case EOPNOTSUPP:
    case ENOSYS:
    case EXDEV:
      return Status::Code::kUnsupported;
    case EINVAL:
    case ENAMETOOLONG:
      return Status::Code::kInvalid;
    case EAGAIN:
    case ENOTCONN:
    case ETIMEDOUT:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case ENETDOWN:
    case ENETUNREACH:
    case ECONNRESET:
    case ECONNABORTED:
    case ECONNREFUSED:
    case ESTALE:
      return Status::Code::kUnreachable;
    default:
      return Status::Code::kIo;
  }
}

Status PathError(std::string_view path, int err) {
  return PathError(path, CodeOfErrno(err), ErrnoText(err));
}

Status PathError(std::string_view path, Status::Code code, std::string_view reason) {
  std::string message(path);
  message.append(": ").append(reason);
  return Status::Error(code, std::move(message), std::string(reason));
}

}  // namespace quillfen
