#include "engine/SmbNames.h"

#include <linux/magic.h>
#include <sys/sysmacros.h>

#include <fstream>
#include <sstream>

#include "engine/FileSystemKinds.h"

namespace quillfen {

bool SmbRefusesName(std::string_view name) {
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20) return true;
    switch (c) {
      case '"':
      case '*':
      case ':':
      case '<':
      case '>':
      case '?':
      case '\\':
      case '|':
        return true;
      default:
        break;
    }
  }
  return false;
}

bool SpeaksSmb(dev_t device, unsigned long fsType, const std::string& mountInfo) {
  if (fsType == SMB_SUPER_MAGIC || fsType == kSmb2Magic || fsType == kCifsMagic) return true;
  if (fsType != kFuseMagic) return false;
  // "36 35 0:42 / /mnt/share rw,nosuid - fuse.smbnetfs smbnetfs rw": the
  // third field is the device, the first after "-" the kind.
  std::ifstream in(mountInfo);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string id, parent, numbers;
    if (!(fields >> id >> parent >> numbers)) continue;
    unsigned major = 0;
    unsigned minor = 0;
    char colon = 0;
    std::istringstream pair(numbers);
    if (!(pair >> major >> colon >> minor) || colon != ':') continue;
    if (makedev(major, minor) != device) continue;
    std::string field;
    while (fields >> field && field != "-") {
    }
    std::string kind;
    if (!(fields >> kind)) return false;
    return kind == "fuse.smbnetfs" || kind == "fuse.fusesmb";
  }
  return false;
}

}  // namespace quillfen
