#include "engine/FileCopy.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <thread>

#include "engine/FiCheck.h"
#include "engine/FileSystemKinds.h"
#include "engine/NamingTimes.h"
#include "engine/OpenFile.h"
#include "engine/Path.h"
#include "engine/TemporaryFiles.h"
#include "engine/UniqueFd.h"

namespace quillfen {
namespace {

// The result of one step: 0 on success, else the errno value that stopped it.
using Err = int;

// Writes all of buf[0, size) to `fd` at `offset`, riding over short writes
// and signals.
Err WriteAllAt(int fd, const char* buf, size_t size, off_t offset) {
  while (size > 0) {
    const ssize_t n = pwrite(fd, buf, size, offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    buf += n;
    size -= static_cast<size_t>(n);
    offset += n;
  }
  return 0;
}

constexpr size_t kBufferSize = size_t{1} << 20;

// Copies [offset, offset + length) of `in` to the same place in `out` with
// plain reads and writes, stopping early at the end of `in`; a negative
// `length` copies to the end, whatever size the file claims.
Err CopyByReadWrite(int in, int out, off_t offset, off_t length) {
  std::unique_ptr<char[]> buf(new char[kBufferSize]);
  while (length != 0) {
    const size_t want = length > 0 && length < static_cast<off_t>(kBufferSize)
                            ? static_cast<size_t>(length)
                            : kBufferSize;
    const ssize_t n = pread(in, buf.get(), want, offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return 0;
    if (Err err = WriteAllAt(out, buf.get(), static_cast<size_t>(n), offset)) return err;
    offset += n;
    if (length > 0) length -= n;
  }
  return 0;
}

// Whether copy_file_range's failure means "not here", so plain copying may
// take over from where it stopped.
bool KernelCopyUnsupported(int err) {
  return err == EXDEV || err == EINVAL || err == ENOSYS || err == EOPNOTSUPP;
}

// Copies [offset, offset + length) of `in` to the same place in `out` with the
// kernel's copy where it can, else with reads and writes. Sets `copied` when
// anything was copied.
Err CopyRange(int in, int out, off_t offset, off_t length, bool& copied) {
  loff_t inOffset = offset;
  loff_t outOffset = offset;
  while (length > 0) {
    constexpr off_t kChunk = off_t{1} << 30;
    const ssize_t n = copy_file_range(in, &inOffset, out, &outOffset,
                                      static_cast<size_t>(length < kChunk ? length : kChunk), 0);
    if (n > 0) {
      copied = true;
      length -= n;
      continue;
    }
    if (n == 0) return 0;  // the source ended early
    if (errno == EINTR) continue;
    if (!KernelCopyUnsupported(errno)) return errno;
    copied = true;
    return CopyByReadWrite(in, out, inOffset, length);
  }
  return 0;
}

// Copies the data of a sparse `in` of `size` bytes into the empty `out`
// stretch by stretch, so that its holes stay holes.
Err CopySparse(int in, int out, off_t size) {
  off_t position = 0;
  while (position < size) {
    const off_t data = lseek(in, position, SEEK_DATA);
    if (data < 0) {
      if (errno == ENXIO) break;  // only a hole is left
      return errno;
    }
    const off_t hole = lseek(in, data, SEEK_HOLE);
    if (hole < 0) return errno;
    bool copied = false;
    if (Err err = CopyRange(in, out, data, hole - data, copied)) return err;
    position = hole;
  }
  return ftruncate(out, size) == 0 ? 0 : errno;
}

// Copies the whole content of `in` (described by `st`) into the empty file
// `out`: a reflink clone when the file system shares extents, else stretch by
// stretch for a file with holes, else the kernel's in-place copy, else reads
// and writes.
Err CopyContent(int in, int out, const struct stat& st) {
  // A file system that cannot clone says so at the first try; it is not asked
  // again for every file.
  thread_local dev_t noClones = 0;
  thread_local bool noClonesKnown = false;
  if (!noClonesKnown || noClones != st.st_dev) {
    if (ioctl(out, FICLONE, in) == 0) return 0;
    if (errno == EOPNOTSUPP || errno == ENOTTY || errno == EINVAL || errno == EXDEV) {
      noClones = st.st_dev;
      noClonesKnown = true;
    }
  }
  // Fewer blocks than the size needs: the file has holes.
  if (st.st_size > 0 && st.st_blocks * 512 < st.st_size) {
    const Err err = CopySparse(in, out, st.st_size);
    // A file system without SEEK_DATA reports EINVAL before anything is written.
    if (err != EINVAL) return err;
  }
  bool copied = false;
  if (Err err = CopyRange(in, out, 0, st.st_size, copied)) return err;
  // A file that claims to be empty may still have content the kernel copy
  // cannot see (generated files): read it to be sure.
  return copied ? 0 : CopyByReadWrite(in, out, 0, -1);
}

Status CopyError(std::string_view source, std::string_view target, int err) {
  return CopyError(source, target, CodeOfErrno(err), ErrnoText(err));
}

// Tells whether an open file was written to since the watch began or was
// last asked: every write, truncation or copy into a file is reported,
// however its times are stamped (within one tick of the coarse clock the
// kernel may leave them as they were). Needs /proc and inotify; where either
// is missing, Start fails and the times are all there is to go by.
class WriteWatch {
 public:
  WriteWatch() = default;
  ~WriteWatch() {
    if (watch_ >= 0) inotify_rm_watch(Instance(), watch_);
  }
  WriteWatch(const WriteWatch&) = delete;
  WriteWatch& operator=(const WriteWatch&) = delete;

  bool Start(int fd) {
    const int instance = Instance();
    if (instance < 0) return false;
    char procName[40];
    std::snprintf(procName, sizeof procName, "/proc/self/fd/%d", fd);
    watch_ = inotify_add_watch(instance, procName, IN_MODIFY);
    return watch_ >= 0;
  }

  // Whether a write was reported since Start or the last call.
  bool Written() {
    bool written = false;
    alignas(struct inotify_event) char buffer[4096];
    for (;;) {
      const ssize_t n = read(Instance(), buffer, sizeof buffer);
      if (n <= 0) break;
      for (ssize_t pos = 0; pos < n;) {
        const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + pos);
        // Other watches' events are earlier copies' leftovers.
        if (event->wd == watch_ && (event->mask & IN_MODIFY) != 0) written = true;
        pos += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
      }
    }
    return written;
  }

 private:
  // One instance per thread, made at the first copy and closed when the
  // thread ends (copy threads come and go with each backup set).
  static int Instance() {
    thread_local const UniqueFd instance(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    return instance.get();
  }

  int watch_ = -1;
};

// Sources from this size on are watched for writes while they are copied.
constexpr off_t kWatchedSize = off_t{256} << 10;

// An open source file: a regular file (or a link to one), with its status
// when it was opened.
struct Source {
  UniqueFd fd;
  struct stat st;
  WriteWatch watch;
  bool watched = false;
  // Whether a change after `st` was taken must show (see Settle).
  bool settled = false;
  // Whether the copy's file system is flushed file by file (FlushesPerFile),
  // when the caller knows it: 1 or 0; -1 when it is to be asked.
  int flushesPerFile = -1;
};

bool PerFile(const Source& in, int fd) {
  return in.flushesPerFile >= 0 ? in.flushesPerFile != 0 : FlushesPerFile(fd);
}

// Whether a change made to the file of `st` from now on shows in its times.
bool ChangesShowFromNow(const struct stat& st) {
  struct timespec now;
  return clock_gettime(CLOCK_REALTIME_COARSE, &now) == 0 && ChangesShowAfter(st.st_ctim, now);
}

// Makes the status taken of the source the one a copy is checked against:
// it waits a moment (at most a few ticks, or two seconds on a file system of
// whole seconds) for a change made just now to be followed by a tick, taking
// the status again, so that a later change shows in the times too.
Err Settle(Source& in) {
  const int rounds = in.st.st_ctim.tv_nsec == 0 ? 2100 : 20;
  for (int round = 0;; ++round) {
    in.settled = ChangesShowFromNow(in.st);
    if (in.settled || round == rounds) return 0;
    const struct timespec pause = {0, 1'000'000};
    nanosleep(&pause, nullptr);
    if (in.watched) in.watch.Written();  // what came before the new status is in it
    if (fstat(in.fd.get(), &in.st) != 0) return errno;
  }
}

// Opens the source: a regular file (or a link to one); anything else is
// looked at, never opened (see OpenRegularFileAt).
Status OpenSource(int folder, const char* name, Source& in, std::string_view source,
                  std::string_view target) {
  in.fd.reset(OpenRegularFileAt(folder, name, in.st));
  if (!in.fd.valid()) {
    if (errno == EINVAL) {
      return CopyError(source, target, Status::Code::kInvalid, "not a regular file");
    }
    return CopyError(source, target, errno);
  }
  // A small file is copied in a moment; a write spanning that moment shows in
  // its times once they have settled. A larger one is watched while it is read.
  in.watched = in.st.st_size >= kWatchedSize && in.watch.Start(in.fd.get());
  if (Err err = Settle(in)) return CopyError(source, target, err);
  return Status::Ok();
}

// The copy does not hold a last-write time of the same file age as the
// source's, or does not show it once named.
constexpr Err kTimeNotKept = -4;

// Whether a copy showing the last-write time `held` has the file age (see
// FiCheck.h) of a source of the time `source`: the copy decision then takes
// it for up to date, however coarsely its file system keeps time.
bool SameFileAge(const struct timespec& held, const struct timespec& source) {
  return held.tv_sec == source.tv_sec || PackFileAge(held.tv_sec) == PackFileAge(source.tv_sec);
}

// Whether a copy showing `held` is not older, by file age, than a source of
// the time `source`. A share that keeps its own times (WebDAV: the time of
// the upload) shows a later one whatever it is told: such a copy is taken,
// and the next run copies the file again only when its source has changed
// since, as for any copy that is newer than its source.
bool NotEarlier(const struct timespec& held, const struct timespec& source) {
  return held.tv_sec >= source.tv_sec || PackFileAge(held.tv_sec) >= PackFileAge(source.tv_sec);
}

// The local time `year`-`month`-`day` `hour`:`minute`:`second` as a POSIX time.
struct timespec LocalMoment(int year, int month, int day, int hour, int minute, int second) {
  struct tm local = {};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  local.tm_isdst = -1;
  return {mktime(&local), 0};
}

// Owner and permission bits of the source onto the new file `out`, as far as
// the file system holds them (see SetPermissionBits); nothing is asked where
// it has them already.
Err SetOwnerAndBits(const struct stat& source, int out) {
  const mode_t bits = AdoptOwner(source, out);
  struct stat made;
  if (fstat(out, &made) != 0 || (made.st_mode & 07777) != bits) {
    if (Err err = SetPermissionBits(out, bits)) return err;
  }
  return 0;
}

// The source's times onto the new file `out`. The last-write time must be
// held, as finely as the file system keeps it; one outside the range of file
// ages (FAT holds 1980 to 2107 only) is set to the end of the range it
// passed, which has the same file age. `held` is the time the copy then
// shows.
Err SetTimes(const struct stat& source, int out, struct timespec& held) {
  struct timespec times[2] = {source.st_atim, source.st_mtim};
  for (int attempt = 0;; ++attempt) {
    if (futimens(out, times) != 0) return errno;
    struct stat st;
    if (fstat(out, &st) != 0) return errno;
    held = st.st_mtim;
    if (SameFileAge(held, source.st_mtim)) return 0;
    if (attempt == 1) return NotEarlier(held, source.st_mtim) ? 0 : kTimeNotKept;
    const int64_t seconds = source.st_mtim.tv_sec;
    times[1] = seconds < 0 || PackFileAge(seconds) == PackFileAge(0)
                   ? LocalMoment(1980, 1, 1, 0, 0, 0)
                   : LocalMoment(2107, 12, 31, 23, 59, 58);
    times[0] = times[1];
  }
}

// What copies of this process saw of times kept on naming.
NamingTimes& SeenNamingTimes() {
  static NamingTimes seen;
  return seen;
}

// The named copy `name` in `folder` on `device` (0: not known) is given the
// time it held before, `held` (as both its times), again when it shows
// another after its naming. Never follows a link.
Err KeepTime(dev_t device, int folder, const char* name, const struct timespec& held) {
  const bool known = device != 0;
  NamingTimes& seen = SeenNamingTimes();
  if (known && seen.Trusted(device)) return 0;
  for (int attempt = 0;; ++attempt) {
    struct stat st;
    if (fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
    if (st.st_mtim.tv_sec == held.tv_sec && st.st_mtim.tv_nsec == held.tv_nsec) {
      if (known) seen.Note(device, attempt == 0);
      return 0;
    }
    if (attempt == 1) {
      if (known) seen.Note(device, false);
      return NotEarlier(st.st_mtim, held) ? 0 : kTimeNotKept;
    }
    const struct timespec times[2] = {held, held};
    if (utimensat(folder, name, times, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  }
}

// Whether the open source still is what it was when `before` was taken.
bool Unchanged(const Source& in, const struct stat& before) {
  struct stat now;
  if (fstat(in.fd.get(), &now) != 0) return false;
  return now.st_size == before.st_size && now.st_mtim.tv_sec == before.st_mtim.tv_sec &&
         now.st_mtim.tv_nsec == before.st_mtim.tv_nsec &&
         now.st_ctim.tv_sec == before.st_ctim.tv_sec &&
         now.st_ctim.tv_nsec == before.st_ctim.tv_nsec;
}

// Content and attributes onto `out`; kChangedMark when the source changed
// meanwhile, or may have changed unseen.
constexpr Err kChangedMark = -3;
Err FillCopy(Source& in, int out, struct timespec& held) {
  // Owner and bits go first where a write cannot clear them (no set-ID
  // bits): the looks at the new file are then answered from what its making
  // returned, not asked of a share's server once more after the writes.
  const bool idBits = (in.st.st_mode & (S_ISUID | S_ISGID)) != 0;
  if (!idBits) {
    if (Err err = SetOwnerAndBits(in.st, out)) return err;
  }
  if (Err err = CopyContent(in.fd.get(), out, in.st)) return err;
  if (idBits) {
    if (Err err = SetOwnerAndBits(in.st, out)) return err;
  }
  if (Err err = SetTimes(in.st, out, held)) return err;
  const bool written = in.watched && in.watch.Written();
  return in.settled && !written && Unchanged(in, in.st) ? 0 : kChangedMark;
}

// A name the target's file system cannot hold (FAT refuses ':' and '?').
constexpr Err kNameRefused = -5;

// What the failed rename of the temporary file `temp` in `folder` onto `name`
// with `err` means: kNameRefused when nothing stands at the name and the
// temporary file is still there, and the error is one a file system gives
// for a name it refuses (exFAT through FUSE gives ENOENT); else `err`.
Err RenameError(Err err, int folder, const char* temp, const char* name) {
  if (err != EINVAL && err != EILSEQ && err != ENAMETOOLONG && err != EPERM && err != ENOENT) {
    return err;
  }
  struct stat st;
  if (fstatat(folder, temp, &st, AT_SYMLINK_NOFOLLOW) != 0) return err;
  if (fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) == 0) return err;
  return kNameRefused;
}

// Removes the temporary file `temp` of a failed copy. A share in trouble
// may refuse that too for a few seconds after the failure (smbnetfs answers
// every call with an input/output error then): it is asked again a few
// times. What is left even so, the next run removes.
void RemoveTemporary(int folder, const char* temp) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    if (unlinkat(folder, temp, 0) == 0 || errno == ENOENT) return;
    if (errno != EIO && CodeOfErrno(errno) != Status::Code::kUnreachable) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
}

// The bits a named temporary copy of `source` is made with: its own, where
// the copy is the source owner's and group's from the start (nothing is
// more open than the source then, and no call is needed to set them), else
// private until its owner and bits are set.
mode_t CreationBits(const struct stat& source) {
  return source.st_uid == geteuid() && source.st_gid == getegid() ? source.st_mode & 0777 : 0600;
}

// The copy through a named temporary file beside the target, renamed over it,
// for file systems that cannot make unnamed files.
Err CopyThroughNamedFile(Source& in, int targetFolder, const char* targetName) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string temp = NewTemporaryName();
    UniqueFd out(openat(targetFolder, temp.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, CreationBits(in.st)));
    if (!out.valid()) {
      if (errno == EEXIST) continue;
      return errno;
    }
    struct timespec held;
    Err err = FillCopy(in, out.get(), held);
    // On the disk before its name replaces the old copy: a power cut after
    // the rename must not leave an empty or partly written file there.
    if (err == 0 && fsync(out.get()) != 0) err = errno;
    const dev_t device = DeviceOf(out.get());
    // close() is where some file systems report a failed write.
    if (close(out.release()) != 0 && err == 0) err = errno;
    if (err == 0 && renameat(targetFolder, temp.c_str(), targetFolder, targetName) != 0) {
      err = RenameError(errno, targetFolder, temp.c_str(), targetName);
    }
    if (err != 0) {
      RemoveTemporary(targetFolder, temp.c_str());
      return err;
    }
    if (Err kept = KeepTime(device, targetFolder, targetName, held)) return kept;
    // Where a flush of the whole file system cannot be trusted, the name
    // (and the time some of them keep in the folder entry) is flushed here.
    return PerFile(in, targetFolder) ? FlushFolder(targetFolder) : 0;
  }
  return EEXIST;
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

// Names the finished unnamed file `fd` as `name` in `folder`, replacing what
// is there: a new name is linked directly; over an existing entry the file is
// linked under a temporary name and renamed over it. With `closer`, the
// replaced file is held open across the rename and its last close (which
// frees its blocks) left to the closer.
Err NameCopy(int fd, int folder, const char* name, DeferredCloser* closer) {
  Err err = LinkUnnamed(fd, folder, name);
  if (err != EEXIST) return err;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string temp = NewTemporaryName();
    err = LinkUnnamed(fd, folder, temp.c_str());
    if (err == EEXIST) continue;
    if (err != 0) return err;
    UniqueFd replaced(closer != nullptr ? openat(folder, name, O_PATH | O_NOFOLLOW | O_CLOEXEC)
                                        : -1);
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

// Copies from this size on have their write-back started as soon as they are
// written (smaller ones cost more in calls than they gain).
constexpr off_t kEarlyWriteBackSize = off_t{1} << 20;

// One copy of the open source onto `targetName` in `targetFolder`: written as
// an unnamed file that gets its name only when complete and on the disk, so
// a copy stopped at any moment, even by a power cut, leaves the old target
// and no temporary file. With `unnamed`, the complete copy is left there
// unflushed and unnamed instead (see WriteCopyAt). kChangedMark when the
// source changed while it was copied (nothing is named then).
Err WriteCopy(Source& in, int targetFolder, const char* targetName, DeferredCloser* closer,
              UnnamedCopy* unnamed) {
  UniqueFd out(openat(targetFolder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
  if (!out.valid()) {
    if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) {
      return CopyThroughNamedFile(in, targetFolder, targetName);
    }
    return errno;
  }
  struct timespec held;
  if (Err err = FillCopy(in, out.get(), held)) return err;
  const bool perFile = PerFile(in, out.get());
  if (unnamed != nullptr && !perFile) {
    // A large copy's write-back starts now, while the next is written, so
    // that the flush of its group finds less to write.
    if (in.st.st_size >= kEarlyWriteBackSize) {
      sync_file_range(out.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
    }
    unnamed->file = std::move(out);
    unnamed->held = held;
    return 0;
  }
  // fsync, not fdatasync: the last-write time must be on the disk too.
  if (fsync(out.get()) != 0) return errno;
  const Err err = NameCopy(out.get(), targetFolder, targetName, closer);
  if (err == kNoName) return CopyThroughNamedFile(in, targetFolder, targetName);
  if (err != 0) return err;
  if (Err kept = KeepTime(DeviceOf(out.get()), targetFolder, targetName, held)) return kept;
  return perFile ? FlushFolder(targetFolder) : 0;
}

// The failure `err` of a copy (an errno value, or kNameRefused or
// kTimeNotKept) as the Status a copy reports.
Status CopyFailure(Err err, std::string_view source, std::string_view target) {
  if (err == kNameRefused) {
    return CopyError(source, target, Status::Code::kInvalid,
                     "the destination's file system cannot hold this name");
  }
  if (err == kTimeNotKept) {
    return CopyError(source, target, Status::Code::kUnsupported,
                     "the destination's file system cannot hold the last-write time");
  }
  return CopyError(source, target, err);
}

// WriteCopy, once more from the start when the source changed meanwhile.
Status CopyOpenSource(Source& in, int targetFolder, const char* targetName, std::string_view source,
                      std::string_view target, DeferredCloser* closer,
                      UnnamedCopy* unnamed = nullptr) {
  for (int attempt = 0;; ++attempt) {
    const Err err = WriteCopy(in, targetFolder, targetName, closer, unnamed);
    if (err == 0) return Status::Ok();
    if (err != kChangedMark) return CopyFailure(err, source, target);
    if (attempt == 1) {
      return CopyError(source, target, Status::Code::kChanged, "changed while being copied");
    }
    if (in.watched) in.watch.Written();  // what came before the new status is in it
    if (fstat(in.fd.get(), &in.st) != 0) return CopyError(source, target, errno);
    if (Err settle = Settle(in)) return CopyError(source, target, settle);
  }
}

// CopyFileAt, or WriteCopyAt with `unnamed`.
Status CopyFromSource(int sourceFolder, const char* sourceName, int targetFolder,
                      const char* targetName, std::string_view source, std::string_view target,
                      DeferredCloser* closer, UnnamedCopy* unnamed, int flushesPerFile) {
  Source in;
  in.flushesPerFile = flushesPerFile;
  Status opened = OpenSource(sourceFolder, sourceName, in, source, target);
  if (!opened.ok()) return opened;
  Status copied = CopyOpenSource(in, targetFolder, targetName, source, target, closer, unnamed);
  // Out of space while replaced files still wait to be closed: once they are,
  // the copy gets the room it would have had without the waiting.
  if (copied.code() == Status::Code::kNoSpace && closer != nullptr && closer->Wait()) {
    copied = CopyOpenSource(in, targetFolder, targetName, source, target, closer, unnamed);
  }
  return copied;
}

}  // namespace

Status CopyError(std::string_view source, std::string_view target, Status::Code code,
                 std::string reason) {
  std::string message;
  message.append(source).append(" -> ").append(target).append(": ").append(reason);
  return Status::Error(code, std::move(message), std::move(reason));
}

bool FlushesPerFile(int fd) {
  return TraitsOf(fd).flushesPerFile;
}

void ForgetTimesKeptOnNaming() {
  SeenNamingTimes().Forget();
}

dev_t DeviceOf(int fd) {
  struct statx st;
  if (statx(fd, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, STATX_TYPE, &st) != 0) return 0;
  return makedev(st.stx_dev_major, st.stx_dev_minor);
}

FolderTraits TraitsOf(int fd) {
  struct statfs fs;
  if (fstatfs(fd, &fs) != 0) return FolderTraits();
  return TraitsOfKind(static_cast<unsigned long>(fs.f_type));
}

FolderTraits TraitsOfKind(unsigned long fsType) {
  FolderTraits traits;
  switch (fsType) {
    case kFuseMagic:
      // FUSE passes syncfs on to the file system's server only when the
      // server asks for it, and reports success either way.
      traits.flushesPerFile = true;
      traits.distant = true;
      break;
    case NFS_SUPER_MAGIC:
    case SMB_SUPER_MAGIC:
    case kSmb2Magic:
    case kCifsMagic:
    case V9FS_MAGIC:
    case CEPH_SUPER_MAGIC:
    case AFS_SUPER_MAGIC:
    case AFS_FS_MAGIC:
      traits.distant = true;
      break;
    default:
      break;
  }
  return traits;
}

int FlushFolder(int folder) {
  // A folder opened for reading is flushed as it is (on a share, opening it
  // again is a round trip); one opened for lookups only is opened for it.
  if (fsync(folder) == 0) return 0;
  if (errno != EBADF) return errno;
  UniqueFd readable(openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!readable.valid()) return errno;
  return fsync(readable.get()) == 0 ? 0 : errno;
}

bool ChangesShowAfter(const struct timespec& changeTime, const struct timespec& coarseNow) {
  constexpr int64_t kSecond = 1'000'000'000;
  // A fine-grained stamp runs ahead of the coarse clock by up to a tick.
  constexpr int64_t kAhead = 50'000'000;
  const int64_t grain = changeTime.tv_nsec == 0 ? 2 * kSecond : 0;
  const int64_t stamp = int64_t{changeTime.tv_sec} * kSecond + changeTime.tv_nsec;
  const int64_t clock = int64_t{coarseNow.tv_sec} * kSecond + coarseNow.tv_nsec;
  return clock > stamp + grain || stamp > clock + grain + kAhead;
}

mode_t AdoptOwner(const struct stat& source, int fd) {
  // Root gives the copy the source's owner and group before its bits are set
  // (a change of owner clears set-ID bits). Where that is refused (a file
  // system without owners), the bits below see the owner the copy has.
  // Where it has them already (a file of its own), nothing is asked: on a
  // share each call is a round trip.
  struct stat copy;
  bool known = fstat(fd, &copy) == 0;
  if (geteuid() == 0 && (!known || copy.st_uid != source.st_uid || copy.st_gid != source.st_gid) &&
      fchown(fd, source.st_uid, source.st_gid) == 0) {
    known = fstat(fd, &copy) == 0;
  }
  mode_t bits = source.st_mode & 07777;
  if (!known || copy.st_uid != source.st_uid) bits &= ~S_ISUID;
  if (!known || copy.st_gid != source.st_gid) {
    // Another group: its members get what the source gave everyone else,
    // never what it gave its own group.
    bits &= ~(S_ISGID | (S_IRWXG & ~((bits & S_IRWXO) << 3)));
  }
  return bits;
}

int SetPermissionBits(int fd, mode_t bits) {
  if (fchmod(fd, bits) == 0) return 0;
  const int err = errno;
  if (err != EPERM && err != ENOSYS && err != EOPNOTSUPP) return err;
  // Refused: the file system cannot hold permission bits and shows bits of
  // its own (FAT and exFAT, one mode for the whole mount). Accepted unless
  // they carry a set-ID bit that was not meant.
  struct stat st;
  if (fstat(fd, &st) != 0) return errno;
  return (st.st_mode & ~bits & (S_ISUID | S_ISGID)) == 0 ? 0 : err;
}

Status CopyFileAt(int sourceFolder, const char* sourceName, int targetFolder,
                  const char* targetName, std::string_view source, std::string_view target,
                  DeferredCloser* closer, int flushesPerFile) {
  return CopyFromSource(sourceFolder, sourceName, targetFolder, targetName, source, target, closer,
                        nullptr, flushesPerFile);
}

Status WriteCopyAt(int sourceFolder, const char* sourceName, int targetFolder,
                   const char* targetName, std::string_view source, std::string_view target,
                   DeferredCloser* closer, UnnamedCopy& unnamed, int flushesPerFile) {
  unnamed.file.reset();
  return CopyFromSource(sourceFolder, sourceName, targetFolder, targetName, source, target, closer,
                        &unnamed, flushesPerFile);
}

Status NameCopyAt(UnnamedCopy& unnamed, bool flushed, int sourceFolder, const char* sourceName,
                  int targetFolder, const char* targetName, std::string_view source,
                  std::string_view target, DeferredCloser* closer) {
  const UniqueFd file(unnamed.file.release());
  if (!flushed && fsync(file.get()) != 0) return CopyError(source, target, errno);
  Err err = NameCopy(file.get(), targetFolder, targetName, closer);
  if (err == kNoName) {
    // Unnamed files cannot be named here after all: the copy is made anew
    // through a named temporary file.
    return CopyFileAt(sourceFolder, sourceName, targetFolder, targetName, source, target, closer);
  }
  if (err == 0) err = KeepTime(DeviceOf(file.get()), targetFolder, targetName, unnamed.held);
  return err == 0 ? Status::Ok() : CopyFailure(err, source, target);
}

Status CopyFile(std::string_view source, std::string_view target) {
  // The source is opened first, so that its failure is the one reported.
  Source in;
  Status opened = OpenSource(AT_FDCWD, std::string(source).c_str(), in, source, target);
  if (!opened.ok()) return opened;
  const std::string name(LastName(target));
  UniqueFd folder(open(FolderOfFull(target).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!folder.valid()) return CopyError(source, target, errno);
  if (name.empty()) return CopyError(source, target, EISDIR);
  return CopyOpenSource(in, folder.get(), name.c_str(), source, target, nullptr);
}

Status SyncFileSystemOf(int fd, std::string_view path) {
  return syncfs(fd) == 0 ? Status::Ok() : PathError(path, errno);
}

Status SyncFileSystemAt(const std::string& path) {
  const UniqueFd folder(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder.valid()) {
    return errno == ENOENT || errno == ENOTDIR ? Status::Ok() : PathError(path, errno);
  }
  return SyncFileSystemOf(folder.get(), path);
}

}  // namespace quillfen
