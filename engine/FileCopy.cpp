#include "engine/FileCopy.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

#include <memory>
#include <string>

namespace quillfen {
namespace {

// A file descriptor closed on every way out unless released first.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// The result of one step: 0 on success, else the errno value that stopped it.
using Err = int;

// Writes all of buf[0, size) to `fd`, riding over short writes and signals.
Err WriteAll(int fd, const char* buf, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, buf, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    buf += n;
    size -= static_cast<size_t>(n);
  }
  return 0;
}

// Copies from the current offset of `in` to its end with plain reads and writes.
Err CopyByReadWrite(int in, int out) {
  constexpr size_t kBufferSize = size_t{1} << 20;
  std::unique_ptr<char[]> buf(new char[kBufferSize]);
  for (;;) {
    ssize_t n = read(in, buf.get(), kBufferSize);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return 0;
    if (Err err = WriteAll(out, buf.get(), static_cast<size_t>(n))) return err;
  }
}

// Whether copy_file_range's failure means "not here", so plain copying may
// take over from the current offsets.
bool KernelCopyUnsupported(int err) {
  return err == EXDEV || err == EINVAL || err == ENOSYS || err == EOPNOTSUPP;
}

// Copies the whole content of `in` (at offset 0) into the empty file `out`:
// a reflink clone when the file system shares extents, else the kernel's
// in-place copy, else reads and writes.
Err CopyContent(int in, int out) {
  if (ioctl(out, FICLONE, in) == 0) return 0;

  constexpr size_t kChunk = size_t{1} << 30;
  bool copiedAny = false;
  for (;;) {
    ssize_t n = copy_file_range(in, nullptr, out, nullptr, kChunk, 0);
    if (n > 0) {
      copiedAny = true;
      continue;
    }
    if (n == 0) {
      // End of file. A file that claims to be empty may still have content the
      // kernel copy cannot see (generated files): read it to be sure.
      return copiedAny ? 0 : CopyByReadWrite(in, out);
    }
    if (errno == EINTR) continue;
    if (!KernelCopyUnsupported(errno)) return errno;
    // The offsets of both files stand where the kernel copy stopped.
    return CopyByReadWrite(in, out);
  }
}

// The folder part of `path`, for creating a file beside it.
std::string FolderOf(std::string_view path) {
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

Status CopyError(std::string_view source, std::string_view target, std::string reason) {
  std::string message;
  message.append(source).append(" -> ").append(target).append(": ").append(reason);
  return Status::Error(std::move(message), std::move(reason));
}

Status CopyError(std::string_view source, std::string_view target, int err) {
  return CopyError(source, target, ErrnoText(err));
}

}  // namespace

Status CopyFile(std::string_view source, std::string_view target) {
  // Opened without blocking so that a FIFO at the source cannot hang the run;
  // only a regular file (or a link to one) is copied.
  Fd in(open(std::string(source).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (in.get() < 0) return CopyError(source, target, errno);
  struct stat st;
  if (fstat(in.get(), &st) != 0) return CopyError(source, target, errno);
  if (S_ISDIR(st.st_mode)) return CopyError(source, target, EISDIR);
  if (!S_ISREG(st.st_mode)) return CopyError(source, target, "not a regular file");
  int flags = fcntl(in.get(), F_GETFL);
  if (flags >= 0) fcntl(in.get(), F_SETFL, flags & ~O_NONBLOCK);

  // Short fixed name: the target's own name may already use the whole length
  // a name can have.
  std::string temp = FolderOf(target) + "/.quillfen-XXXXXX";
  Fd out(mkostemp(temp.data(), O_CLOEXEC));
  if (out.get() < 0) return CopyError(source, target, errno);

  Err err = CopyContent(in.get(), out.get());
  if (err == 0 && fchmod(out.get(), st.st_mode & 07777) != 0) err = errno;
  if (err == 0) {
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (futimens(out.get(), times) != 0) err = errno;
  }
  // close() is where some file systems report a failed write.
  if (close(out.release()) != 0 && err == 0) err = errno;
  if (err == 0 && rename(temp.c_str(), std::string(target).c_str()) != 0) err = errno;
  if (err != 0) {
    unlink(temp.c_str());
    return CopyError(source, target, err);
  }
  return Status::Ok();
}

Status SyncFileSystem(std::string_view path) {
  std::string p(path);
  Fd fd(open(p.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (fd.get() < 0) return PathError(path, errno);
  if (syncfs(fd.get()) != 0) return PathError(path, errno);
  return Status::Ok();
}

}  // namespace quillfen
