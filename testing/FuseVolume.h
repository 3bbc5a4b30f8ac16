// Test helper: a small FAT, exFAT or NTFS file system, made in an image file
// and mounted through FUSE (fusefat, exfat-fuse, ntfs-3g), as a user's USB
// stick is met. Unmounted and removed when the object goes away. Where FUSE
// or a tool is missing, or the mount is refused (no right to mount), the
// volume is not mounted and says why, for GTEST_SKIP.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace quillfen::testing {

class FuseVolume {
 public:
  enum class Kind { kFat, kExfat, kNtfs };

  explicit FuseVolume(Kind kind) : kind_(kind) { Mount(); }
  ~FuseVolume() { Unmount(); }
  FuseVolume(const FuseVolume&) = delete;
  FuseVolume& operator=(const FuseVolume&) = delete;

  bool mounted() const { return mounted_; }
  // Why the volume is not mounted; empty when it is.
  const std::string& skipReason() const { return skipReason_; }
  // The mounted file system's root folder.
  const std::string& root() const { return mountPoint_; }

  static const char* Name(Kind kind) {
    switch (kind) {
      case Kind::kFat:
        return "FAT";
      case Kind::kExfat:
        return "exFAT";
      case Kind::kNtfs:
        return "NTFS";
    }
    return "?";
  }

  // Sends `signal` to every process serving the mount (SIGSTOP: the volume
  // hangs; SIGKILL: it goes away; SIGCONT: it answers again).
  void SignalDaemons(int signal) const {
    for (pid_t pid : DaemonPids()) kill(pid, signal);
  }

