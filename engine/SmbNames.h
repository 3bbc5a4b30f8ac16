// Names a share reached over SMB cannot hold, told before the name is used:
// a share's client may hang, or fail every call for a while, after a name
// its server refused.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace quillfen {

// Whether SMB refuses `name` as a file or folder name: it holds one of
// " * : < > ? \ | or a control character (':' names a stream there, '*'
// and '?' are wildcards).
bool SmbRefusesName(std::string_view name);

// Whether the file system on `device`, of the kind `fsType` (statfs's
// f_type), is an SMB share: the kernel's client, or a FUSE client
// (smbnetfs, fusesmb) as `mountInfo` (the format of /proc/self/mountinfo)
// lists its mount. False when it cannot be told.
bool SpeaksSmb(dev_t device, unsigned long fsType,
               const std::string& mountInfo = "/proc/self/mountinfo");

}  // namespace quillfen
