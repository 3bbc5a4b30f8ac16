// Kinds of file systems (statfs's f_type) that <linux/magic.h> does not name.
#pragma once

namespace quillfen {

inline constexpr unsigned long kFuseMagic = 0x65735546;  // every FUSE file system
inline constexpr unsigned long kSmb2Magic = 0xfe534d42;  // the kernel's SMB2 and SMB3 client
inline constexpr unsigned long kCifsMagic = 0xff534d42;  // the kernel's CIFS client

}  // namespace quillfen
