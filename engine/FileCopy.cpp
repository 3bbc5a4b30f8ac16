#include "engine/FileCopy.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

#include <atomic>
#include <chrono>
#include <cstdio>
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
  void reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
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

// An open source file: a regular file (or a link to one), with its status.
struct Source {
  Fd fd;
  struct stat st;
};

// Opens the source without blocking, so that a FIFO cannot hang the run, and
// accepts only a regular file (or a link to one). O_NONBLOCK has no effect on
// the reads of a regular file, so it stays set.
Status OpenSource(int folder, const char* name, Source& in, std::string_view source,
                  std::string_view target) {
  in.fd.reset(openat(folder, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (in.fd.get() < 0) return CopyError(source, target, errno);
  if (fstat(in.fd.get(), &in.st) != 0) return CopyError(source, target, errno);
  if (S_ISDIR(in.st.st_mode)) return CopyError(source, target, EISDIR);
  if (!S_ISREG(in.st.st_mode)) return CopyError(source, target, "not a regular file");
  return Status::Ok();
}

// Content, permission bits and times of the source onto the new file `out`.
Err FillCopy(const Source& in, int out) {
  Err err = CopyContent(in.fd.get(), out);
  if (err == 0 && fchmod(out, in.st.st_mode & 07777) != 0) err = errno;
  if (err == 0) {
    const struct timespec times[2] = {in.st.st_atim, in.st.st_mtim};
    if (futimens(out, times) != 0) err = errno;
  }
  return err;
}

// The copy through a named temporary file beside the target, renamed over it,
// for file systems that cannot make unnamed files. Reads the source from its
// beginning.
Status CopyThroughNamedFile(const Source& in, std::string_view source, std::string_view target) {
  if (lseek(in.fd.get(), 0, SEEK_SET) != 0) return CopyError(source, target, errno);
  // Short fixed name: the target's own name may already use the whole length
  // a name can have.
  std::string temp = FolderOf(target) + "/.quillfen-XXXXXX";
  Fd out(mkostemp(temp.data(), O_CLOEXEC));
  if (out.get() < 0) return CopyError(source, target, errno);

  Err err = FillCopy(in, out.get());
  // close() is where some file systems report a failed write.
  if (close(out.release()) != 0 && err == 0) err = errno;
  if (err == 0 && rename(temp.c_str(), std::string(target).c_str()) != 0) err = errno;
  if (err != 0) {
    unlink(temp.c_str());
    return CopyError(source, target, err);
  }
  return Status::Ok();
}

// Naming an unnamed file: kNoName when it cannot be done here at all.
constexpr Err kNoName = -2;

// Whether an unnamed file can be linked by its descriptor alone (that needs a
// privilege); once it has failed, the descriptor's /proc name is used.
std::atomic<bool> linkByDescriptor{true};

// Gives the unnamed file `fd` the name `name` in `folder`; EEXIST when a
// directory entry of that name is there.
Err LinkUnnamed(int fd, int folder, const char* name) {
  const bool byDescriptor = linkByDescriptor.load(std::memory_order_relaxed);
  if (byDescriptor) {
    if (linkat(fd, "", folder, name, AT_EMPTY_PATH) == 0) return 0;
    if (errno != ENOENT) return errno;
  }
  char procName[40];
  std::snprintf(procName, sizeof procName, "/proc/self/fd/%d", fd);
  if (linkat(AT_FDCWD, procName, folder, name, AT_SYMLINK_FOLLOW) == 0) {
    if (byDescriptor) linkByDescriptor.store(false, std::memory_order_relaxed);
    return 0;
  }
  // ENOENT both ways: no privilege and no /proc, or the folder is gone; the
  // named way tells which.
  return errno == ENOENT ? kNoName : errno;
}

// A fresh name for a temporary directory entry.
std::string TemporaryName() {
  static std::atomic<unsigned long> counter{0};
  static const unsigned long seed =
      static_cast<unsigned long>(getpid()) * 2654435761UL ^
      static_cast<unsigned long>(std::chrono::steady_clock::now().time_since_epoch().count());
  const unsigned long n = (seed + counter.fetch_add(1) * 0x9E3779B97F4A7C15UL) & 0xFFFFFFFFFFUL;
  char name[32];
  std::snprintf(name, sizeof name, ".quillfen-%010lx", n);
  return name;
}

// Names the finished unnamed file `fd` as `name` in `folder`, replacing what
// is there: a new name is linked directly; over an existing entry the file is
// linked under a temporary name and renamed over it. With `closer`, the
// replaced file is held open across the rename and its last close (which
// frees its blocks) left to the closer.
Err NameCopy(int fd, int folder, const char* name, DeferredCloser* closer) {
  Err err = LinkUnnamed(fd, folder, name);
  if (err != EEXIST) return err;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string temp = TemporaryName();
    err = LinkUnnamed(fd, folder, temp.c_str());
    if (err == EEXIST) continue;
    if (err != 0) return err;
    Fd replaced(closer != nullptr ? openat(folder, name, O_PATH | O_NOFOLLOW | O_CLOEXEC) : -1);
    if (renameat(folder, temp.c_str(), folder, name) == 0) {
      if (closer != nullptr) closer->Close(replaced.release());
      return 0;
    }
    err = errno;
    unlinkat(folder, temp.c_str(), 0);
    return err;
  }
  return EEXIST;
}

// The copy of the open source onto `targetName` in `targetFolder`. It is
// written as an unnamed file and gets its name only when it is complete: a
// copy stopped at any moment leaves the old target and no temporary file.
Status CopyOpenSource(const Source& in, int targetFolder, const char* targetName,
                      std::string_view source, std::string_view target, DeferredCloser* closer) {
  Fd out(openat(targetFolder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
  if (out.get() < 0) {
    if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) {
      return CopyThroughNamedFile(in, source, target);
    }
    return CopyError(source, target, errno);
  }
  Err err = FillCopy(in, out.get());
  if (err == 0) err = NameCopy(out.get(), targetFolder, targetName, closer);
  if (err == kNoName) return CopyThroughNamedFile(in, source, target);
  if (err != 0) return CopyError(source, target, err);
  return Status::Ok();
}

// Whether a copy that failed with `err` may succeed once the space of files
// replaced before it is given back.
bool OutOfSpace(const Status& status) {
  return status.detail() == ErrnoText(ENOSPC) || status.detail() == ErrnoText(EDQUOT);
}

}  // namespace

Status CopyFileAt(int sourceFolder, const char* sourceName, int targetFolder,
                  const char* targetName, std::string_view source, std::string_view target,
                  DeferredCloser* closer) {
  Source in;
  Status opened = OpenSource(sourceFolder, sourceName, in, source, target);
  if (!opened.ok()) return opened;
  Status copied = CopyOpenSource(in, targetFolder, targetName, source, target, closer);
  // Out of space while replaced files still wait to be closed: once they are,
  // the copy gets the room it would have had without the waiting.
  if (!copied.ok() && closer != nullptr && OutOfSpace(copied) && closer->Wait()) {
    if (lseek(in.fd.get(), 0, SEEK_SET) != 0) return CopyError(source, target, errno);
    copied = CopyOpenSource(in, targetFolder, targetName, source, target, closer);
  }
  return copied;
}

Status CopyFile(std::string_view source, std::string_view target) {
  // The source is opened first, so that its failure is the one reported.
  Source in;
  Status opened = OpenSource(AT_FDCWD, std::string(source).c_str(), in, source, target);
  if (!opened.ok()) return opened;
  const size_t slash = target.rfind('/');
  const std::string name(slash == std::string_view::npos ? target : target.substr(slash + 1));
  Fd folder(open(FolderOf(target).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() < 0) return CopyError(source, target, errno);
  if (name.empty()) return CopyError(source, target, EISDIR);
  return CopyOpenSource(in, folder.get(), name.c_str(), source, target, nullptr);
}

Status SyncFileSystem(std::string_view path) {
  std::string p(path);
  Fd fd(open(p.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (fd.get() < 0) return PathError(path, errno);
  if (syncfs(fd.get()) != 0) return PathError(path, errno);
  return Status::Ok();
}

}  // namespace quillfen
