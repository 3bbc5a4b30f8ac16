// Which file systems keep a copy's last-write time when the copy is named.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

namespace quillfen {

// Where naming a copy was seen to keep its time, by device. A file system
// that stamps the time anew when a file is named (fusefat does at a rename)
// does so at every naming; where the time was kept kTrustedAfter times in a
// row and never lost, the look after naming can be left out (on a share it
// is a round trip a copy). Safe to use from several threads.
class NamingTimes {
 public:
  static constexpr int kTrustedAfter = 64;

  // Whether namings on `device` are known to keep the time.
  bool Trusted(dev_t device) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = Find(device);
    return it != devices_.end() && it->second >= kTrustedAfter;
  }
  // Notes a naming on `device` that kept the time or lost it; once lost,
  // the device is never trusted until Forget.
  void Note(dev_t device, bool kept) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = Find(device);
    if (it == devices_.end()) it = devices_.emplace(devices_.end(), device, 0);
    if (it->second >= 0) it->second = kept ? it->second + 1 : -1;
  }
  // Forgets every device: a device number may belong to another file
  // system by the next use (FUSE numbers are given out again).
  void Forget() {
    std::lock_guard<std::mutex> lock(mutex_);
    devices_.clear();
  }

 private:
  std::vector<std::pair<dev_t, int>>::iterator Find(dev_t device) {
    return std::find_if(devices_.begin(), devices_.end(),
                        [device](const auto& entry) { return entry.first == device; });
  }
  std::mutex mutex_;
  std::vector<std::pair<dev_t, int>> devices_;  // kept in a row; -1 once lost
};

}  // namespace quillfen
