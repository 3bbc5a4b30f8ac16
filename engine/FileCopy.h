// The copy every part of the program uses.
#pragma once

#include <sys/stat.h>
#include <time.h>

#include <string>
#include <string_view>

#include "engine/DeferredCloser.h"
#include "engine/Status.h"
#include "engine/UniqueFd.h"

namespace quillfen {

// A copy's failure as every part of the program reports it:
// "<source> -> <target>: <reason>", with `reason` as the detail.
Status CopyError(std::string_view source, std::string_view target, Status::Code code,
                 std::string reason);

// Copies the file `sourceName` in the open folder `sourceFolder` onto
// `targetName` in the open folder `targetFolder` (descriptors, O_PATH ones
// too, or AT_FDCWD), overwriting it. `source` and `target` are the two files'
// full paths, for messages only: no path is looked up, so depth is no limit
// and a link planted at the target's place is replaced, never written
// through. A link at the source's place is followed (its content is copied).
//
// The copy gets the source's content (holes of a sparse file stay holes), its
// last-write time to the nanosecond (or as finely as the target's file system
// holds it; a time outside the range it holds, such as FAT's 1980 to 2107, as
// the end of that range, which has the same file age of FiCheck.h; where even
// that is not held, the copy fails with that reason) and its permission bits,
// but never a privilege the source did not give: run as root, it takes the
// source's owner and group (set before the bits, as a change of owner clears
// set-ID bits); otherwise the set-user-ID bit is dropped when the copy's
// owner differs from the source's, and the set-group-ID bit and group bits
// beyond the others' when its group differs (see AdoptOwner). A file system
// that holds no owners or permission bits (FAT, exFAT) still gets content and
// time (see SetPermissionBits). A name the target's file system refuses fails
// with that reason.
//
// The target is always either the old file or the whole new one, also after
// a power cut at any moment: the copy is written unnamed (or, where the file
// system refuses unnamed files, under a temporary name of TemporaryFiles.h),
// flushed to the disk with its times (fsync), and named only then. The new
// name itself reaches the disk with the next flush of the file system
// (SyncFileSystemOf), or at once where that flush cannot be trusted (see
// FlushesPerFile). A source
// whose size, last-write time or change time differs after the copy from
// when it was opened is copied once more; if it changes again, the old
// target is kept and the copy fails with kind kChanged ("changed while being
// copied"). Tries a reflink clone, then the kernel's copy, then reads and
// writes.
//
// With `closer`, a replaced target's last close is left to it (see
// DeferredCloser); a copy that runs out of space while replaced files wait
// there waits for them and is tried once more.
// `flushesPerFile` is FlushesPerFile of `targetFolder` where the caller
// knows it (1 or 0: one question fewer a copy, a round trip on a share), or
// -1 to have it asked.
// The named copy's time is looked at once more and set again where naming
// changed it, until copies on its file system have kept their times often
// enough in a row (see ForgetTimesKeptOnNaming).
// Error message: "<source> -> <target>: <reason>".
Status CopyFileAt(int sourceFolder, const char* sourceName, int targetFolder,
                  const char* targetName, std::string_view source, std::string_view target,
                  DeferredCloser* closer = nullptr, int flushesPerFile = -1);

// A copy written whole as an unnamed file and not yet named (see WriteCopyAt).
struct UnnamedCopy {
  UniqueFd file;                  // invalid: the copy is named already
  struct timespec held = {0, 0};  // the last-write time the copy shows
};

// The first half of CopyFileAt, for copies flushed together rather than one
// by one: the copy is written and checked as CopyFileAt writes it, and left
// complete in `unnamed.file`, an unnamed file of `targetFolder`, neither
// flushed nor named; the target is untouched. Where the file system cannot
// make unnamed files, or cannot be flushed as a whole (FlushesPerFile), the
// copy is made in full as CopyFileAt makes it and `unnamed.file` is left
// invalid. A failure leaves nothing behind.
Status WriteCopyAt(int sourceFolder, const char* sourceName, int targetFolder,
                   const char* targetName, std::string_view source, std::string_view target,
                   DeferredCloser* closer, UnnamedCopy& unnamed, int flushesPerFile = -1);

// The second half: names the copy WriteCopyAt left in `unnamed` as
// `targetName` in `targetFolder`, replacing what is there, and takes the file
// from `unnamed`. With `flushed`, the caller has flushed it already (see
// SyncFileSystemOf); else it is flushed here first (fsync), and a failure
// to flush keeps the old target. Where a name cannot be given to an unnamed
// file here (neither the privilege nor /proc), the copy is made anew from the
// source with CopyFileAt. The other arguments are CopyFileAt's.
Status NameCopyAt(UnnamedCopy& unnamed, bool flushed, int sourceFolder, const char* sourceName,
                  int targetFolder, const char* targetName, std::string_view source,
                  std::string_view target, DeferredCloser* closer);

// Whether the file system of the open file or folder `fd` must have each
// file and folder flushed by itself, because a flush of the whole file system
// may report success without writing anything (FUSE: FAT, exFAT and NTFS
// through their FUSE drivers, sshfs).
bool FlushesPerFile(int fd);

// Forgets on which file systems naming a copy was seen to keep its time
// (see CopyFileAt). Called when a new set of copies starts: a device number
// may belong to another file system by then.
void ForgetTimesKeptOnNaming();

// The device of the open file or folder `fd` (an O_PATH descriptor too);
// 0 when it cannot be told. Taken from what the kernel holds, never asked
// of the file system: on a share an fstat may be a round trip.
dev_t DeviceOf(int fd);

// What copies into a folder need to know of its file system, asked once (on
// a share each question is a round trip).
struct FolderTraits {
  bool flushesPerFile = false;  // FlushesPerFile
  // It answers over a connection (FUSE, NFS, SMB, 9P, Ceph, AFS): a copy
  // there spends most of its time waiting for answers.
  bool distant = false;
};
// The traits of the folder `fd`; a file system that cannot be asked counts
// as local and flushed as a whole.
FolderTraits TraitsOf(int fd);
// The traits of a file system of the kind `fsType` (statfs's f_type).
FolderTraits TraitsOfKind(unsigned long fsType);

// Flushes the entries of the open folder `folder` (an O_PATH descriptor
// too): the names made in it are on the disk once this returns 0; else the
// errno value.
int FlushFolder(int folder);

// CopyFileAt for two full paths; the target's folder must exist, and is
// looked up by its path.
Status CopyFile(std::string_view source, std::string_view target);

// Gives the new file or folder `fd`, made by this process as a copy of
// `source`, the owner it may have (run as root: the source's owner and group)
// and returns the permission bits it may then carry: the source's, without a
// set-ID bit whose owner or group the copy lacks; where the copy's group is
// not the source's, that group gets no more than the source gave all others.
// Sets no bits itself.
mode_t AdoptOwner(const struct stat& source, int fd);

// Gives the file or folder `fd`, made by this process, the permission bits
// `bits`. Where the file system cannot hold permission bits and refuses them
// (EPERM, ENOSYS or EOPNOTSUPP, as FAT does), the bits it shows are kept,
// unless they carry a set-ID bit `bits` lacks. Returns 0 or the errno value.
int SetPermissionBits(int fd, mode_t bits);

// Whether a change made at the coarse clock reading `coarseNow`
// (CLOCK_REALTIME_COARSE) or later to a file whose change time is
// `changeTime` must stamp another change time. The kernel stamps a change
// with the coarse clock (a tick of 1 to 10 ms; a fine-grained stamp runs ahead
// of it by up to a tick) and leaves the stamp alone when it would not change:
// while the coarse clock still reads the stamp, another write goes unseen.
// Once the clock has passed the stamp, or when the stamp lies well in the
// future (the clock was set back, another machine's clock), a change stamps
// another time. A file system that stamps whole seconds (no nanoseconds) is
// given two. A copy begins only when this holds, or fails as changed.
bool ChangesShowAfter(const struct timespec& changeTime, const struct timespec& coarseNow);

// Flushes the file system holding the open file or folder `fd` to disk
// (syncfs); `path` names it in the error.
Status SyncFileSystemOf(int fd, std::string_view path);

// SyncFileSystemOf for the folder `path`, looked up by its path; Ok, with
// nothing flushed, where no folder is there.
Status SyncFileSystemAt(const std::string& path);

}  // namespace quillfen