  // The processes serving the mount (those whose command line names the
  // mount point): a test stops them to make the volume hang, or kills them
  // to make it go away as a share whose client died.
  std::vector<pid_t> DaemonPids() const {
    std::vector<pid_t> pids;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
      const std::string name = entry.path().filename().string();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      std::string cmdline;
      const int fd = open((entry.path() / "cmdline").c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) continue;
      char buffer[4096];
      ssize_t n;
      while ((n = read(fd, buffer, sizeof buffer)) > 0)
        cmdline.append(buffer, static_cast<size_t>(n));
      close(fd);
      for (char& c : cmdline) c = c == '\0' ? ' ' : c;
      if (!mountPoint_.empty() && cmdline.find(mountPoint_) != std::string::npos &&
          std::stoi(name) != getpid()) {
        pids.push_back(std::stoi(name));
      }
    }
    return pids;
  }

  // The full path of the program `name` in PATH or the system folders;
  // empty when there is none.
  static std::string FindTool(const std::string& name) {
    std::string dirs = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
    if (const char* path = std::getenv("PATH")) dirs = std::string(path) + ":" + dirs;
    size_t start = 0;
    while (start <= dirs.size()) {
      size_t end = dirs.find(':', start);
      if (end == std::string::npos) end = dirs.size();
      const std::string candidate = dirs.substr(start, end - start) + "/" + name;
      if (end > start && access(candidate.c_str(), X_OK) == 0) return candidate;
      start = end + 1;
    }
    return {};
  }

  // Runs `argv` (argv[0] a full path), its output to `output`; the exit
  // status, or -1 when it could not be run or was killed.
  static int Run(const std::vector<std::string>& argv, std::string* output = nullptr) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
    const pid_t pid = fork();
    if (pid < 0) {
      close(pipeFds[0]);
      close(pipeFds[1]);
      return -1;
    }
    if (pid == 0) {
      dup2(pipeFds[1], 1);
      dup2(pipeFds[1], 2);
      const int devNull = open("/dev/null", O_RDONLY);
      if (devNull >= 0) dup2(devNull, 0);
      std::vector<char*> args;
      for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    close(pipeFds[1]);
    std::string text;
    char buffer[4096];
    for (;;) {
      const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
      if (n > 0) {
        text.append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        break;
      }
    }
    close(pipeFds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
      if (errno != EINTR) return -1;
    }
    if (output != nullptr) *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  // Sets the reason and returns false.
  bool Skip(std::string reason) {
    skipReason_ = std::string(Name(kind_)) + " through FUSE: " + std::move(reason);
    return false;
  }

  // A tool by name, or the reason it is missing.
  bool Tool(const char* name, std::string& path) {
    path = FindTool(name);
    return !path.empty() || Skip(std::string(name) + " is not installed");
  }

  bool RunStep(const std::vector<std::string>& argv) {
    std::string output;
    const int status = Run(argv, &output);
    if (status == 0) return true;
    return Skip(argv[0] + " failed (status " + std::to_string(status) + "): " + output);
  }

  bool Mount() {
    if (access("/dev/fuse", R_OK | W_OK) != 0) return Skip("/dev/fuse is missing or not usable");
    std::string mkfs, mounter;
    switch (kind_) {
      case Kind::kFat:
        if (!Tool("mkfs.vfat", mkfs) || !Tool("fusefat", mounter)) return false;
        break;
      case Kind::kExfat:
        if (!Tool("mkfs.exfat", mkfs) || !Tool("mount.exfat-fuse", mounter)) return false;
        break;
      case Kind::kNtfs:
        if (!Tool("mkntfs", mkfs) || !Tool("ntfs-3g", mounter)) return false;
        break;
    }
    std::string folder = std::filesystem::temp_directory_path().string() + "/quillfen-fuse-XXXXXX";
    if (mkdtemp(folder.data()) == nullptr) return Skip("no temporary folder");
    folder_ = folder;
    image_ = folder_ + "/volume.img";
    mountPoint_ = folder_ + "/mnt";
    if (mkdir(mountPoint_.c_str(), 0755) != 0) return Skip("no mount point");
    {
      const int fd = open(image_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      if (fd < 0) return Skip("no image file");
      const bool sized = ftruncate(fd, off_t{48} << 20) == 0;
      close(fd);
      if (!sized) return Skip("no room for the image");
    }
    switch (kind_) {
      case Kind::kFat:
        if (!RunStep({mkfs, image_})) return false;
        return Attach({mounter, "-o", "rw+", image_, mountPoint_});
      case Kind::kExfat: {
        if (!RunStep({mkfs, image_})) return false;
        // Run as root, exfat-fuse mounts a block device only: the image is
        // put on a loop device.
        std::string device = image_;
        if (geteuid() == 0) {
          std::string losetup;
          if (!Tool("losetup", losetup)) return false;
          std::string output;
          if (Run({losetup, "--find", "--show", image_}, &output) != 0) {
            return Skip("no loop device for the image: " + output);
          }
          while (!output.empty() && (output.back() == '\n' || output.back() == ' ')) {
            output.pop_back();
          }
          loopDevice_ = output;
          device = loopDevice_;
        }
        return Attach({mounter, device, mountPoint_});
      }
      case Kind::kNtfs:
        if (!RunStep({mkfs, "-F", "-f", "-q", image_})) return false;
        return Attach({mounter, image_, mountPoint_});
    }
    return false;
  }

  // Runs the mount command and checks that a file system of its own is there.
  bool Attach(const std::vector<std::string>& argv) {
    if (!RunStep(argv)) return false;
    struct stat mountSt;
    struct stat parentSt;
    if (stat(mountPoint_.c_str(), &mountSt) != 0 || stat(folder_.c_str(), &parentSt) != 0 ||
        mountSt.st_dev == parentSt.st_dev) {
      return Skip(argv[0] + " reported success, but nothing is mounted");
    }
    mounted_ = true;
    return true;
  }

  void Unmount() {
    if (mounted_) {
      const std::vector<std::vector<std::string>> ways = {{"fusermount3", "-u", mountPoint_},
                                                          {"fusermount", "-u", mountPoint_},
                                                          {"umount", mountPoint_},
                                                          {"umount", "-l", mountPoint_}};
      for (std::vector<std::string> way : ways) {
        way[0] = FindTool(way[0]);
        if (!way[0].empty() && Run(way) == 0) {
          mounted_ = false;
          break;
        }
      }
    }
    if (!loopDevice_.empty()) {
      const std::string losetup = FindTool("losetup");
      if (!losetup.empty()) Run({losetup, "-d", loopDevice_});
    }
    // Never removed while mounted: the files would be the volume's.
    if (!folder_.empty() && !mounted_) {
      std::error_code ignored;
      std::filesystem::remove_all(folder_, ignored);
    }
  }

  const Kind kind_;
  bool mounted_ = false;
  std::string skipReason_;
  std::string folder_;
  std::string image_;
  std::string mountPoint_;
  std::string loopDevice_;
};

// What a test's view does to a volume's daemons while the code under test
// works: sends `signal` at the `after`-th question whether to stop.
struct DaemonTrouble {
  FuseVolume* volume = nullptr;
  int signal = SIGKILL;
  int after = 50;
  // Counts one question; signals the daemons at the `after`-th.
  void Asked() {
    if (++asked_ == after) volume->SignalDaemons(signal);
  }

 private:
  int asked_ = 0;
};

}  // namespace quillfen::testing
